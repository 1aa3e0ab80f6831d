#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/angle.hpp"
#include "circuit/gate_kind.hpp"

namespace morvane::circuit {

// Lower-case name of the kind as OpenQASM text writes it ("h", "cx", "u3",
// "barrier", "measure", "measure_all"), for debug text.
const char* gate_kind_name(GateKind kind) noexcept;

// One instruction of a circuit. A flat record rather than a variant: the
// simulator dispatches on `kind` in its hot loop and the fields are the same
// few integers for every gate.
//
// Field use by kind (the catalogue holds each kind's counts and names):
//   unitary gates:  q0, q1, q2, q3 are the qubits in Qiskit's order (controls
//                   first), as many as the kind has
//   Measure:        q0 is the qubit, cbit the classical bit
//   Barrier:        barrier_qubits (empty = all qubits)
//   angles:         in Qiskit's parameter order (theta, phi, lam, gamma for U
//                   and Cu; theta, beta for XxMinusYy and XxPlusYy)
struct Gate {
    GateKind kind = GateKind::H;
    std::uint64_t q0 = 0;
    std::uint64_t q1 = 0;
    std::uint64_t q2 = 0;
    std::uint64_t q3 = 0;
    std::uint64_t cbit = 0;
    std::array<Angle, 4> angles{};
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
    // Any unitary kind from its qubits and angles; the counts must match
    // the catalogue's (an internal fault otherwise).
    static Gate make(GateKind kind, std::span<const std::uint64_t> qubits,
                     std::span<const Angle> angles);

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

    // Number of qubit fields (q0 .. q3) the kind uses: 1 to 4, and 0 for
    // GlobalPhase, Barrier and MeasureAll, whose qubits are none, a list or
    // implicit.
    std::size_t num_qubit_fields() const noexcept;
    // Number of angles the kind uses: 0 to 4.
    std::size_t num_angles() const noexcept;
    bool is_two_qubit() const noexcept { return num_qubit_fields() == 2; }
    // The i-th qubit field (i < 4).
    std::uint64_t qubit(std::size_t i) const noexcept {
        return i == 0 ? q0 : i == 1 ? q1 : i == 2 ? q2 : q3;
    }
    void set_qubit(std::size_t i, std::uint64_t q) noexcept {
        (i == 0 ? q0 : i == 1 ? q1 : i == 2 ? q2 : q3) = q;
    }

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
