#pragma once

#include <string>
#include <variant>

#include "exec/infra_error.hpp"
#include "observable/observable_error.hpp"
#include "support/error_variant.hpp"
#include "support/foreign.hpp"

namespace morvane::exec {

// A backend, planner or validation failure.
struct Infrastructure {
    InfraError error;
};
// The consumer of the counts (an observable) failed.
struct Evaluation {
    observable::ObservableError error;
};
// An exception found at a checkpoint, typically KeyboardInterrupt.
struct Python {
    ForeignErrorPtr error;
};
// The run's cancel token was set.
struct Cancelled {};
// The planner does not fit the backend.
struct InvalidPlan {
    std::string message;
};

// The error of one execution: a run, or one batch of a training run.
struct RunError : ErrorVariant<Infrastructure, Evaluation, Python, Cancelled, InvalidPlan> {
    using ErrorVariant::ErrorVariant;
    RunError(InfraError e) : ErrorVariant(Infrastructure{std::move(e)}) {}  // NOLINT

    // Display text for logs; the Python layer maps each variant itself.
    std::string message() const;
};

}  // namespace morvane::exec
