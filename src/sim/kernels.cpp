#include "sim/kernels.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <complex>
#include <type_traits>
#include <vector>

#include "sim/diagonal_run_plan.hpp"
#include "sim/index_math.hpp"
#include "sim/kernel_variants.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"
#include "support/thread_pool.hpp"

// How the kernels are laid out
//
// The amplitude array is viewed as interleaved reals (re, im, re, im, ...),
// doubles or floats, and complex products are written out by hand. Work is enumerated by bit
// insertion, but per run rather than per element: the pair (or group) index
// space is cut into maximal runs whose amplitudes are contiguous, each run
// start found by inserting zero bits, and the loop inside a run is plain
// arithmetic over contiguous streams that vectorises.
//
// Runs are only long when every qubit involved is 2 or above. Qubits 0 and 1
// instead vary inside each block of four consecutive amplitudes (one vector
// of 8 reals), so their kernels work block by block: a lane permutation brings
// the partner amplitude of each lane alongside it, and per-lane coefficient
// vectors hold the matrix entry each lane needs. Either way every cache line
// is read and written once per sweep.
//
// The per-range functions have one variant per instruction set and precision
// (sim/kernel_variants.hpp); their bodies are templates on the block type,
// which carries the real type. Matrices and phases arrive in double and are
// rounded once, as the block's coefficients are made, so a single-precision
// state sees each gate's matrix rounded to float and nothing else changes.

namespace morvane::sim {

namespace {

// Smallest piece of work handed to one thread, chosen so that a piece moves
// about 2^15 amplitudes (512 KiB) and lasts tens of microseconds: large enough
// that fork/join overhead is noise, small enough to balance two to a few dozen
// threads on the register sizes where parallelism pays. Units: pairs (two
// amplitudes), groups and blocks (four), block pairs (eight), amplitudes, and
// diagonal-run chunks.
constexpr std::size_t PAIR_GRAIN = std::size_t{1} << 14;
constexpr std::size_t GROUP_GRAIN = std::size_t{1} << 13;
constexpr std::size_t BLOCK_PAIR_GRAIN = std::size_t{1} << 12;
constexpr std::size_t AMPLITUDE_GRAIN = std::size_t{1} << 15;
constexpr std::size_t CHUNK_GRAIN = 8;

std::atomic<std::size_t> grain_override{0};

std::size_t grain_or(std::size_t default_grain) noexcept {
    const std::size_t forced = grain_override.load(std::memory_order_relaxed);
    return forced != 0 ? forced : default_grain;
}

// Runs body(begin, end) over [0, count): in one piece on this thread, or split
// over the pool.
template <class Body>
void run_range(std::size_t count, bool parallel, std::size_t default_grain, Body& body) {
    if (count == 0) return;
    if (!parallel) {
        body(std::size_t{0}, count);
        return;
    }
    parallel_for(count, grain_or(default_grain), body);
}

// The end of the run that starts at i: the next multiple of 2^run_bits, capped
// at `end` (run_bits of 64 or more: no cut).
[[gnu::always_inline]] inline std::uint64_t run_stop(std::uint64_t i, std::uint64_t end,
                                                     std::uint64_t run_bits) noexcept {
    if (run_bits >= 64) return end;
    return std::min(end, (i | (bit(run_bits) - 1)) + 1);
}

// ---- vector helpers (Vec8, load8, store8: sim/vec8.hpp) ------------------------------
template <class V>
[[gnu::always_inline]] inline V swap_re_im(V v) noexcept {
    return shuffle8<1, 0, 3, 2, 5, 4, 7, 6>(v);
}
// Lane L takes lane L xor D (D = 1: neighbours, D = 2: halves).
template <int D, class V>
[[gnu::always_inline]] inline V permute_lanes(V v) noexcept {
    static_assert(D == 1 || D == 2);
    if constexpr (D == 1) return shuffle8<2, 3, 0, 1, 6, 7, 4, 5>(v);
    return shuffle8<4, 5, 6, 7, 0, 1, 2, 3>(v);
}

// Four complex coefficients, one per lane, ready to multiply: with a lane
// holding (x, y), c * (x, y) = re(c) (x, y) + im(c) (-y, x).
template <class V>
struct LaneCoefficients {
    V re;  // (re c0, re c0, re c1, re c1, ...)
    V im;  // (-im c0, +im c0, -im c1, +im c1, ...)
};

template <class V>
[[gnu::always_inline]] inline LaneCoefficients<V> lanes(Amplitude c0, Amplitude c1, Amplitude c2,
                                                        Amplitude c3) noexcept {
    return {V::make(c0.real(), c0.real(), c1.real(), c1.real(), c2.real(), c2.real(), c3.real(),
                    c3.real()),
            V::make(-c0.imag(), c0.imag(), -c1.imag(), c1.imag(), -c2.imag(), c2.imag(),
                    -c3.imag(), c3.imag())};
}
template <class V>
[[gnu::always_inline]] inline LaneCoefficients<V> lanes(Amplitude c) noexcept {
    return lanes<V>(c, c, c, c);
}

template <class V>
[[gnu::always_inline]] inline V lane_multiply(const LaneCoefficients<V>& c, V v) noexcept {
    return c.re * v + c.im * swap_re_im(v);
}

// ---- contiguous streams ------------------------------------------------------------

// Up to four amplitudes at p, as the first `count` lanes of a vector (the
// other lanes zero), and back. Tails go through the same vector arithmetic
// as whole blocks, so an amplitude's result never depends on where a range
// boundary fell, and serial and parallel runs agree bit for bit.
template <class V>
[[gnu::always_inline]] inline V load_lanes(const typename V::Real* p, std::size_t count) noexcept {
    V v{};
    __builtin_memcpy(v.part, p, count * 2 * sizeof(typename V::Real));
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store_lanes(typename V::Real* p, V v,
                                               std::size_t count) noexcept {
    __builtin_memcpy(p, v.part, count * 2 * sizeof(typename V::Real));
}

// K contiguous streams of `count` amplitudes each (K = 2 or 4) updated by the
// K x K matrix m (interleaved complex, row-major): element j of stream r
// becomes sum_c m[r][c] * element j of stream c. Four elements per step.
template <class V, std::size_t K>
using StreamCoefficients = std::array<LaneCoefficients<V>, K * K>;

// The matrix entries as lane coefficients, built once per range rather than
// once per run: runs are as short as four amplitudes on qubit 2.
template <class V, std::size_t K>
[[gnu::always_inline]] inline StreamCoefficients<V, K> stream_coefficients(const double* m) {
    StreamCoefficients<V, K> coefficients;
    for (std::size_t k = 0; k < K * K; ++k)
        coefficients[k] = lanes<V>(Amplitude(m[2 * k], m[2 * k + 1]));
    return coefficients;
}

template <std::size_t K, class V>
[[gnu::always_inline]] inline void dense_streams(typename V::Real* const (&p)[K], std::size_t count,
                                                 const StreamCoefficients<V, K>& coefficients) {
    auto step = [&](std::size_t j, std::size_t lanes_used) __attribute__((always_inline)) {
        V a[K];
        for (std::size_t c = 0; c < K; ++c) {
            a[c] = lanes_used == 4 ? load8<V>(p[c] + 2 * j)
                                   : load_lanes<V>(p[c] + 2 * j, lanes_used);
        }
        for (std::size_t r = 0; r < K; ++r) {
            V out = lane_multiply(coefficients[K * r], a[0]);
            for (std::size_t c = 1; c < K; ++c)
                out += lane_multiply(coefficients[K * r + c], a[c]);
            if (lanes_used == 4) {
                store8(p[r] + 2 * j, out);
            } else {
                store_lanes(p[r] + 2 * j, out, lanes_used);
            }
        }
    };
    const std::size_t whole = count / 4 * 4;
    for (std::size_t j = 0; j < whole; j += 4)
        step(j, 4);
    if (whole < count) step(whole, count - whole);
}

// ---- dense kernels on qubits 2 and above ---------------------------------------------

// Whole runs [first, last) of a one-qubit gate on qubit T (2 <= T <= 4),
// where a run is only one to four vectors long and finding each run's start
// by bit insertion would cost as much as its arithmetic: run r is the 2^(T+1)
// amplitudes from r 2^(T+1). Same products, in the same order, as
// dense_streams.
template <std::uint64_t T, class V>
[[gnu::always_inline]] inline void dense_1q_short_runs(typename V::Real* data,
                                                       const StreamCoefficients<V, 2>& c,
                                                       std::uint64_t first, std::uint64_t last) {
    constexpr std::uint64_t run = std::uint64_t{1} << T;
    for (std::uint64_t r = first; r < last; ++r) {
        typename V::Real* p0 = data + 2 * (r << (T + 1));
        typename V::Real* p1 = p0 + 2 * run;
        for (std::uint64_t j = 0; j < run; j += 4) {
            const V a = load8<V>(p0 + 2 * j), b = load8<V>(p1 + 2 * j);
            V out0 = lane_multiply(c[0], a);
            out0 += lane_multiply(c[1], b);
            V out1 = lane_multiply(c[2], a);
            out1 += lane_multiply(c[3], b);
            store8(p0 + 2 * j, out0);
            store8(p1 + 2 * j, out1);
        }
    }
}

// Pairs [begin, end) of a one-qubit gate on t >= 2 (or any t when the range
// is a single pair): runs of 2^t pairs, two streams 2^t apart.
template <class V>
[[gnu::always_inline]] inline void dense_1q_range_body(typename V::Real* data, std::uint64_t t,
                                                       const double* m, std::uint64_t begin,
                                                       std::uint64_t end) {
    const StreamCoefficients<V, 2> coefficients = stream_coefficients<V, 2>(m);
    auto runs = [&](std::uint64_t i, std::uint64_t stop) __attribute__((always_inline)) {
        while (i < stop) {
            const std::uint64_t run_end = run_stop(i, stop, t);
            const std::uint64_t i0 = insert_zero(i, t);
            typename V::Real* const streams[2] = {data + 2 * i0, data + 2 * (i0 + bit(t))};
            dense_streams<2>(streams, run_end - i, coefficients);
            i = run_end;
        }
    };
    if (t < 2 || t > 4) {
        runs(begin, end);
        return;
    }
    // Short runs: a cut run at either end of the range goes the general way.
    const std::uint64_t first = (begin + bit(t) - 1) >> t, last = end >> t;
    if (first >= last) {
        runs(begin, end);
        return;
    }
    runs(begin, first << t);
    if (t == 2) dense_1q_short_runs<2>(data, coefficients, first, last);
    if (t == 3) dense_1q_short_runs<3>(data, coefficients, first, last);
    if (t == 4) dense_1q_short_runs<4>(data, coefficients, first, last);
    runs(last << t, end);
}
MORVANE_KERNEL_VARIANTS(dense_1q_range,
                        (Real * data, std::uint64_t t, const double* m, std::uint64_t begin,
                         std::uint64_t end),
                        (data, t, m, begin, end))

// Groups [begin, end) with zero bits at lo < hi (lo >= 2): runs of 2^lo
// groups; `offsets` place the streams relative to the group's base.
template <class V, std::size_t K>
[[gnu::always_inline]] inline void group_streams(typename V::Real* data, std::uint64_t lo,
                                                 std::uint64_t hi,
                                                 const std::uint64_t (&offsets)[K], const double* m,
                                                 std::uint64_t begin, std::uint64_t end) {
    const StreamCoefficients<V, K> coefficients = stream_coefficients<V, K>(m);
    for (std::uint64_t i = begin; i < end;) {
        const std::uint64_t stop = run_stop(i, end, lo);
        const std::uint64_t base = insert_zero(insert_zero(i, lo), hi);
        typename V::Real* streams[K];
        for (std::size_t k = 0; k < K; ++k)
            streams[k] = data + 2 * (base + offsets[k]);
        dense_streams<K>(streams, stop - i, coefficients);
        i = stop;
    }
}

// Only the pairs whose control bit is set change, so the walk visits just
// those: the 2^(n-2) groups with zero bits at both qubits, control bit set.
template <class V>
[[gnu::always_inline]] inline void controlled_1q_range_body(typename V::Real* data,
                                                            std::uint64_t control,
                                                            std::uint64_t target, const double* m,
                                                            std::uint64_t begin,
                                                            std::uint64_t end) {
    const std::uint64_t offsets[2] = {bit(control), bit(control) | bit(target)};
    group_streams<V, 2>(data, std::min(control, target), std::max(control, target), offsets, m,
                        begin, end);
}
MORVANE_KERNEL_VARIANTS(controlled_1q_range,
                        (Real * data, std::uint64_t control, std::uint64_t target, const double* m,
                         std::uint64_t begin, std::uint64_t end),
                        (data, control, target, m, begin, end))

template <class V>
[[gnu::always_inline]] inline void dense_2q_range_body(typename V::Real* data, std::uint64_t a,
                                                       std::uint64_t b, const double* m,
                                                       std::uint64_t begin, std::uint64_t end) {
    const std::uint64_t offsets[4] = {0, bit(a), bit(b), bit(a) | bit(b)};
    group_streams<V, 4>(data, std::min(a, b), std::max(a, b), offsets, m, begin, end);
}
MORVANE_KERNEL_VARIANTS(dense_2q_range,
                        (Real * data, std::uint64_t a, std::uint64_t b, const double* m,
                         std::uint64_t begin, std::uint64_t end),
                        (data, a, b, m, begin, end))

// ---- dense kernels touching qubit 0 or 1 -----------------------------------------------

// Element [r][c] of an n x n interleaved matrix.
Amplitude entry(const double* m, std::size_t n, std::size_t r, std::size_t c) noexcept {
    return {m[2 * (n * r + c)], m[2 * (n * r + c) + 1]};
}

// Blocks [begin, end) of a one-qubit gate on t < 2: lane L holds local bit
// l = bit t of L; its new value is u[l][l] x[L] + u[l][1-l] x[L ^ 2^t].
template <int D, class V>
[[gnu::always_inline]] inline void dense_1q_blocks(typename V::Real* data, const double* u,
                                                   std::uint64_t begin, std::uint64_t end) {
    Amplitude same[4], other[4];
    for (int lane = 0; lane < 4; ++lane) {
        const int l = (lane & D) != 0 ? 1 : 0;
        same[lane] = entry(u, 2, l, l);
        other[lane] = entry(u, 2, l, 1 - l);
    }
    const LaneCoefficients<V> cs = lanes<V>(same[0], same[1], same[2], same[3]);
    const LaneCoefficients<V> co = lanes<V>(other[0], other[1], other[2], other[3]);
    for (std::uint64_t w = begin; w < end; ++w) {
        typename V::Real* p = data + 8 * w;
        const V x = load8<V>(p);
        store8(p, lane_multiply(cs, x) + lane_multiply(co, permute_lanes<D>(x)));
    }
}

template <class V>
[[gnu::always_inline]] inline void dense_1q_low_range_body(typename V::Real* data, std::uint64_t t,
                                                           const double* u, std::uint64_t begin,
                                                           std::uint64_t end) {
    if (t == 0) {
        dense_1q_blocks<1, V>(data, u, begin, end);
    } else {
        dense_1q_blocks<2, V>(data, u, begin, end);
    }
}
MORVANE_KERNEL_VARIANTS(dense_1q_low_range,
                        (Real * data, std::uint64_t t, const double* u, std::uint64_t begin,
                         std::uint64_t end),
                        (data, t, u, begin, end))

// Local index of a lane's amplitude for the ordered pair (a, b), given the
// values of the two qubits' bits.
constexpr std::size_t local_index(bool a_is_lo, int lo_bit, int hi_bit) noexcept {
    return a_is_lo ? static_cast<std::size_t>(lo_bit + 2 * hi_bit)
                   : static_cast<std::size_t>(hi_bit + 2 * lo_bit);
}

// Blocks [begin, end) of a two-qubit gate on qubits {0, 1}: each block is one
// group; lane L gets sum over d of M[k(L)][k(L ^ d)] x[L ^ d].
template <class V>
[[gnu::always_inline]] inline void dense_2q_low_pair_range_body(typename V::Real* data,
                                                                bool a_is_lo, const double* m,
                                                                std::uint64_t begin,
                                                                std::uint64_t end) {
    auto k = [a_is_lo](int lane) __attribute__((always_inline)) { return local_index(a_is_lo, lane & 1, lane >> 1); };
    LaneCoefficients<V> c[4];
    for (int d = 0; d < 4; ++d) {
        c[d] = lanes<V>(entry(m, 4, k(0), k(0 ^ d)), entry(m, 4, k(1), k(1 ^ d)),
                     entry(m, 4, k(2), k(2 ^ d)), entry(m, 4, k(3), k(3 ^ d)));
    }
    for (std::uint64_t w = begin; w < end; ++w) {
        typename V::Real* p = data + 8 * w;
        const V x = load8<V>(p);
        const V x1 = permute_lanes<1>(x), x2 = permute_lanes<2>(x);
        const V x3 = permute_lanes<1>(x2);
        store8(p, lane_multiply(c[0], x) + lane_multiply(c[1], x1) + lane_multiply(c[2], x2) +
                      lane_multiply(c[3], x3));
    }
}
MORVANE_KERNEL_VARIANTS(dense_2q_low_pair_range,
                        (Real * data, bool a_is_lo, const double* m, std::uint64_t begin,
                         std::uint64_t end),
                        (data, a_is_lo, m, begin, end))

// Block pairs [begin, end) of a two-qubit gate with lo < 2 <= hi: block X has
// the hi bit clear, block Y (2^hi amplitudes later) has it set; within a
// block, bit lo of the lane is the lo qubit.
template <int D, class V>
[[gnu::always_inline]] inline void dense_2q_split_blocks(typename V::Real* data, bool a_is_lo,
                                                         std::uint64_t hi, const double* m,
                                                         std::uint64_t begin, std::uint64_t end) {
    // coefficient[out block][in block][same lane / partner lane]
    LaneCoefficients<V> c[2][2][2];
    for (int out = 0; out < 2; ++out) {
        for (int in = 0; in < 2; ++in) {
            Amplitude same[4], partner[4];
            for (int lane = 0; lane < 4; ++lane) {
                const int l = (lane & D) != 0 ? 1 : 0;
                const std::size_t row = local_index(a_is_lo, l, out);
                same[lane] = entry(m, 4, row, local_index(a_is_lo, l, in));
                partner[lane] = entry(m, 4, row, local_index(a_is_lo, 1 - l, in));
            }
            c[out][in][0] = lanes<V>(same[0], same[1], same[2], same[3]);
            c[out][in][1] = lanes<V>(partner[0], partner[1], partner[2], partner[3]);
        }
    }
    const std::uint64_t y_offset = 2 * bit(hi);
    for (std::uint64_t w = begin; w < end; ++w) {
        typename V::Real* px = data + 8 * insert_zero(w, hi - 2);
        typename V::Real* py = px + y_offset;
        const V x = load8<V>(px), y = load8<V>(py);
        const V xp = permute_lanes<D>(x), yp = permute_lanes<D>(y);
        store8(px, lane_multiply(c[0][0][0], x) + lane_multiply(c[0][0][1], xp) +
                       lane_multiply(c[0][1][0], y) + lane_multiply(c[0][1][1], yp));
        store8(py, lane_multiply(c[1][0][0], x) + lane_multiply(c[1][0][1], xp) +
                       lane_multiply(c[1][1][0], y) + lane_multiply(c[1][1][1], yp));
    }
}

template <class V>
[[gnu::always_inline]] inline void dense_2q_split_range_body(typename V::Real* data, bool a_is_lo,
                                                             std::uint64_t lo, std::uint64_t hi,
                                                             const double* m, std::uint64_t begin,
                                                             std::uint64_t end) {
    if (lo == 0) {
        dense_2q_split_blocks<1, V>(data, a_is_lo, hi, m, begin, end);
    } else {
        dense_2q_split_blocks<2, V>(data, a_is_lo, hi, m, begin, end);
    }
}
MORVANE_KERNEL_VARIANTS(dense_2q_split_range,
                        (Real * data, bool a_is_lo, std::uint64_t lo, std::uint64_t hi,
                         const double* m, std::uint64_t begin, std::uint64_t end),
                        (data, a_is_lo, lo, hi, m, begin, end))

// ---- diagonals ---------------------------------------------------------------------

// Amplitudes [begin, end) multiplied by e[bit_a + 2 bit_b] (mask_b = 0 for a
// one-qubit diagonal, whose table is then d0, d1, d0, d1). Masks at or above
// 4 are constant over runs of 2^(lowest such bit) >= 4 amplitudes; masks 1
// and 2 vary inside each block of four and become per-lane phases.
template <class V>
[[gnu::always_inline]] inline void diagonal_range_body(typename V::Real* data, std::uint64_t mask_a,
                                                       std::uint64_t mask_b, const Amplitude* e,
                                                       std::uint64_t begin, std::uint64_t end) {
    auto phase = [&](std::uint64_t index) __attribute__((always_inline)) {
        return e[((index & mask_a) != 0 ? 1 : 0) + ((index & mask_b) != 0 ? 2 : 0)];
    };
    const std::uint64_t high = (mask_a | mask_b) & ~std::uint64_t{3};
    const std::uint64_t run_bits =
        high != 0 ? static_cast<std::uint64_t>(std::countr_zero(high)) : 64;
    // Blocks of four from the one holding `begin`; a block cut by the range
    // ends is done through its lanes inside the range only.
    std::uint64_t block = begin & ~std::uint64_t{3};
    while (block < end) {
        const std::uint64_t stop = run_stop(block, end, run_bits);
        const LaneCoefficients<V> c =
            lanes<V>(phase(block), phase(block + 1), phase(block + 2), phase(block + 3));
        for (; block < stop; block += 4) {
            const std::uint64_t first = std::max(block, begin), last = std::min(block + 4, end);
            if (first == block && last == block + 4) {
                store8(data + 2 * block, lane_multiply(c, load8<V>(data + 2 * block)));
                continue;
            }
            using Real = typename V::Real;
            V v{};
            Real* lanes_start = reinterpret_cast<Real*>(v.part) + 2 * (first - block);
            __builtin_memcpy(lanes_start, data + 2 * first, (last - first) * 2 * sizeof(Real));
            v = lane_multiply(c, v);
            __builtin_memcpy(data + 2 * first, lanes_start, (last - first) * 2 * sizeof(Real));
        }
    }
}
MORVANE_KERNEL_VARIANTS(diagonal_range,
                        (Real * data, std::uint64_t mask_a, std::uint64_t mask_b,
                         const Amplitude* e, std::uint64_t begin, std::uint64_t end),
                        (data, mask_a, mask_b, e, begin, end))

// ---- three-qubit gates ---------------------------------------------------------------

// CCX, CSWAP and CCZ change only the amplitudes whose control bits are all
// set: a quarter (CCX, CSWAP) or an eighth (CCZ) of the state. Their kernels
// walk just those. Group index i counts the indices with zero bits at the
// gate's three qubits (ascending in `s`); consecutive groups are consecutive
// indices for 2^s[0] of them, so the walk goes run by run, and when every
// qubit is 2 or above each run is whole cache lines and the sweep leaves the
// other lines alone.
template <class Body>
[[gnu::always_inline]] inline void group_runs_3q(const std::array<std::uint64_t, 3>& s,
                                                 std::uint64_t begin, std::uint64_t end,
                                                 Body&& body) {
    for (std::uint64_t i = begin; i < end;) {
        const std::uint64_t stop = run_stop(i, end, s[0]);
        body(insert_zero(insert_zero(insert_zero(i, s[0]), s[1]), s[2]), stop - i);
        i = stop;
    }
}

// Exchanges `count` consecutive amplitudes at p with those at q: a move,
// exact whatever the split.
template <class V>
[[gnu::always_inline]] inline void swap_amplitudes(typename V::Real* p, typename V::Real* q,
                                                   std::uint64_t count) {
    const std::uint64_t whole = count / 4 * 4;
    for (std::uint64_t j = 0; j < whole; j += 4) {
        const V x = load8<V>(p + 2 * j), y = load8<V>(q + 2 * j);
        store8(p + 2 * j, y);
        store8(q + 2 * j, x);
    }
    for (std::uint64_t j = 2 * whole; j < 2 * count; ++j)
        std::swap(p[j], q[j]);
}

// For every group, the amplitudes at base + from and base + to trade places
// (CCX: both controls set, target clear / set; CSWAP: control set and one
// target set / the other).
template <class V>
[[gnu::always_inline]] inline void exchange_3q_range_body(
    typename V::Real* data, const std::array<std::uint64_t, 3>& sorted, std::uint64_t from,
    std::uint64_t to, std::uint64_t begin, std::uint64_t end) {
    group_runs_3q(sorted, begin, end, [&](std::uint64_t base, std::uint64_t count) __attribute__((always_inline)) {
        swap_amplitudes<V>(data + 2 * (base + from), data + 2 * (base + to), count);
    });
}
MORVANE_KERNEL_VARIANTS(exchange_3q_range,
                        (Real * data, const std::array<std::uint64_t, 3>& sorted,
                         std::uint64_t from, std::uint64_t to, std::uint64_t begin,
                         std::uint64_t end),
                        (data, sorted, from, to, begin, end))

// For every group, the amplitude at base + mask (all three bits set) times
// c. Whole blocks of four and shorter runs go through the same lane
// arithmetic, so the result does not depend on the split.
template <class V>
[[gnu::always_inline]] inline void phase_3q_range_body(typename V::Real* data,
                                                       const std::array<std::uint64_t, 3>& sorted,
                                                       std::uint64_t mask, const double* phase,
                                                       std::uint64_t begin, std::uint64_t end) {
    const LaneCoefficients<V> c = lanes<V>(Amplitude(phase[0], phase[1]));
    group_runs_3q(sorted, begin, end,
                  [&](std::uint64_t base, std::uint64_t count) __attribute__((always_inline)) {
                      typename V::Real* p = data + 2 * (base + mask);
                      const std::uint64_t whole = count / 4 * 4;
                      for (std::uint64_t j = 0; j < whole; j += 4)
                          store8(p + 2 * j, lane_multiply(c, load8<V>(p + 2 * j)));
                      if (whole < count) {
                          const std::size_t rest = count - whole;
                          store_lanes(p + 2 * whole,
                                      lane_multiply(c, load_lanes<V>(p + 2 * whole, rest)), rest);
                      }
                  });
}
MORVANE_KERNEL_VARIANTS(phase_3q_range,
                        (Real * data, const std::array<std::uint64_t, 3>& sorted,
                         std::uint64_t mask, const double* phase, std::uint64_t begin,
                         std::uint64_t end),
                        (data, sorted, mask, phase, begin, end))

// ---- precondition checks -------------------------------------------------------------

template <class Real>
void check_state(std::span<std::complex<Real>> amplitudes, std::uint64_t n,
                 std::uint64_t min_qubits, const char* kernel) {
    if (n < min_qubits || n >= 64 || amplitudes.size() != bit(n)) {
        internal_fault(concat(kernel, " called with n = ", n, " on ", amplitudes.size(),
                              " amplitudes (needs n >= ", min_qubits, " and 2^n amplitudes)"));
    }
}

void check_qubit(std::uint64_t qubit, std::uint64_t limit, const char* kernel) {
    if (qubit >= limit) {
        internal_fault(
            concat(kernel, " called with qubit ", qubit, ", which is not below ", limit));
    }
}

void check_distinct(std::uint64_t a, std::uint64_t b, const char* kernel) {
    if (a == b) internal_fault(concat(kernel, " called with the same qubit twice (", a, ")"));
}

template <class Real>
Real* as_reals(std::span<std::complex<Real>> amplitudes) noexcept {
    return reinterpret_cast<Real*>(amplitudes.data());
}

const double* as_doubles(const Amplitude* values) noexcept {
    return reinterpret_cast<const double*>(values);
}

// Dispatches a checked 4x4 application to the layout's range function.
template <class Real>
void dense_2q_unchecked(std::span<std::complex<Real>> amplitudes, std::uint64_t a, std::uint64_t b,
                        const Matrix4& matrix, bool parallel) {
    Real* data = as_reals(amplitudes);
    const double* m = as_doubles(matrix.m.data());
    const std::uint64_t lo = std::min(a, b), hi = std::max(a, b);
    const bool a_is_lo = a == lo;
    if (lo >= 2) {
        auto body = [&](std::size_t begin, std::size_t end) {
            dense_2q_range(data, a, b, m, begin, end);
        };
        run_range(amplitudes.size() / 4, parallel, GROUP_GRAIN, body);
    } else if (hi < 2) {
        auto body = [&](std::size_t begin, std::size_t end) {
            dense_2q_low_pair_range(data, a_is_lo, m, begin, end);
        };
        run_range(amplitudes.size() / 4, parallel, GROUP_GRAIN, body);
    } else {
        auto body = [&](std::size_t begin, std::size_t end) {
            dense_2q_split_range(data, a_is_lo, lo, hi, m, begin, end);
        };
        run_range(amplitudes.size() / 8, parallel, BLOCK_PAIR_GRAIN, body);
    }
}

template <class Real>
void diagonal_unchecked(std::span<std::complex<Real>> amplitudes, std::uint64_t mask_a,
                        std::uint64_t mask_b, const std::array<Amplitude, 4>& e, bool parallel) {
    Real* data = as_reals(amplitudes);
    auto body = [&](std::size_t begin, std::size_t end) {
        diagonal_range(data, mask_a, mask_b, e.data(), begin, end);
    };
    run_range(amplitudes.size(), parallel, AMPLITUDE_GRAIN, body);
}

}  // namespace

namespace testing {
void set_kernel_grain(std::size_t grain) noexcept {
    grain_override.store(grain, std::memory_order_relaxed);
}
}  // namespace testing

template <class Real>
void apply_dense_1q(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t target,
                    const Matrix2& matrix, bool parallel) {
    check_state<Real>(amplitudes, n, 1, "apply_dense_1q");
    check_qubit(target, n, "apply_dense_1q");
    Real* data = as_reals(amplitudes);
    const double* m = as_doubles(matrix.m.data());
    if (target < 2 && n >= 2) {
        auto body = [&](std::size_t begin, std::size_t end) {
            dense_1q_low_range(data, target, m, begin, end);
        };
        run_range(amplitudes.size() / 4, parallel, GROUP_GRAIN, body);
        return;
    }
    // Qubits from 2 up, and the single pair of a one-qubit register.
    auto body = [&](std::size_t begin, std::size_t end) {
        dense_1q_range(data, target, m, begin, end);
    };
    run_range(amplitudes.size() / 2, parallel, PAIR_GRAIN, body);
}

template <class Real>
void apply_controlled_1q(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                         std::uint64_t target, const Matrix2& matrix, bool parallel) {
    check_state<Real>(amplitudes, n, 2, "apply_controlled_1q");
    check_qubit(control, n, "apply_controlled_1q");
    check_qubit(target, n, "apply_controlled_1q");
    check_distinct(control, target, "apply_controlled_1q");
    if (std::min(control, target) < 2) {
        // A low qubit interleaves the controlled pairs with the untouched ones
        // at a granularity finer than a cache line, so skipping the untouched
        // half saves no memory traffic; the gate runs as the 4x4 matrix
        // |0><0| x 1 + |1><1| x U on (control, target) through the block path.
        Matrix4 full{};
        full.m[0] = full.m[10] = Amplitude(1.0, 0.0);  // local 0 and 2: control clear
        full.m[5] = matrix.m[0];                       // local 1 = control set, target clear
        full.m[7] = matrix.m[1];
        full.m[13] = matrix.m[2];  // local 3 = both set
        full.m[15] = matrix.m[3];
        dense_2q_unchecked<Real>(amplitudes, control, target, full, parallel);
        return;
    }
    Real* data = as_reals(amplitudes);
    const double* m = as_doubles(matrix.m.data());
    auto body = [&](std::size_t begin, std::size_t end) {
        controlled_1q_range(data, control, target, m, begin, end);
    };
    run_range(amplitudes.size() / 4, parallel, PAIR_GRAIN, body);
}

template <class Real>
void apply_dense_2q(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t a, std::uint64_t b,
                    const Matrix4& matrix, bool parallel) {
    check_state<Real>(amplitudes, n, 2, "apply_dense_2q");
    check_qubit(a, n, "apply_dense_2q");
    check_qubit(b, n, "apply_dense_2q");
    check_distinct(a, b, "apply_dense_2q");
    dense_2q_unchecked<Real>(amplitudes, a, b, matrix, parallel);
}

template <class Real>
void apply_diagonal_1q(Amplitudes<Real> amplitudes, std::uint64_t q, Amplitude d0, Amplitude d1,
                       bool parallel) {
    check_qubit(q, 64, "apply_diagonal_1q");
    diagonal_unchecked<Real>(amplitudes, bit(q), 0, {d0, d1, d0, d1}, parallel);
}

template <class Real>
void apply_diagonal_2q(Amplitudes<Real> amplitudes, std::uint64_t q0, std::uint64_t q1,
                       const std::array<Amplitude, 4>& e, bool parallel) {
    check_qubit(q0, 64, "apply_diagonal_2q");
    check_qubit(q1, 64, "apply_diagonal_2q");
    check_distinct(q0, q1, "apply_diagonal_2q");
    diagonal_unchecked<Real>(amplitudes, bit(q0), bit(q1), e, parallel);
}

namespace {

// The three qubits checked (below n, distinct) and sorted.
template <class Real>
std::array<std::uint64_t, 3> checked_3q(std::span<std::complex<Real>> amplitudes, std::uint64_t n,
                                        std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                        const char* kernel) {
    check_state<Real>(amplitudes, n, 3, kernel);
    for (const std::uint64_t q : {a, b, c})
        check_qubit(q, n, kernel);
    check_distinct(a, b, kernel);
    check_distinct(a, c, kernel);
    check_distinct(b, c, kernel);
    std::array<std::uint64_t, 3> sorted{a, b, c};
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

template <class Real>
void exchange_3q(std::span<std::complex<Real>> amplitudes,
                 const std::array<std::uint64_t, 3>& sorted, std::uint64_t from, std::uint64_t to,
                 bool parallel) {
    Real* data = as_reals(amplitudes);
    auto body = [&](std::size_t begin, std::size_t end) {
        exchange_3q_range(data, sorted, from, to, begin, end);
    };
    run_range(amplitudes.size() / 8, parallel, PAIR_GRAIN, body);
}

}  // namespace

template <class Real>
void apply_ccx(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control0,
               std::uint64_t control1, std::uint64_t target, bool parallel) {
    const auto sorted = checked_3q<Real>(amplitudes, n, control0, control1, target, "apply_ccx");
    const std::uint64_t controls = bit(control0) | bit(control1);
    exchange_3q<Real>(amplitudes, sorted, controls, controls | bit(target), parallel);
}

template <class Real>
void apply_cswap(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                 std::uint64_t a, std::uint64_t b, bool parallel) {
    const auto sorted = checked_3q<Real>(amplitudes, n, control, a, b, "apply_cswap");
    exchange_3q<Real>(amplitudes, sorted, bit(control) | bit(a), bit(control) | bit(b), parallel);
}

template <class Real>
void apply_ccphase(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t q0, std::uint64_t q1,
                   std::uint64_t q2, Amplitude phase, bool parallel) {
    const auto sorted = checked_3q<Real>(amplitudes, n, q0, q1, q2, "apply_ccphase");
    Real* data = as_reals(amplitudes);
    const double* p = as_doubles(&phase);
    const std::uint64_t mask = bit(q0) | bit(q1) | bit(q2);
    auto body = [&](std::size_t begin, std::size_t end) {
        phase_3q_range(data, sorted, mask, p, begin, end);
    };
    run_range(amplitudes.size() / 8, parallel, AMPLITUDE_GRAIN, body);
}

namespace {

// Lane-wise product of two vectors of complex numbers.
template <class V>
[[gnu::always_inline]] inline V complex_multiply(V a, V t) noexcept {
    const V t_re = shuffle8<0, 0, 2, 2, 4, 4, 6, 6>(t);
    const V t_im = shuffle8<1, 1, 3, 3, 5, 5, 7, 7>(t) *
                   V::make(-1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0);
    return t_re * a + t_im * swap_re_im(a);
}

template <class V>
[[gnu::always_inline]] inline void apply_run_chunk_body(const RunPlan& plan, typename V::Real* data,
                                                        const typename V::Real* cross,
                                                        std::uint64_t start) {
    using Real = typename V::Real;
    Amplitude scale(1.0, 0.0);
    for (const ChunkConstantFactor& factor : plan.constant)
        scale = mul(factor.at(start), scale);
    std::array<PhasePair, 12> pairs{};
    for (const StraddlingFactor& factor : plan.straddling) {
        const auto& phases =
            (start & factor.high_mask) != 0 ? factor.when_high_set : factor.when_high_clear;
        PhasePair& pair = pairs[factor.low_bit];
        pair.p0 = mul(phases[0], pair.p0);
        pair.p1 = mul(phases[1], pair.p1);
    }
    alignas(AMPLITUDE_ALIGNMENT) Amplitude columns[bit(MAX_COLUMN_BITS)];
    Amplitude rows[bit(12 - MAX_COLUMN_BITS)];
    pair_table(columns, plan.column_static.data(), 0, plan.column_bits, pairs);
    pair_table(rows, plan.row_static.data(), plan.column_bits, plan.row_bits, pairs);

    const std::uint64_t width = bit(plan.column_bits);
    // The tables are formed in double; a single-precision state reads them
    // rounded once per chunk (at most 64 entries).
    const Real* column_reals;
    alignas(AMPLITUDE_ALIGNMENT) Real rounded[2 * bit(MAX_COLUMN_BITS)];
    if constexpr (std::is_same_v<Real, double>) {
        column_reals = reinterpret_cast<const double*>(columns);
    } else {
        for (std::uint64_t j = 0; j < bit(plan.column_bits); ++j) {
            rounded[2 * j] = static_cast<Real>(columns[j].real());
            rounded[2 * j + 1] = static_cast<Real>(columns[j].imag());
        }
        column_reals = rounded;
    }
    Real* chunk = data + 2 * start;
    if (width < 4) {  // states of fewer than four amplitudes: one short row
        V a = load_lanes<V>(chunk, width);
        a = complex_multiply(a, load_lanes<V>(column_reals, width));
        a = lane_multiply(lanes<V>(mul(scale, rows[0])), a);
        store_lanes(chunk, a, width);
        return;
    }
    for (std::uint64_t h = 0; h < bit(plan.row_bits); ++h) {
        const LaneCoefficients<V> row = lanes<V>(mul(scale, rows[h]));
        Real* p = chunk + 2 * h * width;
        for (std::uint64_t k = 0; k < width; k += 4) {
            const V phase = lane_multiply(row, load8<V>(column_reals + 2 * k));
            V a = complex_multiply(load8<V>(p + 2 * k), phase);
            if (cross != nullptr) a = complex_multiply(a, load8<V>(cross + 2 * (h * width + k)));
            store8(p + 2 * k, a);
        }
    }
}
MORVANE_KERNEL_VARIANTS(apply_run_chunk,
                        (const RunPlan& plan, Real* data, const Real* cross, std::uint64_t start),
                        (plan, data, cross, start))

// The run's cross table as the state's precision reads it: double as
// planned, rounded to float once per run into `rounded`.
template <class Real>
const Real* cross_table(const RunPlan& plan, std::vector<std::complex<float>>& rounded) {
    if (plan.cross.empty()) return nullptr;
    if constexpr (std::is_same_v<Real, double>) {
        return reinterpret_cast<const double*>(plan.cross.data());
    } else {
        rounded.assign(plan.cross.begin(), plan.cross.end());
        return reinterpret_cast<const float*>(rounded.data());
    }
}

}  // namespace

template <class Real>
void apply_diagonal_run(Amplitudes<Real> amplitudes, std::span<const DiagonalFactor> factors,
                        bool parallel) {
    if (amplitudes.empty() || !std::has_single_bit(amplitudes.size())) {
        internal_fault(concat("apply_diagonal_run called on ", amplitudes.size(),
                              " amplitudes, which is not a power of two"));
    }
    if (factors.empty()) return;
    const RunPlan plan = plan_diagonal_run(amplitudes.size(), factors);
    Real* data = as_reals(amplitudes);
    std::vector<std::complex<float>> rounded;
    const Real* cross = cross_table<Real>(plan, rounded);
    const std::uint64_t num_chunks = amplitudes.size() >> plan.chunk_bits;
    auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k)
            apply_run_chunk(plan, data, cross, k << plan.chunk_bits);
    };
    run_range(num_chunks, parallel, CHUNK_GRAIN, body);
}

// Both precisions of every kernel.
#define MORVANE_INSTANTIATE_KERNELS(Real)                                                          \
    template void apply_dense_1q<Real>(std::span<std::complex<Real>>, std::uint64_t,               \
                                       std::uint64_t, const Matrix2&, bool);                       \
    template void apply_controlled_1q<Real>(std::span<std::complex<Real>>, std::uint64_t,          \
                                            std::uint64_t, std::uint64_t, const Matrix2&, bool);   \
    template void apply_dense_2q<Real>(std::span<std::complex<Real>>, std::uint64_t,               \
                                       std::uint64_t, std::uint64_t, const Matrix4&, bool);        \
    template void apply_diagonal_1q<Real>(std::span<std::complex<Real>>, std::uint64_t, Amplitude, \
                                          Amplitude, bool);                                        \
    template void apply_diagonal_2q<Real>(std::span<std::complex<Real>>, std::uint64_t,            \
                                          std::uint64_t, const std::array<Amplitude, 4>&, bool);   \
    template void apply_diagonal_run<Real>(std::span<std::complex<Real>>,                          \
                                           std::span<const DiagonalFactor>, bool);                 \
    template void apply_ccx<Real>(std::span<std::complex<Real>>, std::uint64_t, std::uint64_t,     \
                                  std::uint64_t, std::uint64_t, bool);                             \
    template void apply_cswap<Real>(std::span<std::complex<Real>>, std::uint64_t, std::uint64_t,   \
                                    std::uint64_t, std::uint64_t, bool);                           \
    template void apply_ccphase<Real>(std::span<std::complex<Real>>, std::uint64_t, std::uint64_t, \
                                      std::uint64_t, std::uint64_t, Amplitude, bool);
MORVANE_INSTANTIATE_KERNELS(double)
MORVANE_INSTANTIATE_KERNELS(float)
#undef MORVANE_INSTANTIATE_KERNELS

}  // namespace morvane::sim
