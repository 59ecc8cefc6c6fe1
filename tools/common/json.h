// A small JSON value and its writer, for the tools' machine-readable output.
// Objects keep their members in the order they were set, so every line a tool
// prints reads in a stable order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tools {

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Object, Array };

    Json() = default;
    Json(bool value) : kind_(Kind::Bool), bool_(value) {}
    Json(int value) : kind_(Kind::Number), number_(value) {}
    Json(long value) : kind_(Kind::Number), number_(value) {}
    Json(long long value) : kind_(Kind::Number), number_(value) {}
    Json(unsigned value) : kind_(Kind::Number), number_(value) {}
    Json(unsigned long value) : kind_(Kind::Number), number_(static_cast<int64_t>(value)) {}
    Json(unsigned long long value) : kind_(Kind::Number), number_(static_cast<int64_t>(value)) {}
    Json(const char* value) : kind_(Kind::String), string_(value) {}
    Json(std::string value) : kind_(Kind::String), string_(std::move(value)) {}

    static Json Object() {
        Json json;
        json.kind_ = Kind::Object;
        return json;
    }
    static Json Array() {
        Json json;
        json.kind_ = Kind::Array;
        return json;
    }

    Kind kind() const { return kind_; }
    bool IsNull() const { return kind_ == Kind::Null; }

    // Sets a member of an object (replacing one of the same name in place).
    Json& Set(const std::string& name, Json value);
    // Appends an element to an array.
    Json& Push(Json value);
    // A member of an object, or null when absent or not an object.
    const Json* Find(const std::string& name) const;
    const std::vector<std::pair<std::string, Json>>& Members() const { return members_; }
    const std::vector<Json>& Elements() const { return elements_; }

    bool AsBool() const { return bool_; }
    int64_t AsNumber() const { return number_; }
    const std::string& AsString() const { return string_; }

    // Compact text on one line.
    std::string Dump() const;

private:
    Kind kind_ = Kind::Null;
    bool bool_ = false;
    int64_t number_ = 0;
    std::string string_;
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> elements_;
};

// A string as a JSON string literal, quotes included: '"', '\' and control
// characters escaped, other bytes (UTF-8 included) as they are.
std::string JsonQuote(const std::string& text);

} // namespace tools
