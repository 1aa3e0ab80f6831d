#include "sim/angle_source.hpp"

#include <cmath>

#include "sim/gate_matrices.hpp"

namespace morvane::sim {

std::expected<GateAngles, SimError> AngleSource::angles(const circuit::Gate& gate) const {
    GateAngles values{};
    const std::size_t count = gate.num_angles();
    if (!row_) {
        for (std::size_t i = 0; i < count; ++i) {
            auto value = resolve_angle(gate.angles[i]);
            if (!value) return std::unexpected(value.error());
            values[i] = *value;
        }
        return values;
    }
    // The same evaluation binding makes (Angle::evaluate, then a finiteness
    // check), so the matrices built from these values are those of the bound
    // gate to the last bit.
    for (std::size_t i = 0; i < count; ++i) {
        const double value = gate.angles[i].evaluate(values_);
        if (!std::isfinite(value)) return std::unexpected(SimError(NonFiniteAngle{}));
        values[i] = value;
    }
    return values;
}

}  // namespace morvane::sim
