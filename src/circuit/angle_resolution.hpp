#pragma once

#include <expected>
#include <span>

#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"

namespace morvane::circuit {

// The value an angle stands for once the parameter vector is known: a Fixed
// angle is its literal, a Param angle the value at its index. Fails with
// ParamIndexOutOfBounds (num_params = values.size()) for an index past the
// end, and with NonFiniteParam when the resolved value is NaN or infinite.
// Binding and every exporter resolve through here so they agree on both the
// value and the error.
std::expected<double, CircuitError> resolve_angle(const Angle& angle,
                                                  std::span<const double> values);

}  // namespace morvane::circuit
