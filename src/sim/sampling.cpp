#include "sim/sampling.hpp"

#include <algorithm>
#include <complex>
#include <variant>

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

namespace {

// In double whatever the state's precision: the running sums of a
// single-precision state are formed exactly as a double one's.
template <class Real>
inline double probability(std::complex<Real> a) noexcept {
    const double re = a.real(), im = a.imag();
    return re * re + im * im;
}

// Entry i is |a_0|^2 + ... + |a_i|^2, summed in index order. Returns the
// total mass. The sweep below sums in the same order with the same
// operations, so both see the same running sums to the last bit.
template <class Real>
double build_cumulative(std::span<const std::complex<Real>> amplitudes,
                        std::vector<double>& cumulative) {
    cumulative.resize(amplitudes.size());
    double running = 0.0;
    for (std::size_t i = 0; i < amplitudes.size(); ++i) {
        running += probability(amplitudes[i]);
        cumulative[i] = running;
    }
    return running;
}

// The running sum at the last amplitude of every block of `block` amplitudes
// (a short last block included), summed as build_cumulative sums. Returns the
// total mass.
template <class Real>
double build_block_ends(std::span<const std::complex<Real>> amplitudes, std::size_t block,
                        std::vector<double>& ends) {
    ends.resize((amplitudes.size() + block - 1) / block);
    double running = 0.0;
    for (std::size_t b = 0; b < ends.size(); ++b) {
        const std::size_t end = std::min(amplitudes.size(), (b + 1) * block);
        for (std::size_t i = b * block; i < end; ++i) running += probability(amplitudes[i]);
        ends[b] = running;
    }
    return running;
}

// The point of one shot on the running sum: uniform in [0, total).
inline double draw_point(std::uint64_t& generator_state, double total) noexcept {
    const std::uint64_t z = splitmix64_next(generator_state);
    const double u = static_cast<double>(z >> 11) * 0x1.0p-53;
    return u * total;
}

// One shot from a non-empty cumulative table.
inline std::size_t draw_index(std::span<const double> cumulative, double total,
                              std::uint64_t& generator_state) noexcept {
    const double f = draw_point(generator_state, total);
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
    return std::min(base, cumulative.size() - 1);
}

std::expected<void, SimError> check_register_bits(std::span<const Gate> gates) {
    for (const Gate& gate : gates) {
        if (gate.kind == GateKind::Measure && gate.cbit >= 64) {
            return std::unexpected(SimError(ClassicalBitOutOfRange{gate.cbit}));
        }
    }
    return {};
}

std::uint64_t pack_register(std::uint64_t basis, const MeasurementMap& map) noexcept {
    std::uint64_t value = 0;
    for (const MeasurementPair& pair : map) {
        // A qubit beyond the index width always reads 0.
        const bool set = pair.qubit < 64 && ((basis >> pair.qubit) & 1) != 0;
        value |= set ? std::uint64_t{1} << pair.clbit : 0;
    }
    return value;
}

// Whether every register value equals its basis index: each qubit of the
// state read into the classical bit of the same number, and nothing else.
bool is_identity_map(const MeasurementMap& map, std::uint64_t num_qubits) noexcept {
    std::uint64_t covered = 0;
    for (const MeasurementPair& pair : map) {
        if (pair.qubit != pair.clbit) return false;
        if (pair.qubit < num_qubits) covered |= std::uint64_t{1} << pair.qubit;
    }
    const std::uint64_t all =
        num_qubits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << num_qubits) - 1;
    return covered == all;
}

// A table of 2^bits counters pays when it is not much larger than the number
// of entries counted into it: sweeping it costs no more than sorting them,
// and it stays within half the size of the cumulative table or of the list.
bool dense_pays(std::uint64_t bins, std::uint64_t entries) noexcept { return bins <= 8 * entries; }

void sort_and_merge(std::vector<RegisterCount>& entries) {
    std::sort(entries.begin(), entries.end(),
              [](const RegisterCount& a, const RegisterCount& b) { return a.value < b.value; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (out != 0 && entries[out - 1].value == entries[i].value) {
            entries[out - 1].count += entries[i].count;
        } else {
            entries[out++] = entries[i];
        }
    }
    entries.resize(out);
}

// Appends the nonzero counters to `out` in index order and zeroes them again.
void drain_bins(std::span<std::uint32_t> bins, std::vector<RegisterCount>& out) {
    for (std::size_t i = 0; i < bins.size(); ++i) {
        if (bins[i] != 0) {
            out.push_back({i, bins[i]});
            bins[i] = 0;
        }
    }
}

}  // namespace

std::uint64_t splitmix64_next(std::uint64_t& state) noexcept {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

template <class Real>
OutcomeCounts sample_outcomes(const BasicStatevector<Real>& state, std::uint32_t shots,
                              std::uint64_t& generator_state) {
    OutcomeCounts counts;
    if (shots == 0 || state.size() == 0) return counts;
    std::vector<double> cumulative;
    const double total = build_cumulative<Real>(state.amplitudes(), cumulative);
    for (std::uint32_t shot = 0; shot < shots; ++shot) {
        ++counts[draw_index(cumulative, total, generator_state)];
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

template <class Real>
std::expected<RegisterCounts, SimError> sample_counts(const BasicStatevector<Real>& state,
                                                      std::span<const Gate> gates,
                                                      std::uint32_t shots, std::uint64_t seed) {
    if (auto ok = check_register_bits(gates); !ok) return std::unexpected(ok.error());
    std::uint64_t generator = seed;
    OutcomeCounts outcomes = sample_outcomes(state, shots, generator);
    const MeasurementMap map = measurement_map(state.num_qubits(), gates);
    if (map.empty()) return outcomes;

    RegisterCounts registers;
    for (const auto& [basis, count] : outcomes) {
        registers[pack_register(basis, map)] += count;
    }
    return registers;
}

template <class Real>
void ShotSampler::load(const BasicStatevector<Real>& state) {
    num_qubits_ = state.num_qubits();
    swept_ = {};
    if (num_qubits_ > table_qubits_) {
        const std::span<const std::complex<Real>> amplitudes = state.amplitudes();
        swept_ = amplitudes;
        cumulative_.clear();
        total_ = build_block_ends<Real>(amplitudes, SWEEP_BLOCK, block_ends_);
    } else {
        total_ = build_cumulative<Real>(state.amplitudes(), cumulative_);
    }
}

std::uint64_t ShotSampler::working_bytes(std::uint64_t num_qubits, std::uint32_t shots,
                                         std::uint64_t table_qubits) noexcept {
    const std::uint64_t basis = num_qubits >= 63 ? std::uint64_t{1} << 63
                                                 : std::uint64_t{1} << num_qubits;
    const std::uint64_t outcomes = std::min<std::uint64_t>(basis, shots);
    // Outcomes listed, regrouped by register (through counters no larger
    // than 8 per outcome), and listed again.
    const std::uint64_t regrouping = outcomes * (sizeof(RegisterCount) * 2 + 8 * 4);
    if (num_qubits > table_qubits) {
        return std::min(shots, SWEEP_DRAWS) * sizeof(double) +
               (basis / SWEEP_BLOCK + 1) * sizeof(double) + regrouping;
    }
    const std::uint64_t counting = dense_pays(basis, shots) ? basis * sizeof(std::uint32_t)
                                                            : shots * sizeof(RegisterCount);
    return basis * sizeof(double) + counting + regrouping;
}

void ShotSampler::draw_from_table(std::uint32_t shots, std::uint64_t& generator) {
    // Counted in place when the shots cover the table densely enough, else
    // listed one per shot and sorted.
    const std::size_t size = cumulative_.size();
    if (dense_pays(size, shots)) {
        if (bins_.size() < size) bins_.resize(size);
        for (std::uint32_t shot = 0; shot < shots; ++shot) {
            ++bins_[draw_index(cumulative_, total_, generator)];
        }
        drain_bins(std::span(bins_).first(size), outcomes_);
    } else {
        outcomes_.reserve(shots);
        for (std::uint32_t shot = 0; shot < shots; ++shot) {
            outcomes_.push_back({draw_index(cumulative_, total_, generator), 1});
        }
        sort_and_merge(outcomes_);
    }
}

namespace {

// Calls emit(k, i) for the k-th of `points` (ascending, each in [0, total))
// with the basis index i it lands on: the first index whose running sum is
// not below it, the last index when rounding leaves it above them all (the
// table's lower bound). The walk keeps `running` equal to the table's entry at
// i, and the entry before i below every point still to come; it jumps over
// the blocks no point lands in.
template <class Real, class Emit>
void walk_sorted_points(std::span<const std::complex<Real>> swept,
                        std::span<const double> block_ends, std::size_t block_size,
                        std::span<const double> points, Emit emit) {
    const std::size_t last = swept.size() - 1;
    const std::size_t blocks = block_ends.size();
    std::size_t block = 0;
    std::size_t i = 0;
    double running = 0.0 + probability(swept[0]);
    for (std::size_t k = 0; k < points.size(); ++k) {
        const double point = points[k];
        if (running < point && point > block_ends[block]) {
            // Jump to the first block whose end reaches the point; from the
            // end of the block before it the sums continue as they would
            // have. None reaches it: the clamped last index.
            const auto reached =
                std::lower_bound(block_ends.begin() + static_cast<std::ptrdiff_t>(block) + 1,
                                 block_ends.end(), point);
            if (reached == block_ends.end()) {
                block = blocks - 1;
                i = last;
                running = block_ends[block];
            } else {
                block = static_cast<std::size_t>(reached - block_ends.begin());
                i = block * block_size;
                running = block_ends[block - 1] + probability(swept[i]);
            }
        }
        while (running < point && i < last) running += probability(swept[++i]);
        emit(k, i);
    }
}

// walk_sorted_points on a swept state of either precision.
template <class Emit>
void walk_swept(const ShotSampler::SweptAmplitudes& swept, std::span<const double> block_ends,
                std::size_t block_size, std::span<const double> points, Emit emit) {
    std::visit(
        [&](auto amplitudes) {
            walk_sorted_points(amplitudes, block_ends, block_size, points, emit);
        },
        swept);
}

}  // namespace

void ShotSampler::draw_by_sweeping(std::uint32_t shots, std::uint64_t& generator) {
    for (std::uint32_t left = shots; left > 0;) {
        const std::uint32_t batch = std::min(left, sweep_draws_);
        left -= batch;
        draws_.resize(batch);
        for (double& point : draws_) point = draw_point(generator, total_);
        std::sort(draws_.begin(), draws_.end());
        const std::size_t before = outcomes_.size();
        walk_swept(swept_, block_ends_, SWEEP_BLOCK, draws_, [&](std::size_t, std::uint64_t i) {
            if (outcomes_.size() > before && outcomes_.back().value == i) {
                ++outcomes_.back().count;
            } else {
                outcomes_.push_back({i, 1});
            }
        });
        if (before != 0) sort_and_merge(outcomes_);
    }
}

void ShotSampler::draw_shots(std::uint64_t seed, std::span<std::uint64_t> outcomes) {
    const std::size_t size = swept_size() == 0 ? cumulative_.size() : swept_size();
    if (outcomes.empty() || size == 0) return;
    std::uint64_t generator = seed;
    if (swept_size() == 0) {
        for (std::uint64_t& outcome : outcomes) {
            outcome = draw_index(cumulative_, total_, generator);
        }
        return;
    }
    // The points of a batch are walked in ascending order; each outcome goes
    // back to the shot that drew it.
    for (std::size_t first = 0; first < outcomes.size();) {
        const std::size_t batch = std::min<std::size_t>(outcomes.size() - first, sweep_draws_);
        draws_.resize(batch);
        draw_order_.resize(batch);
        for (std::size_t k = 0; k < batch; ++k) {
            draws_[k] = draw_point(generator, total_);
            draw_order_[k] = static_cast<std::uint32_t>(k);
        }
        std::sort(draw_order_.begin(), draw_order_.end(),
                  [this](std::uint32_t a, std::uint32_t b) { return draws_[a] < draws_[b]; });
        // Sorted points in place of the drawn ones; draw_order_ says whose they are.
        std::vector<double>& sorted = draws_sorted_;
        sorted.resize(batch);
        for (std::size_t k = 0; k < batch; ++k) sorted[k] = draws_[draw_order_[k]];
        walk_swept(swept_, block_ends_, SWEEP_BLOCK, sorted,
                   [&](std::size_t k, std::uint64_t i) { outcomes[first + draw_order_[k]] = i; });
        first += batch;
    }
}

std::expected<std::span<const RegisterCount>, SimError> ShotSampler::sample(
    std::span<const Gate> gates, std::uint32_t shots, std::uint64_t seed) {
    if (auto ok = check_register_bits(gates); !ok) return std::unexpected(ok.error());
    outcomes_.clear();
    registers_.clear();
    const std::size_t size = swept_size() == 0 ? cumulative_.size() : swept_size();
    if (shots == 0 || size == 0) return std::span<const RegisterCount>{};

    // Basis outcomes, ascending.
    std::uint64_t generator = seed;
    if (swept_size() == 0) {
        draw_from_table(shots, generator);
    } else {
        draw_by_sweeping(shots, generator);
    }

    const MeasurementMap map = measurement_map(num_qubits_, gates);
    if (map.empty() || is_identity_map(map, num_qubits_)) {
        return std::span<const RegisterCount>(outcomes_);
    }

    // Several basis outcomes can pack into one register value, and packing
    // does not keep their order: regroup by value.
    std::uint64_t width = 0;
    for (const MeasurementPair& pair : map) width = std::max(width, pair.clbit + 1);
    if (width < 32 && dense_pays(std::uint64_t{1} << width, outcomes_.size())) {
        const std::size_t bins = std::size_t{1} << width;
        if (bins_.size() < bins) bins_.resize(bins);
        for (const RegisterCount& outcome : outcomes_) {
            bins_[pack_register(outcome.value, map)] += static_cast<std::uint32_t>(outcome.count);
        }
        drain_bins(std::span(bins_).first(bins), registers_);
    } else {
        for (const RegisterCount& outcome : outcomes_) {
            registers_.push_back({pack_register(outcome.value, map), outcome.count});
        }
        sort_and_merge(registers_);
    }
    return std::span<const RegisterCount>(registers_);
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

template OutcomeCounts sample_outcomes(const Statevector&, std::uint32_t, std::uint64_t&);
template OutcomeCounts sample_outcomes(const SingleStatevector&, std::uint32_t, std::uint64_t&);
template std::expected<RegisterCounts, SimError> sample_counts(const Statevector&,
                                                               std::span<const Gate>, std::uint32_t,
                                                               std::uint64_t);
template std::expected<RegisterCounts, SimError> sample_counts(const SingleStatevector&,
                                                               std::span<const Gate>, std::uint32_t,
                                                               std::uint64_t);
template void ShotSampler::load(const Statevector&);
template void ShotSampler::load(const SingleStatevector&);

}  // namespace morvane::sim
