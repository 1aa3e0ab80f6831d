#pragma once

#include <expected>

#include "circuit/circuit_error.hpp"
#include "circuit/qasm_token.hpp"

namespace morvane::circuit {

// Reads one gate parameter at the cursor and evaluates it. Parameters are
// constant expressions: numbers, pi, + - * / ^ (right-associative, binding
// tighter than unary minus), parentheses and sin, cos, tan, exp, ln, sqrt.
// Nesting is bounded by MAX_EXPRESSION_DEPTH so hostile input cannot exhaust
// the stack. Intermediate infinities and NaNs are allowed; the final value
// must be finite.
[[nodiscard]] std::expected<double, Parse> parse_parameter(TokenCursor& cursor);

}  // namespace morvane::circuit
