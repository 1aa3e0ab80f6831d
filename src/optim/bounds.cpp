#include "optim/bounds.hpp"

#include <cmath>

namespace morvane::optim {

std::expected<void, OptimizerError> check_bounds(const Bounds& bounds) {
    const bool usable = std::isfinite(bounds.lower) && std::isfinite(bounds.upper) &&
                        bounds.lower < bounds.upper &&
                        std::isfinite(bounds.upper - bounds.lower);
    if (!usable) return std::unexpected(OptimizerError(InvalidBounds{bounds.lower, bounds.upper}));
    return {};
}

}  // namespace morvane::optim
