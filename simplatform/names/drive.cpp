// Drive paths: "c:\temp\name.txt" names a file under the folder that stands
// for drive C:, the drive setting (Setting::DriveC, default
// ~/.simplatform/drive_c). It is read once per loop turn, as every setting
// read on every turn (settings.h): the debug log maps its path for each of
// its ten records per trap. The platform creates no folder.
//
// The debug log opens, writes and closes its file for every message, so the
// file layer costs no more than that: the host path is built in a fixed
// buffer, the record goes out in one unbuffered write, nothing is allocated.
#include "../../platform/files.h"

#include <errno.h>
#include <string.h>

#ifndef _WIN32  // on Windows the C runtime does it: platform/files.h

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../runtime/settings.h"

namespace {

constexpr size_t kHostPathSize = PATH_MAX;

bool isDrivePath(const char* path)
{
    return (path[0] == 'c' || path[0] == 'C') && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

bool append(char* out, size_t& length, const char* text, size_t size)
{
    if (size >= kHostPathSize - length) {
        return false;
    }
    memcpy(out + length, text, size);
    length += size;
    out[length] = '\0';
    return true;
}

// The folder that stands for drive C:, without trailing slashes (but "/"
// stays "/"), into out; its length, or 0 when there is none.
size_t driveFolder(char* out)
{
    size_t length = 0;
    const char* folder = simplatform::settingValue(simplatform::Setting::DriveC);
    if (folder != nullptr) {
        if (!append(out, length, folder, strlen(folder))) {
            return 0;
        }
    } else {
        const char* home = simplatform::settingValue(simplatform::Setting::Home);
        if (home == nullptr) {
            const passwd* user = getpwuid(getuid());
            if (user == nullptr || user->pw_dir == nullptr) {
                return 0;
            }
            home = user->pw_dir;
        }
        static const char kDefault[] = "/.simplatform/drive_c";
        if (!append(out, length, home, strlen(home)) || !append(out, length, kDefault, sizeof kDefault - 1)) {
            return 0;
        }
    }
    while (length > 1 && out[length - 1] == '/') {
        out[--length] = '\0';
    }
    return length;
}

// The host path of a drive path into out; false when no folder can stand
// for the drive or the result does not fit. "." and ".." are resolved as
// Windows does: ".." at the drive's root stays at the root, so no drive path
// leads outside the drive folder.
bool drivePathToHost(const char* path, char* out)
{
    size_t root = driveFolder(out);
    if (root == 0) {
        return false;
    }
    size_t length = root;
    const char* p = path + 3;
    for (;;) {
        const char* name = p;
        while (*p != '\0' && *p != '\\' && *p != '/') {
            p++;
        }
        size_t size = static_cast<size_t>(p - name);
        if (size == 2 && name[0] == '.' && name[1] == '.') {
            while (length > root && out[length - 1] != '/') {
                length--;
            }
            if (length > root) {
                length--;  // the slash before the name
            }
            out[length] = '\0';
        } else if (size > 0 && !(size == 1 && name[0] == '.')) {
            if (out[length - 1] != '/' && !append(out, length, "/", 1)) {
                return false;
            }
            if (!append(out, length, name, size)) {
                return false;
            }
        }
        if (*p == '\0') {
            return true;
        }
        p++;
    }
}

// Writes text in one piece to a file opened for writing; false when the
// file is not a regular one (nothing is written then). A regular file opened
// with O_APPEND takes a positioned write at its end on Linux, while a FIFO,
// a socket or a terminal cannot be positioned (ESPIPE): the type check costs
// no call of its own. Elsewhere the file is asked for its type.
bool writeRegular(int file, const char* text, size_t size)
{
#ifdef __linux__
    if (pwrite(file, text, size, 0) < 0 && errno == ESPIPE) {
        return false;
    }
#else
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    if (write(file, text, size) < 0) {
        // Write errors after the open are not reported.
    }
#endif
    return true;
}

}  // namespace

int platformwritefile(const char* path, const char* mode, const char* text, size_t size)
{
    if (path == nullptr || mode == nullptr || text == nullptr) {
        errno = EINVAL;
        return -1;
    }
    char host[kHostPathSize];
    const char* name = path;
    if (isDrivePath(path)) {
        if (!drivePathToHost(path, host)) {
            errno = ENOENT;
            return -1;
        }
        name = host;
    }
    // Always appending: a file begun anew is empty, so the one write lands at
    // its start all the same. O_NONBLOCK: a FIFO without a reader fails at
    // once (ENXIO) instead of waiting for one.
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (mode[0] == 'w' ? O_TRUNC : 0);
    int file = open(name, flags, 0666);
    if (file < 0) {
        return -1;
    }
    bool regular = writeRegular(file, text, size);
    close(file);
    if (!regular) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

#endif
