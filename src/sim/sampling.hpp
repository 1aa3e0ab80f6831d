#pragma once

#include <algorithm>
#include <cstdint>
#include <expected>
#include <span>
#include <unordered_map>
#include <variant>
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
template <class Real>
OutcomeCounts sample_outcomes(const BasicStatevector<Real>& state, std::uint32_t shots,
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
template <class Real>
[[nodiscard]] std::expected<RegisterCounts, SimError> sample_counts(
    const BasicStatevector<Real>& state, std::span<const circuit::Gate> gates, std::uint32_t shots,
    std::uint64_t seed);

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
//
// Small states are sampled from a table of running probabilities, built once
// per load and searched per shot. A table for a large state would cost half
// the state again (8 GiB beside a 30-qubit state), so a state of more than
// `table_qubits` qubits is swept instead: load keeps only the running sum at
// the end of every block of SWEEP_BLOCK amplitudes, the shots' draws are
// sorted, and the running sum is walked past them in index order, jumping
// over the blocks no draw lands in. That picks exactly the outcomes the table
// would (the same sums in the same order), with memory for the draws and a
// 1/SWEEP_BLOCK sliver of the table.
class ShotSampler {
public:
    static constexpr std::uint64_t TABLE_QUBITS = 20;
    // Draws sorted per sweep: a larger number of shots sweeps the state again
    // per batch of draws, so that their memory stays bounded too.
    static constexpr std::uint32_t SWEEP_DRAWS = std::uint32_t{1} << 22;
    static constexpr std::size_t SWEEP_BLOCK = 4096;

    // Tests lower both limits to reach the sweep and its batches on small states.
    explicit ShotSampler(std::uint64_t table_qubits = TABLE_QUBITS,
                         std::uint32_t sweep_draws = SWEEP_DRAWS) noexcept
        : table_qubits_(table_qubits), sweep_draws_(std::max<std::uint32_t>(sweep_draws, 1)) {}

    // Takes the probability table of `state`, or for a swept state its total
    // probability. A swept state is read again by sample(), so it must stay
    // alive and unchanged until the next load; a tabled one is not needed
    // after load. Any number of sample() calls may follow.
    // Either precision: the running sums are formed in double.
    template <class Real>
    void load(const BasicStatevector<Real>& state);

    // sample_counts on the loaded state: ascending register values, each with
    // a nonzero count; empty for zero shots. The span stays valid until the
    // next call on this sampler. The same error for a classical bit of 64 or
    // above, before anything is drawn.
    [[nodiscard]] std::expected<std::span<const RegisterCount>, SimError> sample(
        std::span<const circuit::Gate> gates, std::uint32_t shots, std::uint64_t seed);

    // The basis-state outcomes of `shots` shots, one per shot in the order
    // they are drawn, written to `outcomes` (which must hold `shots`
    // entries): the same draws sample() makes for the same seed, without
    // counting them. A swept state is walked once per batch of draws in
    // sorted order and each outcome put back in its shot's place. Nothing is
    // written when nothing is loaded or the loaded state is empty.
    void draw_shots(std::uint64_t seed, std::span<std::uint64_t> outcomes);

    // The most memory load and sample need beside the state itself for a
    // state of `num_qubits` qubits and `shots` shots, before any regrouping
    // by classical register (which needs no more than the outcomes).
    static std::uint64_t working_bytes(std::uint64_t num_qubits, std::uint32_t shots,
                                       std::uint64_t table_qubits = TABLE_QUBITS) noexcept;

    // The amplitudes of a swept state, in its precision.
    using SweptAmplitudes =
        std::variant<std::span<const std::complex<double>>, std::span<const std::complex<float>>>;

  private:
    // Appends the basis outcomes of `shots` draws to outcomes_, ascending.
    void draw_from_table(std::uint32_t shots, std::uint64_t& generator);
    void draw_by_sweeping(std::uint32_t shots, std::uint64_t& generator);

    std::uint64_t table_qubits_;
    std::uint32_t sweep_draws_;
    std::uint64_t num_qubits_ = 0;
    double total_ = 0.0;
    std::vector<double> cumulative_;
    // Amplitudes of a swept state; empty when the state is tabled.
    std::size_t swept_size() const noexcept {
        return std::visit([](auto amplitudes) { return amplitudes.size(); }, swept_);
    }

    SweptAmplitudes swept_;
    // Running sum at the last amplitude of each SWEEP_BLOCK of a swept state.
    std::vector<double> block_ends_;
    std::vector<double> draws_;
    // Shot numbers of draws_, sorted with them (draw_shots on a swept state).
    std::vector<std::uint32_t> draw_order_;
    std::vector<double> draws_sorted_;
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
