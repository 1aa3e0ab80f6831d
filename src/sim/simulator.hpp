#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "circuit/circuit.hpp"
#include "circuit/gate.hpp"
#include "sim/angle_source.hpp"
#include "sim/cancel_check.hpp"
#include "sim/block_apply.hpp"
#include "sim/fusion_plan.hpp"
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
    // Fused simulation works the state in chunks of 2^chunk_bits amplitudes
    // (tests shrink it to exercise chunking on small registers).
    std::uint64_t chunk_bits = DEFAULT_CHUNK_BITS;

    // A simulator with the defaults and the process-wide threshold of the
    // precision its states will be held in, as it is now (resolving it from
    // the calibration cache on first use).
    static StatevectorSimulator create(Precision precision = Precision::Double);

    explicit StatevectorSimulator(std::uint64_t threshold) : parallel_threshold(threshold) {}

    // Runs the circuit given as a register size and a gate list and returns the
    // final state (exactly, phases of decompositions included). Up-front checks, before anything is
    // allocated: too many qubits for max_qubits, then qubit range, then terminal measurement, then
    // the MAX_QUBITS ceiling. Unbound or non-finite angles surface when their
    // gate is reached. The optional callback is polled at throttled
    // checkpoints; returning true ends the run with Cancelled.
    //
    // Every simulation exists in both precisions: Real = double (the
    // default) or float, the state then held and worked in single precision.
    template <class Real = double>
    [[nodiscard]] std::expected<BasicStatevector<Real>, SimError> simulate(
        std::uint64_t num_qubits, std::span<const circuit::Gate> gates,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const;

    // A bound circuit, its global phase included.
    template <class Real = double>
    [[nodiscard]] std::expected<BasicStatevector<Real>, SimError> simulate(
        const circuit::ConcreteCircuit& circuit,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const;

    // As simulate(), the fused path following `plan` instead of planning: a
    // batch of bound candidates of one circuit plans once. The plan must come
    // from plan_fusion for gates of the same structure on this register size
    // with this simulator's chunk_bits; anything else is an internal fault.
    template <class Real = double>
    [[nodiscard]] std::expected<BasicStatevector<Real>, SimError> simulate_planned(
        std::uint64_t num_qubits, std::span<const circuit::Gate> gates, const FusionPlan& plan,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const;

    // The simulation behind every entry above, for a caller that made their
    // checks itself (CircuitBatch, once for many rows): check_circuit has
    // passed for `gates`, which hold only kinds with a kernel (lowered), and
    // `plan` (null: planned here; ignored with fusion off) was made for their
    // structure. Angles come from `angles`; e^(i global_phase) multiplies the
    // final state.
    template <class Real = double>
    [[nodiscard]] std::expected<BasicStatevector<Real>, SimError> simulate_lowered(
        std::uint64_t num_qubits, std::span<const circuit::Gate> gates, const FusionPlan* plan,
        double global_phase, const AngleSource& angles,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const;

    // The plan simulate() follows for these gates with fusion on.
    FusionPlan plan(std::uint64_t num_qubits, std::span<const circuit::Gate> gates) const {
        return plan_fusion(num_qubits, gates, chunk_bits);
    }

    // A circuit that still has Param angles is accepted and fails with
    // UnboundParam when the first such gate is reached.
    template <class Real = double>
    [[nodiscard]] std::expected<BasicStatevector<Real>, SimError> simulate(
        const circuit::ParameterizedCircuit& circuit,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const {
        return simulate<Real>(circuit.num_qubits(), circuit.gates(), cancel, hooks);
    }
};

// The checks simulate() makes before allocating, in its order.
[[nodiscard]] std::expected<void, SimError> check_circuit(std::uint64_t num_qubits,
                                            std::span<const circuit::Gate> gates,
                                            std::uint64_t max_qubits);

}  // namespace morvane::sim
