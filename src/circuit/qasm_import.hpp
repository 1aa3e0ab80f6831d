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

struct QasmImportOptions {
    // Upper bound on the instructions a program may expand to, counting one
    // per gate and one per barrier operand. Unbounded by default: broadcast
    // over registers makes the result legitimately much larger than the text.
    // A caller that imports untrusted text under a memory ceiling (the fuzzer)
    // sets a bound and gets a Parse error instead of exhausting memory.
    std::uint64_t max_instructions = std::numeric_limits<std::uint64_t>::max();
};

// Reads an OpenQASM 2.0 program into a circuit with only Fixed angles. Every
// failure is a Parse error carrying the 1-based line where it was detected.
[[nodiscard]] std::expected<ParameterizedCircuit, CircuitError> import_qasm2(
    std::string_view source, const QasmImportOptions& options = {});

}  // namespace morvane::circuit
