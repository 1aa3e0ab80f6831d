#include "circuit/qasm_import.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "circuit/gate_catalogue.hpp"
#include "circuit/qasm_expression.hpp"
#include "circuit/qasm_gate_definition.hpp"
#include "circuit/qasm_gate_library.hpp"
#include "circuit/qasm_lexer.hpp"
#include "circuit/qasm_token.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

enum class RegisterKind : std::uint8_t { Quantum, Classical };

struct Register {
    std::string_view name;
    std::uint64_t offset;
    std::uint64_t size;
};

// A resolved operand: one flat index, or a whole register's indices
// first .. first + size - 1. Kept as a range so broadcasting over a large
// register never materialises its index list.
struct Operand {
    std::uint64_t first;
    std::uint64_t size;
    bool whole;
};

// The catalogue gate whose exported definition the tokens spell exactly.
std::optional<GateKind> recognised_definition(std::string_view name,
                                              std::span<const Token> tokens) {
    for (const GateInfo& info : gate_catalogue()) {
        if (info.qasm_name != name) continue;
        const std::string_view text = qasm_definition(info.kind);
        if (text.empty()) return std::nullopt;
        const auto expected = lex_qasm(text);
        if (!expected || expected->size() != tokens.size()) return std::nullopt;
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if ((*expected)[i].kind != tokens[i].kind || (*expected)[i].text != tokens[i].text) {
                return std::nullopt;
            }
        }
        return info.kind;
    }
    return std::nullopt;
}

template <class T>
using Result = std::expected<T, Parse>;
using Status = std::expected<void, Parse>;

class Importer {
public:
    Importer(std::span<const Token> tokens, const QasmImportOptions& options)
        : cur_(tokens), options_(options) {}

    Result<ParameterizedCircuit> run() {
        if (auto ok = header(); !ok) return std::unexpected(ok.error());
        while (!cur_.at_end()) {
            if (auto ok = statement(); !ok) return std::unexpected(ok.error());
        }
        return ParameterizedCircuit::from_validated_gates(total_[0], canonical_gates());
    }

private:
    static std::size_t kind_slot(RegisterKind kind) {
        return kind == RegisterKind::Quantum ? 0 : 1;
    }

    Status header() {
        if (cur_.at_end()) return std::unexpected(cur_.unexpected("'OPENQASM'"));
        const Token& first = cur_.peek();
        if (first.kind != TokenKind::Identifier) {
            return std::unexpected(cur_.unexpected("'OPENQASM'"));
        }
        if (first.text != "OPENQASM") {
            return std::unexpected(
                cur_.error(concat("expected 'OPENQASM 2.0;' header, found '", first.text, "'")));
        }
        cur_.advance();
        if (cur_.at_end()) return std::unexpected(cur_.unexpected("version number"));
        const Token& version = cur_.peek();
        const bool supported = (version.kind == TokenKind::Integer && version.integer == 2) ||
                               (version.kind == TokenKind::Real && version.real == 2.0);
        if (!supported) {
            return std::unexpected(cur_.error("only OpenQASM version 2.0 is supported"));
        }
        cur_.advance();
        return expect_semicolon();
    }

    Status expect_semicolon() {
        if (auto t = cur_.expect(TokenKind::Semicolon); !t) return std::unexpected(t.error());
        return {};
    }

    Status statement() {
        if (!cur_.at(TokenKind::Identifier)) return std::unexpected(cur_.unexpected("a statement"));
        const Token& keyword = cur_.advance();
        const std::string_view word = keyword.text;
        if (word == "qreg") return declaration(keyword, RegisterKind::Quantum);
        if (word == "creg") return declaration(keyword, RegisterKind::Classical);
        if (word == "include") return include();
        if (word == "measure") return measure();
        if (word == "barrier") return barrier(keyword);
        if (word == "gate") return gate_definition(keyword);
        if (word == "opaque") return opaque_declaration(keyword);
        if (word == "reset") return fail(keyword, "'reset' is not supported");
        if (word == "if") return fail(keyword, "'if' statements are not supported");
        return application(keyword);
    }

    static Status fail(const Token& at, std::string message) {
        return std::unexpected(Parse{at.line, std::move(message)});
    }

    // Only qelib1.inc has a meaning; its gates are callable without it too, as
    // they always were here, and other file names are read past. Including it
    // fixes its names, so it conflicts with a program's own gate of such a name.
    Status include() {
        auto name = cur_.expect(TokenKind::String, "file name");
        if (!name) return std::unexpected(name.error());
        if (auto ok = expect_semicolon(); !ok) return ok;
        // Once included, its names cannot be defined, so one check suffices.
        if ((*name)->text != "qelib1.inc" || qelib1_included_) return {};
        for (const GateDefinition& def : defined_) {
            const GateDefinition* library = find_library_gate(def.name);
            if (library != nullptr && library->origin == GateOrigin::Qelib1) {
                return fail(**name, concat("gate '", def.name, "' defined at line ", def.line,
                                           " is also defined by qelib1.inc; rename it"));
            }
        }
        qelib1_included_ = true;
        return {};
    }

    // The gate a name calls here: the program's own first, then the library.
    const GateDefinition* lookup(std::string_view name) const {
        const auto found = scope_.find(name);
        return found != scope_.end() ? found->second : find_library_gate(name);
    }

    // Whether the program may (re)define `name` here; the error is at `at`.
    Status check_new_gate_name(const GateDefinition& def, const Token& at) const {
        const std::string_view name = def.name;
        if (names_.contains(name)) {
            return fail(at, concat("gate '", name, "' has the name of a register"));
        }
        if (const auto found = scope_.find(name); found != scope_.end()) {
            return fail(at, concat("gate '", name, "' is already defined at line ",
                                   found->second->line));
        }
        const GateDefinition* library = find_library_gate(name);
        if (library == nullptr) return {};
        switch (library->origin) {
            case GateOrigin::Builtin:
                return fail(at, concat("gate '", name, "' is built in and cannot be redefined"));
            case GateOrigin::Qelib1:
                if (!qelib1_included_) return {};
                return fail(at, concat("gate '", name, "' is already defined by qelib1.inc"));
            default: break;
        }
        // Qiskit's legacy exporter defined these in the files it wrote; a
        // definition is accepted where it keeps the library's signature.
        if (def.params.size() != library->params.size() ||
            def.qubits.size() != library->qubits.size()) {
            return fail(at, concat("gate '", name, "' is defined by qelib1.inc with ",
                                   library->params.size(), " parameter(s) and ",
                                   library->qubits.size(),
                                   " qubit(s); a redefinition must keep them"));
        }
        return {};
    }

    Status gate_definition(const Token& keyword) {
        const GateLookup lookup = [this](std::string_view name) { return this->lookup(name); };
        const std::size_t start = cur_.position() - 1;  // the keyword
        auto def = read_gate_definition(cur_, keyword, lookup);
        if (!def) return std::unexpected(def.error());
        // The definition Qiskit's exporter (and ours) writes for a catalogue
        // gate outside qelib1.inc, word for word, means that gate: calls run
        // its own kernel instead of the body, and write back by name.
        def->kind = recognised_definition(def->name, cur_.since(start));
        if (auto ok = check_new_gate_name(*def, keyword); !ok) return ok;
        if (def->expansion_size > options_.max_gate_expansion) {
            return fail(keyword, concat("gate '", def->name, "' expands to more than ",
                                        options_.max_gate_expansion, " gates"));
        }
        return add_gate(std::move(*def));
    }

    Status opaque_declaration(const Token& keyword) {
        auto def = read_opaque_declaration(cur_, keyword);
        if (!def) return std::unexpected(def.error());
        if (auto ok = check_new_gate_name(*def, keyword); !ok) return ok;
        return add_gate(std::move(*def));
    }

    Status add_gate(GateDefinition def) {
        defined_.push_back(std::move(def));
        scope_[defined_.back().name] = &defined_.back();
        return {};
    }

    Status declaration(const Token& keyword, RegisterKind kind) {
        auto name = cur_.expect(TokenKind::Identifier, "register name");
        if (!name) return std::unexpected(name.error());
        if (auto t = cur_.expect(TokenKind::LBracket); !t) return std::unexpected(t.error());
        auto size_token = cur_.expect(TokenKind::Integer, "register size");
        if (!size_token) return std::unexpected(size_token.error());
        if (auto t = cur_.expect(TokenKind::RBracket); !t) return std::unexpected(t.error());
        if (auto ok = expect_semicolon(); !ok) return ok;

        const std::string_view reg_name = (*name)->text;
        const std::uint64_t size = (*size_token)->integer;
        std::uint64_t& total = total_[kind_slot(kind)];
        if (size == 0) return fail(keyword, concat("register '", reg_name, "' has size 0"));
        // Subtracting avoids the overflow that total + size could hit.
        if (size > MAX_REGISTER_BITS || total > MAX_REGISTER_BITS - size) {
            return fail(keyword,
                        concat("total ", kind == RegisterKind::Quantum ? "qubit" : "classical bit",
                               " count would exceed MAX_REGISTER_BITS (", MAX_REGISTER_BITS,
                               "); register '", reg_name, "' has size ", size));
        }
        if (names_.contains(reg_name)) {
            return fail(keyword, concat("register '", reg_name, "' already declared"));
        }
        if (const auto gate = scope_.find(reg_name); gate != scope_.end()) {
            return fail(keyword, concat("register '", reg_name, "' has the name of the gate defined at line ",
                                        gate->second->line));
        }
        auto& list = registers_[kind_slot(kind)];
        names_.emplace(reg_name, std::pair{kind, list.size()});
        list.push_back(Register{reg_name, total, size});
        total += size;
        if (kind == RegisterKind::Quantum) measured_.resize(total, false);
        return {};
    }

    Result<Operand> operand(RegisterKind kind) {
        const bool quantum = kind == RegisterKind::Quantum;
        auto name = cur_.expect(TokenKind::Identifier,
                                quantum ? "a quantum register" : "a classical register");
        if (!name) return std::unexpected(name.error());
        const Token& name_token = **name;
        const auto found = names_.find(name_token.text);
        if (found == names_.end() || found->second.first != kind) {
            return std::unexpected(Parse{name_token.line, concat("undeclared ",
                                                                 quantum ? "quantum" : "classical",
                                                                 " register '", name_token.text,
                                                                 "'")});
        }
        const Register& reg = registers_[kind_slot(kind)][found->second.second];
        if (!cur_.at(TokenKind::LBracket)) return Operand{reg.offset, reg.size, true};

        cur_.advance();
        auto index = cur_.expect(TokenKind::Integer, "bit index");
        if (!index) return std::unexpected(index.error());
        if (auto t = cur_.expect(TokenKind::RBracket); !t) return std::unexpected(t.error());
        const std::uint64_t i = (*index)->integer;
        if (i >= reg.size) {
            return std::unexpected(Parse{(*index)->line,
                                         concat("index ", i, " out of range for register '",
                                                reg.name, "' of size ", reg.size)});
        }
        return Operand{reg.offset + i, 1, false};
    }

    // One or more quantum operands separated by ',' and ended by ';'.
    Result<std::vector<Operand>> operand_list() {
        std::vector<Operand> operands;
        while (true) {
            auto next = operand(RegisterKind::Quantum);
            if (!next) return std::unexpected(next.error());
            operands.push_back(*next);
            if (cur_.at(TokenKind::Semicolon)) {
                cur_.advance();
                return operands;
            }
            if (!cur_.at(TokenKind::Comma)) return std::unexpected(cur_.unexpected("',' or ';'"));
            cur_.advance();
        }
    }

    Status reserve_instructions(std::uint64_t line, std::uint64_t count) {
        const std::uint64_t limit = options_.max_instructions;
        if (count > limit || instructions_ > limit - count) {
            return std::unexpected(
                Parse{line, concat("program expands to more than ", limit, " instructions")});
        }
        instructions_ += count;
        return {};
    }

    Status measure() {
        const std::uint64_t operand_line = cur_.line();
        auto qubits = operand(RegisterKind::Quantum);
        if (!qubits) return std::unexpected(qubits.error());
        if (auto t = cur_.expect(TokenKind::Arrow); !t) return std::unexpected(t.error());
        auto bits = operand(RegisterKind::Classical);
        if (!bits) return std::unexpected(bits.error());
        if (auto ok = expect_semicolon(); !ok) return ok;

        if (qubits->size != bits->size) {
            return std::unexpected(Parse{operand_line, concat("measure size mismatch: ",
                                                              qubits->size, " qubit(s) -> ",
                                                              bits->size, " classical bit(s)")});
        }
        if (auto ok = reserve_instructions(operand_line, qubits->size); !ok) return ok;
        for (std::uint64_t i = 0; i < qubits->size; ++i) {
            gates_.push_back(Gate::measure(qubits->first + i, bits->first + i));
            measured_[qubits->first + i] = true;
        }
        return {};
    }

    Status barrier(const Token& keyword) {
        auto operands = operand_list();
        if (!operands) return std::unexpected(operands.error());
        std::uint64_t count = 0;
        for (const Operand& op : *operands) count += op.size;  // <= operands x 10^6
        if (auto ok = reserve_instructions(keyword.line, count); !ok) return ok;
        std::vector<std::uint64_t> qubits;
        qubits.reserve(count);
        for (const Operand& op : *operands) {
            for (std::uint64_t i = 0; i < op.size; ++i) qubits.push_back(op.first + i);
        }
        gates_.push_back(Gate::barrier(std::move(qubits)));
        return {};
    }

    Status application(const Token& name) {
        std::vector<double> params;
        if (cur_.at(TokenKind::LParen)) {
            cur_.advance();
            if (cur_.at(TokenKind::RParen)) {
                cur_.advance();
            } else {
                while (true) {
                    auto value = parse_parameter(cur_);
                    if (!value) return std::unexpected(value.error());
                    params.push_back(*value);
                    if (cur_.at(TokenKind::RParen)) {
                        cur_.advance();
                        break;
                    }
                    if (!cur_.at(TokenKind::Comma)) {
                        return std::unexpected(cur_.unexpected("',' or ')'"));
                    }
                    cur_.advance();
                }
            }
        }
        auto operands = operand_list();
        if (!operands) return std::unexpected(operands.error());

        // The statement is complete; from here on errors belong to its name.
        const GateDefinition* gate = lookup(name.text);
        if (gate == nullptr) {
            // The wording predates gate definitions and stays as it was.
            return fail(name, concat("unsupported gate '", name.text, "'"));
        }
        if (auto ok = check_call_shape(*gate, name, params.size(), operands->size()); !ok) return ok;

        std::uint64_t width = 1;
        for (const Operand& op : *operands) {
            if (op.whole) width = std::max(width, op.size);
        }
        for (const Operand& op : *operands) {
            if (op.whole && op.size != width) {
                return fail(name, concat("register size mismatch in broadcast: expected ", width,
                                         ", found ", op.size));
            }
        }
        const std::uint64_t size = gate->expansion_size;
        const std::uint64_t total =
            size > std::numeric_limits<std::uint64_t>::max() / width ? std::numeric_limits<std::uint64_t>::max()
                                                                     : size * width;
        if (auto ok = reserve_instructions(name.line, total); !ok) return ok;
        if (!gate->kind) {
            const std::uint64_t limit = options_.max_gate_expansion;
            if (total > limit || expanded_ > limit - total) {
                return fail(name, concat("gate definitions expand to more than ", limit,
                                         " gates in this program"));
            }
            expanded_ += total;
        }

        const auto index_at = [](const Operand& op, std::uint64_t k) {
            return op.whole ? op.first + k : op.first;
        };
        std::vector<std::uint64_t> qubits(operands->size());
        std::array<Angle, 4> angles{};
        for (std::size_t i = 0; i < params.size() && gate->kind; ++i) angles[i] = Angle::fixed(params[i]);
        for (std::uint64_t k = 0; k < width; ++k) {
            for (std::size_t i = 0; i < qubits.size(); ++i) qubits[i] = index_at((*operands)[i], k);
            if (auto ok = check_call_qubits(name, qubits, !gate->kind || acts_on_qubits(*gate->kind));
                !ok) {
                return ok;
            }
            if (gate->kind) {
                gates_.push_back(Gate::make(*gate->kind, qubits, std::span(angles).first(params.size())));
                continue;
            }
            if (auto ok = expand_gate_body(*gate, params, qubits, gates_); !ok) {
                return fail(name, concat(ok.error().message, " at line ", ok.error().line));
            }
        }
        return {};
    }

    // The qubits of one call are distinct and, unless the gate leaves them
    // alone (an identity), none is measured yet.
    // A pairwise check for the usual few qubits; hashed for a wide gate.
    Status check_call_qubits(const Token& name, std::span<const std::uint64_t> qubits,
                             bool acts) const {
        bool repeat = false;
        if (qubits.size() <= 8) {
            for (std::size_t i = 0; i < qubits.size() && !repeat; ++i) {
                for (std::size_t j = 0; j < i && !repeat; ++j) repeat = qubits[i] == qubits[j];
            }
        } else {
            std::unordered_set<std::uint64_t> seen;
            for (const std::uint64_t q : qubits) repeat = repeat || !seen.insert(q).second;
        }
        if (repeat) return fail(name, distinct_qubits_message(qubits));
        for (const std::uint64_t q : qubits) {
            if (acts && measured_[q]) {
                return fail(name, concat("gate acts on qubit ", q,
                                         " after it was measured; Morvane circuits use terminal "
                                         "measurement (contract C-4)"));
            }
        }
        return {};
    }

    // A whole-register measurement into bits 0 .. n-1 in order becomes one
    // MeasureAll, and a barrier over every qubit in order becomes the
    // all-qubit barrier, so a written circuit reads back as it was built.
    // Linear: a run that starts at qubit 0 can only be broken, never
    // restarted inside itself, so no gate is compared more than twice.
    std::vector<Gate> canonical_gates() {
        const std::uint64_t n = total_[0];
        std::vector<Gate> out;
        out.reserve(gates_.size());
        std::size_t i = 0;
        while (i < gates_.size()) {
            if (n > 0 && gates_.size() - i >= n) {
                std::uint64_t run = 0;
                while (run < n) {
                    const Gate& g = gates_[i + run];
                    if (g.kind != GateKind::Measure || g.q0 != run || g.cbit != run) break;
                    ++run;
                }
                if (run == n) {
                    out.push_back(Gate::measure_all());
                    i += n;
                    continue;
                }
            }
            Gate& g = gates_[i];
            if (g.kind == GateKind::Barrier && g.barrier_qubits.size() == n) {
                bool in_order = true;
                for (std::uint64_t q = 0; q < n && in_order; ++q) {
                    in_order = g.barrier_qubits[q] == q;
                }
                if (in_order) g.barrier_qubits.clear();
            }
            out.push_back(std::move(g));
            ++i;
        }
        return out;
    }

    TokenCursor cur_;
    const QasmImportOptions& options_;
    std::vector<Register> registers_[2];
    std::uint64_t total_[2] = {0, 0};
    std::unordered_map<std::string_view, std::pair<RegisterKind, std::size_t>> names_;
    std::vector<Gate> gates_;
    std::vector<bool> measured_;
    std::uint64_t instructions_ = 0;
    // Gates emitted by expanding definitions, against max_gate_expansion.
    std::uint64_t expanded_ = 0;
    // The program's `gate` and `opaque` statements; a deque because bodies
    // and scope_ point at them.
    std::deque<GateDefinition> defined_;
    std::unordered_map<std::string_view, const GateDefinition*> scope_;
    bool qelib1_included_ = false;
};

}  // namespace

std::expected<ParameterizedCircuit, CircuitError> import_qasm2(std::string_view source,
                                                               const QasmImportOptions& options) {
    auto tokens = lex_qasm(source);
    if (!tokens) return std::unexpected(tokens.error());
    auto circuit = Importer(*tokens, options).run();
    if (!circuit) return std::unexpected(circuit.error());
    return std::move(*circuit);
}

}  // namespace morvane::circuit
