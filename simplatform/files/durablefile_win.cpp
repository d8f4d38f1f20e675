// Durable files on Windows: positioned WriteFile, FlushFileBuffers and
// MoveFileEx with MOVEFILE_WRITE_THROUGH. A folder cannot be opened to be
// flushed there; MOVEFILE_WRITE_THROUGH returns only once the rename is on
// the disk, which is what the folder's flush gives on POSIX.
#include <string>

// The socket layer first: it brings Winsock 2 before <windows.h>.
#include "../os/socket.h"
#include "durablefile.h"

#include <windows.h>

namespace simplatform {
namespace {

// What failed, with the text of the last Windows error.
std::string lastErrorText(const char* what)
{
    return std::string(what) + ": " + windowsErrorText(GetLastError());
}

std::string nameOf(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

HANDLE openFile(const std::string& path, DWORD disposition)
{
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

void closeQuietly(void* handle)
{
    if (handle != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle));
    }
}

}  // namespace

DurableFile::~DurableFile()
{
    closeQuietly(handle_);
}

DurableFile::DurableFile(DurableFile&& other) noexcept
    : handle_(other.handle_)
    , path_(std::move(other.path_))
{
    other.handle_ = nullptr;
}

DurableFile& DurableFile::operator=(DurableFile&& other) noexcept
{
    if (this != &other) {
        closeQuietly(handle_);
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = nullptr;
    }
    return *this;
}

bool DurableFile::isOpen() const
{
    return handle_ != nullptr;
}

bool DurableFile::create(const std::string& path, std::string& error)
{
    closeQuietly(handle_);
    handle_ = nullptr;
    HANDLE h = openFile(path, CREATE_NEW);
    if (h == INVALID_HANDLE_VALUE) {
        error = lastErrorText("cannot create");
        return false;
    }
    handle_ = h;
    path_ = path;
    return true;
}

// CREATE_NEW refuses a name that exists; the name is made unique by the
// process and a counter.
bool DurableFile::createBeside(const std::string& path, std::string& error)
{
    static unsigned serial = 0;
    closeQuietly(handle_);
    handle_ = nullptr;
    std::string stem = folderOf(path) + "." + nameOf(path) + "." + std::to_string(GetCurrentProcessId()) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = stem + std::to_string(++serial);
        HANDLE h = openFile(temporary, CREATE_NEW);
        if (h != INVALID_HANDLE_VALUE) {
            handle_ = h;
            path_ = temporary;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    error = lastErrorText("cannot create a file beside it");
    return false;
}

bool DurableFile::openExisting(const std::string& path, std::string& error)
{
    closeQuietly(handle_);
    handle_ = nullptr;
    HANDLE h = openFile(path, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        error = lastErrorText("cannot open");
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(h);
        error = "not a regular file";
        return false;
    }
    handle_ = h;
    path_ = path;
    return true;
}

bool DurableFile::writeAt(std::uint64_t offset, const char* data, std::size_t size, std::string& error)
{
    size_t written = 0;
    while (written < size) {
        OVERLAPPED at{};
        std::uint64_t position = offset + written;
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD chunk = static_cast<DWORD>(size - written < (1u << 30) ? size - written : (1u << 30));
        DWORD done = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), data + written, chunk, &done, &at) || done == 0) {
            error = lastErrorText("cannot write");
            return false;
        }
        written += done;
    }
    return true;
}

bool DurableFile::truncate(std::uint64_t size, std::string& error)
{
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(static_cast<HANDLE>(handle_), to, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(static_cast<HANDLE>(handle_))) {
        error = lastErrorText("cannot truncate");
        return false;
    }
    return true;
}

bool DurableFile::flush(std::string& error)
{
    if (!FlushFileBuffers(static_cast<HANDLE>(handle_))) {
        error = lastErrorText("cannot flush");
        return false;
    }
    return true;
}

void DurableFile::startWriteback(std::uint64_t offset, std::uint64_t size)
{
    (void)offset;
    (void)size;
}

void DurableFile::waitWriteback(std::uint64_t offset, std::uint64_t size)
{
    (void)offset;
    (void)size;
}

bool DurableFile::close(std::string& error)
{
    void* handle = handle_;
    handle_ = nullptr;
    if (handle != nullptr && !CloseHandle(static_cast<HANDLE>(handle))) {
        error = lastErrorText("cannot write");
        return false;
    }
    return true;
}

std::string folderOf(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool flushFolderOf(const std::string& path, std::string& error)
{
    (void)path;
    (void)error;
    return true;
}

bool replaceFile(const std::string& from, const std::string& to, std::string& error)
{
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = lastErrorText("cannot replace it");
        return false;
    }
    return true;
}

// Without MOVEFILE_REPLACE_EXISTING a name that exists is refused.
bool renameAside(const std::string& from, const std::string& to, std::string& error)
{
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        error = lastErrorText("cannot rename it");
        return false;
    }
    return true;
}

bool removeFile(const std::string& path, std::string& error)
{
    if (!DeleteFileA(path.c_str())) {
        error = lastErrorText("cannot remove");
        return false;
    }
    return true;
}

bool namesBeside(const std::string& path, const std::string& prefix, std::vector<std::string>& names,
                 std::string& error)
{
    names.clear();
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((folderOf(path) + prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        error = lastErrorText("cannot list its folder");
        return false;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

}  // namespace simplatform
