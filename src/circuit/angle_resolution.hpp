#pragma once

#include <array>
#include <expected>
#include <span>

#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"

namespace morvane::circuit {

// The value an angle stands for once the parameter vector is known: a Fixed
// angle is its literal, any other the value of its form at `values`. Fails with
// ParamIndexOutOfBounds (num_params = values.size()) for an index past the
// end, and with NonFiniteParam when the resolved value is NaN or infinite.
// Binding and every exporter resolve through here so they agree on both the
// value and the error.
[[nodiscard]] std::expected<double, CircuitError> resolve_angle(const Angle& angle,
                                                  std::span<const double> values);

// Every angle of a gate resolved in field order (theta, phi, lam, ...); unused
// slots are 0. The first failure in field order is the one returned.
[[nodiscard]] std::expected<std::array<double, 4>, CircuitError> resolve_gate_angles(
    const Gate& gate, std::span<const double> values);

}  // namespace morvane::circuit
