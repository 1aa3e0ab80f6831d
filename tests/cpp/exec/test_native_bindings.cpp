// Binding jobs on the native backend against the bound circuits run through
// run_jobs: the same maps from the same seeds, whatever the waves.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "exec/native_backend.hpp"
#include "exec/planner.hpp"

using namespace morvane;
using namespace morvane::exec;
using circuit::Angle;
using circuit::AngleOp;
using circuit::Gate;
using circuit::ParameterizedCircuit;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A 10-qubit ansatz with three parameters read in every form binding meets,
// a global phase of a parameter, and a measurement into a 20-bit register
// (counts keys wider than a short string's inline buffer). `shift` changes
// literal angles only: the circuits of two shifts share their structure, as
// the samples of one QML batch do.
ParameterizedCircuit ansatz(double shift) {
    constexpr std::uint64_t n = 10;
    ParameterizedCircuit c(n);
    for (std::uint64_t q = 0; q < n; ++q) EXPECT_TRUE(c.push(Gate::h(q)));
    for (std::uint64_t q = 0; q + 1 < n; ++q) {
        EXPECT_TRUE(c.push(Gate::rzz(q, q + 1, Angle::param(0))));
    }
    for (std::uint64_t q = 0; q < n; ++q) {
        EXPECT_TRUE(c.push(Gate::rx(q, Angle::affine(1, 0.5, shift * double(q)))));
        EXPECT_TRUE(c.push(Gate::ry(q, circuit::apply(AngleOp::Sin, Angle::param(2)) +
                                           Angle::fixed(shift))));
    }
    for (std::uint64_t q = 0; q + 1 < n; q += 2) EXPECT_TRUE(c.push(Gate::cx(q, q + 1)));
    EXPECT_TRUE(c.set_global_phase(Angle::param(1)));
    for (std::uint64_t q = 0; q < n; ++q) EXPECT_TRUE(c.push(Gate::measure(q, 2 * q + 1)));
    return c;
}

// Another structure: a three-qubit circuit measuring nothing (keys are the qubits).
ParameterizedCircuit small() {
    ParameterizedCircuit c(3);
    EXPECT_TRUE(c.push(Gate::ry(0, Angle::param(0))));
    EXPECT_TRUE(c.push(Gate::cx(0, 2)));
    EXPECT_TRUE(c.push(Gate::rz(2, Angle::param(1) * Angle::param(2))));
    EXPECT_TRUE(c.push(Gate::h(1)));
    return c;
}

class BindingJobs : public testing::TestWithParam<std::tuple<const char*, bool, std::uint32_t>> {
protected:
    void TearDown() override { unsetenv("MORVANE_MEM_BUDGET"); }
};

TEST_P(BindingJobs, CountsEqualTheBoundCircuitsRunFromTheSameSeeds) {
    const auto [budget, fusion, shots] = GetParam();
    if (*budget != '\0') setenv("MORVANE_MEM_BUDGET", budget, 1);
    const std::vector<ParameterizedCircuit> circuits{ansatz(0.0), ansatz(0.3), small()};
    std::vector<std::vector<double>> rows;
    for (int r = 0; r < 7; ++r) rows.push_back({0.1 * r - 0.2, 1.3 - 0.4 * r, 0.7 * r});
    // Jobs interleave the circuits, so batches and plans are found by
    // identity and shared between circuits of one structure.
    std::vector<BindingJob> jobs;
    for (std::size_t j = 0; j < 3 * rows.size(); ++j) {
        jobs.push_back({&circuits[j % 3], rows[j / 3]});
    }
    std::vector<CircuitInput> bound;
    for (const BindingJob& job : jobs) bound.push_back(*job.circuit->assign_parameters(job.values));
    std::vector<CircuitJob> bound_jobs;
    for (const CircuitInput& input : bound) bound_jobs.push_back({&input, shots});

    sim::StatevectorSimulator simulator(4);
    simulator.fusion = fusion;
    simulator.chunk_bits = sim::MIN_CHUNK_BITS;
    NativeBackend by_rows(77u, simulator), by_circuits(77u, simulator);
    const RunConfig config;
    const CancelToken cancel;
    // Twice: the second call's seeds follow the first's on both sides.
    for (int call = 0; call < 2; ++call) {
        auto expected = atomic_wave_planner().plan(by_circuits, bound_jobs, config, cancel);
        auto got = atomic_wave_planner().plan_bindings(by_rows, jobs, shots, config, cancel);
        ASSERT_TRUE(expected) << expected.error().message();
        ASSERT_TRUE(got);
        ASSERT_EQ(got->size(), jobs.size());
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            EXPECT_EQ((*got)[j], (*expected)[j]) << "call " << call << ", job " << j;
        }
        EXPECT_EQ(by_rows.seeds_used(), by_circuits.seeds_used());
    }
    EXPECT_EQ((*atomic_wave_planner().plan_bindings(by_rows, jobs, shots, config, cancel))[0]
                  .begin()
                  ->first.size(),
              20u);
}

// No budget: one wave; 16 KiB and 32 KiB: one or two 10-qubit states at a
// time, in many waves.
INSTANTIATE_TEST_SUITE_P(
    Waves, BindingJobs,
    testing::Combine(testing::Values("", "16384", "32768"), testing::Bool(),
                     testing::Values(1000u, 5u)),
    [](const auto& param_info) {
        const char* budget = std::get<0>(param_info.param);
        return std::string(*budget != '\0' ? budget : "unbounded") +
               (std::get<1>(param_info.param) ? "_fused_" : "_unfused_") +
               std::to_string(std::get<2>(param_info.param)) + "_shots";
    });

class UnbindableRows : public testing::TestWithParam<const char*> {
protected:
    void TearDown() override { unsetenv("MORVANE_MEM_BUDGET"); }
};

TEST_P(UnbindableRows, FailWithTheLowestRowAndBindingsOwnError) {
    if (*GetParam() != '\0') setenv("MORVANE_MEM_BUDGET", GetParam(), 1);
    const ParameterizedCircuit circuit = ansatz(0.1);
    std::vector<std::vector<double>> rows(9, std::vector<double>{0.2, 0.4, 0.6});
    rows[5][2] = NaN;  // reaches a gate's angle through sin
    rows[7][1] = std::numeric_limits<double>::infinity();  // the global phase
    rows[8] = {0.1, 0.2};  // too few values
    std::vector<BindingJob> jobs;
    for (const auto& row : rows) jobs.push_back({&circuit, row});
    NativeBackend backend(3u, sim::StatevectorSimulator(64));
    auto got = atomic_wave_planner().plan_bindings(backend, jobs, 20, RunConfig{}, CancelToken{});
    ASSERT_FALSE(got);
    ASSERT_TRUE(std::holds_alternative<BindingFailure>(got.error()));
    const BindingFailure& failure = std::get<BindingFailure>(got.error());
    EXPECT_EQ(failure.row, 5u);
    EXPECT_EQ(failure.error.message(), circuit.assign_parameters(rows[5]).error().message());
    // The backend stays usable.
    jobs.resize(5);
    EXPECT_TRUE(atomic_wave_planner().plan_bindings(backend, jobs, 20, RunConfig{}, CancelToken{}));
}

INSTANTIATE_TEST_SUITE_P(Waves, UnbindableRows, testing::Values("", "16384"),
                         [](const auto& param_info) {
                             return std::string(*param_info.param != '\0' ? param_info.param
                                                                          : "unbounded");
                         });

TEST(BindingJobs, ACircuitTheSimulatorRefusesFailsTheRunAsItsBoundCopyWould) {
    ParameterizedCircuit bad(2);
    ASSERT_TRUE(bad.push(Gate::rx(0, Angle::param(0))));
    ASSERT_TRUE(bad.push(Gate::measure(0, 64)));
    const std::vector<double> row{0.5};
    const std::vector<BindingJob> jobs{{&bad, row}, {&bad, row}};
    NativeBackend by_rows(1u, sim::StatevectorSimulator(64)), bound(1u, sim::StatevectorSimulator(64));
    RunRequest request;
    request.shots = 10;
    auto got = by_rows.run_bindings(jobs, request);
    ASSERT_FALSE(got);
    const CircuitInput input = *bad.assign_parameters(row);
    const std::vector<CircuitJob> bound_jobs{{&input, 10}};
    auto expected = bound.run_jobs(bound_jobs, request);
    ASSERT_FALSE(expected);
    ASSERT_TRUE(std::holds_alternative<RunError>(got.error()));
    EXPECT_EQ(std::get<RunError>(got.error()).message(), expected.error().message());
}

}  // namespace
