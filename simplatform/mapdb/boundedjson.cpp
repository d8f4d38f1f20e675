// The JSON parser's SAX events built into a document, counted and checked
// against the limits as they arrive.
#include "boundedjson.h"

#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

namespace simplatform {
namespace {

using Json = nlohmann::ordered_json;

// A pointer into the text that tells how far the parser has read, so a
// fault found in an event can be placed.
struct ReadingPosition {
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    const char* at = nullptr;
    const char** furthest = nullptr;

    reference operator*() const { return *at; }
    ReadingPosition& operator++()
    {
        ++at;
        if (at > *furthest) {
            *furthest = at;
        }
        return *this;
    }
    ReadingPosition operator++(int)
    {
        ReadingPosition before = *this;
        ++*this;
        return before;
    }
    bool operator==(const ReadingPosition& other) const { return at == other.at; }
    bool operator!=(const ReadingPosition& other) const { return at != other.at; }
};

class Builder : public nlohmann::json_sax<Json> {
public:
    Builder(Json& root, const JsonLimits& limits)
        : root_(root)
        , limits_(limits)
    {
    }

    bool null() override { return put(Json(nullptr)); }
    bool boolean(bool value) override { return put(Json(value)); }
    bool number_integer(number_integer_t value) override { return put(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return put(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return put(Json(value)); }
    bool string(string_t& value) override { return put(Json(std::move(value))); }
    bool binary(binary_t& value) override { return put(Json::binary(std::move(value))); }
    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& name) override
    {
        Json& object = *open_.back();
        if (object.size() >= limits_.maxMembers) {
            reason_ = "an object of more than " + std::to_string(limits_.maxMembers) + " members";
            return false;
        }
        key_ = &object[std::move(name)];
        return true;
    }
    bool end_object() override
    {
        open_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override
    {
        open_.pop_back();
        return true;
    }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) override
    {
        // The library's own text quotes the bytes it stopped at; only its
        // kind of fault is kept.
        position_ = position;
        reason_ = error.id == 406 ? "number out of range" : "not valid JSON";
        return false;
    }

    const std::string& reason() const { return reason_; }
    bool hasPosition() const { return position_ != std::string::npos; }
    std::size_t position() const { return position_; }

private:
    bool count()
    {
        if (++values_ > limits_.maxValues) {
            reason_ = "more than " + std::to_string(limits_.maxValues) + " values";
            return false;
        }
        return true;
    }
    Json* place(Json&& value)
    {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *open_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        *key_ = std::move(value);
        return key_;
    }
    bool put(Json&& value)
    {
        if (!count()) {
            return false;
        }
        place(std::move(value));
        return true;
    }
    bool open(Json&& container)
    {
        if (!count()) {
            return false;
        }
        if (static_cast<int>(open_.size()) >= limits_.maxDepth) {
            reason_ = "nested deeper than " + std::to_string(limits_.maxDepth) + " levels";
            return false;
        }
        open_.push_back(place(std::move(container)));
        return true;
    }

    Json& root_;
    JsonLimits limits_;
    std::vector<Json*> open_;  // the containers being filled, innermost last
    Json* key_ = nullptr;      // the member the next value goes to
    std::size_t values_ = 0;
    std::string reason_;
    std::size_t position_ = std::string::npos;
};

// Line and column (from 1, in bytes) of the byte at offset.
std::string whereIs(const std::string& text, std::size_t offset)
{
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
}

// Walks the events keeping the path of the value that comes next, and
// stops at the first value whose path is the one looked for.
class Locator : public nlohmann::json_sax<Json> {
public:
    explicit Locator(const std::vector<JsonStep>& path)
        : path_(path)
    {
    }

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override { return open(false); }
    bool key(string_t& name) override
    {
        Frame& frame = frames_.back();
        frame.name = name;
        frame.index = frame.count++;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

    bool found() const { return found_; }

private:
    struct Frame {
        bool array;
        std::size_t count = 0;  // elements or members begun so far
        std::size_t index = 0;  // of the value that comes next
        std::string name;       // of the member that comes next
    };

    bool here()
    {
        if (frames_.size() != path_.size()) {
            return false;
        }
        for (std::size_t i = 0; i < path_.size(); ++i) {
            const Frame& frame = frames_[i];
            const JsonStep& step = path_[i];
            if (step.byIndex ? frame.index != step.index : (frame.array || frame.name != step.name)) {
                return false;
            }
        }
        return true;
    }
    // A value begins: false stops the walk when it is the one looked for.
    bool value()
    {
        if (!frames_.empty() && frames_.back().array) {
            frames_.back().index = frames_.back().count++;
        }
        found_ = here();
        return !found_;
    }
    bool open(bool array)
    {
        if (!value()) {
            return false;
        }
        frames_.push_back(Frame{array, 0, 0, std::string()});
        return true;
    }
    bool close()
    {
        frames_.pop_back();
        return true;
    }

    const std::vector<JsonStep>& path_;
    std::vector<Frame> frames_;
    bool found_ = false;
};

}  // namespace

std::string locateJson(const std::string& text, const std::vector<JsonStep>& path)
{
    const char* furthest = text.data();
    ReadingPosition first{text.data(), &furthest};
    ReadingPosition last{text.data() + text.size(), &furthest};
    Locator locator(path);
    Json::sax_parse(first, last, &locator);
    if (!locator.found()) {
        return "";
    }
    // The parser has read the value's last byte, and after a number the one
    // byte that ends it.
    std::size_t offset = static_cast<std::size_t>(furthest - text.data());
    offset = offset > 0 ? offset - 1 : 0;
    if (offset > 0 && text[offset] != '\0' && std::strchr(",]} \t\r\n", text[offset]) != nullptr) {
        --offset;
    }
    return whereIs(text, offset);
}

bool parseBoundedJson(const std::string& text, const JsonLimits& limits, Json& document, std::string& error)
{
    document = nullptr;
    const char* furthest = text.data();
    ReadingPosition first{text.data(), &furthest};
    ReadingPosition last{text.data() + text.size(), &furthest};
    Builder builder(document, limits);
    if (Json::sax_parse(first, last, &builder)) {
        return true;
    }
    // A limit is met in the value just read: the parser has read one byte
    // past its start at most.
    std::size_t offset = builder.hasPosition() ? builder.position()
                                               : static_cast<std::size_t>(furthest - text.data());
    error = whereIs(text, offset > 0 ? offset - 1 : 0) + ": " + builder.reason();
    document = nullptr;
    return false;
}

}  // namespace simplatform
