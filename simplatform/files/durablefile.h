// Files the platform relies on after a crash or a power loss: written,
// flushed to the disk before anything depends on them, replaced by a rename
// whose folder is flushed too, and never written through a link.
//
// What each call guarantees once it has returned true:
// - flush: the file's data and size are on the disk (fdatasync on POSIX,
//   FlushFileBuffers on Windows).
// - replaceFile and renameAside: the new name is on the disk (the rename,
//   then the folder flushed with fsync; on Windows MoveFileEx with
//   MOVEFILE_WRITE_THROUGH, since a folder cannot be flushed there).
// - create, createBeside: the name exists in the folder; flushFolderOf makes
//   that survive a crash.
// Every call says false and why ("cannot write: No space left on device").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simplatform {

// One file open for writing; closed when it goes.
class DurableFile {
public:
    DurableFile() = default;
    ~DurableFile();
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;
    DurableFile(DurableFile&& other) noexcept;
    DurableFile& operator=(DurableFile&& other) noexcept;

    bool isOpen() const;
    const std::string& path() const { return path_; }

    // Creates path, which must not exist: a link or any other file in its
    // place is refused, never followed.
    bool create(const std::string& path, std::string& error);
    // Creates a new file with a name of its own beside path
    // (".<name>.<unique>"), readable by all like the file it will replace.
    bool createBeside(const std::string& path, std::string& error);
    // Opens path, an existing regular file (not a link), for writing.
    bool openExisting(const std::string& path, std::string& error);

    // Writes all of data at offset. After a failure the bytes from offset
    // on are unknown: the caller truncates or writes them again.
    bool writeAt(std::uint64_t offset, const char* data, std::size_t size, std::string& error);
    bool truncate(std::uint64_t size, std::string& error);
    // The data and the size on the disk.
    bool flush(std::string& error);
    // Starts writing the range to the disk without waiting for it (Linux's
    // sync_file_range), so that the flush that ends a large file has little
    // left to wait for; waitWriteback waits until a range started earlier is
    // written (its data, not the file's size). Elsewhere both do nothing.
    void startWriteback(std::uint64_t offset, std::uint64_t size);
    void waitWriteback(std::uint64_t offset, std::uint64_t size);
    // Closes the file; a failure is reported (a write error may show only
    // here).
    bool close(std::string& error);

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::string path_;
};

// Renames from over to, replacing it in one step, and flushes the folder.
bool replaceFile(const std::string& from, const std::string& to, std::string& error);
// Renames from to to, which must not exist (nothing is ever overwritten),
// and flushes the folder.
bool renameAside(const std::string& from, const std::string& to, std::string& error);
// Flushes the folder that holds path, so that a name created, renamed or
// removed there survives a crash. Windows: nothing to do (true).
bool flushFolderOf(const std::string& path, std::string& error);
bool removeFile(const std::string& path, std::string& error);
// The names in the folder of path that begin with prefix (file names only,
// no folder).
bool namesBeside(const std::string& path, const std::string& prefix, std::vector<std::string>& names,
                 std::string& error);
// The folder part of path, with its separator ("" for a bare name).
std::string folderOf(const std::string& path);

}  // namespace simplatform
