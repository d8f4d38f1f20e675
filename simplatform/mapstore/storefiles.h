// The store's files beside the state file P, and reading them back:
//
//   P                      the snapshot: the state document, the journal it
//                          starts ("journal": N) and the engine's boots
//   P.journal-N            the journals, one generation each, N from 1 up
//   .P's name.XXXXXX       a snapshot being written (left by a crash: removed)
//   P.bad-<time>, P.journal-N.bad-<time>
//                          files that could not be read, kept aside
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storedstate.h"

namespace simplatform {

std::string journalPath(const std::string& statePath, std::uint64_t generation);

// False, and why, when path names something that exists and is not a
// regular file (a link, a device, a FIFO, a folder): the store is never
// kept there.
bool stateFileUsable(const std::string& path, std::string& error);

// What reading the store found.
struct StoreFiles {
    bool found = false;  // a snapshot was read, and state holds it
    StoredState state;
    std::uint64_t snapshotBytes = 0;
    // The journal to append to: the last one replayed (0: none), and the
    // length of its good records; a torn end after them is cut off before
    // anything is appended.
    std::uint64_t journal = 0;
    std::uint64_t journalBytes = 0;
    // The highest generation of any file found: the next one is above it.
    // Journals below the snapshot's generation, or not of its map, are
    // left unread and removed once the next snapshot is on the disk.
    std::uint64_t lastGeneration = 0;
};

// Reads the store at path: the snapshot, then each journal from the one it
// starts, in order. Nothing there (or no folder that can be listed): found
// is false. A store that cannot be read (not JSON, not a state, too large,
// a record that fails its check in the middle of a journal): false, error
// says why, and nothing is changed.
bool readStore(const std::string& path, StoreFiles& files, std::string& error);

// Renames the snapshot and its journals to names of their own beside them
// (P.bad-<time>, ...), never over a file that exists. The names given to
// the snapshot in aside; false and why when a rename fails.
bool setStoreAside(const std::string& path, std::string& aside, std::string& error);

// Removes snapshots left half written by a crash.
void removeUnfinishedSnapshots(const std::string& path);
// Removes the journals of generations below generation.
void removeJournalsBelow(const std::string& path, std::uint64_t generation);

}  // namespace simplatform
