#pragma once

#include <cstdint>
#include <span>

#include "support/function_ref.hpp"

namespace morvane::optim {

// What an optimiser reports at the end of every generation or iteration.
struct IterationProgress {
    // Index of the generation or iteration that just ended, from 0: the run has
    // executed iteration + 1 of them.
    std::uint32_t iteration = 0;
    // The best fitness so far, the entry just appended to the history.
    double best_fitness = 0.0;
    // The best parameters so far; valid only for the duration of the call.
    std::span<const double> best_params;
};

// What the run does after an iteration has been reported.
enum class ProgressAction { Continue, Stop };

// Watches a run from the optimiser's thread, after every generation or
// iteration and before the next one starts. Stop ends the run there: the
// outcome counts the iterations that ran and is not marked converged, unless
// the optimiser's own criterion fired in that same iteration.
using ProgressObserver = FunctionRef<ProgressAction(const IterationProgress&)>;

// The observer of a run nobody watches.
inline constexpr auto IGNORE_PROGRESS = [](const IterationProgress&) {
    return ProgressAction::Continue;
};

}  // namespace morvane::optim
