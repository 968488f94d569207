// json.h - JSON values of brevantctl (nlohmann::json, members in the order
// they were set) and the text --json prints of them.
//
// Build objects with nlohmann's interface and print them with dumpJson(),
// never with dump(): dumpJson() keeps brevantctl's text, which scripts read.
// Reals print with ten significant digits ("3.3125", "25", "-3.010299957")
// and not-a-number as null; strings hold board bytes, not UTF-8, so every
// byte outside printable ASCII is escaped as its own value (\u00e9 is the
// byte 0xE9), which a JSON reader turns back into the same bytes by
// Latin-1.
#ifndef BREVANTCTL_JSON_H
#define BREVANTCTL_JSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brevantctl {

using Json = nlohmann::ordered_json;

// The compact text of `value`, as --json prints it.
std::string dumpJson(const Json &value);

// Text as a JSON string literal, quotes included.
std::string jsonString(const std::string &text);

// Byte strings in JSON are hex strings, two lower-case digits a byte:
// "56455348" (what Python's bytes.hex() gives).
std::string hexString(const std::uint8_t *bytes, std::size_t size);
inline std::string hexString(const std::vector<std::uint8_t> &bytes) { return hexString(bytes.data(), bytes.size()); }

}  // namespace brevantctl

#endif
