#include "sim/sim_error.hpp"

#include "support/text.hpp"

namespace morvane::sim {

namespace {

struct MessageOf {
    std::string operator()(const TooManyQubits& e) const {
        return concat("circuit requests ", e.requested,
                      " qubits but the statevector backend supports at most ", e.max,
                      " (a statevector needs 2^n complex amplitudes)");
    }
    std::string operator()(const UnboundParam& e) const {
        return concat("circuit contains an unbound free parameter (index ", e.index,
                      "); bind all parameters before simulating");
    }
    std::string operator()(const NonFiniteAngle&) const {
        return "a gate angle resolved to a non-finite value (NaN or infinity)";
    }
    std::string operator()(const GateAfterMeasurement& e) const {
        return concat("gate acts on qubit ", e.qubit,
                      " after it was measured; Morvane circuits use terminal measurement "
                      "(contract C-4)");
    }
    std::string operator()(const GateQubitOutOfRange& e) const {
        return concat("gate references qubit ", e.qubit, " but the circuit has only ", e.num_qubits,
                      " qubit(s) (valid indices are 0..", e.num_qubits, ")");
    }
    std::string operator()(const Cancelled&) const {
        return "the simulation was cancelled before it completed";
    }
    std::string operator()(const ClassicalBitOutOfRange& e) const {
        return concat("classical bit ", e.cbit,
                      " cannot be sampled: measurement outcomes are packed into a 64-bit "
                      "register, so classical bits must be below 64");
    }
};

}  // namespace

std::string SimError::message() const {
    return std::visit(MessageOf{}, detail);
}

}  // namespace morvane::sim
