// Drive paths: "c:\temp\name.txt" names a file under the folder that stands
// for drive C:, $SIMPLATFORM_DRIVE_C (default ~/.simplatform/drive_c). The
// variable is read on every call. The platform creates no folder.
// On Windows the program opens drive paths itself (platform/files.h).
#include "../platform/files.h"

#ifndef _WIN32

#include <errno.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "settings.h"

namespace {

bool isDrivePath(const char* path)
{
    return (path[0] == 'c' || path[0] == 'C') && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

std::string driveFolder()
{
    std::string folder = simplatform::setting("SIMPLATFORM_DRIVE_C", "");
    if (folder.empty()) {
        std::string home = simplatform::setting("HOME", "");
        if (home.empty()) {
            const passwd* user = getpwuid(getuid());
            if (user == nullptr || user->pw_dir == nullptr) {
                return "";
            }
            home = user->pw_dir;
        }
        folder = home + "/.simplatform/drive_c";
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

// The host path of a drive path, or "" when path is not one (or no folder
// can stand for the drive). "." and ".." are resolved as Windows does: ".."
// at the drive's root stays at the root, so no drive path leads outside
// the drive folder.
std::string drivePathToHost(const char* path)
{
    if (path == nullptr || !isDrivePath(path)) {
        return "";
    }
    std::string folder = driveFolder();
    if (folder.empty()) {
        return "";
    }
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = path + 3;; ++p) {
        if (*p == '\\' || *p == '/' || *p == '\0') {
            if (part == "..") {
                if (!parts.empty()) {
                    parts.pop_back();
                }
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
            if (*p == '\0') {
                break;
            }
        } else {
            part += *p;
        }
    }
    std::string host = folder;
    for (const std::string& name : parts) {
        if (host.back() != '/') {
            host += '/';
        }
        host += name;
    }
    return host;
}

}  // namespace

FILE* platformfopen(const char* path, const char* mode)
{
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!isDrivePath(path)) {
        return fopen(path, mode);
    }
    std::string host = drivePathToHost(path);
    if (host.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    return fopen(host.c_str(), mode);
}

#endif
