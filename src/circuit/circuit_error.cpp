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
        return concat("two-qubit gate requires distinct qubits, got (", e.qubit, ", ", e.qubit,
                      ")");
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

std::string CircuitError::message() const { return std::visit(MessageOf{}, detail); }

}  // namespace morvane::circuit
