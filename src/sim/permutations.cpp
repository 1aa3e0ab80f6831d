#include "sim/permutations.hpp"

#include <algorithm>
#include <bit>
#include <vector>
#include <cstring>

#include "sim/index_math.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

namespace {

void check(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t a, std::uint64_t b,
           const char* kernel) {
    if (n >= 64 || amplitudes.size() != bit(n) || a >= n || b >= n || a < 2 || b < 2) {
        internal_fault(concat(kernel, " called with qubits ", a, ", ", b, " on n = ", n, " and ",
                              amplitudes.size(), " amplitudes"));
    }
}

// Swaps `count` amplitudes (a multiple of four) at p and q, one cache line
// at a time.
[[gnu::always_inline]] inline void swap_lines(Amplitude* p, Amplitude* q, std::uint64_t count) {
    for (std::uint64_t j = 0; j < count; j += 4) {
        double x[8], y[8];
        __builtin_memcpy(x, p + j, sizeof x);
        __builtin_memcpy(y, q + j, sizeof y);
        __builtin_memcpy(p + j, y, sizeof y);
        __builtin_memcpy(q + j, x, sizeof x);
    }
}

// For every index with zero bits at lo and hi (lo < hi; hi = 64 for one
// qubit), the amplitudes at index + from and index + to trade places. Those
// indices come in runs of 2^lo >= 4 consecutive ones.
void exchange_runs(Amplitude* data, std::uint64_t n, std::uint64_t lo, std::uint64_t hi,
                   std::uint64_t from, std::uint64_t to) {
    const std::uint64_t run = bit(lo);
    const std::uint64_t zero_bits = hi < 64 ? 2 : 1;
    const std::uint64_t groups = bit(n - zero_bits);
    for (std::uint64_t i = 0; i < groups; i += run) {
        std::uint64_t base = insert_zero(i, lo);
        if (hi < 64) base = insert_zero(base, hi);
        swap_lines(data + base + from, data + base + to, run);
    }
}

}  // namespace

void apply_x_permutation(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t target) {
    check(amplitudes, n, target, target, "apply_x_permutation");
    exchange_runs(amplitudes.data(), n, target, 64, 0, bit(target));
}

void apply_cx_permutation(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t control,
                          std::uint64_t target) {
    check(amplitudes, n, control, target, "apply_cx_permutation");
    if (control == target) internal_fault("apply_cx_permutation called with control == target");
    exchange_runs(amplitudes.data(), n, std::min(control, target), std::max(control, target),
                  bit(control), bit(control) | bit(target));
}

void apply_swap_permutation(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t a,
                            std::uint64_t b) {
    check(amplitudes, n, a, b, "apply_swap_permutation");
    if (a == b) internal_fault("apply_swap_permutation called with the same qubit twice");
    exchange_runs(amplitudes.data(), n, std::min(a, b), std::max(a, b), bit(a), bit(b));
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
    // Runs of 2^lowest amplitudes move together; the image of run x is the
    // xor of two table entries (for its low and high halves of bits) and b.
    const std::uint64_t run_bits = lowest_;
    const std::uint64_t index_bits = n_ - run_bits;
    const std::uint64_t low_bits = index_bits / 2;
    tables_.assign(bit(low_bits) + bit(index_bits - low_bits), 0);
    std::uint64_t* low = tables_.data();
    std::uint64_t* high = tables_.data() + bit(low_bits);
    for (std::uint64_t y = 1; y < bit(low_bits); ++y) {
        const auto j = static_cast<std::uint64_t>(std::countr_zero(y));
        low[y] = low[y & (y - 1)] ^ (columns_[run_bits + j] >> run_bits);
    }
    for (std::uint64_t z = 1; z < bit(index_bits - low_bits); ++z) {
        const auto j = static_cast<std::uint64_t>(std::countr_zero(z));
        high[z] = high[z & (z - 1)] ^ (columns_[run_bits + low_bits + j] >> run_bits);
    }
}

void IndexPermutation::apply(std::span<const Amplitude> from, std::span<Amplitude> to) const {
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
    const std::uint64_t run = bit(run_bits);
    const std::uint64_t index_bits = n_ - run_bits;
    const std::uint64_t low_bits = index_bits / 2;
    const std::uint64_t* low = tables_.data();
    const std::uint64_t* high = tables_.data() + bit(low_bits);
    const std::uint64_t shift = constant_ >> run_bits;
    const std::uint64_t low_mask = bit(low_bits) - 1;
    const Amplitude* source = from.data();
    Amplitude* target = to.data();
    for (std::uint64_t x = 0; x < bit(index_bits); ++x) {
        const std::uint64_t image = low[x & low_mask] ^ high[x >> low_bits] ^ shift;
        const Amplitude* in = source + (x << run_bits);
        Amplitude* out = target + (image << run_bits);
        for (std::uint64_t j = 0; j < run; j += 4)
            __builtin_memcpy(out + j, in + j, 4 * sizeof(Amplitude));
    }
}

}  // namespace morvane::sim
