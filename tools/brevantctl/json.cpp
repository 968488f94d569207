// json.cpp - the text of JSON values as brevantctl prints them.
#include "json.h"

#include <cmath>
#include <cstdio>

namespace brevantctl {

namespace {

void write(const Json &value, std::string &out) {
    switch (value.type()) {
        case Json::value_t::number_float: {
            const double real = value.get<double>();
            if (!std::isfinite(real)) {
                out += "null";
                break;
            }
            char text[32];
            std::snprintf(text, sizeof text, "%.10g", real);
            out += text;
            break;
        }
        case Json::value_t::string: out += jsonString(value.get_ref<const std::string &>()); break;
        case Json::value_t::array: {
            out += '[';
            bool first = true;
            for (const Json &item : value) {
                if (!first) out += ',';
                first = false;
                write(item, out);
            }
            out += ']';
            break;
        }
        case Json::value_t::object: {
            out += '{';
            bool first = true;
            for (const auto &member : value.items()) {
                if (!first) out += ',';
                first = false;
                out += jsonString(member.key());
                out += ':';
                write(member.value(), out);
            }
            out += '}';
            break;
        }
        default: out += value.dump(); break;  // null, booleans, integers
    }
}

}  // namespace

std::string dumpJson(const Json &value) {
    std::string out;
    write(value, out);
    return out;
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
