#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace morvane::json {

class Value;
using Array = std::vector<Value>;
// Members keep their order: writers control the layout (the calibration cache
// puts "schema" first) and readers may look members up by key.
using Object = std::vector<std::pair<std::string, Value>>;

struct Null {
    bool operator==(const Null&) const = default;
};

// A JSON value. Integers that fit keep their exact value (the reader stores
// non-negative ones unsigned, negative ones signed); other numbers, and any
// number written with a fraction or an exponent, are doubles.
class Value {
public:
    using Storage =
        std::variant<Null, bool, std::int64_t, std::uint64_t, double, std::string, Array, Object>;

    Value() = default;
    Value(Null) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(std::int64_t i) : v_(i) {}
    Value(std::uint64_t u) : v_(u) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Object o) : v_(std::move(o)) {}

    const Storage& storage() const noexcept { return v_; }

    bool is_null() const noexcept { return std::holds_alternative<Null>(v_); }
    const bool* as_bool() const noexcept { return std::get_if<bool>(&v_); }
    const std::string* as_string() const noexcept { return std::get_if<std::string>(&v_); }
    const Array* as_array() const noexcept { return std::get_if<Array>(&v_); }
    const Object* as_object() const noexcept { return std::get_if<Object>(&v_); }
    // The value as an unsigned integer, if it is an integer in range.
    std::optional<std::uint64_t> as_uint() const noexcept;
    // The value as an integer, if it is an integer in range.
    std::optional<std::int64_t> as_int() const noexcept;
    // Any number as a double.
    std::optional<double> as_double() const noexcept;

    // The first member with this key, or null when absent or not an object.
    const Value* find(std::string_view key) const noexcept;

    // Structural equality, except that integers compare by value whether
    // they are stored signed or unsigned. A float never equals an integer.
    bool operator==(const Value& other) const;

private:
    Storage v_;
};

struct ParseError {
    std::size_t offset;  // byte offset into the input
    std::string message;
    std::string to_string() const;  // "{message} at byte {offset}"
};

// Parses one JSON document (RFC 8259), surrounding white space allowed.
// Nesting deeper than 256 levels is refused rather than risking the stack.
[[nodiscard]] std::expected<Value, ParseError> parse(std::string_view text);

// Compact form: no white space ("{"a":1}"). Doubles are written in their
// shortest round-trip form and always look like floats ("2.0", "1e+300"), so
// they read back as doubles; non-finite ones, which JSON cannot carry, are
// written as null.
std::string write(const Value& value);

// Pretty form with `indent` spaces per level and a newline after each member.
std::string write_pretty(const Value& value, int indent = 2);

// Appends `text` as a JSON string literal with the required escapes. Valid
// UTF-8 passes through; bytes that are not valid UTF-8 become U+FFFD so the
// output is always a well-formed document.
void append_quoted(std::string& out, std::string_view text);

}  // namespace morvane::json
