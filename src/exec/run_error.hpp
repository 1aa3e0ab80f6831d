#pragma once

#include <string>
#include <variant>

#include "exec/infra_error.hpp"
#include "observable/observable_error.hpp"
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
struct RunError {
    using Detail = std::variant<Infrastructure, Evaluation, Python, Cancelled, InvalidPlan>;
    Detail detail;

    template <class T>
    RunError(T d) : detail(std::move(d)) {}  // NOLINT: implicit from each variant
    RunError(InfraError e) : detail(Infrastructure{std::move(e)}) {}  // NOLINT

    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(detail);
    }
    template <class T>
    const T& as() const {
        return std::get<T>(detail);
    }

    // Display text for logs; the Python layer maps each variant itself.
    std::string message() const;
};

}  // namespace morvane::exec
