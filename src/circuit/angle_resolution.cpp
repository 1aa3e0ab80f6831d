#include "circuit/angle_resolution.hpp"

#include <cmath>

namespace morvane::circuit {

std::expected<double, CircuitError> resolve_angle(const Angle& angle,
                                                  std::span<const double> values) {
    if (angle.params_needed() > values.size()) {
        // The first index the angle reads that lies past the end.
        std::uint64_t index = angle.index();
        if (const AngleExpression* expression = angle.expression()) {
            for (const AngleInstruction& ins : expression->code()) {
                if (ins.op == AngleOp::Param && ins.index >= values.size()) {
                    index = ins.index;
                    break;
                }
            }
        }
        return std::unexpected(ParamIndexOutOfBounds{index, values.size()});
    }
    const double value = angle.evaluate(values);
    if (!std::isfinite(value)) return std::unexpected(NonFiniteParam{});
    return value;
}

std::expected<std::array<double, 4>, CircuitError> resolve_gate_angles(
    const Gate& gate, std::span<const double> values) {
    std::array<double, 4> angles{0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < gate.num_angles(); ++i) {
        auto value = resolve_angle(gate.angles[i], values);
        if (!value) return std::unexpected(value.error());
        angles[i] = *value;
    }
    return angles;
}

}  // namespace morvane::circuit
