#include "circuit/gate_catalogue.hpp"

#include <array>
#include <cmath>
#include <numbers>

#include "circuit/gate.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

using K = GateKind;
using S = SimClass;

constexpr double PI = std::numbers::pi;

// clang-format off
constexpr GateInfo CATALOGUE[] = {
    {K::H,    "h",    "h",    "H",    1, 0, S::Dense,    true, "__quantum__qis__h__body", {"qubit"}, {}},
    {K::X,    "x",    "x",    "X",    1, 0, S::Permutation, true, "__quantum__qis__x__body", {"qubit"}, {}},
    {K::Y,    "y",    "y",    "Y",    1, 0, S::Dense,    true, "__quantum__qis__y__body", {"qubit"}, {}},
    {K::Z,    "z",    "z",    "Z",    1, 0, S::Diagonal, true, "__quantum__qis__z__body", {"qubit"}, {}},
    {K::S,    "s",    "s",    "S",    1, 0, S::Diagonal, true, "__quantum__qis__s__body", {"qubit"}, {}},
    {K::T,    "t",    "t",    "T",    1, 0, S::Diagonal, true, "__quantum__qis__t__body", {"qubit"}, {}},
    {K::Sdg,  "sdg",  "sdg",  "Sdg",  1, 0, S::Diagonal, true, "__quantum__qis__s__adj", {"qubit"}, {}},
    {K::Tdg,  "tdg",  "tdg",  "Tdg",  1, 0, S::Diagonal, true, "__quantum__qis__t__adj", {"qubit"}, {}},
    {K::Rx,   "rx",   "rx",   "Rx",   1, 1, S::Dense,    true, "__quantum__qis__rx__body", {"qubit"}, {"theta"}},
    {K::Ry,   "ry",   "ry",   "Ry",   1, 1, S::Dense,    true, "__quantum__qis__ry__body", {"qubit"}, {"theta"}},
    {K::Rz,   "rz",   "rz",   "Rz",   1, 1, S::Diagonal, true, "__quantum__qis__rz__body", {"qubit"}, {"theta"}},
    {K::Cx,   "cx",   "cx",   "Cx",   2, 0, S::Permutation, true, "__quantum__qis__cnot__body", {"control", "target"}, {}},
    {K::Cz,   "cz",   "cz",   "Cz",   2, 0, S::Diagonal, true, "__quantum__qis__cz__body", {"control", "target"}, {}},
    {K::Swap, "swap", "swap", "Swap", 2, 0, S::Permutation, true, "", {"q0", "q1"}, {}},
    {K::Rzz,  "rzz",  "rzz",  "Rzz",  2, 1, S::Diagonal, true, "", {"q0", "q1"}, {"theta"}},
    {K::Rxx,  "rxx",  "rxx",  "Rxx",  2, 1, S::Dense,    true, "", {"q0", "q1"}, {"theta"}},
    {K::Cp,   "cp",   "cp",   "Cp",   2, 1, S::Diagonal, true, "", {"q0", "q1"}, {"theta"}},
    {K::U,    "u",    "u3",   "U",    1, 3, S::Dense,    true, "", {"qubit"}, {"theta", "phi", "lam"}},
    {K::Barrier,    "barrier",     "barrier",     "Barrier",    0, 0, S::None, true, "", {}, {}},
    {K::Measure,    "measure",     "measure",     "Measure",    1, 0, S::None, true, "", {"qubit"}, {}},
    {K::MeasureAll, "measure_all", "measure_all", "MeasureAll", 0, 0, S::None, true, "", {}, {}},
    {K::Id,   "id",   "id",   "Id",   1, 0, S::None,     true, "", {"qubit"}, {}},
    {K::P,    "p",    "p",    "P",    1, 1, S::Diagonal, true, "", {"qubit"}, {"theta"}},
    {K::U1,   "u1",   "u1",   "U1",   1, 1, S::Diagonal, true, "", {"qubit"}, {"theta"}},
    {K::U2,   "u2",   "u2",   "U2",   1, 2, S::Dense,    true, "", {"qubit"}, {"phi", "lam"}},
    {K::U3,   "u3",   "u3",   "U3",   1, 3, S::Dense,    true, "", {"qubit"}, {"theta", "phi", "lam"}},
    {K::Sx,   "sx",   "sx",   "Sx",   1, 0, S::Dense,    true, "", {"qubit"}, {}},
    {K::Sxdg, "sxdg", "sxdg", "Sxdg", 1, 0, S::Dense,    true, "", {"qubit"}, {}},
    {K::R,    "r",    "r",    "R",    1, 2, S::Dense,    false, "", {"qubit"}, {"theta", "phi"}},
    {K::GlobalPhase, "global_phase", "global_phase", "GlobalPhase", 0, 1, S::Phase, false, "", {}, {"theta"}},
    {K::Cy,   "cy",   "cy",   "Cy",   2, 0, S::Dense,    true, "", {"control", "target"}, {}},
    {K::Ch,   "ch",   "ch",   "Ch",   2, 0, S::Dense,    true, "", {"control", "target"}, {}},
    {K::Crx,  "crx",  "crx",  "Crx",  2, 1, S::Dense,    true, "", {"control", "target"}, {"theta"}},
    {K::Cry,  "cry",  "cry",  "Cry",  2, 1, S::Dense,    true, "", {"control", "target"}, {"theta"}},
    {K::Crz,  "crz",  "crz",  "Crz",  2, 1, S::Diagonal, true, "", {"control", "target"}, {"theta"}},
    {K::Cu1,  "cu1",  "cu1",  "Cu1",  2, 1, S::Diagonal, true, "", {"control", "target"}, {"theta"}},
    {K::Cu3,  "cu3",  "cu3",  "Cu3",  2, 3, S::Dense,    true, "", {"control", "target"}, {"theta", "phi", "lam"}},
    {K::Cu,   "cu",   "cu",   "Cu",   2, 4, S::Dense,    true, "", {"control", "target"}, {"theta", "phi", "lam", "gamma"}},
    {K::Cs,   "cs",   "cs",   "Cs",   2, 0, S::Diagonal, false, "", {"control", "target"}, {}},
    {K::Csdg, "csdg", "csdg", "Csdg", 2, 0, S::Diagonal, false, "", {"control", "target"}, {}},
    {K::Csx,  "csx",  "csx",  "Csx",  2, 0, S::Dense,    true, "", {"control", "target"}, {}},
    {K::Ryy,  "ryy",  "ryy",  "Ryy",  2, 1, S::Dense,    false, "", {"q0", "q1"}, {"theta"}},
    {K::Rzx,  "rzx",  "rzx",  "Rzx",  2, 1, S::Dense,    false, "", {"q0", "q1"}, {"theta"}},
    {K::Iswap, "iswap", "iswap", "Iswap", 2, 0, S::Dense, false, "", {"q0", "q1"}, {}},
    {K::Dcx,  "dcx",  "dcx",  "Dcx",  2, 0, S::Decomposed, false, "", {"q0", "q1"}, {}},
    {K::Ecr,  "ecr",  "ecr",  "Ecr",  2, 0, S::Dense,    false, "", {"q0", "q1"}, {}},
    {K::XxMinusYy, "xx_minus_yy", "xx_minus_yy", "XxMinusYy", 2, 2, S::Dense, false, "", {"q0", "q1"}, {"theta", "beta"}},
    {K::XxPlusYy,  "xx_plus_yy",  "xx_plus_yy",  "XxPlusYy",  2, 2, S::Dense, false, "", {"q0", "q1"}, {"theta", "beta"}},
    {K::Ccx,  "ccx",  "ccx",  "Ccx",  3, 0, S::Permutation, true, "", {"control0", "control1", "target"}, {}},
    {K::Ccz,  "ccz",  "ccz",  "Ccz",  3, 0, S::Diagonal, false, "", {"control0", "control1", "target"}, {}},
    {K::Cswap, "cswap", "cswap", "Cswap", 3, 0, S::Permutation, true, "", {"control", "target0", "target1"}, {}},
    {K::Rccx, "rccx", "rccx", "Rccx", 3, 0, S::Decomposed, true, "", {"control0", "control1", "target"}, {}},
    {K::C3sx, "c3sx", "c3sqrtx", "C3sx", 4, 0, S::Decomposed, true, "", {"control0", "control1", "control2", "target"}, {}},
    {K::Rcccx, "rcccx", "rcccx", "Rcccx", 4, 0, S::Decomposed, false, "", {"control0", "control1", "control2", "target"}, {}},
};
// clang-format on

static_assert(std::size(CATALOGUE) == GATE_KIND_COUNT);

constexpr bool in_kind_order() {
    for (std::size_t i = 0; i < std::size(CATALOGUE); ++i) {
        if (static_cast<std::size_t>(CATALOGUE[i].kind) != i) return false;
    }
    return true;
}
static_assert(in_kind_order(), "the catalogue lists the kinds in GateKind order");

// The double nearest 1/sqrt(2).
constexpr double R = 0.7071067811865476;
const Complex ONE{1.0, 0.0};
const Complex I{0.0, 1.0};

Complex polar_unit(double angle) { return {std::cos(angle), std::sin(angle)}; }

// The 2x2 of U(theta, phi, lam); m11 takes its phase from the sum phi + lam,
// not from the product of two rounded phases.
void u_matrix(double theta, double phi, double lam, Complex* m) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    const Complex e_lam = polar_unit(lam), e_phi = polar_unit(phi), e_sum = polar_unit(phi + lam);
    m[0] = Complex(c, 0);
    m[1] = Complex(-s * e_lam.real(), -s * e_lam.imag());
    m[2] = Complex(s * e_phi.real(), s * e_phi.imag());
    m[3] = Complex(c * e_sum.real(), c * e_sum.imag());
}

void one_qubit(K kind, std::span<const double> a, Complex* m) {
    auto set = [m](Complex m00, Complex m01, Complex m10, Complex m11) {
        m[0] = m00;
        m[1] = m01;
        m[2] = m10;
        m[3] = m11;
    };
    const Complex zero{};
    switch (kind) {
        case K::H: return set(Complex(R, 0), Complex(R, 0), Complex(R, 0), Complex(-R, 0));
        case K::X: return set(zero, ONE, ONE, zero);
        case K::Y: return set(zero, Complex(0, -1), Complex(0, 1), zero);
        case K::Z: return set(ONE, zero, zero, Complex(-1, 0));
        case K::S: return set(ONE, zero, zero, Complex(0, 1));
        case K::T: return set(ONE, zero, zero, Complex(R, R));
        case K::Sdg: return set(ONE, zero, zero, Complex(0, -1));
        case K::Tdg: return set(ONE, zero, zero, Complex(R, -R));
        case K::Id: return set(ONE, zero, zero, ONE);
        case K::Rx:
        case K::Ry: {
            const double c = std::cos(a[0] / 2), s = std::sin(a[0] / 2);
            if (kind == K::Rx) return set(Complex(c, 0), Complex(0, -s), Complex(0, -s), Complex(c, 0));
            return set(Complex(c, 0), Complex(-s, 0), Complex(s, 0), Complex(c, 0));
        }
        case K::Rz: return set(polar_unit(-a[0] / 2), zero, zero, polar_unit(a[0] / 2));
        case K::P:
        case K::U1: return set(ONE, zero, zero, polar_unit(a[0]));
        case K::U:
        case K::U3: return u_matrix(a[0], a[1], a[2], m);
        case K::U2: return u_matrix(PI / 2, a[0], a[1], m);
        case K::Sx: return set(Complex(0.5, 0.5), Complex(0.5, -0.5), Complex(0.5, -0.5), Complex(0.5, 0.5));
        case K::Sxdg:
            return set(Complex(0.5, -0.5), Complex(0.5, 0.5), Complex(0.5, 0.5), Complex(0.5, -0.5));
        case K::R: {
            const double c = std::cos(a[0] / 2), s = std::sin(a[0] / 2);
            const double cp = std::cos(a[1]), sp = std::sin(a[1]);
            return set(Complex(c, 0), Complex(-s * sp, -s * cp), Complex(s * sp, -s * cp), Complex(c, 0));
        }
        default: internal_fault(concat(gate_info(kind).debug_name, " is not a one-qubit gate"));
    }
}

// Writes the identity of size dim into m.
void identity(std::size_t dim, Complex* m) {
    for (std::size_t i = 0; i < dim * dim; ++i) m[i] = Complex{};
    for (std::size_t i = 0; i < dim; ++i) m[i * dim + i] = ONE;
}

// The 4x4 of a one-qubit u on the target q1 under the control q0 (local
// index bit_q0 + 2 bit_q1): it acts on the states 1 and 3.
void controlled(const Complex* u, Complex* m) {
    identity(4, m);
    m[4 * 1 + 1] = u[0];
    m[4 * 1 + 3] = u[1];
    m[4 * 3 + 1] = u[2];
    m[4 * 3 + 3] = u[3];
}

void two_qubit(K kind, std::span<const double> a, Complex* m) {
    Complex u[4];
    auto controlled_one = [&](K one, std::span<const double> angles) {
        one_qubit(one, angles, u);
        controlled(u, m);
    };
    auto diagonal = [m](Complex e0, Complex e1, Complex e2, Complex e3) {
        identity(4, m);
        m[0] = e0;
        m[5] = e1;
        m[10] = e2;
        m[15] = e3;
    };
    switch (kind) {
        case K::Cx:
            identity(4, m);
            m[5] = m[15] = Complex{};
            m[4 * 3 + 1] = m[4 * 1 + 3] = ONE;
            return;
        case K::Swap:
            identity(4, m);
            m[5] = m[10] = Complex{};
            m[4 * 2 + 1] = m[4 * 1 + 2] = ONE;
            return;
        case K::Cz: return diagonal(ONE, ONE, ONE, Complex(-1, 0));
        case K::Rzz: {
            const Complex minus = polar_unit(-a[0] / 2), plus = polar_unit(a[0] / 2);
            return diagonal(minus, plus, plus, minus);
        }
        case K::Cp:
        case K::Cu1: return diagonal(ONE, ONE, ONE, polar_unit(a[0]));
        case K::Crz: return diagonal(ONE, polar_unit(-a[0] / 2), ONE, polar_unit(a[0] / 2));
        case K::Cs: return diagonal(ONE, ONE, ONE, I);
        case K::Csdg: return diagonal(ONE, ONE, ONE, -I);
        case K::Rxx:
        case K::Ryy:
        case K::Rzx: {
            const double c = std::cos(a[0] / 2), s = std::sin(a[0] / 2);
            identity(4, m);
            for (std::size_t k = 0; k < 4; ++k) m[5 * k] = Complex(c, 0);
            if (kind == K::Rxx) {
                for (std::size_t k = 0; k < 4; ++k) m[4 * k + (3 - k)] = Complex(0, -s);
            } else if (kind == K::Ryy) {
                m[4 * 0 + 3] = m[4 * 3 + 0] = Complex(0, s);
                m[4 * 1 + 2] = m[4 * 2 + 1] = Complex(0, -s);
            } else {
                // Z on q0, X on q1: X flips bit 1, Z signs by bit 0.
                m[4 * 0 + 2] = m[4 * 2 + 0] = Complex(0, -s);
                m[4 * 1 + 3] = m[4 * 3 + 1] = Complex(0, s);
            }
            return;
        }
        case K::Cy: return controlled_one(K::Y, {});
        case K::Ch: return controlled_one(K::H, {});
        case K::Csx: return controlled_one(K::Sx, {});
        case K::Crx: return controlled_one(K::Rx, a);
        case K::Cry: return controlled_one(K::Ry, a);
        case K::Cu3: return controlled_one(K::U, a);
        case K::Cu: {
            one_qubit(K::U, a.first(3), u);
            const Complex phase = polar_unit(a[3]);
            for (Complex& entry : u) entry *= phase;
            controlled(u, m);
            return;
        }
        case K::Iswap:
            identity(4, m);
            m[5] = m[10] = Complex{};
            m[4 * 1 + 2] = m[4 * 2 + 1] = I;
            return;
        case K::Dcx:
            identity(4, m);
            m[5] = m[10] = m[15] = Complex{};
            m[4 * 2 + 1] = m[4 * 3 + 2] = m[4 * 1 + 3] = ONE;
            return;
        case K::Ecr: {
            for (std::size_t i = 0; i < 16; ++i) m[i] = Complex{};
            m[4 * 0 + 1] = Complex(R, 0);
            m[4 * 0 + 3] = Complex(0, R);
            m[4 * 1 + 0] = Complex(R, 0);
            m[4 * 1 + 2] = Complex(0, -R);
            m[4 * 2 + 1] = Complex(0, R);
            m[4 * 2 + 3] = Complex(R, 0);
            m[4 * 3 + 0] = Complex(0, -R);
            m[4 * 3 + 2] = Complex(R, 0);
            return;
        }
        case K::XxMinusYy:
        case K::XxPlusYy: {
            const double c = std::cos(a[0] / 2), s = std::sin(a[0] / 2);
            // -i sin(theta/2) e^(-i beta) above the diagonal, e^(+i beta) below.
            const Complex upper = Complex(0, -s) * polar_unit(-a[1]);
            const Complex lower = Complex(0, -s) * polar_unit(a[1]);
            identity(4, m);
            const std::size_t lo = kind == K::XxMinusYy ? 0 : 1;
            const std::size_t hi = kind == K::XxMinusYy ? 3 : 2;
            m[5 * lo] = m[5 * hi] = Complex(c, 0);
            m[4 * lo + hi] = upper;
            m[4 * hi + lo] = lower;
            return;
        }
        default: internal_fault(concat(gate_info(kind).debug_name, " is not a two-qubit gate"));
    }
}

// Applies a gate's matrix (on its qubits, given as positions in a register of
// k qubits) to every column of the 2^k x 2^k matrix m.
void apply_to_columns(std::vector<Complex>& m, std::size_t k, const Gate& gate,
                      std::span<const double> angles) {
    const GateInfo& info = gate_info(gate.kind);
    const std::size_t dim = std::size_t{1} << k;
    const std::size_t local = std::size_t{1} << info.num_qubits;
    std::vector<Complex> u(local * local);
    gate_matrix_into(gate.kind, angles, u.data());
    std::vector<Complex> in(local), out(local);
    for (std::size_t column = 0; column < dim; ++column) {
        for (std::size_t base = 0; base < dim; ++base) {
            bool is_base = true;
            for (std::size_t j = 0; j < info.num_qubits; ++j) {
                if ((base >> gate.qubit(j)) & 1) is_base = false;
            }
            if (!is_base) continue;
            auto index = [&](std::size_t l) {
                std::size_t i = base;
                for (std::size_t j = 0; j < info.num_qubits; ++j) {
                    if ((l >> j) & 1) i |= std::size_t{1} << gate.qubit(j);
                }
                return i;
            };
            for (std::size_t l = 0; l < local; ++l) in[l] = m[index(l) * dim + column];
            for (std::size_t r = 0; r < local; ++r) {
                Complex sum{};
                for (std::size_t c = 0; c < local; ++c) sum += u[r * local + c] * in[c];
                out[r] = sum;
            }
            for (std::size_t l = 0; l < local; ++l) m[index(l) * dim + column] = out[l];
        }
    }
}

// The matrix of a gate known only through its decomposition.
void matrix_from_decomposition(K kind, std::span<const double> angles, Complex* out) {
    const GateInfo& info = gate_info(kind);
    const std::size_t k = info.num_qubits;
    std::vector<std::uint64_t> qubits(k);
    for (std::size_t j = 0; j < k; ++j) qubits[j] = j;
    std::vector<Angle> fixed;
    for (double value : angles) fixed.push_back(Angle::fixed(value));
    const auto decomposition = decompose(Gate::make(kind, qubits, fixed), angles);
    const std::size_t dim = std::size_t{1} << k;
    std::vector<Complex> m(dim * dim);
    identity(dim, m.data());
    for (const Gate& g : decomposition->gates) {
        std::array<double, 4> values{};
        for (std::size_t i = 0; i < g.num_angles(); ++i) values[i] = g.angles[i].value();
        apply_to_columns(m, k, g, std::span<const double>(values).first(g.num_angles()));
    }
    const Complex phase = polar_unit(decomposition->phase);
    for (std::size_t i = 0; i < dim * dim; ++i) out[i] = phase * m[i];
}

// Builds a decomposition on the gate's own qubits.
class Steps {
public:
    explicit Steps(const Gate& gate) : gate_(gate) {}

    // A gate on the decomposed gate's qubits given by position (0 = q0).
    Steps& add(K kind, std::initializer_list<std::size_t> positions,
               std::initializer_list<double> angles = {}) {
        std::array<std::uint64_t, 4> qubits{};
        std::size_t n = 0;
        for (std::size_t p : positions) qubits[n++] = gate_.qubit(p);
        std::array<Angle, 4> fixed{};
        std::size_t m = 0;
        for (double a : angles) fixed[m++] = Angle::fixed(a);
        result_.gates.push_back(Gate::make(kind, std::span(qubits).first(n), std::span(fixed).first(m)));
        return *this;
    }
    Steps& phase(double value) {
        result_.phase += value;
        return *this;
    }
    Decomposition take() { return std::move(result_); }

private:
    const Gate& gate_;
    Decomposition result_;
};

void ccx_steps(Steps& s, std::size_t a, std::size_t b, std::size_t c) {
    s.add(K::H, {c}).add(K::Cx, {b, c}).add(K::Tdg, {c}).add(K::Cx, {a, c}).add(K::T, {c});
    s.add(K::Cx, {b, c}).add(K::Tdg, {c}).add(K::Cx, {a, c}).add(K::T, {b}).add(K::T, {c});
    s.add(K::H, {c}).add(K::Cx, {a, b}).add(K::T, {a}).add(K::Tdg, {b}).add(K::Cx, {a, b});
}

void cu3_steps(Steps& s, double theta, double phi, double lam) {
    s.add(K::P, {0}, {(lam + phi) / 2}).add(K::P, {1}, {(lam - phi) / 2});
    s.add(K::Cx, {0, 1}).add(K::U, {1}, {-theta / 2, 0.0, -(phi + lam) / 2});
    s.add(K::Cx, {0, 1}).add(K::U, {1}, {theta / 2, phi, 0.0});
}

}  // namespace

std::span<const GateInfo> gate_catalogue() noexcept { return CATALOGUE; }

const GateInfo& gate_info(GateKind kind) noexcept {
    return CATALOGUE[static_cast<std::size_t>(kind)];
}

bool is_unitary(GateKind kind) noexcept {
    return kind != K::Barrier && kind != K::Measure && kind != K::MeasureAll;
}

bool acts_on_qubits(GateKind kind) noexcept {
    const GateInfo& info = gate_info(kind);
    return is_unitary(kind) && info.num_qubits > 0 && info.sim_class != SimClass::None;
}

const GateInfo* find_gate(std::string_view name) noexcept {
    for (const GateInfo& info : CATALOGUE) {
        if (info.name == name && is_unitary(info.kind)) return &info;
    }
    return nullptr;
}

void gate_matrix_into(GateKind kind, std::span<const double> angles, Complex* out) {
    const GateInfo& info = gate_info(kind);
    if (!is_unitary(kind) || angles.size() < info.num_angles) {
        internal_fault(concat("gate_matrix: ", info.debug_name, " with ", angles.size(), " angle(s)"));
    }
    switch (info.num_qubits) {
        case 0: out[0] = polar_unit(angles[0]); return;
        case 1: return one_qubit(kind, angles, out);
        case 2: return two_qubit(kind, angles, out);
        default: break;
    }
    const std::size_t dim = std::size_t{1} << info.num_qubits;
    switch (kind) {
        case K::Ccx:
            identity(dim, out);
            out[dim * 3 + 3] = out[dim * 7 + 7] = Complex{};
            out[dim * 3 + 7] = out[dim * 7 + 3] = ONE;
            return;
        case K::Ccz:
            identity(dim, out);
            out[dim * 7 + 7] = Complex(-1, 0);
            return;
        case K::Cswap:
            // Control q0 set: bits 1 and 2 trade places, 3 (q0 q1) <-> 5 (q0 q2).
            identity(dim, out);
            out[dim * 3 + 3] = out[dim * 5 + 5] = Complex{};
            out[dim * 3 + 5] = out[dim * 5 + 3] = ONE;
            return;
        case K::C3sx: {
            Complex u[4];
            one_qubit(K::Sx, {}, u);
            identity(dim, out);
            out[dim * 7 + 7] = u[0];
            out[dim * 7 + 15] = u[1];
            out[dim * 15 + 7] = u[2];
            out[dim * 15 + 15] = u[3];
            return;
        }
        default: return matrix_from_decomposition(kind, angles, out);
    }
}

std::string_view qasm_definition(GateKind kind) noexcept {
    // Qiskit's qasm2.dumps text for each gate it writes through a definition,
    // character for character, so files we write read as Qiskit's own do.
    switch (kind) {
        case K::R: return "gate r(param0,param1) q0 { u(param0,-pi/2 + param1,pi/2 - param1) q0; }";
        case K::Cs: return "gate cs q0,q1 { t q0; cx q0,q1; tdg q1; cx q0,q1; t q1; }";
        case K::Csdg: return "gate csdg q0,q1 { tdg q0; cx q0,q1; t q1; cx q0,q1; tdg q1; }";
        case K::Ryy:
            return "gate ryy(param0) q0,q1 { sxdg q0; sxdg q1; cx q0,q1; rz(param0) q1; cx q0,q1; "
                   "sx q0; sx q1; }";
        case K::Rzx:
            return "gate rzx(param0) q0,q1 { h q1; cx q0,q1; rz(param0) q1; cx q0,q1; h q1; }";
        case K::Iswap: return "gate iswap q0,q1 { s q0; s q1; h q0; cx q0,q1; cx q1,q0; h q1; }";
        case K::Dcx: return "gate dcx q0,q1 { cx q0,q1; cx q1,q0; }";
        case K::Ecr: return "gate ecr q0,q1 { s q0; sx q1; cx q0,q1; x q0; }";
        case K::XxMinusYy:
            return "gate xx_minus_yy(param0,param1) q0,q1 { rz(-param1) q1; sdg q0; sx q0; s q0; "
                   "s q1; cx q0,q1; ry(0.5*param0) q0; ry((-0.5)*param0) q1; cx q0,q1; sdg q1; "
                   "sdg q0; sxdg q0; s q0; rz(param1) q1; }";
        case K::XxPlusYy:
            return "gate xx_plus_yy(param0,param1) q0,q1 { rz(param1) q0; sdg q1; sx q1; s q1; "
                   "s q0; cx q1,q0; ry((-0.5)*param0) q1; ry((-0.5)*param0) q0; cx q1,q0; "
                   "sdg q0; sdg q1; sxdg q1; s q1; rz(-param1) q0; }";
        case K::Ccz: return "gate ccz q0,q1,q2 { h q2; ccx q0,q1,q2; h q2; }";
        case K::Rcccx:
            return "gate rcccx q0,q1,q2,q3 { h q3; t q3; cx q2,q3; tdg q3; h q3; cx q0,q3; t q3; "
                   "cx q1,q3; tdg q3; cx q0,q3; t q3; cx q1,q3; tdg q3; h q3; t q3; cx q2,q3; "
                   "tdg q3; h q3; }";
        default: return {};
    }
}

std::vector<Complex> gate_matrix(GateKind kind, std::span<const double> angles) {
    const std::size_t dim = std::size_t{1} << gate_info(kind).num_qubits;
    std::vector<Complex> m(dim * dim);
    gate_matrix_into(kind, angles, m.data());
    return m;
}

std::optional<Decomposition> decompose(const Gate& gate, std::span<const double> a) {
    Steps s(gate);
    switch (gate.kind) {
        case K::Id: return s.take();
        case K::GlobalPhase: return s.phase(a[0]).take();
        // P(l) = e^(i l/2) Rz(l): one rotation where the QIR profile has it.
        case K::P:
        case K::U1: return s.add(K::Rz, {0}, {a[0]}).phase(a[0] / 2).take();
        case K::U2: return s.add(K::U, {0}, {PI / 2, a[0], a[1]}).take();
        case K::U3: return s.add(K::U, {0}, {a[0], a[1], a[2]}).take();
        case K::Sx: return s.add(K::Rx, {0}, {PI / 2}).phase(PI / 4).take();
        case K::Sxdg: return s.add(K::Rx, {0}, {-PI / 2}).phase(-PI / 4).take();
        case K::R: return s.add(K::U, {0}, {a[0], a[1] - PI / 2, PI / 2 - a[1]}).take();
        case K::Cy: return s.add(K::Sdg, {1}).add(K::Cx, {0, 1}).add(K::S, {1}).take();
        case K::Ch:
            s.add(K::S, {1}).add(K::H, {1}).add(K::T, {1}).add(K::Cx, {0, 1});
            return s.add(K::Tdg, {1}).add(K::H, {1}).add(K::Sdg, {1}).take();
        case K::Crx:
            s.add(K::S, {1}).add(K::Cx, {0, 1}).add(K::U, {1}, {-a[0] / 2, 0.0, 0.0});
            return s.add(K::Cx, {0, 1}).add(K::U, {1}, {a[0] / 2, -PI / 2, 0.0}).take();
        case K::Cry:
            s.add(K::Ry, {1}, {a[0] / 2}).add(K::Cx, {0, 1}).add(K::Ry, {1}, {-a[0] / 2});
            return s.add(K::Cx, {0, 1}).take();
        case K::Crz:
            s.add(K::Rz, {1}, {a[0] / 2}).add(K::Cx, {0, 1}).add(K::Rz, {1}, {-a[0] / 2});
            return s.add(K::Cx, {0, 1}).take();
        case K::Cu1: return s.add(K::Cp, {0, 1}, {a[0]}).take();
        case K::Cs: return s.add(K::Cp, {0, 1}, {PI / 2}).take();
        case K::Csdg: return s.add(K::Cp, {0, 1}, {-PI / 2}).take();
        case K::Csx: return s.add(K::H, {1}).add(K::Cp, {0, 1}, {PI / 2}).add(K::H, {1}).take();
        case K::Cu3: cu3_steps(s, a[0], a[1], a[2]); return s.take();
        case K::Cu:
            s.add(K::P, {0}, {a[3]});
            cu3_steps(s, a[0], a[1], a[2]);
            return s.take();
        case K::Ryy:
            s.add(K::Rx, {0}, {PI / 2}).add(K::Rx, {1}, {PI / 2}).add(K::Cx, {0, 1});
            s.add(K::Rz, {1}, {a[0]}).add(K::Cx, {0, 1});
            return s.add(K::Rx, {0}, {-PI / 2}).add(K::Rx, {1}, {-PI / 2}).take();
        case K::Rzx:
            s.add(K::H, {1}).add(K::Cx, {0, 1}).add(K::Rz, {1}, {a[0]}).add(K::Cx, {0, 1});
            return s.add(K::H, {1}).take();
        case K::Iswap:
            s.add(K::S, {0}).add(K::S, {1}).add(K::H, {0}).add(K::Cx, {0, 1});
            return s.add(K::Cx, {1, 0}).add(K::H, {1}).take();
        case K::Dcx: return s.add(K::Cx, {0, 1}).add(K::Cx, {1, 0}).take();
        case K::Ecr:
            s.add(K::Rzx, {0, 1}, {PI / 4}).add(K::X, {0});
            return s.add(K::Rzx, {0, 1}, {-PI / 4}).take();
        case K::XxMinusYy:
            s.add(K::Rz, {1}, {-a[1]}).add(K::Rz, {0}, {-PI / 2}).add(K::Sx, {0});
            s.add(K::Rz, {0}, {PI / 2}).add(K::S, {1}).add(K::Cx, {0, 1});
            s.add(K::Ry, {0}, {a[0] / 2}).add(K::Ry, {1}, {-a[0] / 2}).add(K::Cx, {0, 1});
            s.add(K::Sdg, {1}).add(K::Rz, {0}, {-PI / 2}).add(K::Sxdg, {0});
            return s.add(K::Rz, {0}, {PI / 2}).add(K::Rz, {1}, {a[1]}).take();
        case K::XxPlusYy:
            s.add(K::Rz, {0}, {a[1]}).add(K::Rz, {1}, {-PI / 2}).add(K::Sx, {1});
            s.add(K::Rz, {1}, {PI / 2}).add(K::S, {0}).add(K::Cx, {1, 0});
            s.add(K::Ry, {1}, {-a[0] / 2}).add(K::Ry, {0}, {-a[0] / 2}).add(K::Cx, {1, 0});
            s.add(K::Sdg, {0}).add(K::Rz, {1}, {-PI / 2}).add(K::Sxdg, {1});
            return s.add(K::Rz, {1}, {PI / 2}).add(K::Rz, {0}, {-a[1]}).take();
        case K::Ccx: ccx_steps(s, 0, 1, 2); return s.take();
        case K::Ccz:
            s.add(K::H, {2});
            ccx_steps(s, 0, 1, 2);
            return s.add(K::H, {2}).take();
        case K::Cswap:
            s.add(K::Cx, {2, 1});
            ccx_steps(s, 0, 1, 2);
            return s.add(K::Cx, {2, 1}).take();
        case K::Rccx:
            s.add(K::H, {2}).add(K::T, {2}).add(K::Cx, {1, 2}).add(K::Tdg, {2}).add(K::Cx, {0, 2});
            return s.add(K::T, {2}).add(K::Cx, {1, 2}).add(K::Tdg, {2}).add(K::H, {2}).take();
        case K::Rcccx:
            s.add(K::H, {3}).add(K::T, {3}).add(K::Cx, {2, 3}).add(K::Tdg, {3}).add(K::H, {3});
            s.add(K::Cx, {0, 3}).add(K::T, {3}).add(K::Cx, {1, 3}).add(K::Tdg, {3});
            s.add(K::Cx, {0, 3}).add(K::T, {3}).add(K::Cx, {1, 3}).add(K::Tdg, {3});
            s.add(K::H, {3}).add(K::T, {3}).add(K::Cx, {2, 3}).add(K::Tdg, {3});
            return s.add(K::H, {3}).take();
        case K::C3sx: {
            // Gray-code order over the controls: each cu1(+-pi/8) conjugated
            // by H on the target is a controlled root of X.
            const double q = PI / 8;
            auto step = [&](std::size_t control, double angle) {
                s.add(K::H, {3}).add(K::Cp, {control, 3}, {angle}).add(K::H, {3});
            };
            step(0, q);
            s.add(K::Cx, {0, 1});
            step(1, -q);
            s.add(K::Cx, {0, 1});
            step(1, q);
            s.add(K::Cx, {1, 2});
            step(2, -q);
            s.add(K::Cx, {0, 2});
            step(2, q);
            s.add(K::Cx, {1, 2});
            step(2, -q);
            s.add(K::Cx, {0, 2});
            step(2, q);
            return s.take();
        }
        default: return std::nullopt;
    }
}

}  // namespace morvane::circuit
