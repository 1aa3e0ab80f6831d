#include "circuit/qir_writer.hpp"

#include <bit>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>

#include "circuit/angle_resolution.hpp"
#include "circuit/gate_catalogue.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

constexpr std::string_view MEASURE = "__quantum__qis__mz__body";
constexpr std::string_view ARRAY_OUTPUT = "__quantum__rt__array_record_output";
constexpr std::string_view RESULT_OUTPUT = "__quantum__rt__result_record_output";

// Address 0 is written as a null pointer, every other one as an integer cast;
// this is how static qubit and result allocation is spelled in the profile.
std::string pointer_operand(std::string_view type, std::uint64_t index) {
    if (index == 0) return concat("%", type, "* null");
    return concat("%", type, "* inttoptr (i64 ", index, " to %", type, "*)");
}

std::string qubit_operand(std::uint64_t qubit) { return pointer_operand("Qubit", qubit); }
std::string result_operand(std::uint64_t bit) { return pointer_operand("Result", bit); }

// LLVM's exact spelling of a double: the IEEE bit pattern in hexadecimal, so
// the value round-trips without any decimal rounding.
std::string angle_operand(double value) {
    constexpr char DIGITS[] = "0123456789ABCDEF";
    const auto bits = std::bit_cast<std::uint64_t>(value);
    std::string text = "0x";
    for (int shift = 60; shift >= 0; shift -= 4) text += DIGITS[(bits >> shift) & 0xF];
    return text;
}

// Single-qubit intrinsic names, indexed by GateKind for the first eight kinds.
constexpr std::string_view H = "__quantum__qis__h__body";
constexpr std::string_view RX = "__quantum__qis__rx__body";
constexpr std::string_view RY = "__quantum__qis__ry__body";
constexpr std::string_view RZ = "__quantum__qis__rz__body";
constexpr std::string_view CNOT = "__quantum__qis__cnot__body";
constexpr std::string_view CZ = "__quantum__qis__cz__body";

// Terminal measurement: after a qubit is measured only barriers and further
// measurements may name it, and nothing but those may follow a MeasureAll.
std::expected<void, CircuitError> check_terminal_measurement(std::span<const Gate> gates) {
    std::unordered_set<std::uint64_t> measured;
    bool all_measured = false;
    for (const Gate& gate : gates) {
        if (gate.kind == GateKind::Measure) {
            measured.insert(gate.q0);
            continue;
        }
        if (gate.kind == GateKind::MeasureAll) {
            all_measured = true;
            continue;
        }
        if (!acts_on_qubits(gate.kind)) continue;
        if (all_measured) return std::unexpected(QubitAlreadyMeasured{gate.q0});
        for (std::size_t i = 0; i < gate.num_qubit_fields(); ++i) {
            if (measured.contains(gate.qubit(i))) {
                return std::unexpected(QubitAlreadyMeasured{gate.qubit(i)});
            }
        }
    }
    return {};
}

class Body {
public:
    Body(std::uint64_t num_qubits, std::span<const double> values)
        : num_qubits_(num_qubits), values_(values) {}

    std::expected<void, CircuitError> gate(const Gate& g) {
        // Resolution follows the field order (theta, phi, lam), which is not
        // the order u3's rotations are emitted in; the first bad angle in
        // field order is the one reported.
        auto resolved = resolve_gate_angles(g, values_);
        if (!resolved) return std::unexpected(resolved.error());
        const std::array<double, 4>& angles = *resolved;
        const double theta = angles[0];
        const std::uint64_t a = g.q0;
        const std::uint64_t b = g.q1;

        switch (g.kind) {
            case GateKind::H:
            case GateKind::X:
            case GateKind::Y:
            case GateKind::Z:
            case GateKind::S:
            case GateKind::T:
            case GateKind::Sdg:
            case GateKind::Tdg: one_qubit(gate_info(g.kind).qir_intrinsic, a); break;
            case GateKind::Rx: rotation(RX, theta, a); break;
            case GateKind::Ry: rotation(RY, theta, a); break;
            case GateKind::Rz: rotation(RZ, theta, a); break;
            case GateKind::Cx: two_qubit(CNOT, a, b); break;
            case GateKind::Cz: two_qubit(CZ, a, b); break;
            case GateKind::Swap:
                two_qubit(CNOT, a, b);
                two_qubit(CNOT, b, a);
                two_qubit(CNOT, a, b);
                break;
            case GateKind::Rzz:
                two_qubit(CNOT, a, b);
                rotation(RZ, theta, b);
                two_qubit(CNOT, a, b);
                break;
            case GateKind::Rxx:
                // Conjugating by H on both qubits turns XX into ZZ.
                one_qubit(H, a);
                one_qubit(H, b);
                two_qubit(CNOT, a, b);
                rotation(RZ, theta, b);
                two_qubit(CNOT, a, b);
                one_qubit(H, a);
                one_qubit(H, b);
                break;
            case GateKind::Cp:
                rotation(RZ, theta * 0.5, a);
                two_qubit(CNOT, a, b);
                rotation(RZ, theta * -0.5, b);
                two_qubit(CNOT, a, b);
                rotation(RZ, theta * 0.5, b);
                break;
            case GateKind::U:
                // u3(theta, phi, lam) = rz(phi) ry(theta) rz(lam): the
                // rightmost factor acts first.
                rotation(RZ, angles[2], a);
                rotation(RY, theta, a);
                rotation(RZ, angles[1], a);
                break;
            case GateKind::Barrier: break;
            case GateKind::Measure: records_[g.cbit] = a; break;
            case GateKind::MeasureAll:
                for (std::uint64_t q = 0; q < num_qubits_; ++q) records_[q] = q;
                break;
            default: {
                // Every later gate is outside the base profile: its exact
                // decomposition, whose global phase QIR cannot express.
                const auto decomposition =
                    decompose(g, std::span<const double>(angles).first(g.num_angles()));
                if (!decomposition) {
                    internal_fault(concat(g.debug_string(), " has no decomposition for QIR"));
                }
                for (const Gate& part : decomposition->gates) {
                    if (auto ok = gate(part); !ok) return ok;
                }
                break;
            }
        }
        return {};
    }

    // The deferred measurements and their output recording.
    void measurements() {
        if (records_.empty()) return;
        for (const auto& [bit, qubit] : records_) {
            lines_ += concat("  call void @", MEASURE, "(", qubit_operand(qubit), ", ",
                             result_operand(bit), ")\n");
        }
        declarations_.insert(concat("declare void @", MEASURE, "(%Qubit*, %Result*) #1"));
        lines_ += concat("  call void @", ARRAY_OUTPUT, "(i64 ", records_.size(), ", i8* null)\n");
        declarations_.insert(concat("declare void @", ARRAY_OUTPUT, "(i64, i8*)"));
        for (const auto& record : records_) {
            lines_ += concat("  call void @", RESULT_OUTPUT, "(", result_operand(record.first),
                             ", i8* null)\n");
        }
        declarations_.insert(concat("declare void @", RESULT_OUTPUT, "(%Result*, i8*)"));
    }

    bool measures() const { return !records_.empty(); }
    const std::string& lines() const { return lines_; }
    // std::set orders std::string by unsigned byte comparison.
    const std::set<std::string>& declarations() const { return declarations_; }

private:
    void one_qubit(std::string_view f, std::uint64_t q) {
        lines_ += concat("  call void @", f, "(", qubit_operand(q), ")\n");
        declarations_.insert(concat("declare void @", f, "(%Qubit*)"));
    }

    void rotation(std::string_view f, double angle, std::uint64_t q) {
        lines_ +=
            concat("  call void @", f, "(double ", angle_operand(angle), ", ", qubit_operand(q),
                   ")\n");
        declarations_.insert(concat("declare void @", f, "(double, %Qubit*)"));
    }

    void two_qubit(std::string_view f, std::uint64_t q0, std::uint64_t q1) {
        lines_ += concat("  call void @", f, "(", qubit_operand(q0), ", ", qubit_operand(q1),
                         ")\n");
        declarations_.insert(concat("declare void @", f, "(%Qubit*, %Qubit*)"));
    }

    std::uint64_t num_qubits_;
    std::span<const double> values_;
    std::string lines_;
    std::set<std::string> declarations_;
    // Classical bit -> measured qubit; a later measurement into the same bit
    // replaces the earlier one, since only the last write survives.
    std::map<std::uint64_t, std::uint64_t> records_;
};

}  // namespace

std::expected<std::string, CircuitError> write_qir(std::uint64_t num_qubits,
                                                   std::uint64_t num_clbits,
                                                   std::span<const Gate> gates,
                                                   std::span<const double> values) {
    if (auto ok = check_terminal_measurement(gates); !ok) return std::unexpected(ok.error());

    Body body(num_qubits, values);
    for (const Gate& gate : gates) {
        if (auto ok = body.gate(gate); !ok) return std::unexpected(ok.error());
    }
    body.measurements();

    std::string out =
        "; ModuleID = 'morvane'\n"
        "source_filename = \"morvane\"\n"
        "\n"
        "%Qubit = type opaque\n"
        "%Result = type opaque\n"
        "\n"
        "define void @main() #0 {\n"
        "entry:\n";
    out += body.lines();
    out += "  ret void\n}\n\n";
    for (const std::string& declaration : body.declarations()) {
        out += declaration;
        out += '\n';
    }
    out += concat("\nattributes #0 = { \"entry_point\" \"output_labeling_schema\" "
                  "\"qir_profiles\"=\"base_profile\" \"required_num_qubits\"=\"",
                  num_qubits, "\" \"required_num_results\"=\"", num_clbits, "\" }\n");
    if (body.measures()) out += "attributes #1 = { \"irreversible\" }\n";
    out +=
        "\n"
        "!llvm.module.flags = !{!0, !1, !2, !3}\n"
        "\n"
        "!0 = !{i32 1, !\"qir_major_version\", i32 1}\n"
        "!1 = !{i32 7, !\"qir_minor_version\", i32 0}\n"
        "!2 = !{i32 1, !\"dynamic_qubit_management\", i1 false}\n"
        "!3 = !{i32 1, !\"dynamic_result_management\", i1 false}\n";
    return out;
}

}  // namespace morvane::circuit
