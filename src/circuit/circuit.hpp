#pragma once

#include <algorithm>
#include <cstdint>
#include <expected>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"

namespace morvane::circuit {

class ConcreteCircuit;

// num_clbits of a gate list: the largest cbit + 1 over Measure gates and
// num_qubits for a MeasureAll; 0 without measurements. Saturates instead of
// wrapping for a cbit of 2^64 - 1.
std::uint64_t count_clbits(std::uint64_t num_qubits, std::span<const Gate> gates) noexcept;

// The classical register of a circuit that measures `measured` bits
// (count_clbits) and declares `declared`: none without measurements, else
// the wider of the two.
constexpr std::uint64_t register_clbits(std::uint64_t measured, std::uint64_t declared) noexcept {
    return measured == 0 ? 0 : (measured > declared ? measured : declared);
}

// The circuit users build: gates validated one by one as they are appended,
// angles either literal or references to free parameters.
class ParameterizedCircuit {
public:
    explicit ParameterizedCircuit(std::uint64_t num_qubits) : num_qubits_(num_qubits) {}

    // Builds a circuit from an already validated gate list (the OpenQASM
    // importer and the templates); the measured index is derived lazily on the
    // first push, so terminal measurement is enforced for whatever follows.
    static ParameterizedCircuit from_validated_gates(std::uint64_t num_qubits,
                                                     std::vector<Gate> gates,
                                                     Angle global_phase = Angle::fixed(0.0));

    // Validates and appends one gate; on error the circuit is unchanged. A
    // GlobalPhase gate is not kept as a gate: its angle is added to the
    // circuit's global phase.
    [[nodiscard]] std::expected<void, CircuitError> push(Gate gate);

    // The phase e^(i phase) the whole state carries: a constant or an angle
    // of the parameters. OpenQASM 2 and QIR cannot express it, so the
    // writers leave it out; statevectors include it.
    const Angle& global_phase() const noexcept { return global_phase_; }
    // Replaces it; a non-finite constant is refused (NonFiniteParam).
    [[nodiscard]] std::expected<void, CircuitError> set_global_phase(Angle phase);

    // The names of the first parameters, in index order, for a circuit that
    // came from a framework whose parameters have names (Qiskit): name i is
    // parameter i's. Empty for a circuit built otherwise, whose parameters
    // are known by index alone.
    const std::vector<std::string>& parameter_names() const noexcept { return parameter_names_; }
    // Names the parameters. The circuit then has at least that many
    // parameters, even those no gate reads (a Qiskit parameter may appear
    // only where the conversion drops it, and values still come one per
    // name).
    void set_parameter_names(std::vector<std::string> names);

    std::uint64_t num_qubits() const noexcept { return num_qubits_; }
    std::uint64_t num_params() const noexcept { return num_params_; }
    const std::vector<Gate>& gates() const noexcept { return gates_; }
    // The classical register the counts keys cover: none while nothing is
    // measured (every qubit is read then), else the measured bits' count or
    // the width declared with declare_clbits when that is larger.
    std::uint64_t num_clbits() const noexcept {
        return register_clbits(count_clbits(num_qubits_, gates_), declared_clbits_);
    }
    // Declares a register of at least `count` classical bits, as a Qiskit
    // circuit with bits no measurement writes has: counts keys then carry
    // those bits (as 0) the way Qiskit's do. Binding keeps it.
    void declare_clbits(std::uint64_t count) noexcept { declared_clbits_ = count; }

    // Binds every Param angle to values[index]. Safe to call concurrently.
    [[nodiscard]] std::expected<ConcreteCircuit, CircuitError> assign_parameters(
        std::span<const double> values) const;

    // OpenQASM 2.0 text with Param angles resolved against `values`.
    [[nodiscard]] std::expected<std::string, CircuitError> to_qasm2(std::span<const double> values) const;

    // QIR Base Profile module (LLVM IR text) with Param angles resolved
    // against `values`.
    [[nodiscard]] std::expected<std::string, CircuitError> to_qir(std::span<const double> values) const;

    // The same module assembled to bitcode by the external `llvm-as`; blocks
    // until the tool has finished.
    [[nodiscard]] std::expected<std::vector<std::uint8_t>, CircuitError> to_qir_bitcode(
        std::span<const double> values) const;

    // Reads OpenQASM 2.0 text.
    [[nodiscard]] static std::expected<ParameterizedCircuit, CircuitError> from_qasm2(std::string_view source);

private:
    void derive_measured_index();

    std::uint64_t num_qubits_;
    std::uint64_t num_params_ = 0;
    std::vector<Gate> gates_;
    Angle global_phase_ = Angle::fixed(0.0);
    std::vector<std::string> parameter_names_;
    std::uint64_t declared_clbits_ = 0;
    std::set<std::uint64_t> measured_qubits_;
    bool all_measured_ = false;
    bool measured_index_ready_ = false;
};

// A bound circuit: every angle Fixed and finite. Only assign_parameters (or a
// caller that upholds the same invariant) creates one.
class ConcreteCircuit {
public:
    ConcreteCircuit(std::uint64_t num_qubits, std::vector<Gate> gates, double global_phase = 0.0,
                    std::uint64_t declared_clbits = 0)
        : num_qubits_(num_qubits),
          gates_(std::move(gates)),
          global_phase_(global_phase),
          declared_clbits_(declared_clbits) {}

    std::uint64_t num_qubits() const noexcept { return num_qubits_; }
    const std::vector<Gate>& gates() const noexcept { return gates_; }
    double global_phase() const noexcept { return global_phase_; }
    std::uint64_t num_clbits() const noexcept {
        return register_clbits(count_clbits(num_qubits_, gates_), declared_clbits_);
    }

    // Cannot fail while the invariant holds; a violation is an internal fault.
    std::string to_qasm2() const;

private:
    std::uint64_t num_qubits_;
    std::vector<Gate> gates_;
    double global_phase_ = 0.0;
    std::uint64_t declared_clbits_ = 0;
};

}  // namespace morvane::circuit
