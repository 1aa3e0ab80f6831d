// A bound circuit's global phase, and the phases of decompositions, reach the
// simulated state exactly, on the fused and the unfused path alike.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/gate_catalogue.hpp"
#include "sim/simulator.hpp"

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;
using circuit::GateKind;

class GlobalPhase : public ::testing::TestWithParam<bool> {};

TEST_P(GlobalPhase, MultipliesTheWholeState) {
    StatevectorSimulator simulator(64);
    simulator.fusion = GetParam();
    std::vector<Gate> gates{Gate::h(0), Gate::cx(0, 1), Gate::ry(2, Angle::fixed(0.4)),
                            Gate::make(GateKind::Ccx, std::vector<std::uint64_t>{2, 0, 1}, {})};
    const auto plain = simulator.simulate(3, gates);
    ASSERT_TRUE(plain);
    for (double phase : {0.0, 0.3, -2.5, M_PI}) {
        const auto phased = simulator.simulate(circuit::ConcreteCircuit(3, gates, phase));
        ASSERT_TRUE(phased);
        const std::complex<double> factor = std::polar(1.0, phase);
        for (std::size_t i = 0; i < 8; ++i) {
            EXPECT_LT(std::abs(phased->amplitudes()[i] - factor * plain->amplitudes()[i]), 1e-15);
        }
    }
}

TEST_P(GlobalPhase, ZeroQubitCircuitIsItsPhase) {
    StatevectorSimulator simulator(64);
    simulator.fusion = GetParam();
    const auto state = simulator.simulate(circuit::ConcreteCircuit(0, {}, 1.25));
    ASSERT_TRUE(state);
    EXPECT_LT(std::abs(state->amplitudes()[0] - std::polar(1.0, 1.25)), 1e-15);
}

TEST_P(GlobalPhase, DecomposedGatesKeepTheirExactMatrix) {
    // Every decomposed gate alone on |0..0> after a basis-mixing layer: the
    // state equals the catalogue matrix applied to that layer's state, phase
    // included.
    StatevectorSimulator simulator(64);
    simulator.fusion = GetParam();
    for (const circuit::GateInfo& info : circuit::gate_catalogue()) {
        if (info.sim_class != circuit::SimClass::Decomposed) continue;
        const std::size_t k = info.num_qubits, dim = std::size_t{1} << k;
        std::vector<Gate> gates;
        for (std::uint64_t q = 0; q < k; ++q) gates.push_back(Gate::ry(q, Angle::fixed(0.3 + q)));
        const auto before = simulator.simulate(k, gates);
        std::vector<std::uint64_t> qubits;
        for (std::uint64_t q = 0; q < k; ++q) qubits.push_back(k - 1 - q);
        gates.push_back(Gate::make(info.kind, qubits, {}));
        const auto after = simulator.simulate(k, gates);
        ASSERT_TRUE(before && after);
        const auto u = circuit::gate_matrix(info.kind, {});
        for (std::size_t r = 0; r < dim; ++r) {
            // Gate-local index: bit j is qubit k-1-j of the register.
            auto local = [&](std::size_t i) {
                std::size_t l = 0;
                for (std::size_t j = 0; j < k; ++j) l |= ((i >> (k - 1 - j)) & 1) << j;
                return l;
            };
            std::complex<double> expected{};
            for (std::size_t c = 0; c < dim; ++c)
                expected += u[local(r) * dim + local(c)] * before->amplitudes()[c];
            EXPECT_LT(std::abs(after->amplitudes()[r] - expected), 1e-14) << info.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, GlobalPhase, ::testing::Values(true, false),
                         [](const auto& test) { return test.param ? "Fused" : "Unfused"; });

}  // namespace
}  // namespace morvane::sim
