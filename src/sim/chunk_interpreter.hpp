#pragma once

#include <expected>

#include "sim/block_compiler.hpp"
#include "sim/cancel_check.hpp"
#include "sim/sim_error.hpp"
#include "sim/statevector.hpp"

namespace morvane::sim {

// Runs a compiled block on every chunk of the state: the whole state in one
// chunk with the pool inside its kernels and a checkpoint between
// operations, or chunk by chunk over the pool with a checkpoint between
// groups of chunks. Fails only when a checkpoint does.
// Either precision (Real is double or float).
template <class Real>
[[nodiscard]] std::expected<void, SimError> apply_block(BasicStatevector<Real>& state,
                                                        const CompiledBlock& block,
                                                        CancelCheck& cancel);

}  // namespace morvane::sim
