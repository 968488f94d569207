// numbers.cpp - numbers on the command line: decimal or 0x hex, range checked
// with a message that names the argument.
#include <cctype>

#include "cli.h"

namespace brevantctl {

std::string hex(std::uint32_t value, int digits) {
    std::string text;
    do {
        text.insert(text.begin(), "0123456789ABCDEF"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (text.size() < static_cast<std::size_t>(digits)) text.insert(0, static_cast<std::size_t>(digits) - text.size(), '0');
    return "0x" + text;
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
    // "in 0-255 (0x00-0xFF)"; a range of one number (a count that reaches
    // the end of the EEPROM, say) is just that number.
    const std::string range =
        min == max ? std::to_string(min) + " (" + hex(min, hexDigits(max)) + ")"
                   : "in " + std::to_string(min) + "-" + std::to_string(max) + " (" + hex(min, hexDigits(max)) + "-" +
                         hex(max, hexDigits(max)) + ")";
    // A negative number is a number out of range, not a malformed one.
    const bool negative = text.size() > 1 && text[0] == '-';
    const std::string digits = negative ? text.substr(1) : text;
    const bool isHex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const std::size_t start = isHex ? 2 : 0;
    const unsigned base = isHex ? 16 : 10;
    bool valid = digits.size() > start;
    std::uint64_t value = 0;
    bool tooBig = false;
    for (std::size_t i = start; valid && i < digits.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(digits[i]);
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
    if (!valid) throw UsageError(argument + " must be a number, decimal or 0x hex, " + range + ", got '" + text + "'");
    if (negative || tooBig || value < min) throw UsageError(argument + " must be " + range + ", got '" + text + "'");
    return static_cast<std::uint32_t>(value);
}

}  // namespace brevantctl
