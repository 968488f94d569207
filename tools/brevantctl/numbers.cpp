// numbers.cpp - numbers on the command line: decimal or 0x hex, range checked
// with a message that names the argument.
#include <cctype>
#include <cstdio>

#include "cli.h"

namespace brevantctl {

std::string hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

namespace {
int hexDigits(std::uint32_t max) {
    int digits = 1;
    while (max > 0xF) {
        max >>= 4;
        ++digits;
    }
    return digits < 2 ? 2 : digits;
}
}  // namespace

std::uint32_t parseNumber(const std::string &text, const std::string &argument, std::uint32_t min,
                          std::uint32_t max) {
    const std::string range = std::to_string(min) + "-" + std::to_string(max) + " (" +
                              hex(min, hexDigits(max)) + "-" + hex(max, hexDigits(max)) + ")";
    const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::size_t start = isHex ? 2 : 0;
    const unsigned base = isHex ? 16 : 10;
    bool valid = text.size() > start;
    std::uint64_t value = 0;
    bool tooBig = false;
    for (std::size_t i = start; valid && i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned digit;
        if (std::isdigit(c)) {
            digit = static_cast<unsigned>(c - '0');
        } else if (isHex && std::isxdigit(c)) {
            digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        } else {
            valid = false;
            break;
        }
        value = value * base + digit;
        if (value > max) tooBig = true;
        if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull + 1;  // stays out of range, never wraps
    }
    if (!valid) throw UsageError(argument + " must be a number, decimal or 0x hex, in " + range + ", got '" + text + "'");
    if (tooBig || value < min) throw UsageError(argument + " must be in " + range + ", got '" + text + "'");
    return static_cast<std::uint32_t>(value);
}

}  // namespace brevantctl
