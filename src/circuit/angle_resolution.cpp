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

std::expected<std::array<double, 3>, CircuitError> resolve_gate_angles(
    const Gate& gate, std::span<const double> values) {
    std::array<double, 3> angles{0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < gate.num_angles(); ++i) {
        auto value = resolve_angle(gate.angles[i], values);
        if (!value) return std::unexpected(value.error());
        angles[i] = *value;
    }
    return angles;
}

}  // namespace morvane::circuit
