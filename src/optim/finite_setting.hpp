#pragma once

#include <expected>
#include <string_view>

#include "optim/optimizer_error.hpp"

namespace morvane::optim {

// InvalidConfig{name, "must be finite, got <value>"} unless `value` is a
// finite number. Every floating-point setting of every optimiser needs this:
// NaN compares false with everything, so a NaN tolerance silently switches
// its stopping rule off and a NaN weight turns every velocity into NaN, and
// an infinite one does the same after one step.
[[nodiscard]] std::expected<void, OptimizerError> check_finite_setting(std::string_view name,
                                                                       double value);

}  // namespace morvane::optim
