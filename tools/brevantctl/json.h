// json.h - a small JSON value for --json output: objects keep the order in
// which their members were set.
#ifndef BREVANTCTL_JSON_H
#define BREVANTCTL_JSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace brevantctl {

class Json {
   public:
    Json() = default;  // null
    Json(bool value) : kind_(Kind::Bool), integer_(value ? 1 : 0) {}
    template <typename T, typename = std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value>>
    Json(T value) : kind_(Kind::Integer), integer_(static_cast<long long>(value)) {}
    Json(double value) : kind_(Kind::Real), real_(value) {}
    Json(std::string value) : kind_(Kind::String), text_(std::move(value)) {}
    Json(const char *value) : kind_(Kind::String), text_(value) {}

    static Json array();
    static Json object();

    // Appends to an array.
    Json &push(Json value);
    // Sets a member of an object.
    Json &set(const std::string &key, Json value);

    std::string dump() const;

   private:
    enum class Kind { Null, Bool, Integer, Real, String, Array, Object };
    void write(std::string &out) const;

    Kind kind_ = Kind::Null;
    long long integer_ = 0;
    double real_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Json>> items_;  // array items have empty keys
};

// Text as a JSON string literal, quotes included.
std::string jsonString(const std::string &text);

// Byte strings in JSON are hex strings, two lower-case digits a byte:
// "56455348" (what Python's bytes.hex() gives).
std::string hexString(const std::uint8_t *bytes, std::size_t size);
inline std::string hexString(const std::vector<std::uint8_t> &bytes) { return hexString(bytes.data(), bytes.size()); }

}  // namespace brevantctl

#endif
