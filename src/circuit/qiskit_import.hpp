#pragma once

// What converting a Qiskit circuit decides without looking at a Python
// object: which instructions are refused or dropped by name, how deep
// definitions may nest, how the operations of Qiskit's parameter expressions
// become angle arithmetic, and how a refusal names its instruction. The
// Python layer walks the objects and asks these rules.

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/angle.hpp"
#include "circuit/gate.hpp"

namespace morvane::circuit::qiskit {

// Definitions nested deeper than this are refused. Qiskit's own library
// nests a few levels (a multi-controlled gate expands through a handful);
// anything near this depth is a definition that contains itself.
inline constexpr std::size_t MAX_DEFINITION_DEPTH = 64;

// Parameter expressions whose operands nest deeper than this are refused, so
// that reading one can never exhaust the stack.
inline constexpr std::size_t MAX_EXPRESSION_DEPTH = 256;

// Why control flow (if_else, for_loop, while_loop, switch_case, box, ...)
// is refused, whatever the instruction's name.
inline constexpr std::string_view CONTROL_FLOW_REFUSAL =
    "classical control flow cannot be converted; morvane circuits are a fixed sequence of gates "
    "with terminal measurements";

// Why an instruction of this name cannot be converted, or nothing when its
// name alone does not refuse it: reset, and the control-flow instructions.
std::optional<std::string_view> refusal_reason(std::string_view name) noexcept;

// Whether an instruction of this name is left out: `delay`, which only waits
// and does nothing to an ideal state.
bool is_dropped(std::string_view name) noexcept;

// A classical bit that several measurements write holds, in Qiskit, what the
// last of them wrote; a morvane circuit ORs them. The gates with only the
// last measurement into each bit kept, or nothing when no bit is written
// twice. Measurements are terminal, so the qubits whose measurement is
// dropped are merely not read, as in Qiskit.
std::optional<std::vector<Gate>> last_measurement_per_clbit(std::span<const Gate> gates);

// Qiskit's numbering of a ParameterExpression's operations (its OpCode, the
// `op` of each entry of `_qpy_replay`).
enum class ExpressionOp : int {
    Add = 0, Sub = 1, Mul = 2, Div = 3, Pow = 4,
    Sin = 5, Cos = 6, Tan = 7, Asin = 8, Acos = 9, Exp = 10, Log = 11,
    Sign = 12, Gradient = 13, Conjugate = 14, Substitute = 15, Abs = 16, Atan = 17,
    RSub = 18, RDiv = 19, RPow = 20,
};

// How many operands the op takes: 2 or 1; nothing for a number that is not
// an op of Qiskit's.
std::optional<std::size_t> expression_op_arity(int op) noexcept;

// The refusal of an op number Qiskit's numbering does not have.
std::string unknown_expression_op(long op);

// The op applied as Qiskit's replay applies it: a binary op to (lhs, rhs)
// where lhs was pushed first, the reversed ones (RSub, RDiv, RPow) giving
// rhs - lhs, rhs / lhs, rhs ** lhs; a unary op to lhs (`rhs` unused). An op
// an angle cannot express (abs, sign, arcsin, ...) is an error saying so.
[[nodiscard]] std::expected<Angle, std::string> apply_expression_op(int op, const Angle& lhs,
                                                                    const Angle& rhs);

// A refusal's text: "instruction 5 ('reset'): <why>", and for an instruction
// met inside definitions, the chain of names from the one in qc.data down:
// "instruction 2 ('initialize' > 'reset'): <why>".
std::string instruction_refusal(std::size_t position, std::span<const std::string> names,
                                std::string_view why);

}  // namespace morvane::circuit::qiskit
