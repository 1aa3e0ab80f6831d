#include "circuit/circuit_error.hpp"

#include "support/text.hpp"

namespace morvane::circuit {

namespace {

struct MessageOf {
    std::string operator()(const WrongNumberOfParams& e) const {
        return concat("wrong number of parameter values: circuit declares ", e.expected,
                      " free parameter(s) but ", e.got, " value(s) were provided");
    }
    std::string operator()(const ParamIndexOutOfBounds& e) const {
        return concat("gate references parameter index ", e.index, ", but only ", e.num_params,
                      " parameter value(s) are available");
    }
    std::string operator()(const NonFiniteParam&) const {
        return "gate parameter resolved to a non-finite value (NaN or infinity)";
    }
    std::string operator()(const QubitOutOfRange& e) const {
        return concat("qubit index ", e.qubit, " out of range for circuit with ", e.num_qubits,
                      " qubits");
    }
    std::string operator()(const IdenticalQubits& e) const {
        if (!e.gate_qubits.empty()) return distinct_qubits_message(e.gate_qubits);
        const std::uint64_t pair[2] = {e.qubit, e.qubit};
        return distinct_qubits_message(pair);
    }
    std::string operator()(const QubitAlreadyMeasured& e) const {
        return concat("gate acts on qubit ", e.qubit,
                      " after it was measured; Morvane circuits use terminal measurement "
                      "(contract C-4)");
    }
    std::string operator()(const Parse& e) const {
        return concat("QASM parse error at line ", e.line, ": ", e.message);
    }
    std::string operator()(const QirAssemblyToolNotFound& e) const {
        return concat("QIR bitcode export requires '", e.tool, "', but it was not found on PATH");
    }
    std::string operator()(const QirAssemblyFailed& e) const {
        return concat("QIR bitcode export failed while running '", e.tool, "': ", e.message);
    }
};

}  // namespace

std::string distinct_qubits_message(std::span<const std::uint64_t> qubits) {
    static constexpr const char* WORDS[] = {"zero", "one", "two", "three", "four"};
    std::string out = qubits.size() < std::size(WORDS) ? WORDS[qubits.size()] : concat(qubits.size());
    out += "-qubit gate requires distinct qubits, got (";
    for (std::size_t k = 0; k < qubits.size(); ++k) out += concat(k == 0 ? "" : ", ", qubits[k]);
    return out + ")";
}

std::string CircuitError::message() const { return std::visit(MessageOf{}, detail); }

}  // namespace morvane::circuit
