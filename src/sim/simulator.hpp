#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "circuit/circuit.hpp"
#include "circuit/gate.hpp"
#include "sim/cancel_check.hpp"
#include "sim/fusion.hpp"
#include "sim/sim_error.hpp"
#include "sim/statevector.hpp"

namespace morvane::sim {

// Instrumentation of one simulation, for tests and benchmarks.
struct SimulationHooks {
    // The clock the cancellation throttle reads; null means the steady clock.
    const MonotonicClock* clock = nullptr;
    // Told about every application just before it happens.
    std::optional<ApplicationObserver> on_application;
};

// The options of a simulation: a small value, copied freely, holding no state
// between calls.
struct StatevectorSimulator {
    std::uint64_t max_qubits = MAX_QUBITS;
    // Copied into every statevector this simulator creates: kernels run in
    // parallel on registers of at least this many qubits.
    std::uint64_t parallel_threshold;
    bool fusion = true;

    // A simulator with the defaults and the process-wide threshold as it is
    // now (resolving it from the calibration cache on first use).
    static StatevectorSimulator create();

    explicit StatevectorSimulator(std::uint64_t threshold) : parallel_threshold(threshold) {}

    // Runs the circuit given as a register size and a gate list and returns the
    // final state. Up-front checks, before anything is allocated: too many
    // qubits for max_qubits, then qubit range, then terminal measurement, then
    // the MAX_QUBITS ceiling. Unbound or non-finite angles surface when their
    // gate is reached. The optional callback is polled at throttled
    // checkpoints; returning true ends the run with Cancelled.
    [[nodiscard]] std::expected<Statevector, SimError> simulate(
        std::uint64_t num_qubits, std::span<const circuit::Gate> gates,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const;

    [[nodiscard]] std::expected<Statevector, SimError> simulate(
        const circuit::ConcreteCircuit& circuit,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const {
        return simulate(circuit.num_qubits(), circuit.gates(), cancel, hooks);
    }

    // A circuit that still has Param angles is accepted and fails with
    // UnboundParam when the first such gate is reached.
    [[nodiscard]] std::expected<Statevector, SimError> simulate(
        const circuit::ParameterizedCircuit& circuit,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const {
        return simulate(circuit.num_qubits(), circuit.gates(), cancel, hooks);
    }
};

// The checks simulate() makes before allocating, in its order.
[[nodiscard]] std::expected<void, SimError> check_circuit(std::uint64_t num_qubits,
                                            std::span<const circuit::Gate> gates,
                                            std::uint64_t max_qubits);

}  // namespace morvane::sim
