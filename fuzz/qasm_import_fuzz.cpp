// Feeds arbitrary bytes to the OpenQASM importer. Besides the sanitizers'
// memory and undefined-behaviour checks, every accepted program must satisfy
// what the rest of the library relies on:
//   - the circuit passes the builder's own validation gate by gate;
//   - it is in canonical form (no full in-order measurement run, no barrier
//     spelling out every qubit);
//   - its written text reads back to the same gates (U as U3, which the
//     writer's "u3" means), with angles equal to their 12-decimal text;
//   - the bound circuit writes the same text.
// A refused program must carry a line that exists in the input.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "circuit/angle_text.hpp"
#include "circuit/circuit.hpp"
#include "circuit/qasm_import.hpp"

namespace {

using namespace morvane::circuit;

// Enough for broadcasts over sizeable registers, small enough that no input
// of the fuzzer's maximum length can exhaust memory by repetition.
constexpr std::uint64_t INSTRUCTION_BUDGET = 1 << 16;

[[noreturn]] void violated(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant violated: %s\n%s\n", what, detail.c_str());
    std::abort();
}

double read_back(double value) {
    const std::string text = angle_text(value);
    const bool negative = text.front() == '-';
    double magnitude = 0;
    const char* first = text.data() + (negative ? 1 : 0);
    const auto result = std::from_chars(first, text.data() + text.size(), magnitude);
    if (result.ec != std::errc{}) violated("angle text does not parse", text);
    return negative ? -magnitude : magnitude;
}

void check_canonical(const ParameterizedCircuit& circuit) {
    const std::uint64_t n = circuit.num_qubits();
    const auto& gates = circuit.gates();
    for (std::size_t i = 0; i < gates.size(); ++i) {
        const Gate& g = gates[i];
        if (g.kind == GateKind::Barrier && g.barrier_qubits.size() == n && n > 0) {
            bool in_order = true;
            for (std::uint64_t q = 0; q < n && in_order; ++q) in_order = g.barrier_qubits[q] == q;
            if (in_order) violated("barrier over every qubit left spelled out");
        }
        if (n > 0 && i + n <= gates.size()) {
            std::uint64_t run = 0;
            while (run < n && gates[i + run] == Gate::measure(run, run)) ++run;
            if (run == n) violated("in-order measurement run left spelled out");
        }
    }
}

void check_valid(const ParameterizedCircuit& circuit) {
    if (circuit.num_params() != 0) violated("imported circuit has free parameters");
    ParameterizedCircuit rebuilt(circuit.num_qubits());
    for (const Gate& g : circuit.gates()) {
        for (std::size_t i = 0; i < g.num_angles(); ++i) {
            if (g.angles[i].is_param()) violated("imported circuit has a Param angle");
        }
        if (auto ok = rebuilt.push(g); !ok) {
            violated("imported gate fails validation",
                     g.debug_string() + ": " + ok.error().message());
        }
    }
}

void check_round_trip(const ParameterizedCircuit& circuit) {
    auto text = circuit.to_qasm2({});
    if (!text) violated("writer refused an imported circuit", text.error().message());

    QasmImportOptions options;
    options.max_instructions = INSTRUCTION_BUDGET;
    auto back = import_qasm2(*text, options);
    if (!back) violated("written text does not import", back.error().message() + "\n" + *text);
    if (back->num_qubits() != circuit.num_qubits()) violated("qubit count changed", *text);
    if (back->gates().size() != circuit.gates().size()) violated("gate count changed", *text);
    for (std::size_t i = 0; i < circuit.gates().size(); ++i) {
        Gate expected = circuit.gates()[i];
        // The writer spells U as "u3", which reads back as U3: the same matrix.
        if (expected.kind == GateKind::U) expected.kind = GateKind::U3;
        for (std::size_t a = 0; a < expected.num_angles(); ++a) {
            expected.angles[a] = Angle::fixed(read_back(expected.angles[a].value()));
        }
        if (!(back->gates()[i] == expected)) {
            violated("gate changed in round trip",
                     back->gates()[i].debug_string() + " vs " + expected.debug_string());
        }
    }

    auto bound = circuit.assign_parameters({});
    if (!bound) violated("binding an imported circuit failed", bound.error().message());
    if (bound->to_qasm2() != *text) violated("bound circuit writes different text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    QasmImportOptions options;
    options.max_instructions = INSTRUCTION_BUDGET;
    auto circuit = import_qasm2(source, options);
    if (!circuit) {
        if (!circuit.error().is<Parse>()) violated("importer failed with a non-parse error");
        const Parse& parse = circuit.error().as<Parse>();
        std::uint64_t lines = 1;
        for (char c : source) lines += c == '\n' ? 1 : 0;
        if (parse.line < 1 || parse.line > lines) violated("error line outside the input");
        if (parse.message.empty()) violated("empty error message");
        return 0;
    }
    check_valid(*circuit);
    check_canonical(*circuit);
    check_round_trip(*circuit);
    return 0;
}
