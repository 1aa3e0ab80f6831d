#pragma once

// A deliberately naive simulator for checking the production one: every gate
// is written down from its textbook definition (Pauli algebra, Qiskit's u3
// convention, Qiskit's matrices for its relative-phase Toffolis), lifted to
// the whole register as a sum of Kronecker products, and applied as a full
// 2^n x 2^n matrix. It shares no code with src/sim or the gate catalogue.

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <tuple>
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

inline Mat identity(std::size_t dim) {
    Mat one(dim);
    for (std::size_t i = 0; i < dim; ++i)
        one(i, i) = 1;
    return one;
}
inline Mat operator-(Mat x, const Mat& y) {
    return x + C(-1) * y;
}
inline Mat matmul(const Mat& x, const Mat& y) {
    Mat out(x.dim);
    for (std::size_t r = 0; r < x.dim; ++r)
        for (std::size_t k = 0; k < x.dim; ++k)
            for (std::size_t c = 0; c < x.dim; ++c)
                out(r, c) += x(r, k) * y(k, c);
    return out;
}
inline Mat kron(const Mat& x, const Mat& y, const Mat& z) {
    return kron(kron(x, y), z);
}

// exp(-i theta/2 P) for P with P^3 = P (P^2 a projector, the identity for an
// involutory P): the identity off P^2's range, a rotation on it.
inline Mat rotation_in_range(const Mat& p, double theta) {
    const Mat p2 = matmul(p, p);
    return identity(p.dim) - p2 + C(std::cos(theta / 2)) * p2 + C(-I * std::sin(theta / 2)) * p;
}

// Qiskit's u3 convention.
inline Mat u3(double theta, double phi, double lam) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    return m2(c, -expi(lam) * s, expi(phi) * s, expi(phi + lam) * c);
}
inline Mat sqrt_x() {
    return C(0.5) * m2(C(1, 1), C(1, -1), C(1, -1), C(1, 1));
}
inline Mat adjoint(const Mat& x) {
    Mat out(x.dim);
    for (std::size_t r = 0; r < x.dim; ++r)
        for (std::size_t c = 0; c < x.dim; ++c)
            out(r, c) = std::conj(x(c, r));
    return out;
}
inline Mat swap_gate() {
    return C(0.5) *
           (kron(id2(), id2()) + kron(px(), px()) + kron(py(), py()) + kron(pz(), pz()));
}
// u on the second qubit where the first (the less significant) is set.
inline Mat controlled(const Mat& u) {
    return kron(id2(), proj0()) + kron(u, proj1());
}
// A matrix given by its nonzero entries on the identity's background.
inline Mat identity_except(std::size_t dim,
                           std::initializer_list<std::tuple<std::size_t, std::size_t, C>> entries) {
    Mat m = identity(dim);
    for (const auto& [r, c, value] : entries) {
        m(r, r) = r == c ? value : C(0);
        m(r, c) = value;
    }
    return m;
}

// A gate as a matrix over its own qubits, in the basis sum_j bit_(qubit j) 2^j
// (the first qubit is the least significant, the last the Kronecker-major
// one). A global phase is a 1x1 matrix on no qubits; barriers and
// measurements an empty one.
struct Local {
    Mat m;
    std::vector<std::uint64_t> qubits;
};

inline Local local_of(const circuit::Gate& g) {
    using K = circuit::GateKind;
    const double th = g.angles[0].value(), a1 = g.angles[1].value(), a2 = g.angles[2].value(),
                 a3 = g.angles[3].value(), pi = std::numbers::pi;
    const std::vector<std::uint64_t> one{g.q0}, two{g.q0, g.q1}, three{g.q0, g.q1, g.q2},
        four{g.q0, g.q1, g.q2, g.q3};
    // Rz(beta) on the first or second qubit of a pair.
    auto rz_on = [](bool first, double beta) {
        const Mat rz = rotation(pz(), beta);
        return first ? kron(id2(), rz) : kron(rz, id2());
    };
    const Mat ctrl3 = kron(proj1(), proj1(), proj1());  // three controls set
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
        case K::U:
        case K::U3:
            return {u3(th, a1, a2), one};
        case K::Id:
            return {id2(), one};
        case K::P:
        case K::U1:
            return {m2(1, 0, 0, expi(th)), one};
        case K::U2:  // (phi, lam)
            return {u3(pi / 2, th, a1), one};
        case K::Sx:
            return {sqrt_x(), one};
        case K::Sxdg:
            return {adjoint(sqrt_x()), one};
        case K::R:  // rotation about cos(phi) X + sin(phi) Y
            return {rotation(C(std::cos(a1)) * px() + C(std::sin(a1)) * py(), th), one};
        case K::GlobalPhase:
            return {Mat(1, {expi(th)}), {}};
        case K::Cx:
            return {kron(id2(), proj0()) + kron(px(), proj1()), two};
        case K::Cz:
            return {kron(id2(), proj0()) + kron(pz(), proj1()), two};
        case K::Cp:
        case K::Cu1:
            return {kron(id2(), proj0()) + kron(m2(1, 0, 0, expi(th)), proj1()), two};
        case K::Swap:
            return {swap_gate(), two};
        case K::Rzz:
            return {rotation(kron(pz(), pz()), th), two};
        case K::Rxx:
            return {rotation(kron(px(), px()), th), two};
        case K::Ryy:
            return {rotation(kron(py(), py()), th), two};
        case K::Rzx:  // Z on the first qubit, X on the second
            return {rotation(kron(px(), pz()), th), two};
        case K::Cy:
            return {controlled(py()), two};
        case K::Ch:
            return {controlled(C(1 / std::sqrt(2.0)) * (px() + pz())), two};
        case K::Crx:
            return {controlled(rotation(px(), th)), two};
        case K::Cry:
            return {controlled(rotation(py(), th)), two};
        case K::Crz:
            return {controlled(rotation(pz(), th)), two};
        case K::Cu3:
            return {controlled(u3(th, a1, a2)), two};
        case K::Cu:  // (theta, phi, lam, gamma): gamma is the controlled phase
            return {controlled(expi(a3) * u3(th, a1, a2)), two};
        case K::Cs:
            return {controlled(m2(1, 0, 0, I)), two};
        case K::Csdg:
            return {controlled(m2(1, 0, 0, -I)), two};
        case K::Csx:
            return {controlled(sqrt_x()), two};
        case K::Iswap:
            return {C(0.5) * (kron(id2(), id2()) + kron(pz(), pz())) +
                        C(0.5) * I * (kron(px(), px()) + kron(py(), py())),
                    two};
        case K::Dcx: {  // CX(first -> second), then CX(second -> first)
            const Mat cx01 = kron(id2(), proj0()) + kron(px(), proj1());
            const Mat cx10 = kron(proj0(), id2()) + kron(proj1(), px());
            return {matmul(cx10, cx01), two};
        }
        case K::Ecr:  // (IX - XY) / sqrt 2, X and Y on the first qubit
            return {C(1 / std::sqrt(2.0)) * (kron(id2(), px()) - kron(px(), py())), two};
        case K::XxMinusYy: {  // (theta, beta)
            const Mat p = C(0.5) * (kron(px(), px()) - kron(py(), py()));
            return {matmul(rz_on(false, a1), matmul(rotation_in_range(p, th), rz_on(false, -a1))),
                    two};
        }
        case K::XxPlusYy: {
            const Mat p = C(0.5) * (kron(px(), px()) + kron(py(), py()));
            return {matmul(rz_on(true, -a1), matmul(rotation_in_range(p, th), rz_on(true, a1))),
                    two};
        }
        case K::Ccx:
            return {identity(8) - kron(id2(), proj1(), proj1()) + kron(px(), proj1(), proj1()),
                    three};
        case K::Ccz:
            return {identity(8) - C(2) * ctrl3, three};
        case K::Cswap:  // the first qubit controls a swap of the other two
            return {kron(swap_gate(), proj1()) + kron(identity(4), proj0()), three};
        case K::Rccx:  // Toffoli up to relative phases (Qiskit's matrix)
            return {identity_except(8, {{3, 7, -I}, {7, 3, I}, {5, 5, -1}}), three};
        case K::C3sx:
            return {identity(16) - kron(id2(), ctrl3) + kron(sqrt_x(), ctrl3), four};
        case K::Rcccx:  // three-controlled X up to relative phases (Qiskit's matrix)
            return {identity_except(16, {{3, 3, I}, {11, 11, -I}, {7, 15, 1}, {15, 7, -1}}), four};
        case K::Barrier:
        case K::Measure:
        case K::MeasureAll:
            return {Mat(0), {}};
    }
    return {Mat(0), {}};
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
    if (!local.qubits.empty()) return apply_matrix(lift(local, n), v);
    std::vector<C> out = v;
    if (local.m.dim == 1) {
        for (C& x : out)
            x *= local.m(0, 0);
    }
    return out;
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
