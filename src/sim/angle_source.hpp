#pragma once

#include <array>
#include <expected>
#include <span>

#include "circuit/gate.hpp"
#include "sim/sim_error.hpp"

namespace morvane::sim {

// A gate's angle values in field order (theta, phi, lam, ...); slots past
// the kind's angle count are 0.
using GateAngles = std::array<double, 4>;

// Where a simulation takes the values of its gates' angles from: the gates'
// own literals (a bound gate list), or one row of parameter values that every
// angle is evaluated against as its gate is reached (a parameterised circuit
// run for a batch of rows, whose gates are never copied per row).
class AngleSource {
public:
    // Literal angles only: a Param angle fails with UnboundParam, a NaN or
    // infinite literal with NonFiniteAngle.
    static AngleSource literals() noexcept { return AngleSource({}, false); }
    // Every angle evaluated against `values`, which must hold at least each
    // angle's params_needed() entries (the circuit's parameter count does).
    // A value that comes out NaN or infinite fails with NonFiniteAngle.
    static AngleSource row(std::span<const double> values) noexcept {
        return AngleSource(values, true);
    }

    bool is_row() const noexcept { return row_; }

    // The values of `gate`'s angles; the first failure in field order.
    [[nodiscard]] std::expected<GateAngles, SimError> angles(const circuit::Gate& gate) const;

private:
    AngleSource(std::span<const double> values, bool row) noexcept : values_(values), row_(row) {}

    std::span<const double> values_;
    bool row_;
};

}  // namespace morvane::sim
