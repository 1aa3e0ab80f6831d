#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <string_view>

#include "circuit/circuit.hpp"
#include "circuit/circuit_error.hpp"

namespace morvane::circuit {

// Declared bits per kind (qubits, classical bits), summed over all registers.
inline constexpr std::uint64_t MAX_REGISTER_BITS = 1000000;

// Deepest nesting of a gate parameter expression.
inline constexpr std::uint32_t MAX_EXPRESSION_DEPTH = 64;

// The most gates that calls of `gate` definitions may expand to in one
// program (each definition on its own and all calls together), counting a
// barrier once per qubit. A definition's size is known when it is read, so
// definitions that double at each level are refused before any expansion.
inline constexpr std::uint64_t MAX_GATE_EXPANSION = 10000000;

struct QasmImportOptions {
    // Upper bound on the instructions a program may expand to, counting one
    // per gate and one per barrier operand. Unbounded by default: broadcast
    // over registers makes the result legitimately much larger than the text.
    // A caller that imports untrusted text under a memory ceiling (the fuzzer)
    // sets a bound and gets a Parse error instead of exhausting memory.
    std::uint64_t max_instructions = std::numeric_limits<std::uint64_t>::max();
    // See MAX_GATE_EXPANSION; lowered only to test the bound without
    // allocating ten million gates.
    std::uint64_t max_gate_expansion = MAX_GATE_EXPANSION;
};

// Reads an OpenQASM 2.0 program into a circuit with only Fixed angles. The
// gates of qelib1.inc (and those Qiskit's reader adds to it) become catalogue
// gates; `gate` definitions are expanded at each call with their parameters
// evaluated. Every failure is a Parse error carrying the 1-based line where
// it was detected.
[[nodiscard]] std::expected<ParameterizedCircuit, CircuitError> import_qasm2(
    std::string_view source, const QasmImportOptions& options = {});

}  // namespace morvane::circuit
