#include "circuit/qasm_gate_definition.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "circuit/qasm_expression.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

template <class T>
using Result = std::expected<T, Parse>;
using Status = std::expected<void, Parse>;

Parse at(const Token& token, std::string message) { return Parse{token.line, std::move(message)}; }

// A position a list holds twice, if any; sorts a copy, so a call with many
// qubits costs n log n.
std::optional<std::uint32_t> repeated(std::span<const std::uint32_t> positions) {
    std::vector<std::uint32_t> sorted(positions.begin(), positions.end());
    std::sort(sorted.begin(), sorted.end());
    const auto found = std::adjacent_find(sorted.begin(), sorted.end());
    if (found == sorted.end()) return std::nullopt;
    return *found;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                              : a + b;
}

// The statements of a program that a gate body cannot hold.
bool is_program_statement(std::string_view word) {
    return word == "qreg" || word == "creg" || word == "include" || word == "measure" ||
           word == "gate" || word == "opaque" || word == "reset" || word == "if" ||
           word == "OPENQASM";
}

// `name`, an optional parenthesised parameter list and the qubit arguments,
// shared by `gate` and `opaque`.
Result<GateDefinition> read_signature(TokenCursor& cur, const Token& keyword, GateOrigin origin) {
    auto name = cur.expect(TokenKind::Identifier, "a gate name");
    if (!name) return std::unexpected(name.error());
    if (is_program_statement((*name)->text) || (*name)->text == "barrier") {
        return std::unexpected(
            at(**name, concat("'", (*name)->text, "' is a statement keyword and cannot name a gate")));
    }
    GateDefinition def;
    def.name = (*name)->text;
    def.line = keyword.line;
    def.origin = origin;
    if (cur.at(TokenKind::LParen)) {
        cur.advance();
        while (!cur.at(TokenKind::RParen)) {
            auto param = cur.expect(TokenKind::Identifier, "a parameter name");
            if (!param) return std::unexpected(param.error());
            const std::string_view p = (*param)->text;
            if (is_expression_keyword(p)) {
                return std::unexpected(at(**param, concat("'", p, "' cannot name a parameter of gate '",
                                                          def.name, "': expressions use it")));
            }
            if (!def.param_index.emplace(p, def.params.size()).second) {
                return std::unexpected(at(
                    **param, concat("parameter '", p, "' of gate '", def.name, "' appears twice")));
            }
            def.params.push_back(p);
            if (cur.at(TokenKind::RParen)) break;
            if (auto comma = cur.expect(TokenKind::Comma, "',' or ')'"); !comma) {
                return std::unexpected(comma.error());
            }
        }
        cur.advance();
    }
    if (cur.at(TokenKind::LBrace) || cur.at(TokenKind::Semicolon)) {
        return std::unexpected(
            cur.error(concat("gate '", def.name, "' must act on at least one qubit")));
    }
    while (true) {
        auto qubit = cur.expect(TokenKind::Identifier, "a qubit argument name");
        if (!qubit) return std::unexpected(qubit.error());
        const std::string_view q = (*qubit)->text;
        if (def.param_index.contains(q)) {
            return std::unexpected(
                at(**qubit, concat("'", q, "' is already a parameter of gate '", def.name, "'")));
        }
        if (!def.qubit_index.emplace(q, static_cast<std::uint32_t>(def.qubits.size())).second) {
            return std::unexpected(at(
                **qubit, concat("qubit argument '", q, "' of gate '", def.name, "' appears twice")));
        }
        def.qubits.push_back(q);
        if (!cur.at(TokenKind::Comma)) break;
        cur.advance();
    }
    return def;
}

// A qubit argument inside the body of `def`: one of its own qubits, by name.
Result<std::uint32_t> body_qubit(TokenCursor& cur, const GateDefinition& def) {
    auto name = cur.expect(TokenKind::Identifier, "a qubit argument");
    if (!name) return std::unexpected(name.error());
    const std::string_view q = (*name)->text;
    if (cur.at(TokenKind::LBracket)) {
        return std::unexpected(cur.error(concat("the body of gate '", def.name,
                                                "' names its qubit argument '", q,
                                                "' without an index")));
    }
    if (const auto found = def.qubit_index.find(q); found != def.qubit_index.end()) {
        return found->second;
    }
    if (def.param_index.contains(q)) {
        return std::unexpected(
            at(**name, concat("'", q, "' is a parameter of gate '", def.name, "', not a qubit")));
    }
    return std::unexpected(at(**name, concat("'", q, "' is not a qubit argument of gate '",
                                             def.name, "'; a gate body acts only on its own qubits")));
}

// One statement of the body of `def`, appended to it.
Status body_statement(TokenCursor& cur, GateDefinition& def, const GateLookup& lookup) {
    auto name_token = cur.expect(TokenKind::Identifier, "a gate call or '}'");
    if (!name_token) return std::unexpected(name_token.error());
    const Token& name = **name_token;
    if (is_program_statement(name.text)) {
        return std::unexpected(at(name, concat("only gate calls and barriers can appear in a gate "
                                               "body, found '",
                                               name.text, "' in gate '", def.name, "'")));
    }
    BodyStatement statement;
    statement.line = name.line;
    const bool barrier = name.text == "barrier";
    if (!barrier && cur.at(TokenKind::LParen)) {
        cur.advance();
        while (!cur.at(TokenKind::RParen)) {
            const std::size_t start = cur.position();
            if (auto ok = check_parameter(cur, def.param_index); !ok) return ok;
            statement.params.push_back(cur.since(start));
            if (cur.at(TokenKind::RParen)) break;
            if (auto comma = cur.expect(TokenKind::Comma, "',' or ')'"); !comma) {
                return std::unexpected(comma.error());
            }
        }
        cur.advance();
    }
    while (true) {
        auto qubit = body_qubit(cur, def);
        if (!qubit) return std::unexpected(qubit.error());
        statement.qubits.push_back(*qubit);
        if (cur.at(TokenKind::Semicolon)) {
            cur.advance();
            break;
        }
        if (auto comma = cur.expect(TokenKind::Comma, "',' or ';'"); !comma) {
            return std::unexpected(comma.error());
        }
    }

    if (barrier) {
        def.expansion_size = saturating_add(def.expansion_size, statement.qubits.size());
        def.body.push_back(std::move(statement));
        return {};
    }
    if (name.text == def.name) {
        return std::unexpected(at(name, concat("gate '", def.name, "' cannot call itself")));
    }
    const GateDefinition* callee = lookup(name.text);
    if (callee == nullptr) {
        return std::unexpected(at(name, concat("undefined gate '", name.text, "' in the body of '",
                                               def.name,
                                               "'; a body can only call gates defined before it")));
    }
    if (auto ok = check_call_shape(*callee, name, statement.params.size(), statement.qubits.size());
        !ok) {
        return ok;
    }
    if (const auto twice = repeated(statement.qubits)) {
        return std::unexpected(at(name, concat("gate '", name.text, "' is given qubit argument '",
                                               def.qubits[*twice], "' twice")));
    }
    statement.callee = callee;
    def.expansion_size = saturating_add(def.expansion_size, callee->expansion_size);
    def.body.push_back(std::move(statement));
    return {};
}

}  // namespace

std::expected<void, Parse> check_call_shape(const GateDefinition& callee, const Token& name,
                                            std::size_t num_params, std::size_t num_qubits) {
    if (callee.origin == GateOrigin::Opaque) {
        return std::unexpected(at(name, concat("gate '", name.text, "' is opaque (declared at line ",
                                               callee.line,
                                               "): its effect is unknown, so it cannot be used")));
    }
    if (num_params != callee.params.size()) {
        return std::unexpected(at(name, concat("gate '", name.text, "' expects ",
                                               callee.params.size(), " parameter(s), found ",
                                               num_params)));
    }
    if (num_qubits != callee.qubits.size()) {
        return std::unexpected(at(name, concat("gate '", name.text, "' expects ",
                                               callee.qubits.size(), " argument(s), found ",
                                               num_qubits)));
    }
    return {};
}

std::expected<GateDefinition, Parse> read_gate_definition(TokenCursor& cursor,
                                                          const Token& keyword,
                                                          const GateLookup& lookup) {
    auto def = read_signature(cursor, keyword, GateOrigin::User);
    if (!def) return def;
    if (auto open = cursor.expect(TokenKind::LBrace); !open) return std::unexpected(open.error());
    while (!cursor.at(TokenKind::RBrace)) {
        if (auto ok = body_statement(cursor, *def, lookup); !ok) return std::unexpected(ok.error());
    }
    cursor.advance();
    return def;
}

std::expected<GateDefinition, Parse> read_opaque_declaration(TokenCursor& cursor,
                                                             const Token& keyword) {
    auto def = read_signature(cursor, keyword, GateOrigin::Opaque);
    if (!def) return def;
    if (auto end = cursor.expect(TokenKind::Semicolon, "',' or ';'"); !end) {
        return std::unexpected(end.error());
    }
    return def;
}

std::expected<void, Parse> expand_gate_body(const GateDefinition& definition,
                                            std::span<const double> params,
                                            std::span<const std::uint64_t> qubits,
                                            std::vector<Gate>& out) {
    struct Frame {
        const GateDefinition* def;
        std::size_t next;
        std::vector<double> params;
        std::vector<std::uint64_t> qubits;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{&definition, 0, {params.begin(), params.end()},
                          {qubits.begin(), qubits.end()}});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.def->body.size()) {
            stack.pop_back();
            continue;
        }
        const BodyStatement& statement = frame.def->body[frame.next++];
        std::vector<std::uint64_t> actual(statement.qubits.size());
        for (std::size_t i = 0; i < actual.size(); ++i) {
            actual[i] = frame.qubits[statement.qubits[i]];
        }
        if (statement.callee == nullptr) {
            out.push_back(Gate::barrier(std::move(actual)));
            continue;
        }
        std::vector<double> values;
        values.reserve(statement.params.size());
        for (std::span<const Token> expression : statement.params) {
            TokenCursor cursor(expression);
            auto value = parse_parameter(cursor, &frame.def->param_index, frame.params);
            if (!value) {
                return std::unexpected(Parse{value.error().line,
                                             concat("in gate '", frame.def->name, "': ",
                                                    value.error().message)});
            }
            values.push_back(*value);
        }
        const GateDefinition& callee = *statement.callee;
        if (callee.kind) {
            std::array<Angle, 4> angles{};
            for (std::size_t i = 0; i < values.size(); ++i) angles[i] = Angle::fixed(values[i]);
            out.push_back(Gate::make(*callee.kind, actual, std::span(angles).first(values.size())));
            continue;
        }
        // `frame` dangles once the stack grows.
        stack.push_back(Frame{&callee, 0, std::move(values), std::move(actual)});
    }
    return {};
}

}  // namespace morvane::circuit
