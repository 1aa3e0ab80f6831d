#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "circuit/circuit.hpp"
#include "support/foreign.hpp"

namespace morvane::exec {

// OpenQASM 2.0 program text, to be parsed by the backend that runs it.
struct QasmText {
    std::string source;
};

// What a backend receives: a bound native circuit, OpenQASM text, or a
// foreign (Qiskit) circuit object that only some backends can run.
using CircuitInput = std::variant<circuit::ConcreteCircuit, QasmText, ForeignCircuitPtr>;

// The qubit count of an input when it is known without running it: a native
// circuit's own, an OpenQASM text's after parsing (absent if it does not
// parse), a foreign circuit's if it reports one.
std::optional<std::uint64_t> known_num_qubits(const CircuitInput& input);

}  // namespace morvane::exec
