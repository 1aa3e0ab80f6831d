#include "circuit/qiskit_import.hpp"

#include <array>
#include <string>
#include <unordered_set>

#include "support/text.hpp"

namespace morvane::circuit::qiskit {

namespace {

struct NamedRefusal {
    std::string_view name;
    std::string_view why;
};

constexpr std::array REFUSED = {
    NamedRefusal{"reset", "reset is not supported; morvane circuits start every qubit in |0> "
                          "and cannot return one to it mid-circuit"},
    NamedRefusal{"if_else", CONTROL_FLOW_REFUSAL},
    NamedRefusal{"while_loop", CONTROL_FLOW_REFUSAL},
    NamedRefusal{"for_loop", CONTROL_FLOW_REFUSAL},
    NamedRefusal{"switch_case", CONTROL_FLOW_REFUSAL},
    NamedRefusal{"break_loop", CONTROL_FLOW_REFUSAL},
    NamedRefusal{"continue_loop", CONTROL_FLOW_REFUSAL},
    NamedRefusal{"box", CONTROL_FLOW_REFUSAL},
};

// Qiskit's spelling of the ops an angle cannot express, for the message.
std::string_view unsupported_op_name(ExpressionOp op) noexcept {
    switch (op) {
        case ExpressionOp::Asin: return "arcsin()";
        case ExpressionOp::Acos: return "arccos()";
        case ExpressionOp::Atan: return "arctan()";
        case ExpressionOp::Sign: return "sign()";
        case ExpressionOp::Abs: return "abs()";
        case ExpressionOp::Conjugate: return "conjugate()";
        case ExpressionOp::Gradient: return "gradient()";
        case ExpressionOp::Substitute: return "subs()";
        default: return "an unknown operation";
    }
}

}  // namespace

std::optional<std::string_view> refusal_reason(std::string_view name) noexcept {
    for (const NamedRefusal& refused : REFUSED) {
        if (refused.name == name) return refused.why;
    }
    return std::nullopt;
}

bool is_dropped(std::string_view name) noexcept { return name == "delay"; }

std::optional<std::size_t> expression_op_arity(int op) noexcept {
    if (op < 0 || op > static_cast<int>(ExpressionOp::RPow)) return std::nullopt;
    switch (static_cast<ExpressionOp>(op)) {
        case ExpressionOp::Add:
        case ExpressionOp::Sub:
        case ExpressionOp::Mul:
        case ExpressionOp::Div:
        case ExpressionOp::Pow:
        case ExpressionOp::Gradient:
        case ExpressionOp::Substitute:
        case ExpressionOp::RSub:
        case ExpressionOp::RDiv:
        case ExpressionOp::RPow: return 2;
        default: return 1;
    }
}

std::string unknown_expression_op(long op) {
    // Built piece by piece: GCC 12 misreads concat() with a long here as an
    // overlapping copy (-Wrestrict).
    std::string out = "a parameter expression uses operation code ";
    out += std::to_string(op);
    out += ", which this converter does not know";
    return out;
}

std::expected<Angle, std::string> apply_expression_op(int op, const Angle& lhs, const Angle& rhs) {
    if (!expression_op_arity(op)) return std::unexpected(unknown_expression_op(op));
    const auto code = static_cast<ExpressionOp>(op);
    switch (code) {
        case ExpressionOp::Add: return lhs + rhs;
        case ExpressionOp::Sub: return lhs - rhs;
        case ExpressionOp::Mul: return lhs * rhs;
        case ExpressionOp::Div: return lhs / rhs;
        case ExpressionOp::Pow: return pow(lhs, rhs);
        case ExpressionOp::RSub: return rhs - lhs;
        case ExpressionOp::RDiv: return rhs / lhs;
        case ExpressionOp::RPow: return pow(rhs, lhs);
        case ExpressionOp::Sin: return apply(AngleOp::Sin, lhs);
        case ExpressionOp::Cos: return apply(AngleOp::Cos, lhs);
        case ExpressionOp::Tan: return apply(AngleOp::Tan, lhs);
        case ExpressionOp::Exp: return apply(AngleOp::Exp, lhs);
        case ExpressionOp::Log: return apply(AngleOp::Ln, lhs);
        default:
            return std::unexpected(concat(
                "a parameter expression uses ", unsupported_op_name(code),
                ", which a morvane angle cannot express (supported: +, -, *, /, **, sin, cos, "
                "tan, exp, log, sqrt as ** 0.5); bind that parameter before converting"));
    }
}

std::string instruction_refusal(std::size_t position, std::span<const std::string> names,
                                std::string_view why) {
    std::string out = concat("instruction ", position, " (");
    for (std::size_t i = 0; i < names.size(); ++i) {
        out.append(i == 0 ? "'" : " > '").append(names[i]).push_back('\'');
    }
    out.append("): ").append(why);
    return out;
}

std::optional<std::vector<Gate>> last_measurement_per_clbit(std::span<const Gate> gates) {
    std::unordered_set<std::uint64_t> written;
    std::vector<bool> kept(gates.size(), true);
    bool dropped = false;
    for (std::size_t i = gates.size(); i-- > 0;) {
        if (gates[i].kind != GateKind::Measure) continue;
        if (!written.insert(gates[i].cbit).second) {
            kept[i] = false;
            dropped = true;
        }
    }
    if (!dropped) return std::nullopt;
    std::vector<Gate> out;
    out.reserve(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) {
        if (kept[i]) out.push_back(gates[i]);
    }
    return out;
}

}  // namespace morvane::circuit::qiskit
