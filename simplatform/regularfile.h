// Reading a file the platform is told to use (map, hosts, users) without
// ever blocking the loop on it.
#pragma once

#include <cstddef>
#include <string>

namespace simplatform {

// Reads the file at path whole into contents. The file is opened without
// blocking, so a FIFO or a device in its place never holds up the loop, and
// refused unless it is a regular file; a file of more than maxBytes is
// refused without being read whole. On failure contents is empty and fault
// holds the reason: "cannot read: <system reason>", "not a regular file" or
// "too large: more than <maxBytes> bytes".
bool readRegularFile(const std::string& path, std::size_t maxBytes, std::string& contents,
                     std::string& fault);

}  // namespace simplatform
