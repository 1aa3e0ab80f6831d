#pragma once

#include <string_view>
#include <vector>

#include "circuit/qasm_gate_definition.hpp"

namespace morvane::circuit {

// The gates a program calls without defining them: the built-in U and CX,
// and qelib1.inc with the gates Qiskit's reader adds to it. A name that has
// a catalogue kind (found by the catalogue's OpenQASM name, then its Qiskit
// name) is emitted as that gate; the others (u0, c3x, c4x) expand through
// their qelib1.inc definitions. Read once, on first use, and shared.
const GateDefinition* find_library_gate(std::string_view name);

// Every library gate in definition order, built-ins first.
std::vector<const GateDefinition*> library_gates();

}  // namespace morvane::circuit
