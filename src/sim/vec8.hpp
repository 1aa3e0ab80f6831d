#pragma once

#include <complex>
#include <cstddef>
#include <utility>

#include "sim/statevector.hpp"

namespace morvane::sim {

// Eight reals are four complex numbers: one block of four amplitudes, one
// cache line in double precision. The kernels compute on blocks, and a
// Vec8<Real, W> holds one block in 8 / W native registers of W reals; in
// double precision that is: one AVX-512 register (W = 8), two AVX2
// registers (W = 4) or four SSE2 registers (W = 2). Each instruction-set
// variant of a kernel instantiates it with its own width
// (sim/kernel_variants.hpp).
//
// The block is split by hand rather than left to GCC as one 64-byte vector
// because, without AVX-512, GCC keeps a 64-byte vector in memory and moves
// every shuffle through the stack element by element: the AVX2 kernels then
// ran several times slower than the arithmetic needs. Split into native
// parts, every value stays in registers and every shuffle is one or two
// instructions per part.
//
// The vectors never cross a call boundary (everything is inlined into the
// variant functions), so the ABI note GCC makes about passing them is moot.
#pragma GCC diagnostic ignored "-Wpsabi"

// The native vector of W reals. (Spelled out per width: GCC drops the
// vector attribute from an alias whose size depends on a template parameter.)
template <class Real, int W>
struct NativeVector;
template <>
struct NativeVector<double, 2> {
    using type = double __attribute__((vector_size(16)));
};
template <>
struct NativeVector<double, 4> {
    using type = double __attribute__((vector_size(32)));
};
template <>
struct NativeVector<double, 8> {
    using type = double __attribute__((vector_size(64)));
};
template <>
struct NativeVector<float, 4> {
    using type = float __attribute__((vector_size(16)));
};
template <>
struct NativeVector<float, 8> {
    using type = float __attribute__((vector_size(32)));
};

// A block of single-precision amplitudes is eight floats, 32 bytes: one AVX2
// register (also on AVX-512, where the block fills half a register but the
// kernels' lane shuffles stay within one block) or two SSE registers.
template <class Real, int DOUBLE_LANES>
inline constexpr int block_lanes =
    sizeof(Real) == sizeof(double) ? DOUBLE_LANES : (DOUBLE_LANES * 2 > 8 ? 8 : DOUBLE_LANES * 2);

template <class R, int W>
struct Vec8 {
    using Real = R;
    static constexpr int PARTS = 8 / W;
    using Part = typename NativeVector<Real, W>::type;
    Part part[PARTS];

    // Coefficients are computed in double and rounded once, here.
    [[gnu::always_inline]] static Vec8 make(double d0, double d1, double d2, double d3, double d4,
                                            double d5, double d6, double d7) noexcept {
        const Real d[8] = {static_cast<Real>(d0), static_cast<Real>(d1), static_cast<Real>(d2),
                           static_cast<Real>(d3), static_cast<Real>(d4), static_cast<Real>(d5),
                           static_cast<Real>(d6), static_cast<Real>(d7)};
        Vec8 v;
        __builtin_memcpy(v.part, d, sizeof d);
        return v;
    }
};

// The block type of an instruction-set variant whose registers hold
// DOUBLE_LANES doubles.
template <class Real, int DOUBLE_LANES>
using BlockOf = Vec8<Real, block_lanes<Real, DOUBLE_LANES>>;

namespace vec8_detail {

// f(K) for every part index K, as a fold over compile-time indices (no loop
// for the optimiser to unroll before it can keep the parts in registers).
template <int PARTS, class F>
[[gnu::always_inline]] inline void each_part(F&& f) noexcept {
    [&]<std::size_t... K>(std::index_sequence<K...>) __attribute__((always_inline)) {
        (f(std::integral_constant<std::size_t, K>{}), ...);
    }(std::make_index_sequence<PARTS>{});
}

}  // namespace vec8_detail

template <class R, int W>
[[gnu::always_inline]] inline Vec8<R, W> operator+(Vec8<R, W> a, Vec8<R, W> b) noexcept {
    vec8_detail::each_part<Vec8<R, W>::PARTS>(
        [&](auto k) __attribute__((always_inline)) { a.part[k] += b.part[k]; });
    return a;
}
template <class R, int W>
[[gnu::always_inline]] inline Vec8<R, W> operator-(Vec8<R, W> a, Vec8<R, W> b) noexcept {
    vec8_detail::each_part<Vec8<R, W>::PARTS>(
        [&](auto k) __attribute__((always_inline)) { a.part[k] -= b.part[k]; });
    return a;
}
template <class R, int W>
[[gnu::always_inline]] inline Vec8<R, W> operator*(Vec8<R, W> a, Vec8<R, W> b) noexcept {
    vec8_detail::each_part<Vec8<R, W>::PARTS>(
        [&](auto k) __attribute__((always_inline)) { a.part[k] *= b.part[k]; });
    return a;
}
template <class R, int W>
[[gnu::always_inline]] inline Vec8<R, W>& operator+=(Vec8<R, W>& a, Vec8<R, W> b) noexcept {
    a = a + b;
    return a;
}

template <class V>
[[gnu::always_inline]] inline V load8(const typename V::Real* p) noexcept {
    using Real = typename V::Real;
    V v;
    vec8_detail::each_part<V::PARTS>([&](auto k) __attribute__((always_inline)) {
        __builtin_memcpy(&v.part[k], p + k * sizeof(typename V::Part) / sizeof(Real),
                         sizeof(typename V::Part));
    });
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store8(typename V::Real* p, V v) noexcept {
    using Real = typename V::Real;
    vec8_detail::each_part<V::PARTS>([&](auto k) __attribute__((always_inline)) {
        __builtin_memcpy(p + k * sizeof(typename V::Part) / sizeof(Real), &v.part[k],
                         sizeof(typename V::Part));
    });
}
template <class V>
[[gnu::always_inline]] inline V load8(const std::complex<typename V::Real>* p) noexcept {
    return load8<V>(reinterpret_cast<const typename V::Real*>(p));
}
template <class V>
[[gnu::always_inline]] inline void store8(std::complex<typename V::Real>* p, V v) noexcept {
    store8<V>(reinterpret_cast<typename V::Real*>(p), v);
}

namespace vec8_detail {

// Where output element I[p W + k] of a two-input shuffle comes from. Input
// elements are numbered 0..7 in a and 8..15 in b, so input part s (of
// 2 * PARTS) is part s of a for s < PARTS, else part s - PARTS of b. Each
// output part may draw on at most two input parts, which holds for every
// shuffle the kernels use: lanes move within a block or between the same
// lane of two blocks.
template <int W, int... I>
struct ShufflePlan {
    static constexpr int index[8] = {I...};
    // The first and second input part output part p draws on (equal if one).
    static constexpr int source(int p, int which) {
        int first = index[p * W] / W, second = first;
        for (int k = 0; k < W; ++k) {
            const int s = index[p * W + k] / W;
            if (s != first) second = s;
        }
        return which == 0 ? first : second;
    }
    static constexpr bool two_sources_at_most() {
        for (int p = 0; p < 8 / W; ++p) {
            for (int k = 0; k < W; ++k) {
                const int s = index[p * W + k] / W;
                if (s != source(p, 0) && s != source(p, 1)) return false;
            }
        }
        return true;
    }
    // Index into the concatenation (first source part, second source part).
    static constexpr int local(int p, int k) {
        const int i = index[p * W + k];
        return (i / W == source(p, 0) ? 0 : W) + i % W;
    }
};

template <int S, class R, int W>
[[gnu::always_inline]] inline typename Vec8<R, W>::Part input_part(const Vec8<R, W>& a,
                                                                   const Vec8<R, W>& b) noexcept {
    if constexpr (S < Vec8<R, W>::PARTS) {
        return a.part[S];
    } else {
        return b.part[S - Vec8<R, W>::PARTS];
    }
}

template <class Plan, int P, class R, int W, std::size_t... K>
[[gnu::always_inline]] inline typename Vec8<R, W>::Part shuffle_part(
    const Vec8<R, W>& a, const Vec8<R, W>& b, std::index_sequence<K...>) noexcept {
    return __builtin_shufflevector(input_part<Plan::source(P, 0)>(a, b),
                                   input_part<Plan::source(P, 1)>(a, b),
                                   Plan::local(P, static_cast<int>(K))...);
}

}  // namespace vec8_detail

// Element j of the result is element I_j of the concatenation (a, b), as
// __builtin_shufflevector(a, b, I...) on one 8-double vector.
template <int... I, class R, int W>
[[gnu::always_inline]] inline Vec8<R, W> shuffle8(const Vec8<R, W>& a,
                                                  const Vec8<R, W>& b) noexcept {
    static_assert(sizeof...(I) == 8);
    using Plan = vec8_detail::ShufflePlan<W, I...>;
    static_assert(Plan::two_sources_at_most(),
                  "each output part of a shuffle may draw on at most two input parts");
    Vec8<R, W> out;
    vec8_detail::each_part<Vec8<R, W>::PARTS>([&](auto p) __attribute__((always_inline)) {
        out.part[p] = vec8_detail::shuffle_part<Plan, static_cast<int>(p)>(
            a, b, std::make_index_sequence<W>{});
    });
    return out;
}
template <int... I, class R, int W>
[[gnu::always_inline]] inline Vec8<R, W> shuffle8(const Vec8<R, W>& a) noexcept {
    return shuffle8<I...>(a, a);
}

}  // namespace morvane::sim
