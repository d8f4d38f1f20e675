// The map file loader: a JSON map file checked and made the open map.
//
// Map file rules beyond its documented form: ids are whole numbers from 1 to
// 4294967295; "name", "submaps", "objects", "fields" and "symbols" may be
// left out (empty); submap names are unique; a field has one type on the
// whole map; a symbol without a "label" is labelled with its object's host
// name (or ""); keys not named here are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace simplatform {

// Loads and validates a map file and makes it the open map (replacing any
// open one; the same map opened again keeps its handle and state, mapdb.h).
// On failure the open map is unchanged, and error names the file and the
// fault.
bool openMapFile(const std::string& path, std::string& error);
// The same for map text already read; name stands for the file in errors.
bool openMapText(const std::string& text, const std::string& name, std::string& error);

// Limits of a map file; a larger one is refused as too large.
constexpr std::uint64_t kMaxMapFileBytes = std::uint64_t{16} * 1024 * 1024;
constexpr std::size_t kMaxSubmaps = 10000;
constexpr std::size_t kMaxObjects = 100000;
constexpr std::size_t kMaxSymbols = 100000;  // over all objects
constexpr std::size_t kMaxFieldsPerObject = 256;
constexpr std::size_t kMaxFieldNames = 4096;  // distinct names, process-wide
constexpr int kMaxMapNesting = 32;            // arrays and objects
// Checked while the file is parsed, so that no file within the size cap can
// take more memory or time than the largest map that keeps the limits above.
constexpr std::size_t kMaxMapValues = 2000000;  // every JSON value counts
constexpr std::size_t kMaxMapMembers = 1024;    // names in one JSON object

}  // namespace simplatform
