#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>
#include <unordered_map>

#include "circuit/circuit_error.hpp"
#include "circuit/qasm_token.hpp"

namespace morvane::circuit {

// A gate's formal parameters by name, with their positions.
using ParameterIndex = std::unordered_map<std::string_view, std::size_t>;

// Reads one gate parameter at the cursor and evaluates it. Parameters are
// constant expressions: numbers, pi, + - * / ^ (right-associative, binding
// tighter than unary minus), parentheses and sin, cos, tan, exp, ln, sqrt.
// Nesting is bounded by MAX_EXPRESSION_DEPTH so hostile input cannot exhaust
// the stack. Intermediate infinities and NaNs are allowed; the final value
// must be finite.
//
// Inside a gate body an expression may also name the gate's formal
// parameters; `names` maps them to positions in the call's `values`.
[[nodiscard]] std::expected<double, Parse> parse_parameter(TokenCursor& cursor,
                                                           const ParameterIndex* names = nullptr,
                                                           std::span<const double> values = {});

// Reads a gate body's expression without values for the parameters, to
// refuse bad syntax and unknown names where the definition is, not at a call.
// A division by a literal zero is refused here too: it fails for any values.
[[nodiscard]] std::expected<void, Parse> check_parameter(TokenCursor& cursor,
                                                        const ParameterIndex& names);

// Whether a name is part of the expression grammar (pi and the functions),
// so it cannot name a gate parameter.
bool is_expression_keyword(std::string_view name) noexcept;

}  // namespace morvane::circuit
