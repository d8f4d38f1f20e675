// Files the platform is told to use: read (map, hosts, users) without ever
// blocking the loop on them, and written (state) without ever writing
// through a link or into something that is not a regular file.
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

// True when path may be replaced by replaceRegularFile: it does not exist,
// or it is a regular file (not a link, device, FIFO, folder). Otherwise
// false and the reason in error.
bool replaceableFile(const std::string& path, std::string& error);

// Replaces the file at path by one holding contents, whole: the bytes go to
// a new file created exclusively in the same folder (never through a link
// someone planted there), which is then renamed over path, so a reader sees
// the old contents or the new, never a part. False and the reason in error
// on failure; the new file is then removed and path left as it was.
bool replaceRegularFile(const std::string& path, const std::string& contents, std::string& error);

}  // namespace simplatform
