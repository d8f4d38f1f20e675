// Reading the store back: the snapshot, its journals in order, and what is
// kept aside when they cannot be read.
#include "storefiles.h"

#include <algorithm>
#include <ctime>
#include <set>

#include "../files/durablefile.h"
#include "../mapdb/jsontext.h"
#include "../os/regularfile.h"
#include "journal.h"

namespace simplatform {
namespace {

constexpr char kJournalInfix[] = ".journal-";

std::string nameOf(const std::string& path)
{
    return path.substr(folderOf(path).size());
}

// The generation of a journal's file name, or 0 when it is not one.
std::uint64_t generationOf(const std::string& name, const std::string& stateName)
{
    std::string prefix = stateName + kJournalInfix;
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size() ||
        name.size() > prefix.size() + 18) {
        return 0;
    }
    std::uint64_t generation = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        generation = generation * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    return generation;
}

// The journals beside path, by generation.
bool journalsBeside(const std::string& path, std::vector<std::uint64_t>& generations, bool& snapshot,
                    std::string& error)
{
    std::vector<std::string> names;
    if (!namesBeside(path, nameOf(path), names, error)) {
        return false;
    }
    snapshot = false;
    generations.clear();
    for (const std::string& name : names) {
        snapshot = snapshot || name == nameOf(path);
        if (std::uint64_t generation = generationOf(name, nameOf(path))) {
            generations.push_back(generation);
        }
    }
    std::sort(generations.begin(), generations.end());
    return true;
}

// Replays one journal over files.state. False and why when it cannot be
// read or is not the snapshot's: a header of another map or generation is
// a journal the store began and never finished (a new map's first
// snapshot): stale, as are the ones after it.
bool replayJournal(const std::string& path, std::uint64_t generation, StoreFiles& files, bool& stale,
                   std::string& error)
{
    std::string text;
    std::string reason;
    std::string name = nameOf(journalPath(path, generation));
    if (!readRegularFile(journalPath(path, generation), kMaxStateFileBytes, text, reason)) {
        error = name + ": " + reason;
        return false;
    }
    JournalText journal;
    if (!readJournalText(text, journal, reason)) {
        error = name + ": " + reason;
        return false;
    }
    std::string map;
    std::uint64_t header = 0;
    stale = journal.records.empty() || !readJournalHeader(journal.records[0], map, header, reason) ||
            map != files.state.map || header != generation;
    if (stale) {
        return true;
    }
    for (size_t i = 1; i < journal.records.size(); ++i) {
        if (!applyJournalRecord(journal.records[i], files.state, reason)) {
            error = name;
            error.append(": record ").append(std::to_string(i + 1)).append(": ").append(reason);
            return false;
        }
    }
    files.journal = generation;
    files.journalBytes = journal.goodBytes;
    return true;
}

// Now, as a part of a file name: 20250102T140203Z.
std::string timeStamp()
{
    std::string text;
    appendUtcTime(text, static_cast<std::int64_t>(std::time(nullptr)));
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '-' || c == ':'; }), text.end());
    return text;
}

}  // namespace

std::string journalPath(const std::string& statePath, std::uint64_t generation)
{
    return statePath + kJournalInfix + std::to_string(generation);
}

bool stateFileUsable(const std::string& path, std::string& error)
{
    return replaceableFile(path, error);
}

bool readStore(const std::string& path, StoreFiles& files, std::string& error)
{
    files = StoreFiles{};
    std::vector<std::uint64_t> generations;
    bool snapshot = false;
    std::string unlisted;
    if (!journalsBeside(path, generations, snapshot, unlisted)) {
        return true;  // no folder to read: nothing stored, and writing says why
    }
    files.lastGeneration = generations.empty() ? 0 : generations.back();
    if (!snapshot) {
        return true;
    }
    std::string text;
    if (!readRegularFile(path, kMaxStateFileBytes, text, error) || !readSnapshot(text, files.state, error)) {
        return false;
    }
    files.found = true;
    files.snapshotBytes = text.size();
    files.lastGeneration = std::max(files.lastGeneration, files.state.generation);
    bool stale = false;
    for (std::uint64_t generation : generations) {
        if (generation >= files.state.generation && !stale &&
            !replayJournal(path, generation, files, stale, error)) {
            return false;
        }
    }
    return true;
}

bool setStoreAside(const std::string& path, std::string& aside, std::string& error)
{
    std::vector<std::string> names;
    if (!namesBeside(path, nameOf(path), names, error)) {
        return false;
    }
    std::set<std::string> taken(names.begin(), names.end());
    std::vector<std::string> moving;
    for (const std::string& name : names) {
        if (name == nameOf(path) || generationOf(name, nameOf(path)) != 0) {
            moving.push_back(name);
        }
    }
    // One suffix for all of them, which none of their new names has yet.
    std::string suffix = ".bad-" + timeStamp();
    for (int n = 2; n < 1000; ++n) {
        bool free = std::none_of(moving.begin(), moving.end(),
                                 [&](const std::string& name) { return taken.count(name + suffix) != 0; });
        if (free) {
            break;
        }
        suffix = ".bad-" + timeStamp() + "-" + std::to_string(n);
    }
    aside = path + suffix;
    for (const std::string& name : moving) {
        std::string from = folderOf(path) + name;
        if (!renameAside(from, from + suffix, error)) {
            error.insert(0, name + ": ");
            return false;
        }
    }
    return true;
}

void removeJournalsBelow(const std::string& path, std::uint64_t generation)
{
    std::vector<std::uint64_t> generations;
    bool snapshot = false;
    std::string error;
    if (journalsBeside(path, generations, snapshot, error)) {
        for (std::uint64_t old : generations) {
            if (old < generation) {
                removeFile(journalPath(path, old), error);
            }
        }
    }
}

void removeUnfinishedSnapshots(const std::string& path)
{
    std::vector<std::string> names;
    std::string error;
    if (namesBeside(path, "." + nameOf(path) + ".", names, error)) {
        for (const std::string& name : names) {
            removeFile(folderOf(path) + name, error);
        }
    }
}

}  // namespace simplatform
