#pragma once

#include <expected>

#include "optim/optimizer_error.hpp"

namespace morvane::optim {

inline constexpr double PI = 3.141592653589793;

// The box [lower, upper] shared by every dimension.
struct Bounds {
    double lower = -PI;
    double upper = PI;
    bool operator==(const Bounds&) const = default;
};

// InvalidBounds unless both ends are finite and lower < upper. A box whose
// width overflows a double (say (-1e308, 1e308)) is refused the same way,
// since no uniform draw can be made over it.
[[nodiscard]] std::expected<void, OptimizerError> check_bounds(const Bounds& bounds);

}  // namespace morvane::optim
