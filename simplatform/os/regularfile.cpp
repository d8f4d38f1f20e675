// Files read whole (opened without blocking, regular files only, capped)
// and files replaced whole (through an exclusive new file and a rename).
#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <share.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdio>

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

bool replaceRegularFile(const std::string& path, const std::string& contents, std::string& error)
{
    std::string folder;
    std::string name = path;
#ifdef _WIN32
    size_t slash = path.find_last_of("/\\");
#else
    size_t slash = path.find_last_of('/');
#endif
    if (slash != std::string::npos) {
        folder = path.substr(0, slash + 1);
        name = path.substr(slash + 1);
    }
#ifdef _WIN32
    // _O_EXCL refuses a name that exists, link or not; the name is made
    // unique by the process and a counter.
    static unsigned serial = 0;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder + "." + name + "." + std::to_string(GetCurrentProcessId()) + "." +
                    std::to_string(++serial);
        if (_sopen_s(&fd, temporary.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                     _S_IREAD | _S_IWRITE) != 0) {
            fd = -1;
            if (errno != EEXIST) {
                break;
            }
        }
    }
#else
    std::string temporary = folder + "." + name + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
#endif
    if (fd < 0) {
        error = systemReason("cannot create a file beside it");
        return false;
    }
    bool ok = true;
#ifndef _WIN32
    // mkstemp makes the file private; the state is for anybody to read.
    ok = fchmod(fd, 0644) == 0;
#endif
    for (size_t written = 0; ok && written < contents.size();) {
#ifdef _WIN32
        long n = _write(fd, contents.data() + written,
                        static_cast<unsigned>(std::min<size_t>(contents.size() - written, 1 << 30)));
#else
        long n = static_cast<long>(write(fd, contents.data() + written, contents.size() - written));
#endif
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += ok ? static_cast<size_t>(n) : 0;
    }
    if (!ok) {
        error = systemReason("cannot write");
    }
    if (closeFile(fd) != 0 && ok) {
        error = systemReason("cannot write");
        ok = false;
    }
#ifdef _WIN32
    if (ok && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
        error = "cannot replace it: error " + std::to_string(GetLastError());
        ok = false;
    }
#else
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = systemReason("cannot replace it");
        ok = false;
    }
#endif
    if (!ok) {
        std::remove(temporary.c_str());
    }
    return ok;
}

}  // namespace simplatform
