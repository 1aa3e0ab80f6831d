#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "exec/backend.hpp"

namespace morvane::exec {

// run_replicas for backends that can only run lists of circuits (Aer and
// CUNQA through the seam): consecutive equal shot counts become one run_jobs
// call with that many copies of the circuit; a group of 0-shot replicas is
// answered with empty maps without any call. Maps come back in replica order.
//
// Replica i of the list is run with seed `request.seed + i` as its call's
// base, so a seam that seeds circuit j of a call from (seed + j) gives every
// replica its own sampling seed. With one unshifted seed per call, the first
// replica of each group would replay the same random stream, and merged
// counts would hold the same shots several times over.
[[nodiscard]] std::expected<std::vector<CountsMap>, RunError> run_replicas_in_groups(
    Backend& backend, const CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
    const RunRequest& request);

}  // namespace morvane::exec
