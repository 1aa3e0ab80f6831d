#include "circuit/qasm_gate_library.hpp"

#include <deque>
#include <optional>

#include "circuit/gate_catalogue.hpp"
#include "circuit/qasm_lexer.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

// qelib1.inc as published with OpenQASM 2. Once a program includes it, these
// names are fixed.
constexpr std::string_view QELIB1 = R"(
gate u3(theta,phi,lambda) q { U(theta,phi,lambda) q; }
gate u2(phi,lambda) q { U(pi/2,phi,lambda) q; }
gate u1(lambda) q { U(0,0,lambda) q; }
gate cx c,t { CX c,t; }
gate id a { U(0,0,0) a; }
gate x a { u3(pi,0,pi) a; }
gate y a { u3(pi,pi/2,pi/2) a; }
gate z a { u1(pi) a; }
gate h a { u2(0,pi) a; }
gate s a { u1(pi/2) a; }
gate sdg a { u1(-pi/2) a; }
gate t a { u1(pi/4) a; }
gate tdg a { u1(-pi/4) a; }
gate rx(theta) a { u3(theta,-pi/2,pi/2) a; }
gate ry(theta) a { u3(theta,0,0) a; }
gate rz(phi) a { u1(phi) a; }
gate cz a,b { h b; cx a,b; h b; }
gate cy a,b { sdg b; cx a,b; s b; }
gate ch a,b { h b; sdg b; cx a,b; h b; t b; cx a,b; t b; h b; s b; x b; s a; }
gate ccx a,b,c {
  h c; cx b,c; tdg c; cx a,c; t c; cx b,c; tdg c; cx a,c; t b; t c; h c;
  cx a,b; t a; tdg b; cx a,b;
}
gate crz(lambda) a,b { rz(lambda/2) b; cx a,b; rz(-lambda/2) b; cx a,b; }
gate cu1(lambda) a,b { u1(lambda/2) a; cx a,b; u1(-lambda/2) b; cx a,b; u1(lambda/2) b; }
gate cu3(theta,phi,lambda) c,t {
  u1((lambda+phi)/2) c; u1((lambda-phi)/2) t; cx c,t;
  u3(-theta/2,0,-(phi+lambda)/2) t; cx c,t; u3(theta/2,phi,0) t;
}
)";

// The gates Qiskit's qelib1.inc adds, which its reader lets a program define
// again with the same signature (its own legacy exporter wrote definitions
// for some of them).
constexpr std::string_view LEGACY = R"(
gate u0(gamma) q { U(0,0,0) q; }
gate u(theta,phi,lambda) q { U(theta,phi,lambda) q; }
gate p(lambda) q { U(0,0,lambda) q; }
gate sx a { sdg a; h a; sdg a; }
gate sxdg a { s a; h a; s a; }
gate swap a,b { cx a,b; cx b,a; cx a,b; }
gate cswap a,b,c { cx c,b; ccx a,b,c; cx c,b; }
gate crx(lambda) a,b { u1(pi/2) b; cx a,b; u3(-lambda/2,0,0) b; cx a,b; u3(lambda/2,-pi/2,0) b; }
gate cry(lambda) a,b { ry(lambda/2) b; cx a,b; ry(-lambda/2) b; cx a,b; }
gate cp(lambda) a,b { p(lambda/2) a; cx a,b; p(-lambda/2) b; cx a,b; p(lambda/2) b; }
gate csx a,b { h b; cu1(pi/2) a,b; h b; }
gate cu(theta,phi,lambda,gamma) c,t {
  p(gamma) c; p((lambda+phi)/2) c; p((lambda-phi)/2) t; cx c,t;
  u(-theta/2,0,-(phi+lambda)/2) t; cx c,t; u(theta/2,phi,0) t;
}
gate rxx(theta) a,b { u3(pi/2,theta,0) a; h b; cx a,b; u1(-theta) b; cx a,b; h b; u2(-pi,pi-theta) a; }
gate rzz(theta) a,b { cx a,b; u1(theta) b; cx a,b; }
gate rccx a,b,c {
  u2(0,pi) c; u1(pi/4) c; cx b,c; u1(-pi/4) c; cx a,c; u1(pi/4) c; cx b,c; u1(-pi/4) c; u2(0,pi) c;
}
gate rc3x a,b,c,d {
  u2(0,pi) d; u1(pi/4) d; cx c,d; u1(-pi/4) d; u2(0,pi) d; cx a,d; u1(pi/4) d; cx b,d;
  u1(-pi/4) d; cx a,d; u1(pi/4) d; cx b,d; u1(-pi/4) d; u2(0,pi) d; u1(pi/4) d; cx c,d;
  u1(-pi/4) d; u2(0,pi) d;
}
gate c3x a,b,c,d {
  h d; p(pi/8) a; p(pi/8) b; p(pi/8) c; p(pi/8) d;
  cx a,b; p(-pi/8) b; cx a,b; cx b,c; p(-pi/8) c; cx a,c; p(pi/8) c; cx b,c; p(-pi/8) c;
  cx a,c; cx c,d; p(-pi/8) d; cx b,d; p(pi/8) d; cx c,d; p(-pi/8) d; cx a,d; p(pi/8) d;
  cx c,d; p(-pi/8) d; cx b,d; p(pi/8) d; cx c,d; p(-pi/8) d; cx a,d; h d;
}
gate c3sqrtx a,b,c,d {
  h d; cu1(pi/8) a,d; h d; cx a,b; h d; cu1(-pi/8) b,d; h d; cx a,b;
  h d; cu1(pi/8) b,d; h d; cx b,c; h d; cu1(-pi/8) c,d; h d; cx a,c;
  h d; cu1(pi/8) c,d; h d; cx b,c; h d; cu1(-pi/8) c,d; h d; cx a,c;
  h d; cu1(pi/8) c,d; h d;
}
gate c4x a,b,c,d,e {
  h e; cu1(pi/2) d,e; h e; c3x a,b,c,d; h e; cu1(-pi/2) d,e; h e; c3x a,b,c,d; c3sqrtx a,b,c,e;
}
)";

// The catalogue gate a library name stands for: the entry whose OpenQASM
// name it is (U and U3 share "u3"; the one whose Qiskit name is also "u3"
// wins), else the entry whose Qiskit name it is ("u"). Only entries Qiskit
// writes by name after including qelib1.inc qualify.
std::optional<GateKind> catalogue_kind(std::string_view name) {
    // qelib1.inc calls the relative-phase CCCX rc3x; Qiskit's exporter writes
    // it as rcccx with a definition, which the importer recognises apart.
    if (name == "rc3x") return GateKind::Rcccx;
    const GateInfo* by_qasm_name = nullptr;
    const GateInfo* by_name = nullptr;
    for (const GateInfo& info : gate_catalogue()) {
        if (!is_unitary(info.kind) || !info.qasm_standard) continue;
        if (info.qasm_name == name && info.name == name) return info.kind;
        if (info.qasm_name == name && by_qasm_name == nullptr) by_qasm_name = &info;
        if (info.name == name && by_name == nullptr) by_name = &info;
    }
    if (by_qasm_name != nullptr) return by_qasm_name->kind;
    if (by_name != nullptr) return by_name->kind;
    return std::nullopt;
}

class Library {
public:
    Library() {
        builtin("U", GateKind::U, {"theta", "phi", "lambda"}, {"q"});
        builtin("CX", GateKind::Cx, {}, {"c", "t"});
        read(QELIB1, GateOrigin::Qelib1, qelib1_tokens_);
        read(LEGACY, GateOrigin::Legacy, legacy_tokens_);
    }

    const GateDefinition* find(std::string_view name) const noexcept {
        for (const GateDefinition& def : gates_) {
            if (def.name == name) return &def;
        }
        return nullptr;
    }

    std::vector<const GateDefinition*> all() const {
        std::vector<const GateDefinition*> out;
        for (const GateDefinition& def : gates_) out.push_back(&def);
        return out;
    }

private:
    void builtin(std::string_view name, GateKind kind, std::vector<std::string_view> params,
                 std::vector<std::string_view> qubits) {
        GateDefinition def;
        def.name = name;
        def.origin = GateOrigin::Builtin;
        def.kind = kind;
        for (std::size_t i = 0; i < params.size(); ++i) def.param_index.emplace(params[i], i);
        for (std::size_t i = 0; i < qubits.size(); ++i) {
            def.qubit_index.emplace(qubits[i], static_cast<std::uint32_t>(i));
        }
        def.params = std::move(params);
        def.qubits = std::move(qubits);
        def.expansion_size = 1;
        gates_.push_back(std::move(def));
    }

    // The tokens must outlive the definitions, whose bodies point into them.
    void read(std::string_view text, GateOrigin origin, std::vector<Token>& tokens) {
        auto lexed = lex_qasm(text);
        if (!lexed) internal_fault(concat("library text: ", lexed.error().message));
        tokens = std::move(*lexed);
        TokenCursor cur(tokens);
        const GateLookup lookup = [this](std::string_view name) { return find(name); };
        while (!cur.at_end()) {
            const Token& keyword = cur.advance();
            auto def = read_gate_definition(cur, keyword, lookup);
            if (!def) internal_fault(concat("library line ", def.error().line, ": ", def.error().message));
            def->origin = origin;
            def->line = 0;
            if (const auto kind = catalogue_kind(def->name)) {
                const GateInfo& info = gate_info(*kind);
                if (info.num_angles != def->params.size() || info.num_qubits != def->qubits.size()) {
                    internal_fault(concat("library gate ", def->name, " does not match ",
                                          info.debug_name, " in the catalogue"));
                }
                def->kind = kind;
                def->expansion_size = 1;
            }
            gates_.push_back(std::move(*def));
        }
    }

    // A deque: bodies hold pointers to earlier definitions.
    std::deque<GateDefinition> gates_;
    std::vector<Token> qelib1_tokens_;
    std::vector<Token> legacy_tokens_;
};

const Library& library() {
    static const Library instance;
    return instance;
}

}  // namespace

const GateDefinition* find_library_gate(std::string_view name) {
    return library().find(name);
}

std::vector<const GateDefinition*> library_gates() { return library().all(); }

}  // namespace morvane::circuit
