// json.cpp - writing JSON values.
#include "json.h"

#include <cmath>
#include <cstdio>

namespace brevantctl {

Json Json::array() {
    Json j;
    j.kind_ = Kind::Array;
    return j;
}

Json Json::object() {
    Json j;
    j.kind_ = Kind::Object;
    return j;
}

Json &Json::push(Json value) {
    items_.emplace_back(std::string(), std::move(value));
    return *this;
}

Json &Json::set(const std::string &key, Json value) {
    for (auto &item : items_) {
        if (item.first == key) {
            item.second = std::move(value);
            return *this;
        }
    }
    items_.emplace_back(key, std::move(value));
    return *this;
}

std::string Json::dump() const {
    std::string out;
    write(out);
    return out;
}

void Json::write(std::string &out) const {
    switch (kind_) {
        case Kind::Null: out += "null"; break;
        case Kind::Bool: out += integer_ != 0 ? "true" : "false"; break;
        case Kind::Integer: out += std::to_string(integer_); break;
        case Kind::Real: {
            if (!std::isfinite(real_)) {
                out += "null";
                break;
            }
            char text[32];
            std::snprintf(text, sizeof text, "%.10g", real_);
            out += text;
            break;
        }
        case Kind::String: out += jsonString(text_); break;
        case Kind::Array:
        case Kind::Object: {
            const bool object = kind_ == Kind::Object;
            out += object ? '{' : '[';
            bool first = true;
            for (const auto &item : items_) {
                if (!first) out += ',';
                first = false;
                if (object) {
                    out += jsonString(item.first);
                    out += ':';
                }
                item.second.write(out);
            }
            out += object ? '}' : ']';
            break;
        }
    }
}

std::string jsonString(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Board bytes are not text: anything outside printable ASCII is
            // escaped as its byte value.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string hexString(const std::uint8_t *bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace brevantctl
