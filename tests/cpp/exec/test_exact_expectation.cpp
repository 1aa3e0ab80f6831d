#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "exec/entry_rules.hpp"
#include "exec/exact_expectation.hpp"
#include "fake_foreign.hpp"

using namespace morvane;
using namespace morvane::exec;

namespace {

// RY(theta_0) on qubit 0, RY(theta_1) on qubit 1: <Z_q> = cos(theta_q).
circuit::ParameterizedCircuit two_rotations() {
    circuit::ParameterizedCircuit qc(2);
    EXPECT_TRUE(qc.push(circuit::Gate::ry(0, circuit::Angle::param(0))).has_value());
    EXPECT_TRUE(qc.push(circuit::Gate::ry(1, circuit::Angle::param(1))).has_value());
    return qc;
}

observable::ExpectationPlan z_plan(const circuit::ParameterizedCircuit& qc) {
    using Labelled = std::pair<std::string_view, std::complex<double>>;
    const Labelled z0[] = {{"IZ", 1.0}}, z1[] = {{"ZI", 1.0}};
    const observable::ExactObservable list[] = {
        std::make_shared<const observable::PauliSum>(observable::PauliSum::from_labels(z0, {}).value()),
        std::make_shared<const observable::PauliSum>(observable::PauliSum::from_labels(z1, {}).value())};
    return observable::ExpectationPlan::build(list, readout_of(qc)).value();
}

sim::StatevectorSimulator simulator(std::uint64_t threshold) { return sim::StatevectorSimulator(threshold); }

}  // namespace

TEST(ExactExpectations, EveryRowGetsItsOwnValuesWhateverTheParallelism) {
    const auto qc = two_rotations();
    const auto plan = z_plan(qc);
    std::vector<double> rows;
    for (int r = 0; r < 37; ++r) {
        rows.push_back(0.1 * r);
        rows.push_back(-0.07 * r);
    }
    // Threshold 1: every state's kernels and passes may split over the pool.
    auto parallel = exact_expectations(qc, plan, rows, 37, simulator(1), {});
    auto serial = exact_expectations(qc, plan, rows, 37, simulator(64), {});
    ASSERT_TRUE(parallel && serial);
    EXPECT_EQ(*parallel, *serial);
    ASSERT_EQ(parallel->size(), 74u);
    for (int r = 0; r < 37; ++r) {
        EXPECT_NEAR((*parallel)[2 * r], std::cos(0.1 * r), 1e-14);
        EXPECT_NEAR((*parallel)[2 * r + 1], std::cos(-0.07 * r), 1e-14);
    }
}

TEST(ExactExpectations, NoRowsIsNoValues) {
    const auto qc = two_rotations();
    auto values = exact_expectations(qc, z_plan(qc), {}, 0, simulator(64), {});
    ASSERT_TRUE(values);
    EXPECT_TRUE(values->empty());
}

TEST(ExactExpectations, AnExceptionFromTheSignalCheckStopsTheBatch) {
    const auto qc = two_rotations();
    std::vector<double> rows(2 * 50, 0.25);
    int checks = 0;
    const SignalCheck interrupt = [&checks]() -> ForeignErrorPtr {
        ++checks;
        return std::make_shared<FakeForeignError>("KeyboardInterrupt");
    };
    // The calling thread checks before its first row.
    auto values = exact_expectations(qc, z_plan(qc), rows, 50, simulator(64), interrupt);
    ASSERT_FALSE(values);
    ASSERT_TRUE(values.error().is<EvalPython>());
    EXPECT_EQ(values.error().message(), "Python evaluation error: KeyboardInterrupt");
    EXPECT_EQ(checks, 1);
}

TEST(ExactExpectations, ASimulationFailureIsTheNativeCircuitError) {
    circuit::ParameterizedCircuit qc(31);
    const auto plan = observable::ExpectationPlan::build({}, readout_of(qc)).value();
    auto values = exact_expectations(qc, plan, {}, 1, simulator(64), {});
    ASSERT_FALSE(values);
    EXPECT_TRUE(values.error().is<EvalBackend>());
    EXPECT_NE(values.error().message().find("native statevector simulation failed"),
              std::string::npos);
}

// The values of each row are, to the last bit, those of binding the row and
// simulating the bound gates (the circuit's global phase left out, as it
// changes no expectation), fused or not, serial or parallel; a row binding
// refuses is refused with binding's error.
TEST(ExactExpectations, RowsGiveTheValuesOfTheirBoundCircuits) {
    using circuit::Angle;
    using circuit::Gate;
    circuit::ParameterizedCircuit qc(2);
    const Angle gamma = Angle::param(0), beta = Angle::param(1);
    ASSERT_TRUE(qc.push(Gate::h(0)));
    ASSERT_TRUE(qc.push(Gate::h(1)));
    ASSERT_TRUE(qc.push(Gate::rzz(0, 1, gamma * Angle::fixed(2.0))));
    ASSERT_TRUE(qc.push(Gate::rx(0, circuit::apply(circuit::AngleOp::Sin, beta) * gamma)));
    ASSERT_TRUE(qc.push(Gate::u(1, beta, gamma, Angle::fixed(0.3))));
    const std::uint64_t pair[2] = {1, 0};
    ASSERT_TRUE(qc.push(Gate::make(circuit::GateKind::Dcx, pair, {})));
    ASSERT_TRUE(qc.set_global_phase(beta * Angle::fixed(0.5) + Angle::fixed(0.1)));
    const auto plan = z_plan(qc);
    std::vector<double> rows;
    for (int r = 0; r < 9; ++r) {
        rows.push_back(0.37 * r - 1.0);
        rows.push_back(r % 3 == 0 ? -0.0 : 0.21 * r);
    }
    for (const bool fusion : {true, false}) {
        for (const std::uint64_t threshold : {1, 64}) {
            sim::StatevectorSimulator sim = simulator(threshold);
            sim.fusion = fusion;
            auto values = exact_expectations(qc, plan, rows, 9, sim, {});
            ASSERT_TRUE(values);
            for (std::size_t r = 0; r < 9; ++r) {
                auto bound = qc.assign_parameters(std::span(rows).subspan(2 * r, 2));
                auto state = sim.simulate(2, bound->gates());
                std::vector<double> expected(2);
                plan.evaluate(state->amplitudes(), state->parallel(), expected);
                EXPECT_EQ((*values)[2 * r], expected[0]) << "row " << r;
                EXPECT_EQ((*values)[2 * r + 1], expected[1]) << "row " << r;
            }
            std::vector<double> refused = rows;
            refused[2 * 5 + 1] = std::nan("");
            auto error = exact_expectations(qc, plan, refused, 9, sim, {});
            ASSERT_FALSE(error);
            ASSERT_TRUE(error.error().is<EvalBinding>());
            EXPECT_EQ(error.error().as<EvalBinding>().error,
                      qc.assign_parameters(std::span(refused).subspan(10, 2)).error());
        }
    }
}

TEST(ExactOracle, RecordsItsFirstErrorAndAnswersZeros) {
    TrainingRun run;
    run.config.id = "exact_0";
    circuit::ParameterizedCircuit qc(1);
    ASSERT_TRUE(qc.push(circuit::Gate::rx(0, circuit::Angle::param(0))).has_value());
    using Labelled = std::pair<std::string_view, std::complex<double>>;
    const Labelled z[] = {{"Z", 1.0}};
    const observable::ExactObservable cost =
        std::make_shared<const observable::PauliSum>(observable::PauliSum::from_labels(z, {}).value());
    ExactOracle oracle(run, qc, observable::ExpectationPlan::build(std::span(&cost, 1), readout_of(qc)).value(),
                       simulator(64));
    const std::vector<std::vector<double>> good = {{0.0}, {M_PI}};
    const auto values = oracle.evaluate(good);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_NEAR(values[0], 1.0, 1e-15);
    EXPECT_NEAR(values[1], -1.0, 1e-15);
    EXPECT_FALSE(run.errors.has_error());
}

TEST(ExactTrainingRules, OnlyTheNativeBackendAndCostsWithAnExactValue) {
    EXPECT_TRUE(check_exact_backend("local", "morvane"));
    EXPECT_TRUE(check_exact_backend("local", "statevector"));
    auto aer = check_exact_backend("local", "aer");
    ASSERT_FALSE(aer);
    EXPECT_EQ(aer.error().message,
              "shots=None computes exact expectation values from the statevector, which only "
              "the native backend has; pass infrastructure=\"local\" and backend=\"morvane\", or "
              "a number of shots for backend \"aer\" on infrastructure \"local\"");
    EXPECT_FALSE(check_exact_backend("cunqa", "morvane"));
    for (CostKind ok : {CostKind::Qubo, CostKind::Ising, CostKind::PauliSum}) {
        EXPECT_TRUE(check_exact_cost(ok));
    }
    for (CostKind refused : {CostKind::Callable, CostKind::CachedCost}) {
        auto checked = check_exact_cost(refused);
        ASSERT_FALSE(checked);
        EXPECT_NE(checked.error().message.find("has no exact value"), std::string::npos);
    }
    EXPECT_FALSE(check_run_sizes(0u, 1, "local", 1, 1));
    EXPECT_TRUE(check_run_sizes(std::nullopt, 1, "local", 1, 1));
}
