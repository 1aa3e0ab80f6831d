#include "sim/vec8.hpp"

#include <gtest/gtest.h>

#include <array>
#include <random>

// Every block width of both precisions against plain arrays, whichever
// width this CPU's kernels use: the suite runs one instruction-set variant
// of the kernels, so the other widths' block arithmetic and shuffles are
// checked here.

namespace morvane::sim {
namespace {

template <class V>
using Reals = std::array<typename V::Real, 8>;

// Values exact in float, so that products and sums compare exactly in both
// precisions' reference arithmetic too.
template <class V>
Reals<V> random_reals(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(-64, 64);
    Reals<V> out{};
    for (auto& x : out)
        x = static_cast<typename V::Real>(d(rng)) / 16;
    return out;
}

template <class V>
V from(const Reals<V>& d) {
    return load8<V>(d.data());
}

template <class V>
Reals<V> to(V v) {
    Reals<V> out{};
    store8(out.data(), v);
    return out;
}

template <class V>
class Vec8Test : public ::testing::Test {};
using Widths = ::testing::Types<Vec8<double, 2>, Vec8<double, 4>, Vec8<double, 8>, Vec8<float, 4>,
                                Vec8<float, 8>>;
TYPED_TEST_SUITE(Vec8Test, Widths);

TYPED_TEST(Vec8Test, ArithmeticIsElementwise) {
    using V = TypeParam;
    const Reals<V> a = random_reals<V>(1), b = random_reals<V>(2);
    V acc = from<V>(a);
    acc += from<V>(b);
    const Reals<V> sum = to(from<V>(a) + from<V>(b)), difference = to(from<V>(a) - from<V>(b)),
                   product = to(from<V>(a) * from<V>(b)), accumulated = to(acc);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(sum[k], a[k] + b[k]);
        EXPECT_EQ(difference[k], a[k] - b[k]);
        EXPECT_EQ(product[k], a[k] * b[k]);
        EXPECT_EQ(accumulated[k], a[k] + b[k]);
    }
    const Reals<V> made = to(V::make(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]));
    EXPECT_EQ(made, a);
}

// out[k] = (a, b)[I[k]], the meaning of __builtin_shufflevector(a, b, I...).
template <int... I, class V>
void expect_shuffle(const Reals<V>& a, const Reals<V>& b, V got) {
    const int index[8] = {I...};
    const Reals<V> out = to(got);
    for (int k = 0; k < 8; ++k) {
        const auto want = index[k] < 8 ? a[index[k]] : b[index[k] - 8];
        EXPECT_EQ(out[k], want) << "element " << k << " of the shuffle";
    }
}

// The lane moves the kernels make: re/im swap, lane permutations within a
// block, real or imaginary broadcast, and lane exchanges between two blocks.
TYPED_TEST(Vec8Test, ShufflesMoveTheNamedElements) {
    using V = TypeParam;
    const Reals<V> a = random_reals<V>(3), b = random_reals<V>(4);
    const V x = from<V>(a), y = from<V>(b);
    expect_shuffle<1, 0, 3, 2, 5, 4, 7, 6>(a, a, shuffle8<1, 0, 3, 2, 5, 4, 7, 6>(x));
    expect_shuffle<2, 3, 0, 1, 6, 7, 4, 5>(a, a, shuffle8<2, 3, 0, 1, 6, 7, 4, 5>(x));
    expect_shuffle<4, 5, 6, 7, 0, 1, 2, 3>(a, a, shuffle8<4, 5, 6, 7, 0, 1, 2, 3>(x));
    expect_shuffle<0, 0, 2, 2, 4, 4, 6, 6>(a, a, shuffle8<0, 0, 2, 2, 4, 4, 6, 6>(x));
    expect_shuffle<1, 1, 3, 3, 5, 5, 7, 7>(a, a, shuffle8<1, 1, 3, 3, 5, 5, 7, 7>(x));
    expect_shuffle<0, 1, 6, 7, 4, 5, 2, 3>(a, a, shuffle8<0, 1, 6, 7, 4, 5, 2, 3>(x));
    expect_shuffle<0, 1, 2, 3, 6, 7, 4, 5>(a, a, shuffle8<0, 1, 2, 3, 6, 7, 4, 5>(x));
    expect_shuffle<0, 1, 10, 11, 4, 5, 14, 15>(a, b, shuffle8<0, 1, 10, 11, 4, 5, 14, 15>(x, y));
    expect_shuffle<0, 1, 10, 11, 4, 5, 14, 15>(b, a, shuffle8<0, 1, 10, 11, 4, 5, 14, 15>(y, x));
    expect_shuffle<0, 1, 2, 3, 12, 13, 14, 15>(a, b, shuffle8<0, 1, 2, 3, 12, 13, 14, 15>(x, y));
    expect_shuffle<8, 9, 2, 3, 12, 13, 6, 7>(a, b, shuffle8<8, 9, 2, 3, 12, 13, 6, 7>(x, y));
}

}  // namespace
}  // namespace morvane::sim
