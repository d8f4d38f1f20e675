// Durable files on POSIX: pwrite, fdatasync, rename and the folder's fsync.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "durablefile.h"

namespace simplatform {
namespace {

std::string systemReason(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

std::string nameOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int closeQuietly(int fd)
{
    return fd >= 0 ? ::close(fd) : 0;
}

}  // namespace

DurableFile::~DurableFile()
{
    closeQuietly(fd_);
}

DurableFile::DurableFile(DurableFile&& other) noexcept
    : fd_(other.fd_)
    , path_(std::move(other.path_))
{
    other.fd_ = -1;
}

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept
{
    if (this != &other) {
        closeQuietly(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

bool DurableFile::isOpen() const
{
    return fd_ >= 0;
}

bool DurableFile::create(const std::string& path, std::string& error)
{
    closeQuietly(fd_);
    // O_EXCL refuses any name that exists, a link included.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) {
        error = systemReason("cannot create");
        return false;
    }
    path_ = path;
    return true;
}

bool DurableFile::createBeside(const std::string& path, std::string& error)
{
    closeQuietly(fd_);
    std::string temporary = folderOf(path) + "." + nameOf(path) + ".XXXXXX";
    fd_ = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd_ < 0) {
        error = systemReason("cannot create a file beside it");
        return false;
    }
    // mkstemp makes the file private; the state is for anybody to read.
    if (fchmod(fd_, 0644) != 0) {
        error = systemReason("cannot create a file beside it");
        ::close(fd_);
        fd_ = -1;
        ::unlink(temporary.c_str());
        return false;
    }
    path_ = temporary;
    return true;
}

bool DurableFile::openExisting(const std::string& path, std::string& error)
{
    closeQuietly(fd_);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat st { };
    if (fd_ < 0) {
        error = systemReason("cannot open");
        return false;
    }
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    path_ = path;
    return true;
}

bool DurableFile::writeAt(std::uint64_t offset, const char* data, std::size_t size, std::string& error)
{
    size_t written = 0;
    while (written < size) {
        ssize_t n = ::pwrite(fd_, data + written, size - written, static_cast<off_t>(offset + written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            error = systemReason("cannot write");
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

bool DurableFile::truncate(std::uint64_t size, std::string& error)
{
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        error = systemReason("cannot truncate");
        return false;
    }
    return true;
}

bool DurableFile::flush(std::string& error)
{
    if (::fdatasync(fd_) != 0) {
        error = systemReason("cannot flush");
        return false;
    }
    return true;
}

void DurableFile::startWriteback(std::uint64_t offset, std::uint64_t size)
{
#ifdef __linux__
    sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(size), SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)size;
#endif
}

void DurableFile::waitWriteback(std::uint64_t offset, std::uint64_t size)
{
#ifdef __linux__
    sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(size),
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
#else
    (void)offset;
    (void)size;
#endif
}

bool DurableFile::close(std::string& error)
{
    int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) {
        error = systemReason("cannot write");
        return false;
    }
    return true;
}

std::string folderOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool flushFolderOf(const std::string& path, std::string& error)
{
    std::string folder = folderOf(path);
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = systemReason("cannot flush its folder");
        return false;
    }
    bool ok = ::fsync(fd) == 0;
    if (!ok) {
        error = systemReason("cannot flush its folder");
    }
    ::close(fd);
    return ok;
}

bool replaceFile(const std::string& from, const std::string& to, std::string& error)
{
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        error = systemReason("cannot replace it");
        return false;
    }
    return flushFolderOf(to, error);
}

// A hard link fails when the name exists, so the file is never put over
// another; where links are not offered, renameat2's RENAME_NOREPLACE.
bool renameAside(const std::string& from, const std::string& to, std::string& error)
{
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) != 0) {
            error = systemReason("cannot rename it");
            return false;
        }
        return flushFolderOf(to, error);
    }
#ifdef RENAME_NOREPLACE
    if (errno != EEXIST && renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return flushFolderOf(to, error);
    }
#endif
    error = systemReason("cannot rename it");
    return false;
}

bool removeFile(const std::string& path, std::string& error)
{
    if (::unlink(path.c_str()) != 0) {
        error = systemReason("cannot remove");
        return false;
    }
    return true;
}

bool namesBeside(const std::string& path, const std::string& prefix, std::vector<std::string>& names,
                 std::string& error)
{
    names.clear();
    std::string folder = folderOf(path);
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        error = systemReason("cannot list its folder");
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    return true;
}

}  // namespace simplatform
