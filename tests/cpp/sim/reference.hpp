#pragma once

// A deliberately naive simulator for checking the production one: every gate
// is written down from its textbook definition (Pauli algebra, Qiskit's u3
// convention), lifted to the whole register as a sum of Kronecker products,
// and applied as a full 2^n x 2^n matrix. It shares no code with src/sim.

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include "circuit/gate.hpp"

namespace morvane::sim::reference {

using C = std::complex<double>;
inline const C I{0.0, 1.0};

// A square matrix, row-major.
struct Mat {
    std::size_t dim;
    std::vector<C> a;
    explicit Mat(std::size_t d, std::vector<C> values = {}) : dim(d), a(std::move(values)) {
        a.resize(d * d);
    }
    C& operator()(std::size_t r, std::size_t c) { return a[r * dim + c]; }
    C operator()(std::size_t r, std::size_t c) const { return a[r * dim + c]; }
};

inline Mat m2(C a, C b, C c, C d) {
    return Mat(2, {a, b, c, d});
}
inline Mat operator+(Mat x, const Mat& y) {
    for (std::size_t i = 0; i < x.a.size(); ++i)
        x.a[i] += y.a[i];
    return x;
}
inline Mat operator*(C s, Mat x) {
    for (C& v : x.a)
        v *= s;
    return x;
}

// Kronecker product; x is the more significant factor.
inline Mat kron(const Mat& x, const Mat& y) {
    Mat out(x.dim * y.dim);
    for (std::size_t r = 0; r < out.dim; ++r)
        for (std::size_t c = 0; c < out.dim; ++c)
            out(r, c) = x(r / y.dim, c / y.dim) * y(r % y.dim, c % y.dim);
    return out;
}

inline Mat id2() {
    return m2(1, 0, 0, 1);
}
inline Mat px() {
    return m2(0, 1, 1, 0);
}
inline Mat py() {
    return m2(0, -I, I, 0);
}
inline Mat pz() {
    return m2(1, 0, 0, -1);
}
inline Mat proj0() {
    return m2(1, 0, 0, 0);
}
inline Mat proj1() {
    return m2(0, 0, 0, 1);
}
inline C expi(double x) {
    return std::exp(I * x);
}

// exp(-i theta/2 P) for an involutory P.
inline Mat rotation(const Mat& p, double theta) {
    Mat one(p.dim);
    for (std::size_t i = 0; i < p.dim; ++i)
        one(i, i) = 1;
    return C(std::cos(theta / 2)) * one + C(-I * std::sin(theta / 2)) * p;
}

// A gate as a matrix over its own qubits: 2x2, or 4x4 in the basis
// bit_first + 2 bit_second (the second qubit is the Kronecker-major one).
struct Local {
    Mat m;
    std::vector<std::uint64_t> qubits;
};

inline Local local_of(const circuit::Gate& g) {
    using K = circuit::GateKind;
    const double th = g.angles[0].value(), pi = std::numbers::pi;
    const std::vector<std::uint64_t> one{g.q0}, two{g.q0, g.q1};
    switch (g.kind) {
        case K::H:
            return {C(1 / std::sqrt(2.0)) * (px() + pz()), one};
        case K::X:
            return {px(), one};
        case K::Y:
            return {py(), one};
        case K::Z:
            return {pz(), one};
        case K::S:
            return {m2(1, 0, 0, I), one};
        case K::T:
            return {m2(1, 0, 0, expi(pi / 4)), one};
        case K::Sdg:
            return {m2(1, 0, 0, -I), one};
        case K::Tdg:
            return {m2(1, 0, 0, expi(-pi / 4)), one};
        case K::Rx:
            return {rotation(px(), th), one};
        case K::Ry:
            return {rotation(py(), th), one};
        case K::Rz:
            return {rotation(pz(), th), one};
        case K::U: {
            const double phi = g.angles[1].value(), lam = g.angles[2].value();
            const double c = std::cos(th / 2), s = std::sin(th / 2);
            return {m2(c, -expi(lam) * s, expi(phi) * s, expi(phi + lam) * c), one};
        }
        case K::Cx:
            return {kron(id2(), proj0()) + kron(px(), proj1()), two};
        case K::Cz:
            return {kron(id2(), proj0()) + kron(pz(), proj1()), two};
        case K::Cp:
            return {kron(id2(), proj0()) + kron(m2(1, 0, 0, expi(th)), proj1()), two};
        case K::Swap:
            return {C(0.5) * (kron(id2(), id2()) + kron(px(), px()) + kron(py(), py()) +
                              kron(pz(), pz())),
                    two};
        case K::Rzz:
            return {rotation(kron(pz(), pz()), th), two};
        case K::Rxx:
            return {rotation(kron(px(), px()), th), two};
        default:
            return {Mat(0), {}};
    }
}

// Lifts a local gate to n qubits: one Kronecker product of 2x2 matrix units
// per local matrix entry, identities on the other qubits.
inline Mat lift(const Local& local, std::uint64_t n) {
    Mat full(std::size_t{1} << n);
    for (std::size_t t = 0; t < local.m.a.size(); ++t) {
        const std::size_t row = t / local.m.dim, col = t % local.m.dim;
        if (local.m.a[t] == C(0)) continue;
        Mat product(1, {local.m.a[t]});
        for (std::uint64_t q = n; q-- > 0;) {  // most significant qubit first
            Mat piece = id2();
            for (std::size_t j = 0; j < local.qubits.size(); ++j) {
                if (local.qubits[j] != q) continue;
                piece = Mat(2);
                piece((row >> j) & 1, (col >> j) & 1) = 1;
            }
            product = kron(product, piece);
        }
        full = full + product;
    }
    return full;
}

inline std::vector<C> apply_matrix(const Mat& m, const std::vector<C>& v) {
    std::vector<C> out(v.size());
    for (std::size_t r = 0; r < m.dim; ++r)
        for (std::size_t c = 0; c < m.dim; ++c)
            out[r] += m(r, c) * v[c];
    return out;
}

inline std::vector<C> apply_local(const Local& local, std::uint64_t n, const std::vector<C>& v) {
    return local.qubits.empty() ? v : apply_matrix(lift(local, n), v);
}

// The final state of a bound circuit from |0...0>.
inline std::vector<C> simulate(std::uint64_t n, std::span<const circuit::Gate> gates) {
    std::vector<C> state(std::size_t{1} << n);
    state[0] = 1;
    for (const circuit::Gate& g : gates)
        state = apply_local(local_of(g), n, state);
    return state;
}

inline std::vector<C> random_state(std::uint64_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<C> v(std::size_t{1} << n);
    double norm = 0;
    for (C& x : v) {
        x = C(normal(rng), normal(rng));
        norm += std::norm(x);
    }
    for (C& x : v)
        x /= std::sqrt(norm);
    return v;
}

template <class A, class B>
double max_diff(const A& a, const B& b) {
    if (a.size() != b.size()) return INFINITY;
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(C(a[i]) - C(b[i])));
    return worst;
}

}  // namespace morvane::sim::reference
