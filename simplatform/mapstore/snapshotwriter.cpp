// The snapshot's file: written in slices, started on its way to the disk
// after each, flushed, renamed over the state file, its folder flushed.
#include "snapshotwriter.h"

#include <algorithm>

#include "../mapdb/jsontext.h"
#include "../mapdb/mapdb.h"
#include "../mapdb/mapview.h"
#include "../os/regularfile.h"

namespace simplatform {

bool SnapshotWriter::begin(const std::string& path, const MapDatabase& map, std::string& error)
{
    abandon();
    if (!file_.createBeside(path, error)) {
        return false;
    }
    path_ = path;
    map_ = &map;
    nextObject_ = 0;
    written_ = 0;
    sliceStart_ = 0;
    text_.clear();
    appendMapStateHead(text_, map);
    return write(error);
}

bool SnapshotWriter::writeSlice(bool& done, std::string& error)
{
    const std::vector<ObjectData>& objects = map_->objects;
    size_t end = std::min(objects.size(), nextObject_ + kSliceObjects);
    for (; nextObject_ < end && text_.size() < kSliceBytes; ++nextObject_) {
        if (nextObject_ > 0) {
            text_ += ',';
        }
        appendObjectState(text_, objects[nextObject_]);
    }
    done = nextObject_ == objects.size();
    std::uint64_t start = written_;
    if (!write(error)) {
        return false;
    }
    // The slice before has had a turn to reach the disk: waiting for it now
    // costs little, and spreads the wait that the final flush would
    // otherwise have alone over the slices.
    file_.waitWriteback(sliceStart_, start - sliceStart_);
    file_.startWriteback(start, written_ - start);
    sliceStart_ = start;
    return true;
}

bool SnapshotWriter::finish(std::uint64_t generation, std::optional<std::uint32_t> boots, std::string& error)
{
    text_ += "],\"journal\":";
    appendJsonNumber(text_, static_cast<std::int64_t>(generation));
    if (boots) {
        text_ += ",\"engineBoots\":";
        appendJsonNumber(text_, *boots);
    }
    text_ += "}\n";
    // Nothing in the state file's place but a regular file is replaced.
    bool ok = write(error) && file_.flush(error) && file_.close(error) && replaceableFile(path_, error) &&
              replaceFile(file_.path(), path_, error);
    if (!ok) {
        abandon();
        return false;
    }
    map_ = nullptr;
    return true;
}

void SnapshotWriter::abandon()
{
    if (file_.isOpen() || (map_ != nullptr && !file_.path().empty())) {
        std::string ignored;
        file_.close(ignored);
        removeFile(file_.path(), ignored);
    }
    file_ = DurableFile();
    map_ = nullptr;
    text_.clear();
}

bool SnapshotWriter::write(std::string& error)
{
    if (!file_.writeAt(written_, text_.data(), text_.size(), error)) {
        return false;
    }
    written_ += text_.size();
    text_.clear();
    return true;
}

}  // namespace simplatform
