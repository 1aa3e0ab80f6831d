#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"
#include "circuit/qasm_expression.hpp"
#include "circuit/qasm_token.hpp"

namespace morvane::circuit {

struct GateDefinition;

// One statement of a gate body: a call of a gate defined earlier, or a barrier.
struct BodyStatement {
    const GateDefinition* callee = nullptr;  // nullptr for a barrier
    // Each argument expression's tokens; its identifiers name the enclosing
    // gate's parameters, so it is evaluated again at every call.
    std::vector<std::span<const Token>> params;
    // Positions among the enclosing gate's qubit arguments, all distinct.
    std::vector<std::uint32_t> qubits;
    std::uint64_t line = 0;
};

// Where a callable gate name comes from; it decides whether a program may
// define the name again.
enum class GateOrigin : std::uint8_t {
    Builtin,  // U and CX: never redefined
    Qelib1,   // qelib1.inc as published with OpenQASM 2: fixed once included
    Legacy,   // the gates Qiskit's reader adds to qelib1.inc: a program may
              // define them again with the same signature
    User,     // a `gate` statement of the program
    Opaque,   // an `opaque` declaration: a name without an effect
};

// A gate an OpenQASM 2 program can call.
struct GateDefinition {
    std::string_view name;
    std::uint64_t line = 0;
    GateOrigin origin = GateOrigin::User;
    // A catalogue gate: a call emits this kind instead of expanding the body.
    std::optional<GateKind> kind;
    std::vector<std::string_view> params;
    std::vector<std::string_view> qubits;
    // The same names by position, for lookups that stay cheap however long
    // a hostile signature is.
    ParameterIndex param_index;
    std::unordered_map<std::string_view, std::uint32_t> qubit_index;
    std::vector<BodyStatement> body;
    // Instructions one call emits, counting a barrier once per qubit as the
    // importer's instruction budget does; saturates at UINT64_MAX. Known when
    // the definition is read, so a definition too large to expand is refused
    // before anything is expanded.
    std::uint64_t expansion_size = 0;
};

// The gate a name calls at this point of the program, or nullptr.
using GateLookup = std::function<const GateDefinition*(std::string_view)>;

// Reads `name(params) qubits { body }` after the `gate` keyword. A body holds
// calls and barriers on the gate's own qubits, by name; a call resolves
// through `lookup`, so it can only reach gates defined before this one, and
// is checked (defined, not opaque, not this gate, parameter and qubit counts,
// distinct qubits, expression syntax) here rather than at each use.
[[nodiscard]] std::expected<GateDefinition, Parse> read_gate_definition(
    TokenCursor& cursor, const Token& keyword, const GateLookup& lookup);

// Whether a call named by `name` with this many parameters and qubits can
// use `callee`: not opaque, and the counts match.
[[nodiscard]] std::expected<void, Parse> check_call_shape(const GateDefinition& callee,
                                                          const Token& name,
                                                          std::size_t num_params,
                                                          std::size_t num_qubits);

// Reads `name(params) qubits;` after the `opaque` keyword.
[[nodiscard]] std::expected<GateDefinition, Parse> read_opaque_declaration(TokenCursor& cursor,
                                                                           const Token& keyword);

// Appends the instructions of a call of `definition`'s body with the
// parameters and qubits bound, expanding nested calls down to catalogue
// gates. A body expression that divides by zero or is not finite for these
// values fails with its line in the body. Iterative: the depth of nesting
// costs heap, not stack.
[[nodiscard]] std::expected<void, Parse> expand_gate_body(const GateDefinition& definition,
                                                          std::span<const double> params,
                                                          std::span<const std::uint64_t> qubits,
                                                          std::vector<Gate>& out);

}  // namespace morvane::circuit
