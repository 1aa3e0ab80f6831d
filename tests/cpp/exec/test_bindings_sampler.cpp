#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <algorithm>
#include <set>
#include <vector>

#include "exec/bindings_sampler.hpp"
#include "sim/sampling.hpp"

using namespace morvane;
using namespace morvane::exec;
using circuit::Angle;
using circuit::Gate;
using circuit::ParameterizedCircuit;

namespace {

// Four qubits: an RY layer of free angles, an entangling chain, a second
// layer on qubits 0 and 3; qubit 2 is left unmeasured, the others are read
// into bits in another order.
ParameterizedCircuit layered_circuit() {
    ParameterizedCircuit c(4);
    for (std::uint64_t q = 0; q < 4; ++q) EXPECT_TRUE(c.push(Gate::ry(q, Angle::param(q))));
    for (std::uint64_t q = 0; q < 3; ++q) EXPECT_TRUE(c.push(Gate::cx(q, q + 1)));
    EXPECT_TRUE(c.push(Gate::rx(0, Angle::param(4))));
    EXPECT_TRUE(c.push(Gate::rz(3, Angle::param(5))));
    EXPECT_TRUE(c.push(Gate::measure(3, 0)));
    EXPECT_TRUE(c.push(Gate::measure(0, 1)));
    EXPECT_TRUE(c.push(Gate::measure(1, 2)));
    return c;
}

std::vector<RegisterOutput> outputs_for(const ParameterizedCircuit& c, std::size_t rows,
                                        std::uint32_t shots, std::vector<std::uint8_t>& whole,
                                        std::vector<std::uint8_t>& low) {
    const auto finals = sim::final_measurements(c.num_qubits(), 3, c.gates());
    const std::vector<std::uint64_t> all{0, 1, 2}, first{1};
    auto whole_readout = sim::register_readout(finals, all);
    auto low_readout = sim::register_readout(finals, first);
    whole.assign(rows * shots * whole_readout->bytes_per_shot(), 0);
    low.assign(rows * shots * low_readout->bytes_per_shot(), 0);
    return {RegisterOutput{*whole_readout, whole}, RegisterOutput{*low_readout, low}};
}

std::vector<double> value_rows(std::size_t rows) {
    std::vector<double> values;
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t p = 0; p < 6; ++p) values.push_back(0.3 * static_cast<double>(r + 1) + 0.7 * p);
    return values;
}

// Each row of a batch is exactly what binding that row alone, simulating it
// without a plan, drawing its shots with its row seed and packing them gives:
// the shared plan, the row seeds and the output offsets are all as stated.
TEST(SampleBindings, EachRowIsItsOwnUnplannedRun) {
    const ParameterizedCircuit c = layered_circuit();
    const std::size_t rows = 13;
    const std::uint32_t shots = 200;
    const std::vector<double> values = value_rows(rows);
    std::vector<std::uint8_t> whole, low;
    const auto outputs = outputs_for(c, rows, shots, whole, low);
    const sim::StatevectorSimulator simulator(64);
    ASSERT_TRUE(sample_bindings(c, {values, rows, 6}, shots, 99, outputs, simulator));

    sim::StatevectorSimulator unfused(64);
    unfused.fusion = false;
    for (std::size_t r = 0; r < rows; ++r) {
        SCOPED_TRACE(r);
        auto bound = c.assign_parameters(std::span(values).subspan(r * 6, 6));
        ASSERT_TRUE(bound);
        auto state = unfused.simulate(*bound);
        ASSERT_TRUE(state);
        sim::ShotSampler sampler;
        sampler.load(*state);
        std::vector<std::uint64_t> outcomes(shots);
        sampler.draw_shots(row_seed(99, r), outcomes);
        std::vector<std::uint8_t> expected(shots);
        outputs[0].readout.pack(outcomes, expected);
        EXPECT_EQ(std::vector<std::uint8_t>(whole.begin() + r * shots, whole.begin() + (r + 1) * shots),
                  expected);
        outputs[1].readout.pack(outcomes, expected);
        EXPECT_EQ(std::vector<std::uint8_t>(low.begin() + r * shots, low.begin() + (r + 1) * shots),
                  expected);
    }
}

TEST(SampleBindings, SameSeedSameBytesAndRowsDrawIndependently) {
    ParameterizedCircuit c(3);
    for (std::uint64_t q = 0; q < 3; ++q) ASSERT_TRUE(c.push(Gate::rx(q, Angle::param(0))));
    ASSERT_TRUE(c.push(Gate::measure_all()));
    const std::size_t rows = 6;
    const std::uint32_t shots = 64;
    // Identical rows in uniform superposition: only the row seeds tell them apart.
    const std::vector<double> values(rows, std::numbers::pi / 2);
    const auto finals = sim::final_measurements(3, 3, c.gates());
    const std::vector<std::uint64_t> bits{0, 1, 2};
    const sim::RegisterReadout readout = *sim::register_readout(finals, bits);
    const sim::StatevectorSimulator simulator(64);
    auto sample = [&](std::uint64_t seed) {
        std::vector<std::uint8_t> bytes(rows * shots);
        const RegisterOutput output{readout, bytes};
        EXPECT_TRUE(sample_bindings(c, {values, rows, 1}, shots, seed, std::span(&output, 1), simulator));
        return bytes;
    };
    const auto first = sample(5);
    EXPECT_EQ(sample(5), first);
    EXPECT_NE(sample(6), first);
    // Pairwise (a set of byte vectors trips a false GCC 12 overread warning).
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t other = r + 1; other < rows; ++other) {
            EXPECT_FALSE(std::equal(first.begin() + r * shots, first.begin() + (r + 1) * shots,
                                    first.begin() + other * shots))
                << "rows " << r << " and " << other << " drew the same shots";
        }
    }
}

TEST(SampleBindings, DeterministicRowsGiveTheirBits) {
    // RX(theta) on two qubits, theta 0 or pi per row: each row is one outcome.
    ParameterizedCircuit c(2);
    ASSERT_TRUE(c.push(Gate::rx(0, Angle::param(0))));
    ASSERT_TRUE(c.push(Gate::rx(1, Angle::param(1))));
    ASSERT_TRUE(c.push(Gate::measure(0, 1)));
    ASSERT_TRUE(c.push(Gate::measure(1, 0)));
    const double pi = std::numbers::pi;
    const std::vector<double> values{0, 0, pi, 0, 0, pi, pi, pi};
    const std::vector<std::uint64_t> bits{0, 1};
    const sim::RegisterReadout readout =
        *sim::register_readout(sim::final_measurements(2, 2, c.gates()), bits);
    std::vector<std::uint8_t> bytes(4 * 3);
    const RegisterOutput output{readout, bytes};
    ASSERT_TRUE(sample_bindings(c, {values, 4, 2}, 3, 1, std::span(&output, 1), sim::StatevectorSimulator(64)));
    // Qubit 0 lands in bit 1, qubit 1 in bit 0.
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0, 0, 0, 2, 2, 2, 1, 1, 1, 3, 3, 3}));
}

TEST(SampleBindings, ARowThatCannotBeBoundNamesTheRow) {
    ParameterizedCircuit c(1);
    ASSERT_TRUE(c.push(Gate::rx(0, Angle::param(0))));
    ASSERT_TRUE(c.push(Gate::measure(0, 0)));
    const std::vector<double> values{0.1, 0.2, std::nan(""), 0.4};
    std::vector<std::uint8_t> bytes(4 * 8);
    const std::vector<std::uint64_t> bits{0};
    const RegisterOutput output{*sim::register_readout(sim::final_measurements(1, 1, c.gates()), bits),
                                bytes};
    auto result = sample_bindings(c, {values, 4, 1}, 8, 1, std::span(&output, 1),
                                  sim::StatevectorSimulator(64));
    ASSERT_FALSE(result);
    ASSERT_TRUE(std::holds_alternative<BindingFailure>(result.error()));
    EXPECT_EQ(std::get<BindingFailure>(result.error()).message(),
              "parameter values of row 2: " +
                  circuit::CircuitError(circuit::NonFiniteParam{}).message());
}

TEST(RowSeed, RowsAndSeedsGiveUnrelatedSeeds) {
    std::set<std::uint64_t> seen;
    for (std::uint64_t seed : {0u, 1u, 2u})
        for (std::uint64_t row = 0; row < 100; ++row) seen.insert(row_seed(seed, row));
    EXPECT_EQ(seen.size(), 300u);
}

}  // namespace
