#include "sim/kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>

#include "reference.hpp"
#include "support/internal_fault.hpp"

namespace morvane::sim {
namespace {

using reference::C;
using State = std::vector<Amplitude>;

State random_amplitudes(std::uint64_t n, std::uint64_t seed) {
    const auto v = reference::random_state(n, seed);
    return {v.begin(), v.end()};
}

template <class M>
M random_matrix(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    M m{};
    for (auto& x : m.m)
        x = Amplitude(d(rng), d(rng));
    return m;
}

// The kernel's result against the reference applying `local` to `start`.
void expect_reference(const State& got, const reference::Local& local, std::uint64_t n,
                      const State& start) {
    const std::vector<C> expected = reference::apply_local(local, n, {start.begin(), start.end()});
    EXPECT_LT(reference::max_diff(got, expected), 1e-13);
}

reference::Mat as_mat(std::span<const Amplitude> entries, std::size_t dim) {
    return reference::Mat(dim, {entries.begin(), entries.end()});
}

// Every ordered pair on 5 qubits: qubits 0 and 1 (the block layouts) and the
// qubits above (the stream layouts) in either role, serial and parallel.
class KernelVsReference
    : public ::testing::TestWithParam<std::tuple<std::uint64_t, std::uint64_t, bool>> {};

TEST_P(KernelVsReference, EveryKernel) {
    const auto [a, b, parallel] = GetParam();
    const std::uint64_t n = 5;
    const State start = random_amplitudes(n, 7 + a * 11 + b);
    const auto m2 = random_matrix<Matrix2>(a + 100);
    const auto m4 = random_matrix<Matrix4>(a * 7 + b);
    const std::array<Amplitude, 4> e = random_matrix<Matrix2>(a + 31 * b).m;

    State v = start;
    apply_dense_1q(v, n, a, m2, parallel);
    expect_reference(v, {as_mat(m2.m, 2), {a}}, n, start);
    v = start;
    apply_diagonal_1q(v, a, e[0], e[1], parallel);
    expect_reference(v, {reference::m2(e[0], 0, 0, e[1]), {a}}, n, start);
    if (a == b) return;

    v = start;
    apply_controlled_1q(v, n, a, b, m2, parallel);
    expect_reference(v,
                     {reference::kron(reference::id2(), reference::proj0()) +
                          reference::kron(as_mat(m2.m, 2), reference::proj1()),
                      {a, b}},
                     n, start);
    v = start;
    apply_dense_2q(v, n, a, b, m4, parallel);
    expect_reference(v, {as_mat(m4.m, 4), {a, b}}, n, start);
    v = start;
    apply_diagonal_2q(v, a, b, e, parallel);
    reference::Mat diag(4);
    for (std::size_t k = 0; k < 4; ++k)
        diag(k, k) = e[k];
    expect_reference(v, {diag, {a, b}}, n, start);
}

INSTANTIATE_TEST_SUITE_P(Pairs, KernelVsReference,
                         ::testing::Combine(::testing::Range<std::uint64_t>(0, 5),
                                            ::testing::Range<std::uint64_t>(0, 5),
                                            ::testing::Bool()));

// CCX, CSWAP and a three-qubit controlled phase on every ordered triple of 5
// qubits, serial and parallel in the smallest pieces, against the reference.
class ThreeQubitKernelVsReference : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { testing::set_kernel_grain(1); }
    void TearDown() override { testing::set_kernel_grain(0); }
};

TEST_P(ThreeQubitKernelVsReference, EveryTriple) {
    using reference::kron;
    using reference::proj0;
    using reference::proj1;
    const bool parallel = GetParam();
    const std::uint64_t n = 5;
    const reference::Mat x = reference::px(), id4 = reference::identity(4);
    for (std::uint64_t a = 0; a < n; ++a) {
        for (std::uint64_t b = 0; b < n; ++b) {
            for (std::uint64_t c = 0; c < n; ++c) {
                if (a == b || a == c || b == c) continue;
                SCOPED_TRACE(::testing::Message() << "qubits " << a << ", " << b << ", " << c);
                const State start = random_amplitudes(n, a * 25 + b * 5 + c);
                const Amplitude phase = reference::expi(0.3 + static_cast<double>(a + 2 * c));
                State v = start;
                apply_ccx(v, n, a, b, c, parallel);
                expect_reference(v,
                                 {reference::identity(8) - kron(reference::id2(), proj1(), proj1()) +
                                      kron(x, proj1(), proj1()),
                                  {a, b, c}},
                                 n, start);
                v = start;
                apply_cswap(v, n, a, b, c, parallel);
                expect_reference(v, {kron(reference::swap_gate(), proj1()) + kron(id4, proj0()), {a, b, c}},
                                 n, start);
                v = start;
                apply_ccphase(v, n, a, b, c, phase, parallel);
                reference::Mat diagonal = reference::identity(8);
                diagonal(7, 7) = phase;
                expect_reference(v, {diagonal, {a, b, c}}, n, start);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SerialAndParallel, ThreeQubitKernelVsReference, ::testing::Bool());

// The parallel form must give bit-identical results however the pool cuts
// the index space, including pieces that end inside a run or a block.
class SerialEqualsParallel : public ::testing::TestWithParam<std::size_t> {
  protected:
    void SetUp() override { testing::set_kernel_grain(GetParam()); }
    void TearDown() override { testing::set_kernel_grain(0); }
};

TEST_P(SerialEqualsParallel, AllKernelsBitIdentical) {
    const std::uint64_t n = 14;
    const State start = random_amplitudes(n, 99);
    const auto m2 = random_matrix<Matrix2>(5);
    const auto m4 = random_matrix<Matrix4>(6);
    const std::array<Amplitude, 4> e = random_matrix<Matrix2>(8).m;
    const std::vector<DiagonalFactor> run{
        OneQubitDiagonal{1u << 0, e[0], e[1]}, TwoQubitDiagonal{1u << 13, 1u << 2, e},
        OneQubitDiagonal{1u << 12, e[2], e[3]}, TwoQubitDiagonal{1u << 3, 1u << 9, e},
        TwoQubitDiagonal{1u << 12, 1u << 13, e}};
    auto check = [&](auto&& kernel) {
        State serial = start, parallel = start;
        kernel(serial, false);
        kernel(parallel, true);
        EXPECT_EQ(0,
                  std::memcmp(serial.data(), parallel.data(), serial.size() * sizeof(Amplitude)));
        EXPECT_NE(serial, start);
    };
    for (const auto& [a, b] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {0, 1}, {1, 0}, {0, 9}, {13, 1}, {6, 7}, {3, 13}}) {
        SCOPED_TRACE(::testing::Message() << "qubits " << a << ", " << b);
        check([&](State& v, bool p) { apply_dense_1q(v, n, a, m2, p); });
        check([&](State& v, bool p) { apply_controlled_1q(v, n, a, b, m2, p); });
        check([&](State& v, bool p) { apply_dense_2q(v, n, a, b, m4, p); });
        check([&](State& v, bool p) { apply_diagonal_1q(v, a, e[1], e[3], p); });
        check([&](State& v, bool p) { apply_diagonal_2q(v, a, b, e, p); });
    }
    check([&](State& v, bool p) { apply_diagonal_run(v, run, p); });
    for (const auto& [a, b, c] : std::vector<std::array<std::uint64_t, 3>>{
             {0, 1, 2}, {13, 0, 5}, {7, 3, 1}, {4, 12, 9}, {2, 13, 3}}) {
        SCOPED_TRACE(::testing::Message() << "qubits " << a << ", " << b << ", " << c);
        check([&](State& v, bool p) { apply_ccx(v, n, a, b, c, p); });
        check([&](State& v, bool p) { apply_cswap(v, n, a, b, c, p); });
        check([&](State& v, bool p) { apply_ccphase(v, n, a, b, c, e[3], p); });
    }
}

// 1 and 3 cut everywhere, 4096 is a chunk, 0 is the production grain.
INSTANTIATE_TEST_SUITE_P(Grains, SerialEqualsParallel, ::testing::Values(1, 3, 4096, 0));

// Diagonal runs against the plain product of their factors at every index.
class DiagonalRunSizes : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(DiagonalRunSizes, MatchesNaiveProduct) {
    const std::uint64_t n = GetParam();
    std::mt19937_64 rng(n);
    std::uniform_real_distribution<double> angle(-3.2, 3.2);
    auto phase = [&] { return Amplitude(reference::expi(angle(rng))); };
    for (std::size_t length : {0, 1, 5, 30, 64}) {
        std::vector<DiagonalFactor> run;
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint64_t a = rng() % n,
                                b = (a + 1 + rng() % std::max<std::uint64_t>(n - 1, 1)) % n;
            if (a == b || rng() % 3 == 0) {
                run.push_back(OneQubitDiagonal{std::uint64_t{1} << a, phase(), phase()});
            } else {
                run.push_back(TwoQubitDiagonal{std::uint64_t{1} << a,
                                               std::uint64_t{1} << b,
                                               {phase(), phase(), phase(), phase()}});
            }
        }
        const State start = random_amplitudes(n, length);
        State expected = start;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            for (const auto& f : run) {
                if (const auto* one = std::get_if<OneQubitDiagonal>(&f)) {
                    expected[i] *= (i & one->mask) ? one->d1 : one->d0;
                } else {
                    const auto& two = std::get<TwoQubitDiagonal>(f);
                    expected[i] *= two.e[((i & two.mask_a) ? 1 : 0) + ((i & two.mask_b) ? 2 : 0)];
                }
            }
        }
        for (const bool parallel : {false, true}) {
            State v = start;
            apply_diagonal_run(v, run, parallel);
            EXPECT_LT(reference::max_diff(v, expected), 1e-13) << "length " << length;
        }
    }
}

// Below one chunk, exactly one, two (13 qubits) and several, so that factors
// fall inside a chunk's row or column bits, across them, and above the chunk.
INSTANTIATE_TEST_SUITE_P(Qubits, DiagonalRunSizes, ::testing::Values(1, 3, 7, 12, 13, 15));

TEST(KernelPreconditions, ViolationsAreInternalFaultsAndLeaveTheStateAlone) {
    State v(4, Amplitude(0.5, 0));
    State one(1, Amplitude(1, 0));
    EXPECT_THROW(apply_dense_1q(one, 0, 0, Matrix2{}, false), InternalFault);  // n == 0
    EXPECT_THROW(apply_dense_1q(v, 2, 2, Matrix2{}, false), InternalFault);    // qubit >= n
    EXPECT_THROW(apply_dense_1q(v, 3, 0, Matrix2{}, false), InternalFault);    // size != 2^n
    EXPECT_THROW(apply_controlled_1q(v, 2, 1, 1, Matrix2{}, false), InternalFault);
    EXPECT_THROW(apply_dense_2q(v, 2, 0, 2, Matrix4{}, false), InternalFault);
    EXPECT_THROW(apply_diagonal_1q(v, 64, 1, 1, false), InternalFault);  // qubit >= 64
    EXPECT_THROW(apply_diagonal_2q(v, 0, 70, {}, false), InternalFault);
    EXPECT_THROW(apply_ccx(v, 2, 0, 1, 2, false), InternalFault);  // n < 3
    State w(16, Amplitude(0.25, 0));
    EXPECT_THROW(apply_ccx(w, 4, 0, 1, 1, false), InternalFault);  // target is a control
    EXPECT_THROW(apply_cswap(w, 4, 2, 0, 2, false), InternalFault);
    EXPECT_THROW(apply_ccphase(w, 4, 0, 4, 1, Amplitude(-1, 0), false), InternalFault);
    EXPECT_EQ(w, State(16, Amplitude(0.25, 0)));
    const std::vector<DiagonalFactor> bad{OneQubitDiagonal{3, 1, 1}};  // not one bit
    EXPECT_THROW(apply_diagonal_run(v, bad, false), InternalFault);
    EXPECT_EQ(v, State(4, Amplitude(0.5, 0)));
}

TEST(Statevector, ZeroStateAlignmentCloneAndRelease) {
    for (std::uint64_t n : {0u, 1u, 5u}) {
        Statevector s(n, 12);
        ASSERT_EQ(s.size(), std::size_t{1} << n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.data()) % 64, 0u);
        EXPECT_EQ(s.amplitudes()[0], Amplitude(1, 0));
        EXPECT_TRUE(std::all_of(s.amplitudes().begin() + 1, s.amplitudes().end(),
                                [](Amplitude x) { return x == Amplitude(0, 0); }));
    }
    EXPECT_TRUE(Statevector(3, 3).parallel());
    EXPECT_FALSE(Statevector(3, 4).parallel());
    Statevector s(3, 2);
    s.amplitudes()[5] = Amplitude(0.25, -1);
    const Statevector copy = s.clone();
    const Amplitude* raw = s.data();
    AmplitudeBuffer buffer = std::move(s).release();
    EXPECT_EQ(buffer.get(), raw);  // handed over, not copied
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(buffer[5], Amplitude(0.25, -1));
    EXPECT_EQ(copy.amplitudes()[5], Amplitude(0.25, -1));
    EXPECT_THROW(Statevector(MAX_QUBITS + 1, 12), InternalFault);
}

}  // namespace
}  // namespace morvane::sim
