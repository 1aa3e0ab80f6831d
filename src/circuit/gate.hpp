#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace morvane::circuit {

// A gate angle: a literal in radians, or a reference to a slot of the
// parameter vector supplied at binding time.
class Angle {
public:
    static constexpr Angle fixed(double radians) noexcept { return Angle(false, radians, 0); }
    static constexpr Angle param(std::uint64_t index) noexcept { return Angle(true, 0.0, index); }

    constexpr Angle() noexcept = default;

    constexpr bool is_param() const noexcept { return is_param_; }
    constexpr bool is_fixed() const noexcept { return !is_param_; }
    // The literal of a Fixed angle (0 for a Param).
    constexpr double value() const noexcept { return value_; }
    // The parameter index of a Param angle (0 for a Fixed).
    constexpr std::uint64_t index() const noexcept { return index_; }

    // Param angles compare by index; Fixed angles by bit pattern, so NaN
    // equals NaN and -0 differs from +0 (this is an identity test, used by
    // tests and round trips, not arithmetic).
    bool operator==(const Angle& other) const noexcept;

    std::string debug_string() const;  // "Fixed(0.5)" or "Param(3)"

private:
    constexpr Angle(bool is_param, double value, std::uint64_t index) noexcept
        : is_param_(is_param), value_(value), index_(index) {}

    bool is_param_ = false;
    double value_ = 0.0;
    std::uint64_t index_ = 0;
};

// The gate set. The order is significant: it is the order of the export tables.
enum class GateKind : std::uint8_t {
    H, X, Y, Z, S, T, Sdg, Tdg,  // one qubit, no angle
    Rx, Ry, Rz,                  // one qubit, theta
    Cx, Cz,                      // control, target
    Swap,                        // q0, q1
    Rzz, Rxx, Cp,                // q0, q1, theta
    U,                           // qubit, theta, phi, lam
    Barrier,                     // list of qubits, empty = all
    Measure,                     // qubit -> cbit
    MeasureAll,                  // every qubit i -> classical bit i
};

inline constexpr std::size_t GATE_KIND_COUNT = 21;

// Lower-case QASM-style name of the kind ("h", "cx", "u3", "barrier", "measure",
// "measure_all"), for debug text.
const char* gate_kind_name(GateKind kind) noexcept;

// One instruction of a circuit. A flat record rather than a variant: the
// simulator dispatches on `kind` in its hot loop and the fields are the same
// few integers for every gate.
//
// Field use by kind:
//   one-qubit gates, U, Measure: q0 is the qubit
//   Cx, Cz:                      q0 is the control, q1 the target
//   Swap, Rzz, Rxx, Cp:          q0, q1
//   Measure:                     cbit is the classical bit
//   Barrier:                     barrier_qubits (empty = all qubits)
//   angles:                      angles[0] = theta, [1] = phi, [2] = lam (U)
struct Gate {
    GateKind kind = GateKind::H;
    std::uint64_t q0 = 0;
    std::uint64_t q1 = 0;
    std::uint64_t cbit = 0;
    std::array<Angle, 3> angles{};
    std::vector<std::uint64_t> barrier_qubits;

    static Gate h(std::uint64_t q) { return one(GateKind::H, q); }
    static Gate x(std::uint64_t q) { return one(GateKind::X, q); }
    static Gate y(std::uint64_t q) { return one(GateKind::Y, q); }
    static Gate z(std::uint64_t q) { return one(GateKind::Z, q); }
    static Gate s(std::uint64_t q) { return one(GateKind::S, q); }
    static Gate t(std::uint64_t q) { return one(GateKind::T, q); }
    static Gate sdg(std::uint64_t q) { return one(GateKind::Sdg, q); }
    static Gate tdg(std::uint64_t q) { return one(GateKind::Tdg, q); }
    static Gate rx(std::uint64_t q, Angle theta) { return rot(GateKind::Rx, q, theta); }
    static Gate ry(std::uint64_t q, Angle theta) { return rot(GateKind::Ry, q, theta); }
    static Gate rz(std::uint64_t q, Angle theta) { return rot(GateKind::Rz, q, theta); }
    static Gate cx(std::uint64_t control, std::uint64_t target) {
        return two(GateKind::Cx, control, target);
    }
    static Gate cz(std::uint64_t control, std::uint64_t target) {
        return two(GateKind::Cz, control, target);
    }
    static Gate swap(std::uint64_t a, std::uint64_t b) { return two(GateKind::Swap, a, b); }
    static Gate rzz(std::uint64_t a, std::uint64_t b, Angle theta) {
        return two_rot(GateKind::Rzz, a, b, theta);
    }
    static Gate rxx(std::uint64_t a, std::uint64_t b, Angle theta) {
        return two_rot(GateKind::Rxx, a, b, theta);
    }
    static Gate cp(std::uint64_t a, std::uint64_t b, Angle theta) {
        return two_rot(GateKind::Cp, a, b, theta);
    }
    static Gate u(std::uint64_t q, Angle theta, Angle phi, Angle lam) {
        Gate g = one(GateKind::U, q);
        g.angles = {theta, phi, lam};
        return g;
    }
    static Gate barrier(std::vector<std::uint64_t> qubits) {
        Gate g;
        g.kind = GateKind::Barrier;
        g.barrier_qubits = std::move(qubits);
        return g;
    }
    static Gate measure(std::uint64_t q, std::uint64_t cbit) {
        Gate g = one(GateKind::Measure, q);
        g.cbit = cbit;
        return g;
    }
    static Gate measure_all() {
        Gate g;
        g.kind = GateKind::MeasureAll;
        return g;
    }

    // Number of qubit fields (q0, q1) the kind uses: 1 or 2, and 0 for
    // Barrier and MeasureAll, whose qubits are a list or implicit.
    std::size_t num_qubit_fields() const noexcept;
    // Number of angles the kind uses: 0, 1 or 3.
    std::size_t num_angles() const noexcept;
    bool is_two_qubit() const noexcept { return num_qubit_fields() == 2; }

    // Compares only the fields the kind uses.
    bool operator==(const Gate& other) const noexcept;

    // e.g. "Cx { control: 0, target: 1 }", "Rz { qubit: 1, theta: Fixed(0.5) }".
    std::string debug_string() const;

private:
    static Gate one(GateKind kind, std::uint64_t q) {
        Gate g;
        g.kind = kind;
        g.q0 = q;
        return g;
    }
    static Gate rot(GateKind kind, std::uint64_t q, Angle theta) {
        Gate g = one(kind, q);
        g.angles[0] = theta;
        return g;
    }
    static Gate two(GateKind kind, std::uint64_t a, std::uint64_t b) {
        Gate g = one(kind, a);
        g.q1 = b;
        return g;
    }
    static Gate two_rot(GateKind kind, std::uint64_t a, std::uint64_t b, Angle theta) {
        Gate g = two(kind, a, b);
        g.angles[0] = theta;
        return g;
    }
};

}  // namespace morvane::circuit
