#include "optim/finite_setting.hpp"

#include <cmath>
#include <string>

#include "optim/float_text.hpp"

namespace morvane::optim {

std::expected<void, OptimizerError> check_finite_setting(std::string_view name, double value) {
    if (std::isfinite(value)) return {};
    return std::unexpected(OptimizerError(
        InvalidConfig{std::string(name), "must be finite, got " + float_text(value)}));
}

}  // namespace morvane::optim
