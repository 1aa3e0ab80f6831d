#include "sim/permutations.hpp"

#include <algorithm>
#include <cstring>

#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

namespace {

constexpr std::uint64_t bit(std::uint64_t position) noexcept {
    return std::uint64_t{1} << position;
}

void check(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t a, std::uint64_t b,
           const char* kernel) {
    if (n >= 64 || amplitudes.size() != bit(n) || a >= n || b >= n || a < 2 || b < 2) {
        internal_fault(concat(kernel, " called with qubits ", a, ", ", b, " on n = ", n, " and ",
                              amplitudes.size(), " amplitudes"));
    }
}

// Inserts a zero bit at `position`.
constexpr std::uint64_t insert_zero(std::uint64_t index, std::uint64_t position) noexcept {
    const std::uint64_t low = bit(position) - 1;
    return (index & low) | ((index & ~low) << 1);
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

}  // namespace morvane::sim
