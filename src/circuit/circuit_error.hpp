#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>
#include <variant>

#include "support/error_variant.hpp"

namespace morvane::circuit {

// The error enumeration of the whole circuit subsystem: model, OpenQASM export
// and import, QIR export. message() gives the user-facing text.
struct WrongNumberOfParams {
    std::uint64_t expected;
    std::uint64_t got;
    bool operator==(const WrongNumberOfParams&) const = default;
};
struct ParamIndexOutOfBounds {
    std::uint64_t index;
    std::uint64_t num_params;
    bool operator==(const ParamIndexOutOfBounds&) const = default;
};
struct NonFiniteParam {
    bool operator==(const NonFiniteParam&) const = default;
};
struct QubitOutOfRange {
    std::uint64_t qubit;
    std::uint64_t num_qubits;
    bool operator==(const QubitOutOfRange&) const = default;
};
struct IdenticalQubits {
    std::uint64_t qubit;
    // All of a three- or four-qubit gate's qubits, for the message; empty for
    // a two-qubit gate, whose pair is (qubit, qubit).
    std::vector<std::uint64_t> gate_qubits = {};
    bool operator==(const IdenticalQubits&) const = default;
};

// "two-qubit gate requires distinct qubits, got (0, 0)", with the gate's
// arity and qubits; the model and the OpenQASM importer word it alike.
std::string distinct_qubits_message(std::span<const std::uint64_t> qubits);
struct QubitAlreadyMeasured {
    std::uint64_t qubit;
    bool operator==(const QubitAlreadyMeasured&) const = default;
};
struct Parse {
    std::uint64_t line;  // 1-based
    std::string message;
    bool operator==(const Parse&) const = default;
};
struct QirAssemblyToolNotFound {
    std::string tool;
    bool operator==(const QirAssemblyToolNotFound&) const = default;
};
struct QirAssemblyFailed {
    std::string tool;
    std::string message;
    bool operator==(const QirAssemblyFailed&) const = default;
};

struct CircuitError : ErrorVariant<WrongNumberOfParams, ParamIndexOutOfBounds, NonFiniteParam,
                                   QubitOutOfRange, IdenticalQubits, QubitAlreadyMeasured, Parse,
                                   QirAssemblyToolNotFound, QirAssemblyFailed> {
    using ErrorVariant::ErrorVariant;

    std::string message() const;
    bool operator==(const CircuitError&) const = default;
};

}  // namespace morvane::circuit
