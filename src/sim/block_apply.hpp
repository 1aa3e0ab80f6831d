#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "circuit/gate.hpp"
#include "sim/angle_source.hpp"
#include "sim/fusion_plan.hpp"
#include "sim/cancel_check.hpp"
#include "sim/sim_error.hpp"
#include "sim/statevector.hpp"
#include "support/function_ref.hpp"

namespace morvane::sim {

// How gates reached the state: one gate through its own kernel (the
// gate-by-gate path) or a whole block in one sweep (the fused path).
enum class ApplicationKind : std::uint8_t { Gate, Block };

// One application as reported to an observer, just before it happens. Every
// application except a Gate of a barrier or measurement is one sweep over the
// amplitudes.
struct Application {
    ApplicationKind kind;
    std::span<const std::size_t> gates;     // indices into the circuit's gate list
    std::span<const std::uint64_t> qubits;  // a block's qubits (empty for a Gate)
};

using ApplicationObserver = FunctionRef<void(const Application&)>;

// Applies `gates` to `state` block by block as `plan` (made for these gates'
// structure and this register size) says, each gate's angles taken from
// `angles` as its block is compiled. With literal angles every angle is
// resolved first, in circuit order, so an unbound or non-finite angle fails
// with the error the gate-by-gate path would report first, before the state
// is touched; a row's non-finite value fails when its block is reached,
// leaving the state partly worked. Runs checkpoints between blocks and
// between groups of chunks.
template <class Real>
[[nodiscard]] std::expected<void, SimError> apply_plan(
    BasicStatevector<Real>& state, std::span<const circuit::Gate> gates, const FusionPlan& plan,
    CancelCheck& cancel, std::optional<ApplicationObserver> observer = std::nullopt,
    const AngleSource& angles = AngleSource::literals());

}  // namespace morvane::sim
