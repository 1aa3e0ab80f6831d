#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/gate_kind.hpp"

namespace morvane::circuit {

struct Gate;

// How the simulator carries a gate out.
enum class SimClass : std::uint8_t {
    Dense,        // a matrix on its qubits
    Diagonal,     // phases only: joins a diagonal run
    Permutation,  // moves amplitudes without arithmetic (X, CX, SWAP)
    Decomposed,   // replaced by its decomposition before simulation
    Phase,        // a global phase: no qubits, only a factor on the state
    None,         // no effect on the state (identity, barrier, measurement)
};

// One entry of the gate catalogue: everything the importer, the writers, the
// simulator, the Python builders and the tests need to know about a gate.
struct GateInfo {
    GateKind kind;
    // Qiskit's name (get_standard_gate_name_mapping), which is also the
    // Python builder method's name.
    std::string_view name;
    // The name OpenQASM 2 text uses for it (qelib1.inc's name where it has
    // one; "u3" for U, which the writer has always written so).
    std::string_view qasm_name;
    // CapitalCase, for debug text ("Cx", "XxMinusYy").
    std::string_view debug_name;
    std::uint8_t num_qubits;
    std::uint8_t num_angles;
    SimClass sim_class;
    // Whether Qiskit's qasm2.dumps writes it by name after including
    // qelib1.inc; the others get a `gate` definition in the header.
    bool qasm_standard;
    // The QIR base-profile intrinsic, or empty when the QIR writer expands it.
    std::string_view qir_intrinsic;
    // Field names for debug text: qubits then angles.
    std::string_view qubit_names[4];
    std::string_view angle_names[4];
};

// The `gate` definition OpenQASM 2 text declares for a gate that is not
// qasm_standard, exactly as Qiskit's qasm2.dumps writes it; empty for the
// standard ones and for GlobalPhase, which OpenQASM 2 cannot express.
std::string_view qasm_definition(GateKind kind) noexcept;

// Every kind in GateKind order.
std::span<const GateInfo> gate_catalogue() noexcept;
const GateInfo& gate_info(GateKind kind) noexcept;
// The unitary gate (or global phase) with this Qiskit name; Barrier, Measure
// and MeasureAll are not found.
const GateInfo* find_gate(std::string_view name) noexcept;
// Whether the kind is a unitary gate or global phase (not a barrier or
// measurement).
bool is_unitary(GateKind kind) noexcept;
// Whether the kind changes the state of its qubits: a unitary gate other than
// the identity. Terminal measurement forbids only these after a measurement
// (an `id` after one was always accepted, being no operation).
bool acts_on_qubits(GateKind kind) noexcept;

// The gate's matrix on its own qubits in Qiskit's convention: basis index
// bit j = qubit j of the gate (the first qubit is the least significant),
// row-major, 2^num_qubits rows. `angles` holds num_angles values. A global
// phase gives the 1x1 matrix e^(i theta).
using Complex = std::complex<double>;
std::vector<Complex> gate_matrix(GateKind kind, std::span<const double> angles);
// The same into a caller's buffer of (2^num_qubits)^2 entries, allocation
// free: the simulator builds 2x2 and 4x4 matrices this way per gate.
void gate_matrix_into(GateKind kind, std::span<const double> angles, Complex* out);

// An exact decomposition: the gate equals e^(i phase) times the product of
// `gates` applied in order. Angles are Fixed.
struct Decomposition {
    std::vector<Gate> gates;
    double phase = 0.0;
};

// The decomposition of a unitary gate whose angles are given as values, into
// gates that themselves have a decomposition or are among the original
// eighteen (H X Y Z S T Sdg Tdg Rx Ry Rz Cx Cz Swap Rzz Rxx Cp U). Nothing
// for the original eighteen, which are the floor of every expansion.
std::optional<Decomposition> decompose(const Gate& gate, std::span<const double> angles);

}  // namespace morvane::circuit
