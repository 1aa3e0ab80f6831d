// The catalogue's matrices against its decompositions, and its table against
// itself: every gate there is, with no hand-kept list.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <set>
#include <string>

#include "circuit/gate.hpp"
#include "circuit/gate_catalogue.hpp"
#include "unitary.hpp"

namespace morvane::circuit {
namespace {

std::vector<double> random_angles(std::mt19937_64& rng, std::size_t n) {
    std::uniform_real_distribution<double> angle(-7.0, 7.0);
    std::vector<double> values;
    for (std::size_t i = 0; i < n; ++i) values.push_back(angle(rng));
    return values;
}

class EveryGate : public ::testing::TestWithParam<GateKind> {};

TEST_P(EveryGate, DecompositionEqualsMatrixIncludingPhase) {
    const GateInfo& info = gate_info(GetParam());
    std::mt19937_64 rng(static_cast<unsigned>(info.kind) + 11);
    for (int trial = 0; trial < 4; ++trial) {
        const auto angles = random_angles(rng, info.num_angles);
        std::vector<std::uint64_t> qubits;
        for (std::size_t j = 0; j < info.num_qubits; ++j) qubits.push_back(j);
        std::vector<Angle> fixed;
        for (double a : angles) fixed.push_back(Angle::fixed(a));
        const Gate gate = Gate::make(info.kind, qubits, fixed);
        const auto decomposition = decompose(gate, angles);
        if (!decomposition) {
            // Only the original gates, which every expansion ends in, have none.
            EXPECT_LT(static_cast<std::size_t>(info.kind), 18u) << info.name;
            continue;
        }
        const std::size_t k = info.num_qubits, dim = std::size_t{1} << k;
        for (const Gate& part : decomposition->gates) {
            for (std::size_t j = 0; j < part.num_qubit_fields(); ++j) ASSERT_LT(part.qubit(j), k);
        }
        const Matrix m = unitary_of(k, decomposition->gates);
        const Complex phase = std::polar(1.0, decomposition->phase);
        const Matrix expected = gate_matrix(info.kind, angles);
        for (std::size_t i = 0; i < dim * dim; ++i) {
            EXPECT_LT(std::abs(phase * m[i] - expected[i]), 1e-12)
                << info.name << " entry " << i / dim << "," << i % dim;
        }
    }
}

TEST_P(EveryGate, MatrixIsUnitary) {
    const GateInfo& info = gate_info(GetParam());
    std::mt19937_64 rng(static_cast<unsigned>(info.kind) + 99);
    const auto angles = random_angles(rng, info.num_angles);
    const Matrix u = gate_matrix(info.kind, angles);
    const std::size_t dim = std::size_t{1} << info.num_qubits;
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c) {
            Complex dot{};
            for (std::size_t i = 0; i < dim; ++i) dot += std::conj(u[i * dim + r]) * u[i * dim + c];
            EXPECT_LT(std::abs(dot - (r == c ? 1.0 : 0.0)), 1e-12) << info.name;
        }
}

std::vector<GateKind> unitary_kinds() {
    std::vector<GateKind> kinds;
    for (const GateInfo& info : gate_catalogue()) {
        if (is_unitary(info.kind)) kinds.push_back(info.kind);
    }
    return kinds;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryGate, ::testing::ValuesIn(unitary_kinds()),
                         [](const auto& p) { return std::string(gate_info(p.param).name); });

TEST(GateCatalogue, NamesAreUniqueAndFoundByName) {
    std::set<std::string_view> names;
    for (const GateInfo& info : gate_catalogue()) {
        EXPECT_TRUE(names.insert(info.name).second) << info.name;
        if (is_unitary(info.kind)) {
            ASSERT_NE(find_gate(info.name), nullptr) << info.name;
            EXPECT_EQ(find_gate(info.name)->kind, info.kind);
        }
    }
    EXPECT_EQ(find_gate("measure"), nullptr);
    EXPECT_EQ(find_gate("CX"), nullptr);
}

}  // namespace
}  // namespace morvane::circuit
