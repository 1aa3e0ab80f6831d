#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <unordered_map>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/gate.hpp"
#include "sim/sim_error.hpp"
#include "sim/simulator.hpp"
#include "sim/statevector.hpp"

namespace morvane::sim {

// Basis-state index -> number of shots that produced it.
using OutcomeCounts = std::unordered_map<std::uint64_t, std::uint64_t>;
// Packed classical-register value (bit c = classical bit c) -> count. Without
// any measurement in the circuit the keys are basis-state indices.
using RegisterCounts = std::unordered_map<std::uint64_t, std::uint64_t>;

// One SplitMix64 step: advances `state` and returns the next 64 random bits.
std::uint64_t splitmix64_next(std::uint64_t& state) noexcept;

// Draws `shots` outcomes from |amplitude|^2, advancing `generator_state` once
// per shot. Empty for zero shots. The same state, shots and seed give the same
// counts on every run and platform.
OutcomeCounts sample_outcomes(const Statevector& state, std::uint32_t shots,
                              std::uint64_t& generator_state);

// Where each measured qubit lands in the classical register.
struct MeasurementPair {
    std::uint64_t qubit;
    std::uint64_t clbit;
    bool operator==(const MeasurementPair&) const = default;
};
// One pair per Measure in gate order, then, if the circuit has any
// MeasureAll, (0, 0) ... (n-1, n-1).
using MeasurementMap = std::vector<MeasurementPair>;

MeasurementMap measurement_map(std::uint64_t num_qubits, std::span<const circuit::Gate> gates);

// Samples the state with a generator seeded by `seed` and packs every outcome
// into the classical register the circuit's measurements describe (several
// qubits measured into one bit OR together; unnamed bits read 0). A Measure
// into classical bit 64 or above fails with ClassicalBitOutOfRange before
// anything is sampled.
[[nodiscard]] std::expected<RegisterCounts, SimError> sample_counts(const Statevector& state,
                                                      std::span<const circuit::Gate> gates,
                                                      std::uint32_t shots, std::uint64_t seed);

// One register value and the number of shots that produced it.
struct RegisterCount {
    std::uint64_t value;
    std::uint64_t count;
    bool operator==(const RegisterCount&) const = default;
};

// sample_counts for callers that sample many states or many seeds in a row
// (the native backend's batches and replicas): the same draws and the same
// counts for the same seed, but counted in tables that are kept and reused
// between calls instead of hash maps built per call, and returned sorted by
// register value. One sampler belongs to one thread at a time.
class ShotSampler {
public:
    // Takes the probability table of `state`; the state is not needed
    // afterwards. Any number of sample() calls may follow.
    void load(const Statevector& state);

    // sample_counts on the loaded state: ascending register values, each with
    // a nonzero count; empty for zero shots. The span stays valid until the
    // next call on this sampler. The same error for a classical bit of 64 or
    // above, before anything is drawn.
    [[nodiscard]] std::expected<std::span<const RegisterCount>, SimError> sample(
        std::span<const circuit::Gate> gates, std::uint32_t shots, std::uint64_t seed);

private:
    std::uint64_t num_qubits_ = 0;
    double total_ = 0.0;
    std::vector<double> cumulative_;
    // Dense counts, all zero between calls; grown, never shrunk.
    std::vector<std::uint32_t> bins_;
    std::vector<RegisterCount> outcomes_;
    std::vector<RegisterCount> registers_;
};

// simulate (without a cancellation callback), then sample_counts; the state
// is dropped. Simulation errors are returned unchanged.
[[nodiscard]] std::expected<RegisterCounts, SimError> simulate_and_sample(const StatevectorSimulator& simulator,
                                                            std::uint64_t num_qubits,
                                                            std::span<const circuit::Gate> gates,
                                                            std::uint32_t shots,
                                                            std::uint64_t seed);

[[nodiscard]] inline std::expected<RegisterCounts, SimError> simulate_and_sample(
    const StatevectorSimulator& simulator, const circuit::ConcreteCircuit& circuit,
    std::uint32_t shots, std::uint64_t seed) {
    return simulate_and_sample(simulator, circuit.num_qubits(), circuit.gates(), shots, seed);
}

}  // namespace morvane::sim
