// The JSON writer.
#include "tools/common/json.h"

#include <cstdio>

namespace tools {

Json& Json::Set(const std::string& name, Json value) {
    for (auto& member : members_) {
        if (member.first == name) {
            member.second = std::move(value);
            return member.second;
        }
    }
    members_.emplace_back(name, std::move(value));
    return members_.back().second;
}

Json& Json::Push(Json value) {
    elements_.push_back(std::move(value));
    return elements_.back();
}

const Json* Json::Find(const std::string& name) const {
    for (const auto& member : members_) {
        if (member.first == name) {
            return &member.second;
        }
    }
    return nullptr;
}

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
                out += escape;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string Json::Dump() const {
    switch (kind_) {
    case Kind::Null:
        return "null";
    case Kind::Bool:
        return bool_ ? "true" : "false";
    case Kind::Number:
        return std::to_string(number_);
    case Kind::String:
        return JsonQuote(string_);
    case Kind::Object: {
        std::string out = "{";
        for (size_t i = 0; i < members_.size(); ++i) {
            out += (i == 0 ? "" : ",") + JsonQuote(members_[i].first) + ":" +
                   members_[i].second.Dump();
        }
        return out + "}";
    }
    case Kind::Array: {
        std::string out = "[";
        for (size_t i = 0; i < elements_.size(); ++i) {
            out += (i == 0 ? "" : ",") + elements_[i].Dump();
        }
        return out + "]";
    }
    }
    return "null";
}

} // namespace tools
