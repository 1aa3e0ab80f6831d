#pragma once

#include <mutex>
#include <optional>
#include <string_view>

#include "exec/eval_error.hpp"

namespace morvane::exec {

// The first error of a training run, shared by every oracle of the run. Once
// an oracle has failed, the others answer zeros without executing anything;
// the entry point raises the recorded error after the optimiser returns.
class ErrorSlot {
public:
    // Stores `error` if the slot is empty (logging it once under the run's
    // id); a later error is dropped.
    void record(EvalError error, std::string_view run_id);
    bool has_error() const;
    // The recorded error, leaving the slot empty.
    std::optional<EvalError> take();

private:
    mutable std::mutex mutex_;
    std::optional<EvalError> error_;
};

}  // namespace morvane::exec
