#include "circuit/angle_text.hpp"

#include <charconv>
#include <cmath>

#include "support/internal_fault.hpp"

namespace morvane::circuit {

namespace {

constexpr int ANGLE_DECIMALS = 12;

// The largest finite double has 309 integer digits; with the sign, the point
// and 12 decimals everything fits comfortably.
constexpr std::size_t ANGLE_BUFFER = 400;

}  // namespace

void append_angle_text(std::string& out, double radians) {
    ensure(std::isfinite(radians), "angle text requested for a non-finite value");
    // to_chars with an explicit precision is exact: it rounds the true binary
    // value, not a pre-rounded decimal, and it is independent of the locale.
    char buffer[ANGLE_BUFFER];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, radians,
                                      std::chars_format::fixed, ANGLE_DECIMALS);
    ensure(result.ec == std::errc{}, "angle text did not fit its buffer");
    out.append(buffer, result.ptr);
}

std::string angle_text(double radians) {
    std::string out;
    append_angle_text(out, radians);
    return out;
}

}  // namespace morvane::circuit
