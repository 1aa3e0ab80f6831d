#include "circuit/qasm_import.hpp"

#include <numbers>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "circuit/qasm_expression.hpp"
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

// What a supported gate name means: how many parameters and qubits it takes
// and how a parameter list becomes the gate's angles.
enum class Mapping : std::uint8_t { Plain, Drop, U3, U2, U1 };

struct GateSpec {
    std::string_view name;
    std::size_t params;
    std::size_t qubits;
    GateKind kind;
    Mapping mapping;
};

constexpr GateSpec GATE_TABLE[] = {
    {"h", 0, 1, GateKind::H, Mapping::Plain},       {"x", 0, 1, GateKind::X, Mapping::Plain},
    {"y", 0, 1, GateKind::Y, Mapping::Plain},       {"z", 0, 1, GateKind::Z, Mapping::Plain},
    {"s", 0, 1, GateKind::S, Mapping::Plain},       {"t", 0, 1, GateKind::T, Mapping::Plain},
    {"sdg", 0, 1, GateKind::Sdg, Mapping::Plain},   {"tdg", 0, 1, GateKind::Tdg, Mapping::Plain},
    {"id", 0, 1, GateKind::H, Mapping::Drop},       {"rx", 1, 1, GateKind::Rx, Mapping::Plain},
    {"ry", 1, 1, GateKind::Ry, Mapping::Plain},     {"rz", 1, 1, GateKind::Rz, Mapping::Plain},
    {"u", 3, 1, GateKind::U, Mapping::U3},          {"U", 3, 1, GateKind::U, Mapping::U3},
    {"u3", 3, 1, GateKind::U, Mapping::U3},         {"u2", 2, 1, GateKind::U, Mapping::U2},
    {"u1", 1, 1, GateKind::U, Mapping::U1},         {"p", 1, 1, GateKind::U, Mapping::U1},
    {"cx", 0, 2, GateKind::Cx, Mapping::Plain},     {"CX", 0, 2, GateKind::Cx, Mapping::Plain},
    {"cz", 0, 2, GateKind::Cz, Mapping::Plain},     {"swap", 0, 2, GateKind::Swap, Mapping::Plain},
    {"cp", 1, 2, GateKind::Cp, Mapping::Plain},     {"rzz", 1, 2, GateKind::Rzz, Mapping::Plain},
    {"rxx", 1, 2, GateKind::Rxx, Mapping::Plain},
};

const GateSpec* find_gate(std::string_view name) {
    for (const GateSpec& spec : GATE_TABLE) {
        if (spec.name == name) return &spec;
    }
    return nullptr;
}

std::array<Angle, 4> angles_for(Mapping mapping, const std::vector<double>& p) {
    switch (mapping) {
        case Mapping::U3: return {Angle::fixed(p[0]), Angle::fixed(p[1]), Angle::fixed(p[2])};
        case Mapping::U2:
            return {Angle::fixed(std::numbers::pi / 2), Angle::fixed(p[0]), Angle::fixed(p[1])};
        case Mapping::U1: return {Angle::fixed(0.0), Angle::fixed(0.0), Angle::fixed(p[0])};
        case Mapping::Plain:
        case Mapping::Drop: break;
    }
    std::array<Angle, 4> angles{};
    if (!p.empty()) angles[0] = Angle::fixed(p[0]);
    return angles;
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
        if (word == "gate") return fail(keyword, "custom gate definitions are not supported");
        if (word == "opaque") return fail(keyword, "'opaque' declarations are not supported");
        if (word == "reset") return fail(keyword, "'reset' is not supported");
        if (word == "if") return fail(keyword, "'if' statements are not supported");
        return application(keyword);
    }

    static Status fail(const Token& at, std::string message) {
        return std::unexpected(Parse{at.line, std::move(message)});
    }

    Status include() {
        if (auto name = cur_.expect(TokenKind::String, "file name"); !name) {
            return std::unexpected(name.error());
        }
        return expect_semicolon();
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
        const GateSpec* spec = find_gate(name.text);
        if (spec == nullptr) return fail(name, concat("unsupported gate '", name.text, "'"));
        if (params.size() != spec->params) {
            return fail(name, concat("gate '", name.text, "' expects ", spec->params,
                                     " parameter(s), found ", params.size()));
        }
        if (operands->size() != spec->qubits) {
            return fail(name, concat("gate '", name.text, "' expects ", spec->qubits,
                                     " argument(s), found ", operands->size()));
        }

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
        if (spec->mapping == Mapping::Drop) return {};
        if (auto ok = reserve_instructions(name.line, width); !ok) return ok;

        Gate gate;
        gate.kind = spec->kind;
        gate.angles = angles_for(spec->mapping, params);
        const auto index_at = [](const Operand& op, std::uint64_t k) {
            return op.whole ? op.first + k : op.first;
        };
        for (std::uint64_t k = 0; k < width; ++k) {
            gate.q0 = index_at((*operands)[0], k);
            if (spec->qubits == 2) {
                gate.q1 = index_at((*operands)[1], k);
                if (gate.q0 == gate.q1) {
                    return fail(name, concat("two-qubit gate requires distinct qubits, got (",
                                             gate.q0, ", ", gate.q1, ")"));
                }
            }
            for (std::size_t f = 0; f < spec->qubits; ++f) {
                const std::uint64_t q = f == 0 ? gate.q0 : gate.q1;
                if (measured_[q]) {
                    return fail(name,
                                concat("gate acts on qubit ", q,
                                       " after it was measured; Morvane circuits use terminal "
                                       "measurement (contract C-4)"));
                }
            }
            gates_.push_back(gate);
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
