#include "circuit/angle_resolution.hpp"

#include <cmath>

namespace morvane::circuit {

std::expected<double, CircuitError> resolve_angle(const Angle& angle,
                                                  std::span<const double> values) {
    double value = angle.value();
    if (angle.is_param()) {
        if (angle.index() >= values.size()) {
            return std::unexpected(ParamIndexOutOfBounds{angle.index(), values.size()});
        }
        value = values[angle.index()];
    }
    if (!std::isfinite(value)) return std::unexpected(NonFiniteParam{});
    return value;
}

}  // namespace morvane::circuit
