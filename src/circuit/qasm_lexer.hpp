#pragma once

#include <expected>
#include <string_view>
#include <vector>

#include "circuit/circuit_error.hpp"
#include "circuit/qasm_token.hpp"

namespace morvane::circuit {

// Splits a whole OpenQASM program into tokens before any parsing, so a bad
// character is reported wherever it is, even after a statement the parser
// would have refused. The text is UTF-8: any Unicode white space separates
// tokens, only line feeds count lines, and a byte sequence that is not valid
// UTF-8 reads as U+FFFD (an unexpected character outside comments and strings).
[[nodiscard]] std::expected<std::vector<Token>, Parse> lex_qasm(std::string_view source);

}  // namespace morvane::circuit
