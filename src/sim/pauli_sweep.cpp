#include "sim/pauli_sweep.hpp"

#include <algorithm>
#include <bit>

#include "support/internal_fault.hpp"
#include "support/thread_pool.hpp"

namespace morvane::sim {

namespace {

// Ranges the blocks are cut into: enough to keep a pool busy, few enough that
// their partial sums (one per mask) stay small.
constexpr std::size_t MAX_RANGES = 64;

// In-place Walsh-Hadamard transform of 2^bits values: out[m] = sum_l
// in[l] (-1)^{|l & m|}. Plain loops over contiguous halves, which the
// compiler vectorises.
void walsh_transform(double* values, std::size_t size) {
    for (std::size_t half = 1; half < size; half <<= 1) {
        for (std::size_t start = 0; start < size; start += 2 * half) {
            double* lo = values + start;
            double* hi = lo + half;
            for (std::size_t j = 0; j < half; ++j) {
                const double a = lo[j], b = hi[j];
                lo[j] = a + b;
                hi[j] = a - b;
            }
        }
    }
}

double parity_sign(std::uint64_t bits) { return (std::popcount(bits) & 1) != 0 ? -1.0 : 1.0; }

struct Layout {
    std::uint64_t block_bits;
    std::size_t block_size;
    std::size_t blocks;
    std::size_t ranges;
};

Layout layout_of(std::size_t size) {
    const std::uint64_t n = static_cast<std::uint64_t>(std::countr_zero(size));
    Layout layout;
    layout.block_bits = std::min(n, WALSH_BLOCK_BITS);
    layout.block_size = std::size_t{1} << layout.block_bits;
    layout.blocks = size >> layout.block_bits;
    layout.ranges = std::min(layout.blocks, MAX_RANGES);
    return layout;
}

// The blocks of range r: [first, last).
std::pair<std::size_t, std::size_t> range_blocks(const Layout& layout, std::size_t r) {
    return {r * layout.blocks / layout.ranges, (r + 1) * layout.blocks / layout.ranges};
}

// Up to this many masks a pass sums each mask's signs directly, one parity
// per amplitude and mask; the transform costs about 2 log2(B) operations per
// amplitude whatever the number of masks, so it pays only beyond a few. A
// Hamiltonian's X patterns mostly carry one to a few strings.
constexpr std::size_t DIRECT_MASKS = 6;

// sweep_range for at most DIRECT_MASKS masks: every amplitude's product
// (|psi|^2 for x = 0) added to each mask's sums with the mask's sign.
template <class Real>
void sweep_range_direct(const std::complex<Real>* psi, std::size_t begin, std::size_t end,
                        std::uint64_t x_mask, std::span<const std::uint64_t> z_masks, double* out) {
    const std::size_t K = z_masks.size();
    double re[DIRECT_MASKS] = {}, im[DIRECT_MASKS] = {};
    std::uint64_t z[DIRECT_MASKS] = {};
    for (std::size_t k = 0; k < K; ++k)
        z[k] = z_masks[k];
    if (x_mask == 0) {
        for (std::size_t i = begin; i < end; ++i) {
            const double a = psi[i].real(), b = psi[i].imag();
            const double p = a * a + b * b;
            for (std::size_t k = 0; k < K; ++k)
                re[k] += parity_sign(z[k] & i) * p;
        }
    } else {
        for (std::size_t i = begin; i < end; ++i) {
            const double ar = psi[i].real(), ai = psi[i].imag();
            const std::complex<Real> partner = psi[i ^ x_mask];
            const double br = partner.real(), bi = partner.imag();
            const double pr = ar * br + ai * bi, pi = ar * bi - ai * br;
            for (std::size_t k = 0; k < K; ++k) {
                const double sign = parity_sign(z[k] & i);
                re[k] += sign * pr;
                im[k] += sign * pi;
            }
        }
    }
    for (std::size_t k = 0; k < K; ++k) {
        out[2 * k] += re[k];
        out[2 * k + 1] += im[k];
    }
}

// Sums over one range of blocks into `out` (re, im per mask).
template <class Real>
void sweep_range(const std::complex<Real>* psi, const Layout& layout, std::size_t first,
                 std::size_t last, std::uint64_t x_mask, std::span<const std::uint64_t> z_masks,
                 double* out) {
    const std::size_t B = layout.block_size;
    const std::uint64_t low = B - 1;
    const std::uint64_t x_low = x_mask & low;
    const std::uint64_t x_high = x_mask & ~low;
    const bool diagonal = x_mask == 0;
    std::vector<double> re(B), im(diagonal ? 0 : B);
    for (std::size_t h = first; h < last; ++h) {
        const std::size_t base = h << layout.block_bits;
        const std::complex<Real>* here = psi + base;
        const std::complex<Real>* there = psi + (base ^ x_high);
        if (diagonal) {
            for (std::size_t l = 0; l < B; ++l) {
                const double a = here[l].real(), b = here[l].imag();
                re[l] = a * a + b * b;
            }
            walsh_transform(re.data(), B);
        } else {
            // conj(a) * b, written out (no library complex product).
            for (std::size_t l = 0; l < B; ++l) {
                const double ar = here[l].real(), ai = here[l].imag();
                const std::complex<Real> partner = there[l ^ x_low];
                const double br = partner.real(), bi = partner.imag();
                re[l] = ar * br + ai * bi;
                im[l] = ar * bi - ai * br;
            }
            walsh_transform(re.data(), B);
            walsh_transform(im.data(), B);
        }
        for (std::size_t k = 0; k < z_masks.size(); ++k) {
            const std::uint64_t z = z_masks[k];
            const double sign = parity_sign(z & ~low & base);
            out[2 * k] += sign * re[z & low];
            if (!diagonal) out[2 * k + 1] += sign * im[z & low];
        }
    }
}

}  // namespace

template <class Real>
std::vector<std::complex<double>> pauli_correlations(std::span<const std::complex<Real>> state,
                                                     std::uint64_t x_mask,
                                                     std::span<const std::uint64_t> z_masks,
                                                     bool parallel) {
    const std::size_t size = state.size();
    if (size == 0 || !std::has_single_bit(size) || x_mask >= size) {
        internal_fault("pauli_correlations: a mask beyond the state's qubits");
    }
    for (std::uint64_t z : z_masks) {
        if (z >= size) internal_fault("pauli_correlations: a mask beyond the state's qubits");
    }
    const Layout layout = layout_of(size);
    const std::size_t K = z_masks.size();
    std::vector<double> partial(layout.ranges * 2 * K, 0.0);
    const auto run = [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const auto [first, last] = range_blocks(layout, r);
            double* out = partial.data() + r * 2 * K;
            if (K <= DIRECT_MASKS) {
                sweep_range_direct(state.data(), first << layout.block_bits,
                                   last << layout.block_bits, x_mask, z_masks, out);
            } else {
                sweep_range(state.data(), layout, first, last, x_mask, z_masks, out);
            }
        }
    };
    if (parallel) {
        parallel_for(layout.ranges, 1, run);
    } else {
        run(0, layout.ranges);
    }
    std::vector<std::complex<double>> sums(K);
    for (std::size_t k = 0; k < K; ++k) {
        double re = 0.0, im = 0.0;
        for (std::size_t r = 0; r < layout.ranges; ++r) {
            re += partial[r * 2 * K + 2 * k];
            im += partial[r * 2 * K + 2 * k + 1];
        }
        sums[k] = {re, im};
    }
    return sums;
}

template std::vector<std::complex<double>> pauli_correlations(std::span<const std::complex<double>>,
                                                              std::uint64_t,
                                                              std::span<const std::uint64_t>, bool);
template std::vector<std::complex<double>> pauli_correlations(std::span<const std::complex<float>>,
                                                              std::uint64_t,
                                                              std::span<const std::uint64_t>, bool);

}  // namespace morvane::sim
