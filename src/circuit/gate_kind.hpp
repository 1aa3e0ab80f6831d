#pragma once

#include <cstddef>
#include <cstdint>

namespace morvane::circuit {

// The gate set. The first 21 kinds keep their historical order (the writers'
// tables and stored test data follow it); later kinds are appended.
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
    // One qubit.
    Id, P, U1, U2, U3, Sx, Sxdg, R,
    // No qubit: a phase on the whole state.
    GlobalPhase,
    // Two qubits, controlled forms: control first.
    Cy, Ch, Crx, Cry, Crz, Cu1, Cu3, Cu, Cs, Csdg, Csx,
    // Two qubits.
    Ryy, Rzx, Iswap, Dcx, Ecr, XxMinusYy, XxPlusYy,
    // Three and four qubits, controls first.
    Ccx, Ccz, Cswap, Rccx, C3sx, Rcccx,
};

inline constexpr std::size_t GATE_KIND_COUNT = 54;

}  // namespace morvane::circuit
