#include "circuit/qasm_writer.hpp"

#include <array>

#include "circuit/angle_resolution.hpp"
#include "circuit/angle_text.hpp"
#include "circuit/gate_catalogue.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

class Writer {
public:
    Writer(std::uint64_t num_qubits, std::uint64_t num_clbits, std::span<const double> values)
        : num_qubits_(num_qubits), num_clbits_(num_clbits), values_(values) {}

    std::expected<void, CircuitError> header(std::span<const Gate> gates) {
        out_ += "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";
        // Gates outside qelib1.inc are declared before the registers, once
        // each, in order of first use, as Qiskit's exporter declares them.
        std::array<bool, GATE_KIND_COUNT> declared{};
        for (const Gate& g : gates) {
            const std::string_view definition = qasm_definition(g.kind);
            auto& done = declared[static_cast<std::size_t>(g.kind)];
            if (definition.empty() || done) continue;
            done = true;
            out_ += definition;
            out_ += '\n';
        }
        if (num_qubits_ > 0) out_ += concat("qreg q[", num_qubits_, "];\n");
        if (num_clbits_ > 0) out_ += concat("creg c[", num_clbits_, "];\n");
        return {};
    }

    std::expected<void, CircuitError> gate(const Gate& g) {
        // Resolve every angle before writing anything for this gate, so a
        // failure never leaves half a line behind (the caller drops the text
        // anyway, but the writer stays simple to reason about).
        auto resolved = resolve_gate_angles(g, values_);
        if (!resolved) return std::unexpected(resolved.error());
        const std::array<double, 4>& angles = *resolved;

        switch (g.kind) {
            case GateKind::Barrier: barrier(g); return {};
            case GateKind::Measure:
                measure(g.q0, g.cbit);
                return {};
            case GateKind::MeasureAll: measure_all(); return {};
            default: {
                // Every gate: its OpenQASM name, angles, then qubits.
                const GateInfo& info = gate_info(g.kind);
                if (info.num_qubits == 0) return {};  // a global phase has no text
                out_ += info.qasm_name;
                if (info.num_angles > 0) {
                    angle_list(angles, info.num_angles);
                } else {
                    out_ += ' ';
                }
                for (std::size_t i = 0; i < info.num_qubits; ++i) {
                    if (i > 0) out_ += ',';
                    qubit(g.qubit(i));
                }
                break;
            }
        }
        out_ += ";\n";
        return {};
    }

    std::string take() { return std::move(out_); }

private:
    void qubit(std::uint64_t q) { out_ += concat("q[", q, "]"); }

    // "(A) " or "(A,B,C) ": the space separates the parameters from the operands.
    void angle_list(const std::array<double, 4>& angles, std::size_t count) {
        out_ += '(';
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out_ += ',';
            append_angle_text(out_, angles[i]);
        }
        out_ += ") ";
    }

    void barrier(const Gate& g) {
        if (g.barrier_qubits.empty()) {
            // Without qubits there is no register to name; a barrier over
            // nothing is no instruction at all.
            if (num_qubits_ > 0) out_ += "barrier q;\n";
            return;
        }
        out_ += "barrier ";
        for (std::size_t i = 0; i < g.barrier_qubits.size(); ++i) {
            if (i > 0) out_ += ',';
            qubit(g.barrier_qubits[i]);
        }
        out_ += ";\n";
    }

    void measure(std::uint64_t q, std::uint64_t cbit) {
        out_ += concat("measure q[", q, "] -> c[", cbit, "];\n");
    }

    void measure_all() {
        // A zero-qubit circuit declares neither register, so the whole-register
        // form would name registers that do not exist; it measures nothing.
        if (num_qubits_ == 0) return;
        if (num_qubits_ == num_clbits_) {
            out_ += "measure q -> c;\n";
            return;
        }
        for (std::uint64_t i = 0; i < num_qubits_; ++i) measure(i, i);
    }

    std::uint64_t num_qubits_;
    std::uint64_t num_clbits_;
    std::span<const double> values_;
    std::string out_;
};

}  // namespace

std::expected<std::string, CircuitError> write_qasm2(std::uint64_t num_qubits,
                                                     std::uint64_t num_clbits,
                                                     std::span<const Gate> gates,
                                                     std::span<const double> values) {
    Writer writer(num_qubits, num_clbits, values);
    if (auto ok = writer.header(gates); !ok) return std::unexpected(ok.error());
    for (const Gate& gate : gates) {
        if (auto ok = writer.gate(gate); !ok) return std::unexpected(ok.error());
    }
    return writer.take();
}

}  // namespace morvane::circuit
