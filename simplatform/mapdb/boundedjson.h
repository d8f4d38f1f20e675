// JSON text parsed with limits that hold while it is parsed: a document of
// too many values or nested too deep is refused when the parser reaches
// the value that is one too many, before it is built further.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace simplatform {

struct JsonLimits {
    std::size_t maxValues;   // every value counts: objects, arrays, scalars
    int maxDepth;            // arrays and objects inside each other
    std::size_t maxMembers;  // names of one object (each new name is looked
                             // up among the earlier ones, to keep their order)
};

// Parses text into document. On failure false, document null, and error
// says where and what: "line L, column C: <reason>". The reason never
// quotes the text, so a file the caller could not read itself stays
// unread through the error text.
bool parseBoundedJson(const std::string& text, const JsonLimits& limits, nlohmann::ordered_json& document,
                      std::string& error);

// One step of a path into a document: a member by its name, or by its
// index an array's element or an object's member (in the text's order).
struct JsonStep {
    std::string name;
    std::size_t index = 0;
    bool byIndex = false;
};

// "line L, column C" of the value at path in text: of its last byte, or of
// the bracket that opens an array or object. Empty when the text has no
// value there.
std::string locateJson(const std::string& text, const std::vector<JsonStep>& path);

}  // namespace simplatform
