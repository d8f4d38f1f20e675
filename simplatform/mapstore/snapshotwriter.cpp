// The snapshot's file: written in slices, started on its way to the disk
// after each, flushed, renamed over the state file, its folder flushed.
#include "snapshotwriter.h"

#include <algorithm>

#include "../mapdb/jsontext.h"
#include "../mapdb/mapdb.h"
#include "../mapdb/mapview.h"
#include "../os/regularfile.h"

namespace simplatform {
namespace {

void appendObject(std::string& out, const MapDatabase&, const ObjectData& object, std::size_t index, unsigned)
{
    if (index > 0) {
        out += ',';
    }
    appendObjectState(out, object);
}

}  // namespace

bool SnapshotWriter::begin(const std::string& path, const MapDatabase& map, std::string& error)
{
    abandon();
    if (!file_.createBeside(path, error)) {
        return false;
    }
    stage_ = SnapshotStage::Slices;
    temporary_ = file_.path();
    path_ = path;
    map_ = &map;
    slices_.begin(map, 1, false);
    written_ = 0;
    startedTo_ = 0;
    waitedTo_ = 0;
    text_.clear();
    appendMapStateHead(text_, map);
    return write(error);
}

bool SnapshotWriter::writeSlice(bool& done, std::string& error)
{
    done = slices_.appendSlice(text_, appendObject) == MapSlices::Step::Done;
    if (!write(error)) {
        return false;
    }
    // The slices go on their way to the disk kWriteback at a time. What was
    // started that long ago has had turns to get there: waiting for it then
    // costs little, and bounds what the file's flush waits for at the end.
    if (written_ - startedTo_ >= kWriteback) {
        if (startedTo_ > waitedTo_) {
            file_.waitWriteback(waitedTo_, startedTo_ - waitedTo_);
            waitedTo_ = startedTo_;
        }
        file_.startWriteback(startedTo_, written_ - startedTo_);
        startedTo_ = written_;
    }
    return true;
}

bool SnapshotWriter::writeEnd(std::uint64_t generation, std::optional<std::uint32_t> boots, std::string& error)
{
    text_ += "],\"journal\":";
    appendJsonNumber(text_, static_cast<std::int64_t>(generation));
    if (boots) {
        text_ += ",\"engineBoots\":";
        appendJsonNumber(text_, *boots);
    }
    text_ += "}\n";
    if (!write(error)) {
        return false;
    }
    file_.startWriteback(startedTo_, written_ - startedTo_);
    stage_ = SnapshotStage::Written;
    return true;
}

bool SnapshotWriter::flushFile(std::string& error)
{
    if (!file_.flush(error) || !file_.close(error)) {
        return false;
    }
    stage_ = SnapshotStage::Flushed;
    return true;
}

bool SnapshotWriter::replace(std::string& error)
{
    if (!replaceableFile(path_, error) || !replaceFile(temporary_, path_, error)) {
        return false;
    }
    stage_ = SnapshotStage::None;
    map_ = nullptr;
    return true;
}

void SnapshotWriter::abandon()
{
    if (stage_ != SnapshotStage::None) {
        std::string ignored;
        file_.close(ignored);
        removeFile(temporary_, ignored);
    }
    stage_ = SnapshotStage::None;
    file_ = DurableFile();
    map_ = nullptr;
    slices_.end();
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
