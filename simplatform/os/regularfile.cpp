// Files read whole (opened without blocking, regular files only, capped)
// and the check before a file is replaced.
#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace simplatform {
namespace {

#ifdef _WIN32
// Windows has no FIFOs in the file system; a device name (NUL, COM1) is
// what could stand in a file's place, and _fstat tells it apart.
int openForReading(const char* path)
{
    return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}
using FileStat = struct _stat64;
int statOf(int fd, FileStat& st)
{
    return _fstat64(fd, &st);
}
long readSome(int fd, char* buffer, unsigned size)
{
    return _read(fd, buffer, size);
}
int closeFile(int fd)
{
    return _close(fd);
}
#else
// O_NONBLOCK makes the open itself return at once on a FIFO without a
// writer; reads of a regular file do not heed it.
int openForReading(const char* path)
{
    return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}
using FileStat = struct stat;
int statOf(int fd, FileStat& st)
{
    return fstat(fd, &st);
}
long readSome(int fd, char* buffer, unsigned size)
{
    return static_cast<long>(read(fd, buffer, size));
}
int closeFile(int fd)
{
    return close(fd);
}
#endif

std::string systemReason(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool readRegularFile(const std::string& path, std::size_t maxBytes, std::string& contents, std::string& error)
{
    contents.clear();
    int fd = openForReading(path.c_str());
    if (fd < 0) {
        error = systemReason("cannot read");
        return false;
    }
    FileStat st{};
    bool ok = true;
    if (statOf(fd, st) != 0) {
        error = systemReason("cannot read");
        ok = false;
    } else if ((st.st_mode & S_IFMT) != S_IFREG) {
        error = "not a regular file";
        ok = false;
    } else if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        error = "too large: more than " + std::to_string(maxBytes) + " bytes";
        ok = false;
    }
    char chunk[65536];
    while (ok) {
        long got = readSome(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = systemReason("cannot read");
            ok = false;
        } else if (got == 0) {
            break;
        } else if (contents.size() + static_cast<std::size_t>(got) > maxBytes) {
            // The file grew after fstat.
            error = "too large: more than " + std::to_string(maxBytes) + " bytes";
            ok = false;
        } else {
            contents.append(chunk, static_cast<std::size_t>(got));
        }
    }
    closeFile(fd);
    if (!ok) {
        contents.clear();
        contents.shrink_to_fit();
    }
    return ok;
}

bool replaceableFile(const std::string& path, std::string& error)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        error = "not a regular file";
        return false;
    }
    return true;
#else
    struct stat st { };
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = systemReason("cannot look at it");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return false;
    }
    return true;
#endif
}

}  // namespace simplatform
