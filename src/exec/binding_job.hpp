#pragma once

// A parameterised circuit and one row of values for it, handed to a backend
// unbound: the native simulator resolves the row's angles as it builds each
// gate's matrix, and plans the circuit once for all its rows, so a batch of
// candidates never copies the circuit per row.

#include <cstddef>
#include <span>
#include <string>
#include <variant>

#include "circuit/circuit.hpp"
#include "circuit/circuit_error.hpp"
#include "exec/run_error.hpp"

namespace morvane::exec {

struct BindingJob {
    // Borrowed; jobs naming the same object share its preparation.
    const circuit::ParameterizedCircuit* circuit;
    std::span<const double> values;
};

// A row whose values the circuit cannot be bound to (a wrong count, a
// non-finite angle): binding's own error, with the row it came from.
struct BindingFailure {
    std::size_t row;
    circuit::CircuitError error;
    std::string message() const;
};

using BindingsRunError = std::variant<BindingFailure, RunError>;

}  // namespace morvane::exec
