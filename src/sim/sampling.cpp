#include "sim/sampling.hpp"

#include <algorithm>

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

std::uint64_t splitmix64_next(std::uint64_t& state) noexcept {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

OutcomeCounts sample_outcomes(const Statevector& state, std::uint32_t shots,
                              std::uint64_t& generator_state) {
    OutcomeCounts counts;
    const std::span<const Amplitude> amplitudes = state.amplitudes();
    if (shots == 0 || amplitudes.empty()) return counts;

    std::vector<double> cumulative(amplitudes.size());
    double running = 0.0;
    for (std::size_t i = 0; i < amplitudes.size(); ++i) {
        const double re = amplitudes[i].real(), im = amplitudes[i].imag();
        running += re * re + im * im;
        cumulative[i] = running;
    }
    const double total = running;
    const std::size_t last = amplitudes.size() - 1;

    for (std::uint32_t shot = 0; shot < shots; ++shot) {
        const std::uint64_t z = splitmix64_next(generator_state);
        const double u = static_cast<double>(z >> 11) * 0x1.0p-53;
        const double f = u * total;
        // Lower bound without data-dependent branches: the first index whose
        // cumulative entry is not less than f.
        std::size_t base = 0;
        std::size_t size = cumulative.size();
        while (size > 1) {
            const std::size_t half = size / 2;
            const std::size_t mid = base + half;
            base = cumulative[mid] < f ? mid : base;
            size -= half;
        }
        base += cumulative[base] < f ? 1 : 0;
        // Rounding can leave f above the last entry; that draw is the last index.
        ++counts[std::min(base, last)];
    }
    return counts;
}

MeasurementMap measurement_map(std::uint64_t num_qubits, std::span<const Gate> gates) {
    MeasurementMap map;
    bool measure_all = false;
    for (const Gate& gate : gates) {
        if (gate.kind == GateKind::Measure) map.push_back({gate.q0, gate.cbit});
        if (gate.kind == GateKind::MeasureAll) measure_all = true;
    }
    if (measure_all) {
        for (std::uint64_t q = 0; q < num_qubits; ++q)
            map.push_back({q, q});
    }
    return map;
}

std::expected<RegisterCounts, SimError> sample_counts(const Statevector& state,
                                                      std::span<const Gate> gates,
                                                      std::uint32_t shots, std::uint64_t seed) {
    for (const Gate& gate : gates) {
        if (gate.kind == GateKind::Measure && gate.cbit >= 64) {
            return std::unexpected(SimError(ClassicalBitOutOfRange{gate.cbit}));
        }
    }
    std::uint64_t generator = seed;
    OutcomeCounts outcomes = sample_outcomes(state, shots, generator);
    const MeasurementMap map = measurement_map(state.num_qubits(), gates);
    if (map.empty()) return outcomes;

    RegisterCounts registers;
    for (const auto& [basis, count] : outcomes) {
        std::uint64_t value = 0;
        for (const MeasurementPair& pair : map) {
            // A qubit beyond the index width always reads 0.
            const bool set = pair.qubit < 64 && ((basis >> pair.qubit) & 1) != 0;
            value |= set ? std::uint64_t{1} << pair.clbit : 0;
        }
        registers[value] += count;
    }
    return registers;
}

std::expected<RegisterCounts, SimError> simulate_and_sample(const StatevectorSimulator& simulator,
                                                            std::uint64_t num_qubits,
                                                            std::span<const Gate> gates,
                                                            std::uint32_t shots,
                                                            std::uint64_t seed) {
    auto state = simulator.simulate(num_qubits, gates);
    if (!state) return std::unexpected(state.error());
    return sample_counts(*state, gates, shots, seed);
}

}  // namespace morvane::sim
