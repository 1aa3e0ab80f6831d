// Writing a circuit and reading the text back gives the same instructions,
// up to the 12-decimal rounding of angles and the importer's two folds (a
// full in-order run of measurements is one MeasureAll, a barrier over every
// qubit in order is the all-qubit barrier). The expectation is derived here
// with printf/strtod rounding and a separate fold, not the library's helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/gate_catalogue.hpp"

namespace morvane::circuit {
namespace {

double rounded_to_12_decimals(double value) {
    char text[512];
    std::snprintf(text, sizeof text, "%.12f", value);
    return std::strtod(text, nullptr);
}

struct Random {
    std::mt19937_64 rng;
    std::uint64_t pick(std::uint64_t n) {
        return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng);
    }
    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    }
    double angle_value() {
        switch (pick(7)) {
            case 0: return std::ldexp(uniform(-1, 1), static_cast<int>(pick(900)));  // huge
            case 1: return std::ldexp(uniform(-1, 1), -static_cast<int>(pick(80)));  // tiny
            case 2: return static_cast<double>(pick(64)) * (pick(2) ? 0x1p-13 : -0x1p-13);  // ties
            case 3: return pick(2) ? 0.0 : -0.0;
            case 4: return -uniform(0, 1e-12);  // rounds to -0
            default: return uniform(-10, 10);
        }
    }
};

// A valid random circuit: unitary gates only touch qubits not yet measured.
ParameterizedCircuit random_circuit(Random& r) {
    const std::uint64_t n = 1 + r.pick(8);
    ParameterizedCircuit circuit(n);
    std::set<std::uint64_t> measured;
    bool all_measured = false;
    for (std::uint64_t step = r.pick(40); step > 0; --step) {
        const auto kind = static_cast<GateKind>(r.pick(GATE_KIND_COUNT));
        Gate gate;
        gate.kind = kind;
        if (kind == GateKind::Barrier) {
            const std::uint64_t shape = r.pick(3);
            for (std::uint64_t i = 0; shape == 1 && i < n; ++i) gate.barrier_qubits.push_back(i);
            for (std::uint64_t i = shape == 2 ? 1 + r.pick(5) : 0; i > 0; --i) {
                gate.barrier_qubits.push_back(r.pick(n));
            }
        } else if (kind == GateKind::Measure && r.pick(5) == 0) {
            for (std::uint64_t q = 0; q < n; ++q) {  // an explicit in-order run
                EXPECT_TRUE(circuit.push(Gate::measure(q, q)));
                measured.insert(q);
            }
            continue;
        } else if (kind == GateKind::Measure) {
            gate = Gate::measure(r.pick(n), r.pick(n + 3));
            measured.insert(gate.q0);
        } else if (kind == GateKind::MeasureAll) {
            if (r.pick(3) != 0) continue;  // keep most circuits open for longer
            all_measured = true;
        } else {
            std::vector<std::uint64_t> free;
            for (std::uint64_t q = 0; q < n && !all_measured; ++q) {
                if (!measured.contains(q)) free.push_back(q);
            }
            if (free.size() < gate.num_qubit_fields()) continue;
            std::shuffle(free.begin(), free.end(), r.rng);
            for (std::size_t i = 0; i < gate.num_qubit_fields(); ++i) gate.set_qubit(i, free[i]);
            for (std::size_t i = 0; i < gate.num_angles(); ++i) {
                gate.angles[i] =
                    r.pick(4) == 0 ? Angle::param(r.pick(6)) : Angle::fixed(r.angle_value());
            }
        }
        auto pushed = circuit.push(gate);
        EXPECT_TRUE(pushed) << gate.debug_string() << ": " << pushed.error().message();
    }
    return circuit;
}

std::vector<Gate> expected_after_round_trip(const ParameterizedCircuit& circuit,
                                            const std::vector<double>& values) {
    const std::uint64_t n = circuit.num_qubits();
    std::vector<std::uint64_t> everyone(n);
    for (std::uint64_t q = 0; q < n; ++q) everyone[q] = q;

    // Spell whole-register gates out and round the angles ...
    std::vector<Gate> spelled;
    for (Gate gate : circuit.gates()) {
        for (std::size_t i = 0; i < gate.num_angles(); ++i) {
            const Angle a = gate.angles[i];
            const double v = a.is_param() ? values.at(a.index()) : a.value();
            gate.angles[i] = Angle::fixed(rounded_to_12_decimals(v));
        }
        // The writer spells U as "u3", which reads back as the same matrix
        // under its own name.
        if (gate.kind == GateKind::U) gate.kind = GateKind::U3;
        if (gate.kind == GateKind::MeasureAll) {
            for (std::uint64_t q = 0; q < n; ++q) spelled.push_back(Gate::measure(q, q));
            continue;
        }
        if (gate.kind == GateKind::Barrier && gate.barrier_qubits.empty()) {
            gate.barrier_qubits = everyone;
        }
        spelled.push_back(gate);
    }
    // ... then fold them back the way a reader sees them.
    std::vector<Gate> folded;
    for (std::size_t i = 0; i < spelled.size();) {
        std::uint64_t run = 0;
        while (run < n && i + run < spelled.size() && spelled[i + run] == Gate::measure(run, run)) {
            ++run;
        }
        if (run == n) {
            folded.push_back(Gate::measure_all());
            i += n;
        } else if (spelled[i].kind == GateKind::Barrier && spelled[i].barrier_qubits == everyone) {
            folded.push_back(Gate::barrier({}));
            ++i;
        } else {
            folded.push_back(spelled[i++]);
        }
    }
    return folded;
}

TEST(QasmRoundTrip, RandomCircuitsReadBackAsWritten) {
    std::size_t total_gates = 0;
    for (std::uint64_t seed = 1; seed <= 600; ++seed) {
        Random r{std::mt19937_64(seed)};
        const ParameterizedCircuit circuit = random_circuit(r);
        std::vector<double> values;
        for (std::uint64_t i = 0; i < circuit.num_params(); ++i) values.push_back(r.angle_value());

        auto text = circuit.to_qasm2(values);
        ASSERT_TRUE(text) << "seed " << seed << ": " << text.error().message();
        auto back = ParameterizedCircuit::from_qasm2(*text);
        ASSERT_TRUE(back) << "seed " << seed << ": " << back.error().message() << "\n" << *text;
        EXPECT_EQ(back->num_qubits(), circuit.num_qubits()) << "seed " << seed;

        const std::vector<Gate> expected = expected_after_round_trip(circuit, values);
        ASSERT_EQ(back->gates().size(), expected.size()) << "seed " << seed << "\n" << *text;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(back->gates()[i], expected[i])
                << "seed " << seed << " gate " << i << ": " << back->gates()[i].debug_string()
                << " vs " << expected[i].debug_string() << "\n" << *text;
        }
        total_gates += expected.size();
    }
    EXPECT_GT(total_gates, 5000u);  // the generator really produced circuits
}

}  // namespace
}  // namespace morvane::circuit
