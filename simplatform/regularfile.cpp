// Files read whole: opened without blocking, regular files only, capped.
#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace simplatform {
namespace {

#ifdef _WIN32
// Windows has no FIFOs in the file system; a device name (NUL, COM1) is
// what could stand in a file's place, and _fstat tells it apart.
int openForReading(const char* path) { return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT); }
using FileStat = struct _stat64;
int statOf(int fd, FileStat& st) { return _fstat64(fd, &st); }
long readSome(int fd, char* buffer, unsigned size) { return _read(fd, buffer, size); }
int closeFile(int fd) { return _close(fd); }
#else
// O_NONBLOCK makes the open itself return at once on a FIFO without a
// writer; reads of a regular file do not heed it.
int openForReading(const char* path) { return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }
using FileStat = struct stat;
int statOf(int fd, FileStat& st) { return fstat(fd, &st); }
long readSome(int fd, char* buffer, unsigned size) { return static_cast<long>(read(fd, buffer, size)); }
int closeFile(int fd) { return close(fd); }
#endif

std::string systemReason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool readRegularFile(const std::string& path, std::size_t maxBytes, std::string& contents,
                     std::string& fault)
{
    contents.clear();
    int fd = openForReading(path.c_str());
    if (fd < 0) {
        fault = systemReason("cannot read");
        return false;
    }
    FileStat st{};
    bool ok = true;
    if (statOf(fd, st) != 0) {
        fault = systemReason("cannot read");
        ok = false;
    } else if ((st.st_mode & S_IFMT) != S_IFREG) {
        fault = "not a regular file";
        ok = false;
    } else if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        fault = "too large: more than " + std::to_string(maxBytes) + " bytes";
        ok = false;
    }
    char chunk[65536];
    while (ok) {
        long got = readSome(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fault = systemReason("cannot read");
            ok = false;
        } else if (got == 0) {
            break;
        } else if (contents.size() + static_cast<std::size_t>(got) > maxBytes) {
            // The file grew after fstat.
            fault = "too large: more than " + std::to_string(maxBytes) + " bytes";
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

}  // namespace simplatform
