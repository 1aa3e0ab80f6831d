#include "sim/permutations.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "sim/kernels.hpp"

namespace morvane::sim {
namespace {

// A run of X, CX and SWAP gates applied as one index permutation moves every
// amplitude where the gates applied one by one put it.
TEST(IndexPermutation, MatchesTheGatesOneByOne) {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint64_t n = 3 + trial % 6;
        std::vector<Amplitude> start(std::size_t{1} << n);
        for (std::size_t i = 0; i < start.size(); ++i)
            start[i] = Amplitude(static_cast<double>(i), -static_cast<double>(i) / 3);
        std::vector<Amplitude> expected = start;
        IndexPermutation product(n);
        const int gates = 1 + static_cast<int>(rng() % 12);
        for (int g = 0; g < gates; ++g) {
            const std::uint64_t a = 2 + rng() % (n - 2);
            std::uint64_t b = 2 + rng() % (n - 2);
            const auto kind = (n == 3 || a == b) ? 0 : rng() % 3;
            if (kind == 0) {
                product.x(a);
                apply_x_permutation(expected, n, a);
            } else if (kind == 1) {
                product.cx(a, b);
                apply_cx_permutation(expected, n, a, b);
            } else {
                product.swap(a, b);
                apply_swap_permutation(expected, n, a, b);
            }
        }
        product.finish();
        std::vector<Amplitude> moved(start.size());
        product.apply(start, moved);
        ASSERT_EQ(moved, expected) << "trial " << trial;

        // The same chunk still spread over a larger state, in runs of
        // 2^gather_bits placed out of order: gathering and permuting in one
        // move gives what gathering and then permuting gives.
        for (std::uint64_t gather_bits = 2; gather_bits <= n; ++gather_bits) {
            if (!product.can_gather(gather_bits)) continue;
            const std::size_t runs = std::size_t{1} << (n - gather_bits);
            std::vector<std::uint64_t> offsets(runs);
            for (std::size_t r = 0; r < runs; ++r)
                offsets[r] = (2 * ((r * 5 + 3) % runs) + 1) << gather_bits;
            std::vector<Amplitude> spread(2 * start.size());
            for (std::size_t i = 0; i < spread.size(); ++i)
                spread[i] = Amplitude(static_cast<double>(i), 0.5);
            std::vector<Amplitude> gathered(start.size()), via_gather(start.size());
            gather_runs(spread.data(), offsets, gather_bits, gathered.data());
            product.apply(gathered, via_gather);
            std::vector<Amplitude> direct(start.size());
            product.gather(spread.data(), offsets, gather_bits, direct);
            ASSERT_EQ(direct, via_gather) << "trial " << trial << ", runs of 2^" << gather_bits;
        }
    }
}

}  // namespace
}  // namespace morvane::sim
