#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "exec/dispatch.hpp"
#include "exec/native_backend.hpp"
#include "fake_foreign.hpp"

using namespace morvane;
using namespace morvane::exec;
using observable::CountsMap;
using observable::ObservableError;

namespace {

// The fitness of a circuit is read off its counts: the fraction of shots on
// the all-ones outcome, so the value depends on what really ran.
class OnesFraction final : public observable::Observable {
public:
    mutable int calls = 0;
    std::vector<double> override_values;  // when set, returned as they are
    std::optional<ObservableError> fail;

    std::expected<std::vector<double>, ObservableError> evaluate_counts(
        std::span<const CountsMap> batch) const override {
        ++calls;
        if (fail) return std::unexpected(*fail);
        if (!override_values.empty()) return override_values;
        std::vector<double> values;
        for (const CountsMap& map : batch) {
            std::uint64_t total = 0, ones = 0;
            for (const auto& [key, count] : map) {
                total += count;
                if (key.find('0') == std::string::npos) ones += count;
            }
            values.push_back(static_cast<double>(ones) / static_cast<double>(total));
        }
        return values;
    }
    bool calls_python() const noexcept override { return false; }
};

// RX(theta) on one qubit, measured: the ones fraction estimates sin^2(theta/2).
circuit::ParameterizedCircuit rx_circuit() {
    circuit::ParameterizedCircuit qc(1);
    EXPECT_TRUE(qc.push(circuit::Gate::rx(0, circuit::Angle::param(0))).has_value());
    EXPECT_TRUE(qc.push(circuit::Gate::measure_all()).has_value());
    return qc;
}

struct Harness {
    TrainingRun run;
    std::shared_ptr<OnesFraction> observable = std::make_shared<OnesFraction>();
    TrainOracle oracle;

    Harness()
        : oracle(run, std::make_shared<NativeBinder>(rx_circuit()), observable) {
        run.config.id = "unit_0";
        run.config.seed = 9;
        run.shots = 2000;
        auto backend = std::make_shared<NativeBackend>(std::uint64_t{9}, true);
        run.session.emplace(backend, backend->default_planner());
    }
};

}  // namespace

TEST(TrainOracle, OneValuePerCandidateFromWhatRan) {
    Harness h;
    const std::vector<std::vector<double>> candidates{{0.0}, {M_PI}, {M_PI / 2}};
    const std::vector<double> values = h.oracle.evaluate(candidates);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], 0.0);
    EXPECT_EQ(values[1], 1.0);
    EXPECT_NEAR(values[2], 0.5, 0.06);
    EXPECT_FALSE(h.run.errors.has_error());
}

TEST(TrainOracle, FirstErrorIsKeptAndLaterBatchesAnswerZerosWithoutRunning) {
    Harness h;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A non-finite candidate fails to bind: the circuit error is recorded.
    const std::vector<std::vector<double>> bad{{0.1}, {nan}};
    EXPECT_EQ(h.oracle.evaluate(bad), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(h.observable->calls, 0);
    ASSERT_TRUE(h.run.errors.has_error());

    // A later failure of another kind does not replace the first.
    h.observable->fail = ObservableError(observable::Invalid{"second"});
    const std::vector<std::vector<double>> good{{0.1}, {0.2}, {0.3}};
    EXPECT_EQ(h.oracle.evaluate(good), (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(h.observable->calls, 0);

    auto error = h.run.errors.take();
    ASSERT_TRUE(error.has_value());
    ASSERT_TRUE(error->is<EvalBinding>());
    EXPECT_EQ(error->message().rfind("circuit binding failed: ", 0), 0u) << error->message();
    EXPECT_FALSE(h.run.errors.has_error());
}

struct ContractCase {
    std::vector<double> values;
    std::string message;
};

class FitnessContract : public testing::TestWithParam<ContractCase> {};

TEST_P(FitnessContract, BrokenOutputsAreRecordedWithTheirMessage) {
    Harness h;
    h.observable->override_values = GetParam().values;
    const std::vector<std::vector<double>> candidates{{0.1}, {0.2}};
    EXPECT_EQ(h.oracle.evaluate(candidates), (std::vector<double>{0.0, 0.0}));
    auto error = h.run.errors.take();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FitnessContract,
    testing::Values(
        ContractCase{{1.0},
                     "oracle returned the wrong number of expectation values: expected 2 (one per "
                     "submitted circuit) but got 1 (contract C-5)"},
        ContractCase{{1.0, std::numeric_limits<double>::quiet_NaN()},
                     "oracle returned a non-finite expectation value NaN at index 1; contract C-5 "
                     "requires every output to be a finite f64"},
        ContractCase{{-std::numeric_limits<double>::infinity(),
                      std::numeric_limits<double>::infinity()},
                     "oracle returned a non-finite expectation value -inf at index 0; contract "
                     "C-5 requires every output to be a finite f64"}));

TEST(EvalErrors, RunErrorsMapVariantByVariant) {
    auto interrupt = std::make_shared<const FakeForeignError>("KeyboardInterrupt");
    auto python = std::make_shared<const FakeForeignError>("boom");
    const auto from = [&](RunError error) { return eval_error_from(std::move(error), interrupt); };

    EvalError backend = from(RunError(InfraError(Cunqa{"down"})));
    ASSERT_TRUE(backend.is<EvalBackend>());
    EXPECT_EQ(backend.message(), "CUNQA backend error: down");

    EvalError consumer = from(RunError(Evaluation{ObservableError(observable::Invalid{"x"})}));
    ASSERT_TRUE(consumer.is<EvalObservable>());
    EXPECT_EQ(consumer.message().rfind("expectation evaluation failed: ", 0), 0u);

    EvalError raised = from(RunError(Python{python}));
    ASSERT_TRUE(raised.is<EvalPython>());
    EXPECT_EQ(raised.as<EvalPython>().error, python);
    EXPECT_EQ(raised.message(), "Python evaluation error: boom");

    EvalError cancelled = from(RunError(Cancelled{}));
    ASSERT_TRUE(cancelled.is<EvalPython>());
    EXPECT_EQ(cancelled.as<EvalPython>().error, interrupt);

    EvalError plan = from(RunError(InvalidPlan{"no fit"}));
    ASSERT_TRUE(plan.is<RuntimeConversion>());
    EXPECT_EQ(plan.message(), "QML evaluation runtime error: no fit");

    EXPECT_EQ(EvalError(InvalidVariance{2, -0.5}).message(),
              "variance_function returned an invalid value -0.5 for parameter index 2; a QFIM "
              "diagonal element must be a finite, non-negative number");
}
