// Files the platform is told to use: read (map, hosts, users, state)
// without ever blocking the loop on them, and looked at before the state
// is written in place of one (files/durablefile.h writes it).
#pragma once

#include <cstddef>
#include <string>

namespace simplatform {

// Reads the file at path whole into contents. The file is opened without
// blocking, so a FIFO or a device in its place never holds up the loop, and
// refused unless it is a regular file; a file of more than maxBytes is
// refused without being read whole. On failure contents is empty and error
// holds the reason: "cannot read: <system reason>", "not a regular file" or
// "too large: more than <maxBytes> bytes".
bool readRegularFile(const std::string& path, std::size_t maxBytes, std::string& contents, std::string& error);

// True when path may be replaced by a new file: it does not exist, or it
// is a regular file (not a link, device, FIFO, folder). Otherwise false and
// the reason in error.
bool replaceableFile(const std::string& path, std::string& error);

}  // namespace simplatform
