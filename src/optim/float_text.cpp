#include "optim/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

#include "support/internal_fault.hpp"

namespace morvane::optim {

std::string float_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // The scientific form carries the shortest round-trip digits; the fixed
    // form would print a large value's full binary expansion instead.
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    ensure(result.ec == std::errc{}, "shortest float form did not fit its buffer");
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));

    const std::size_t e = sci.find('e');
    const bool negative = sci.front() == '-';
    std::string digits;
    for (char c : sci.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::string_view exponent_text = sci.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    std::string out = negative ? "-" : "";
    if (digits == "0") return out + "0";
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        return out + digits;
    }
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
        out += digits;
        out.append(whole - digits.size(), '0');
        return out;
    }
    out.append(digits, 0, whole);
    out += '.';
    out.append(digits, whole);
    return out;
}

}  // namespace morvane::optim
