#pragma once

#include <cstdint>
#include <string>

#include "circuit/circuit_error.hpp"
#include "exec/infra_error.hpp"
#include "exec/run_error.hpp"
#include "observable/observable_error.hpp"
#include "support/error_variant.hpp"
#include "support/foreign.hpp"

namespace morvane::exec {

// Variants of the error of a training oracle.
struct EvalBackend {
    InfraError error;
};
struct EvalBinding {
    circuit::CircuitError error;
};
struct EvalObservable {
    observable::ObservableError error;
};
// A Python exception: from a Qiskit call, a cost callable, or Ctrl+C.
struct EvalPython {
    ForeignErrorPtr error;
};
struct RuntimeConversion {
    std::string message;
};
struct EvalConversion {
    std::string message;
};
struct WrongLength {
    std::uint64_t expected;
    std::uint64_t got;
};
struct NonFinite {
    std::uint64_t index;
    double value;
};
struct InvalidVariance {
    std::uint64_t param_index;
    double value;
};

// What stops a training oracle from evaluating a batch. message() is the
// display text used in the log; the Python layer raises each variant its own
// way.
struct EvalError
    : ErrorVariant<EvalBackend, EvalBinding, EvalObservable, EvalPython, RuntimeConversion,
                   EvalConversion, WrongLength, NonFinite, InvalidVariance> {
    using ErrorVariant::ErrorVariant;

    std::string message() const;
};

// A failed run of a batch, variant by variant. A cancellation carries no
// exception of its own; `cancelled` supplies the KeyboardInterrupt("the run
// was cancelled") that the layer above makes.
EvalError eval_error_from(RunError error, const ForeignErrorPtr& cancelled);

}  // namespace morvane::exec
