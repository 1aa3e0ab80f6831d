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
