#include "sim/permutations.hpp"

#include <algorithm>
#include <bit>
#include <complex>
#include <vector>

#include "sim/index_math.hpp"
#include "sim/kernel_variants.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

namespace {

template <class Real>
void check(std::span<std::complex<Real>> amplitudes, std::uint64_t n, std::uint64_t a,
           std::uint64_t b, const char* kernel) {
    if (n >= 64 || amplitudes.size() != bit(n) || a >= n || b >= n || a < 2 || b < 2) {
        internal_fault(concat(kernel, " called with qubits ", a, ", ", b, " on n = ", n, " and ",
                              amplitudes.size(), " amplitudes"));
    }
}

// Swaps `count` amplitudes (a multiple of four) at p and q, one cache line
// at a time.
template <class V>
[[gnu::always_inline]] inline void swap_lines(std::complex<typename V::Real>* p,
                                              std::complex<typename V::Real>* q,
                                              std::uint64_t count) {
    for (std::uint64_t j = 0; j < count; j += 4) {
        const V x = load8<V>(p + j), y = load8<V>(q + j);
        store8(p + j, y);
        store8(q + j, x);
    }
}

// For every index with zero bits at lo and hi (lo < hi; hi = 64 for one
// qubit), the amplitudes at index + from and index + to trade places. Those
// indices come in runs of 2^lo >= 4 consecutive ones.
template <class V>
[[gnu::always_inline]] inline void exchange_runs_body(std::complex<typename V::Real>* data,
                                                      std::uint64_t n, std::uint64_t lo,
                                                      std::uint64_t hi, std::uint64_t from,
                                                      std::uint64_t to) {
    const std::uint64_t run = bit(lo);
    const std::uint64_t zero_bits = hi < 64 ? 2 : 1;
    const std::uint64_t groups = bit(n - zero_bits);
    for (std::uint64_t i = 0; i < groups; i += run) {
        std::uint64_t base = insert_zero(i, lo);
        if (hi < 64) base = insert_zero(base, hi);
        swap_lines<V>(data + base + from, data + base + to, run);
    }
}
MORVANE_KERNEL_VARIANTS(exchange_runs,
                        (std::complex<Real> * data, std::uint64_t n, std::uint64_t lo,
                         std::uint64_t hi, std::uint64_t from, std::uint64_t to),
                        (data, n, lo, hi, from, to))

// One cache line (four amplitudes) from `from` to `to`.
template <class V>
[[gnu::always_inline]] inline void copy_line(std::complex<typename V::Real>* to,
                                             const std::complex<typename V::Real>* from) {
    store8(to, load8<V>(from));
}

// The runs of an IndexPermutation, target in order: target run y
// (2^run_bits amplitudes) comes from source run low[y mod 2^low_bits] xor
// high[y / 2^low_bits] xor shift. The high half is looked up once per row.
template <class V>
[[gnu::always_inline]] inline void fetch_runs_body(const std::complex<typename V::Real>* source,
                                                   std::complex<typename V::Real>* target,
                                                   const std::uint64_t* low,
                                                   const std::uint64_t* high,
                                                   std::uint64_t low_bits, std::uint64_t high_count,
                                                   std::uint64_t shift, std::uint64_t run_bits) {
    const std::uint64_t run = bit(run_bits);
    const std::uint64_t row = bit(low_bits);
    for (std::uint64_t h = 0; h < high_count; ++h) {
        const std::uint64_t row_source = high[h] ^ shift;
        std::complex<typename V::Real>* out = target + ((h << low_bits) << run_bits);
        for (std::uint64_t l = 0; l < row; ++l, out += run) {
            const std::complex<typename V::Real>* in = source + ((low[l] ^ row_source) << run_bits);
            for (std::uint64_t j = 0; j < run; j += 4)
                copy_line<V>(out + j, in + j);
        }
    }
}
MORVANE_KERNEL_VARIANTS(fetch_runs,
                        (const std::complex<Real>* source, std::complex<Real>* target,
                         const std::uint64_t* low, const std::uint64_t* high,
                         std::uint64_t low_bits, std::uint64_t high_count, std::uint64_t shift,
                         std::uint64_t run_bits),
                        (source, target, low, high, low_bits, high_count, shift, run_bits))

// How far ahead a gather or scatter asks for the runs it will copy: the
// runs lie far apart, where the hardware prefetcher does not follow.
constexpr std::size_t PREFETCH_RUNS = 8;

// Copies `runs` runs of `run` amplitudes one after another into buffer, run
// r from source(r), asking for the run PREFETCH_RUNS ahead as it goes.
template <class V, class Source>
[[gnu::always_inline]] inline void gather_by(Source&& source, std::uint64_t runs, std::uint64_t run,
                                             std::complex<typename V::Real>* buffer) {
    for (std::uint64_t r = 0; r < runs; ++r) {
        if (r + PREFETCH_RUNS < runs) {
            const std::complex<typename V::Real>* ahead = source(r + PREFETCH_RUNS);
            for (std::uint64_t j = 0; j < run; j += 4)
                __builtin_prefetch(ahead + j, 0);
        }
        const std::complex<typename V::Real>* from = source(r);
        std::complex<typename V::Real>* to = buffer + r * run;
        for (std::uint64_t j = 0; j < run; j += 4)
            copy_line<V>(to + j, from + j);
    }
}

// fetch_runs with the source still spread over the state, as gather_runs
// would read it: source run s lies in gathered run s >> piece_bits, at
// data + offsets[s >> piece_bits], piece s mod 2^piece_bits of it. The
// chunk is gathered and permuted in one move.
template <class V>
[[gnu::always_inline]] inline void fetch_gathered_runs_body(
    const std::complex<typename V::Real>* data, const std::uint64_t* offsets,
    std::uint64_t piece_bits, std::complex<typename V::Real>* target, const std::uint64_t* low,
    const std::uint64_t* high, std::uint64_t low_bits, std::uint64_t high_count,
    std::uint64_t shift, std::uint64_t run_bits) {
    const std::uint64_t low_mask = bit(low_bits) - 1, piece_mask = bit(piece_bits) - 1;
    auto source = [&](std::uint64_t y) __attribute__((always_inline)) {
        const std::uint64_t s = low[y & low_mask] ^ high[y >> low_bits] ^ shift;
        return data + offsets[s >> piece_bits] + ((s & piece_mask) << run_bits);
    };
    gather_by<V>(source, high_count << low_bits, bit(run_bits), target);
}
MORVANE_KERNEL_VARIANTS(
    fetch_gathered_runs,
    (const std::complex<Real>* data, const std::uint64_t* offsets, std::uint64_t piece_bits,
     std::complex<Real>* target, const std::uint64_t* low, const std::uint64_t* high,
     std::uint64_t low_bits, std::uint64_t high_count, std::uint64_t shift, std::uint64_t run_bits),
    (data, offsets, piece_bits, target, low, high, low_bits, high_count, shift, run_bits))

template <class V>
[[gnu::always_inline]] inline void gather_lines_body(const std::complex<typename V::Real>* data,
                                                     const std::uint64_t* offsets, std::size_t runs,
                                                     std::uint64_t run,
                                                     std::complex<typename V::Real>* buffer) {
    gather_by<V>([&](std::uint64_t r) __attribute__((always_inline)) { return data + offsets[r]; }, runs, run, buffer);
}
MORVANE_KERNEL_VARIANTS(gather_lines,
                        (const std::complex<Real>* data, const std::uint64_t* offsets,
                         std::size_t runs, std::uint64_t run, std::complex<Real>* buffer),
                        (data, offsets, runs, run, buffer))

template <class V>
[[gnu::always_inline]] inline void scatter_lines_body(const std::complex<typename V::Real>* buffer,
                                                      const std::uint64_t* offsets,
                                                      std::size_t runs, std::uint64_t run,
                                                      std::complex<typename V::Real>* data) {
    for (std::size_t r = 0; r < runs; ++r) {
        if (r + PREFETCH_RUNS < runs) {
            std::complex<typename V::Real>* ahead = data + offsets[r + PREFETCH_RUNS];
            for (std::uint64_t j = 0; j < run; j += 4)
                __builtin_prefetch(ahead + j, 1);
        }
        const std::complex<typename V::Real>* from = buffer + r * run;
        std::complex<typename V::Real>* to = data + offsets[r];
        for (std::uint64_t j = 0; j < run; j += 4)
            copy_line<V>(to + j, from + j);
    }
}
MORVANE_KERNEL_VARIANTS(scatter_lines,
                        (const std::complex<Real>* buffer, const std::uint64_t* offsets,
                         std::size_t runs, std::uint64_t run, std::complex<Real>* data),
                        (buffer, offsets, runs, run, data))

// ---- CX on qubits 0 and 1 -----------------------------------------------------------
// Qubits 0 and 1 vary inside each block of four amplitudes (one 8-double
// vector), so a CX touching them moves lanes: within a vector, or between a
// vector and its partner 2^t amplitudes away.

// Both qubits below 2: lane L's amplitude goes to lane L with the target
// bit flipped where the control bit is set.
template <class V>
[[gnu::always_inline]] inline void cx_within_lanes_body(std::complex<typename V::Real>* data,
                                                        std::uint64_t vectors,
                                                        std::uint64_t control) {
    for (std::uint64_t w = 0; w < vectors; ++w) {
        const V v = load8<V>(data + 4 * w);
        // control 0, target 1: lanes 1 and 3 trade; control 1, target 0: 2 and 3.
        store8(data + 4 * w, control == 0 ? shuffle8<0, 1, 6, 7, 4, 5, 2, 3>(v)
                                          : shuffle8<0, 1, 2, 3, 6, 7, 4, 5>(v));
    }
}
MORVANE_KERNEL_VARIANTS(cx_within_lanes,
                        (std::complex<Real> * data, std::uint64_t vectors, std::uint64_t control),
                        (data, vectors, control))

// Control below 2, target t >= 2: vector x (target clear) and its partner y
// (target set) trade the lanes whose control bit is set.
template <class V>
[[gnu::always_inline]] inline void cx_across_lanes_body(std::complex<typename V::Real>* data,
                                                        std::uint64_t pairs, std::uint64_t control,
                                                        std::uint64_t target) {
    const std::uint64_t apart = bit(target - 2);
    for (std::uint64_t i = 0; i < pairs; ++i) {
        std::complex<typename V::Real>* px = data + 4 * insert_zero(i, target - 2);
        std::complex<typename V::Real>* py = px + 4 * apart;
        const V x = load8<V>(px), y = load8<V>(py);
        if (control == 0) {
            store8(px, shuffle8<0, 1, 10, 11, 4, 5, 14, 15>(x, y));
            store8(py, shuffle8<0, 1, 10, 11, 4, 5, 14, 15>(y, x));
        } else {
            store8(px, shuffle8<0, 1, 2, 3, 12, 13, 14, 15>(x, y));
            store8(py, shuffle8<0, 1, 2, 3, 12, 13, 14, 15>(y, x));
        }
    }
}
MORVANE_KERNEL_VARIANTS(cx_across_lanes,
                        (std::complex<Real> * data, std::uint64_t pairs, std::uint64_t control,
                         std::uint64_t target),
                        (data, pairs, control, target))

// Control c >= 2, target below 2: the vectors whose control bit is set swap
// lanes across the target bit.
template <class V>
[[gnu::always_inline]] inline void cx_lanes_where_set_body(std::complex<typename V::Real>* data,
                                                           std::uint64_t half,
                                                           std::uint64_t control,
                                                           std::uint64_t target) {
    for (std::uint64_t i = 0; i < half; ++i) {
        std::complex<typename V::Real>* p =
            data + 4 * (insert_zero(i, control - 2) | bit(control - 2));
        const V v = load8<V>(p);
        store8(p, target == 0 ? shuffle8<2, 3, 0, 1, 6, 7, 4, 5>(v)
                              : shuffle8<4, 5, 6, 7, 0, 1, 2, 3>(v));
    }
}
MORVANE_KERNEL_VARIANTS(cx_lanes_where_set,
                        (std::complex<Real> * data, std::uint64_t half, std::uint64_t control,
                         std::uint64_t target),
                        (data, half, control, target))

}  // namespace

template <class Real>
void gather_runs(const std::complex<Real>* data, std::span<const std::uint64_t> offsets,
                 std::uint64_t run_bits, std::complex<Real>* buffer) {
    if (run_bits < 2) {
        // Runs shorter than a line: amplitude by amplitude.
        const std::uint64_t run = bit(run_bits);
        for (std::size_t r = 0; r < offsets.size(); ++r)
            std::copy_n(data + offsets[r], run, buffer + r * run);
        return;
    }
    gather_lines(data, offsets.data(), offsets.size(), bit(run_bits), buffer);
}

template <class Real>
void scatter_runs(const std::complex<Real>* buffer, std::span<const std::uint64_t> offsets,
                  std::uint64_t run_bits, std::complex<Real>* data) {
    if (run_bits < 2) {
        const std::uint64_t run = bit(run_bits);
        for (std::size_t r = 0; r < offsets.size(); ++r)
            std::copy_n(buffer + r * run, run, data + offsets[r]);
        return;
    }
    scatter_lines(buffer, offsets.data(), offsets.size(), bit(run_bits), data);
}

template <class Real>
void apply_x_permutation(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t target) {
    check<Real>(amplitudes, n, target, target, "apply_x_permutation");
    exchange_runs(amplitudes.data(), n, target, 64, 0, bit(target));
}

template <class Real>
void apply_cx_permutation(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                          std::uint64_t target) {
    check<Real>(amplitudes, n, control, target, "apply_cx_permutation");
    if (control == target) internal_fault("apply_cx_permutation called with control == target");
    exchange_runs(amplitudes.data(), n, std::min(control, target), std::max(control, target),
                  bit(control), bit(control) | bit(target));
}

template <class Real>
void apply_swap_permutation(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t a,
                            std::uint64_t b) {
    check<Real>(amplitudes, n, a, b, "apply_swap_permutation");
    if (a == b) internal_fault("apply_swap_permutation called with the same qubit twice");
    exchange_runs(amplitudes.data(), n, std::min(a, b), std::max(a, b), bit(a), bit(b));
}

template <class Real>
void apply_cx_lanes(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                    std::uint64_t target) {
    const bool low = std::min(control, target) < 2;
    if (n >= 64 || n < 2 || amplitudes.size() != bit(n) || control >= n || target >= n ||
        control == target || !low) {
        internal_fault(concat("apply_cx_lanes called with qubits ", control, ", ", target,
                              " on n = ", n, " and ", amplitudes.size(), " amplitudes"));
    }
    std::complex<Real>* data = amplitudes.data();
    const std::uint64_t vectors = bit(n - 2);
    if (std::max(control, target) < 2) {
        cx_within_lanes(data, vectors, control);
    } else if (control < 2) {
        cx_across_lanes(data, vectors / 2, control, target);
    } else {
        cx_lanes_where_set(data, vectors / 2, control, target);
    }
}

IndexPermutation::IndexPermutation(std::uint64_t n) : n_(n) {
    if (n >= 64) internal_fault(concat("IndexPermutation on ", n, " bits"));
    for (std::uint64_t j = 0; j < 64; ++j)
        columns_[j] = bit(j);
}

void IndexPermutation::involve(std::uint64_t qubit) {
    if (finished_) internal_fault("IndexPermutation extended after finish()");
    if (qubit < 2 || qubit >= n_) {
        internal_fault(concat("IndexPermutation given qubit ", qubit, " on ", n_, " bits"));
    }
    lowest_ = std::min(lowest_, qubit);
}

// Composes a linear map g after the held one: A := g A, b := g b.
void IndexPermutation::map_columns(auto&& map) {
    for (std::uint64_t j = 0; j < n_; ++j)
        columns_[j] = map(columns_[j]);
    constant_ = map(constant_);
}

void IndexPermutation::x(std::uint64_t target) {
    involve(target);
    constant_ ^= bit(target);
}

void IndexPermutation::cx(std::uint64_t control, std::uint64_t target) {
    involve(control);
    involve(target);
    map_columns([&](std::uint64_t v) { return (v & bit(control)) != 0 ? v ^ bit(target) : v; });
}

void IndexPermutation::swap(std::uint64_t a, std::uint64_t b) {
    involve(a);
    involve(b);
    map_columns([&](std::uint64_t v) {
        const std::uint64_t differ = ((v >> a) ^ (v >> b)) & 1;
        return v ^ (differ << a) ^ (differ << b);
    });
}

void IndexPermutation::finish() {
    finished_ = true;
    if (lowest_ >= n_) return;
    // apply() walks the target in order and fetches each run from its
    // source: loads from scattered places overlap, where scattered stores
    // would each first fetch the line they overwrite. So the tables hold the
    // inverse map x = A^-1 y xor A^-1 b, found by Gauss-Jordan elimination
    // over GF(2) on the rows of A.
    std::uint64_t rows[64] = {};
    std::uint64_t inverse_rows[64] = {};
    for (std::uint64_t i = 0; i < n_; ++i) {
        for (std::uint64_t j = 0; j < n_; ++j)
            rows[i] |= ((columns_[j] >> i) & 1) << j;
        inverse_rows[i] = bit(i);
    }
    for (std::uint64_t c = 0; c < n_; ++c) {
        std::uint64_t pivot = c;
        while (pivot < n_ && ((rows[pivot] >> c) & 1) == 0) ++pivot;
        if (pivot == n_) internal_fault("IndexPermutation with a singular index map");
        std::swap(rows[c], rows[pivot]);
        std::swap(inverse_rows[c], inverse_rows[pivot]);
        for (std::uint64_t r = 0; r < n_; ++r) {
            if (r != c && ((rows[r] >> c) & 1) != 0) {
                rows[r] ^= rows[c];
                inverse_rows[r] ^= inverse_rows[c];
            }
        }
    }
    std::uint64_t inverse_columns[64] = {};
    for (std::uint64_t i = 0; i < n_; ++i) {
        for (std::uint64_t j = 0; j < n_; ++j)
            inverse_columns[j] |= ((inverse_rows[i] >> j) & 1) << i;
    }
    std::uint64_t inverse_constant = 0;
    for (std::uint64_t j = 0; j < n_; ++j) {
        if ((constant_ & bit(j)) != 0) inverse_constant ^= inverse_columns[j];
    }
    // Runs of 2^lowest amplitudes move together; the source of target run y
    // is the xor of two table entries (for its low and high halves of bits)
    // and the shift.
    const std::uint64_t run_bits = lowest_;
    const std::uint64_t index_bits = n_ - run_bits;
    const std::uint64_t low_bits = index_bits / 2;
    source_shift_ = inverse_constant >> run_bits;
    tables_.assign(bit(low_bits) + bit(index_bits - low_bits), 0);
    std::uint64_t* low = tables_.data();
    std::uint64_t* high = tables_.data() + bit(low_bits);
    for (std::uint64_t y = 1; y < bit(low_bits); ++y) {
        const auto j = static_cast<std::uint64_t>(std::countr_zero(y));
        low[y] = low[y & (y - 1)] ^ (inverse_columns[run_bits + j] >> run_bits);
    }
    for (std::uint64_t z = 1; z < bit(index_bits - low_bits); ++z) {
        const auto j = static_cast<std::uint64_t>(std::countr_zero(z));
        high[z] = high[z & (z - 1)] ^ (inverse_columns[run_bits + low_bits + j] >> run_bits);
    }
}

template <class Real>
void IndexPermutation::apply(std::type_identity_t<std::span<const std::complex<Real>>> from,
                             std::type_identity_t<std::span<std::complex<Real>>> to) const {
    if (from.size() != bit(n_) || to.size() != bit(n_)) {
        internal_fault(concat("IndexPermutation on ", n_, " bits applied to ", from.size(), " and ",
                              to.size(), " amplitudes"));
    }
    if (lowest_ >= n_) {
        std::copy(from.begin(), from.end(), to.begin());
        return;
    }
    if (!finished_) internal_fault("IndexPermutation applied before finish()");
    const std::uint64_t run_bits = lowest_;
    const std::uint64_t index_bits = n_ - run_bits;
    const std::uint64_t low_bits = index_bits / 2;
    fetch_runs(from.data(), to.data(), tables_.data(), tables_.data() + bit(low_bits), low_bits,
               bit(index_bits - low_bits), source_shift_, run_bits);
}

bool IndexPermutation::can_gather(std::uint64_t gather_bits) const noexcept {
    return finished_ && lowest_ < n_ && lowest_ <= gather_bits && gather_bits <= n_;
}

template <class Real>
void IndexPermutation::gather(const std::complex<Real>* data,
                              std::span<const std::uint64_t> offsets, std::uint64_t gather_bits,
                              std::type_identity_t<std::span<std::complex<Real>>> to) const {
    if (!can_gather(gather_bits) || to.size() != bit(n_) ||
        offsets.size() != bit(n_ - gather_bits)) {
        internal_fault(concat("IndexPermutation on ", n_, " bits (lowest ", lowest_,
                              ") gathering runs of 2^", gather_bits, " from ", offsets.size(),
                              " offsets into ", to.size(), " amplitudes"));
    }
    const std::uint64_t run_bits = lowest_;
    const std::uint64_t index_bits = n_ - run_bits;
    const std::uint64_t low_bits = index_bits / 2;
    fetch_gathered_runs(data, offsets.data(), gather_bits - run_bits, to.data(), tables_.data(),
                        tables_.data() + bit(low_bits), low_bits, bit(index_bits - low_bits),
                        source_shift_, run_bits);
}

#define MORVANE_INSTANTIATE_PERMUTATIONS(Real)                                                  \
    template void apply_x_permutation<Real>(std::span<std::complex<Real>>, std::uint64_t,       \
                                            std::uint64_t);                                     \
    template void apply_cx_permutation<Real>(std::span<std::complex<Real>>, std::uint64_t,      \
                                             std::uint64_t, std::uint64_t);                     \
    template void apply_swap_permutation<Real>(std::span<std::complex<Real>>, std::uint64_t,    \
                                               std::uint64_t, std::uint64_t);                   \
    template void apply_cx_lanes<Real>(std::span<std::complex<Real>>, std::uint64_t,            \
                                       std::uint64_t, std::uint64_t);                           \
    template void gather_runs(const std::complex<Real>*, std::span<const std::uint64_t>,        \
                              std::uint64_t, std::complex<Real>*);                              \
    template void scatter_runs(const std::complex<Real>*, std::span<const std::uint64_t>,       \
                               std::uint64_t, std::complex<Real>*);                             \
    template void IndexPermutation::apply<Real>(std::span<const std::complex<Real>>,            \
                                                std::span<std::complex<Real>>) const;           \
    template void IndexPermutation::gather<Real>(const std::complex<Real>*,                     \
                                                 std::span<const std::uint64_t>, std::uint64_t, \
                                                 std::span<std::complex<Real>>) const;
MORVANE_INSTANTIATE_PERMUTATIONS(double)
MORVANE_INSTANTIATE_PERMUTATIONS(float)
#undef MORVANE_INSTANTIATE_PERMUTATIONS

}  // namespace morvane::sim
