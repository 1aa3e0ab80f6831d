#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "circuit/gate.hpp"
#include "sim/cancel_check.hpp"
#include "sim/sim_error.hpp"
#include "sim/statevector.hpp"
#include "support/function_ref.hpp"

namespace morvane::sim {

// How a group of gates reached the state: one gate through its own kernel,
// a composed 2x2 or 4x4 matrix, or a diagonal run.
enum class ApplicationKind : std::uint8_t { Gate, Composed1q, Composed2q, DiagonalRun };

// One application as reported to an observer, just before it happens. Every
// application except a Gate of the boundary class (Barrier, Measure,
// MeasureAll) is one sweep over the amplitudes.
struct Application {
    ApplicationKind kind;
    std::span<const std::size_t> gates;   // indices into the circuit's gate list, ascending
    std::array<std::uint64_t, 2> qubits;  // for Composed1q / Composed2q (ascending)
};

using ApplicationObserver = FunctionRef<void(const Application&)>;

// Applies `gates` to `state` with fusion: chains of dense gates that together
// touch at most two qubits are multiplied into one matrix and applied in one
// sweep; up to 64 consecutive diagonal gates become one diagonal run. The
// gate list must already have passed the simulator's up-front checks (qubit
// range, terminal measurement). Runs one checkpoint per gate.
[[nodiscard]] std::expected<void, SimError> apply_fused(Statevector& state, std::span<const circuit::Gate> gates,
                                          CancelCheck& cancel,
                                          std::optional<ApplicationObserver> observer);

// The longest diagonal run fusion forms.
inline constexpr std::size_t MAX_DIAGONAL_RUN = 64;

}  // namespace morvane::sim
