#include <gtest/gtest.h>

#include <bitset>
#include <cmath>
#include <limits>
#include <vector>

#include "exec/native_backend.hpp"
#include "exec/qml_oracle.hpp"

using namespace morvane;
using namespace morvane::exec;
using observable::CountsMap;
using observable::ObservableError;

namespace {

// Each bound circuit is "text" naming its candidate and sample as a bitstring;
// the backend answers it with all shots on that bitstring, and the observable
// reads the bitstring back as a number, so every value can be traced to the
// circuit it came from.
std::string code(double weight, std::size_t sample) {
    return std::bitset<12>(static_cast<unsigned>(weight) * 16 + sample).to_string();
}

class TextBinder final : public SampleBinder {
public:
    explicit TextBinder(std::size_t samples) : samples_(samples) {}
    std::size_t samples() const noexcept override { return samples_; }
    std::expected<CircuitInput, EvalError> bind(std::span<const double> weights,
                                                std::size_t sample) const override {
        return CircuitInput(QasmText{code(weights[0], sample)});
    }

private:
    std::size_t samples_;
};

class EchoBackend final : public Backend {
public:
    std::vector<std::size_t> calls;  // jobs per run_jobs call
    std::expected<std::vector<CountsMap>, RunError> run_jobs(std::span<const CircuitJob> jobs,
                                                             const RunRequest& request) override {
        calls.push_back(jobs.size());
        std::vector<CountsMap> maps;
        for (const CircuitJob& job : jobs) {
            maps.push_back({{std::get<QasmText>(*job.circuit).source, request.shots}});
        }
        return maps;
    }
    std::expected<std::vector<CountsMap>, RunError> run_replicas(
        const CircuitInput&, std::span<const std::uint32_t>, const RunRequest&) override {
        return std::unexpected(RunError(InvalidPlan{"unused"}));
    }
    void close() noexcept override {}
    Capabilities capabilities() const override { return {}; }
    std::expected<std::uint64_t, RunError> concurrency_for(
        std::span<const CircuitJob>) const override {
        return UNBOUNDED_CONCURRENCY;
    }
};

class KeyValue final : public observable::Observable {
public:
    double nan_for = -1;  // the key value that reads as NaN
    std::expected<std::vector<double>, ObservableError> evaluate_counts(
        std::span<const CountsMap> batch) const override {
        std::vector<double> values;
        for (const CountsMap& map : batch) {
            const double v = static_cast<double>(std::stoul(map.begin()->first, nullptr, 2));
            values.push_back(v == nan_for ? std::numeric_limits<double>::quiet_NaN() : v);
        }
        return values;
    }
    bool calls_python() const noexcept override { return false; }
};

struct Harness {
    TrainingRun run;
    std::shared_ptr<EchoBackend> backend = std::make_shared<EchoBackend>();
    std::shared_ptr<KeyValue> observable = std::make_shared<KeyValue>();

    Harness() {
        run.config.id = "qml_0";
        run.shots = 5;
        run.session.emplace(backend, backend->default_planner());
    }
};

std::vector<std::vector<double>> candidates(std::size_t n) {
    std::vector<std::vector<double>> out;
    for (std::size_t j = 0; j < n; ++j) out.push_back({static_cast<double>(j + 1)});
    return out;
}

}  // namespace

TEST(QmlOracle, OneCallPerChunkCandidateMajorWithTheMeanOfEachCandidatesSamples) {
    Harness h;
    QmlOracle oracle(h.run, std::make_shared<TextBinder>(3), h.observable, 8);
    const std::vector<double> values = oracle.evaluate(candidates(4));
    EXPECT_EQ(h.backend->calls, (std::vector<std::size_t>{12}));
    // Candidate w, samples 0..2: values 16w, 16w+1, 16w+2, mean 16w+1.
    EXPECT_EQ(values, (std::vector<double>{17, 33, 49, 65}));
    EXPECT_FALSE(h.run.errors.has_error());
}

TEST(QmlOracle, ChunksOfTwoTakeThreePlannerCallsForFiveCandidates) {
    Harness h;
    QmlOracle oracle(h.run, std::make_shared<TextBinder>(3), h.observable, 2);
    const std::vector<double> values = oracle.evaluate(candidates(5));
    EXPECT_EQ(h.backend->calls, (std::vector<std::size_t>{6, 6, 3}));
    EXPECT_EQ(values, (std::vector<double>{17, 33, 49, 65, 81}));
}

TEST(QmlOracle, ANonFiniteSampleValueFailsTheBatchNamingItsCandidate) {
    Harness h;
    h.observable->nan_for = 16 * 3 + 1;  // candidate index 2, sample 1
    QmlOracle oracle(h.run, std::make_shared<TextBinder>(3), h.observable, 2);
    EXPECT_EQ(oracle.evaluate(candidates(4)), (std::vector<double>(4, 0.0)));
    auto error = h.run.errors.take();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message(),
              "oracle returned a non-finite expectation value NaN at index 2; contract C-5 "
              "requires every output to be a finite f64");
}

TEST(QmlOracle, AfterAFailureBatchesAreAnsweredWithoutRunning) {
    Harness h;
    h.run.errors.record(EvalError(RuntimeConversion{"earlier"}), "qml_0");
    QmlOracle oracle(h.run, std::make_shared<TextBinder>(3), h.observable, 2);
    EXPECT_EQ(oracle.evaluate(candidates(3)), (std::vector<double>(3, 0.0)));
    EXPECT_TRUE(h.backend->calls.empty());
    EXPECT_GE(qml_chunk_size(), 2u);
}

namespace {

using circuit::Angle;
using circuit::Gate;
using circuit::ParameterizedCircuit;

// A row of a two-qubit feature map: X on qubit 1 (the row's bit), phase 0.25.
ParameterizedCircuit row_circuit(bool one) {
    ParameterizedCircuit row(2);
    EXPECT_TRUE(row.push(Gate::ry(0, Angle::fixed(0.3))));
    if (one) {
        EXPECT_TRUE(row.push(Gate::x(1)));
    }
    EXPECT_TRUE(row.set_global_phase(Angle::fixed(0.25)));
    return row;
}

// A one-qubit ansatz of one weight, phase on the weight.
ParameterizedCircuit weight_circuit() {
    ParameterizedCircuit ansatz(1);
    EXPECT_TRUE(ansatz.push(Gate::rx(0, Angle::param(0))));
    EXPECT_TRUE(ansatz.set_global_phase(Angle::affine(0, 0.5, 0.0)));
    return ansatz;
}

struct ComposeCase {
    bool measure_all;
    std::uint64_t clbits;
    std::uint64_t key_width;
};

class ComposeSample : public testing::TestWithParam<ComposeCase> {};

}  // namespace

TEST_P(ComposeSample, FeatureMapRowThenAnsatzThenMeasurementsAsQiskitComposes) {
    const ComposeCase& c = GetParam();
    ParameterizedCircuit ansatz = weight_circuit();
    if (!c.measure_all) {
        ASSERT_TRUE(ansatz.push(Gate::measure(0, 0)));
    }
    auto sample = compose_sample(row_circuit(true), ansatz, c.measure_all, c.clbits);
    ASSERT_TRUE(sample) << sample.error().message();
    EXPECT_EQ(sample->num_qubits(), 2u);
    EXPECT_EQ(sample->num_params(), 1u);
    std::vector<Gate> expected{Gate::ry(0, Angle::fixed(0.3)), Gate::x(1),
                               Gate::rx(0, Angle::param(0))};
    expected.push_back(c.measure_all ? Gate::measure_all() : Gate::measure(0, 0));
    EXPECT_EQ(sample->gates(), expected);

    // Bound natively: the weight lands in the ansatz and in the summed phase,
    // and the register is the composite's.
    const double weights[] = {0.8};
    NativeSampleBinder binder({*sample});
    auto bound = binder.bind(weights, 0);
    ASSERT_TRUE(bound);
    const auto& concrete = std::get<circuit::ConcreteCircuit>(*bound);
    EXPECT_EQ(concrete.gates()[2].angles[0], Angle::fixed(0.8));
    EXPECT_DOUBLE_EQ(concrete.global_phase(), 0.25 + 0.4);
    EXPECT_EQ(counts_key_width(concrete), c.key_width);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComposeSample,
                         testing::Values(ComposeCase{true, 0, 2}, ComposeCase{false, 1, 1},
                                         ComposeCase{false, 4, 4}));

TEST(ComposeSample, AFeatureMapThatMeasuresRefusesTheAnsatzAfterIt) {
    ParameterizedCircuit row = row_circuit(false);
    ASSERT_TRUE(row.push(Gate::measure(0, 0)));
    auto sample = compose_sample(row, weight_circuit(), false, 1);
    ASSERT_FALSE(sample);
    EXPECT_NE(sample.error().message().find("after it was measured"), std::string::npos);
}

TEST(NativeSampleBinder, AWrongNumberOfWeightsIsTheBindingVariant) {
    auto sample = compose_sample(row_circuit(false), weight_circuit(), true, 0);
    ASSERT_TRUE(sample);
    NativeSampleBinder binder({*sample, *sample});
    EXPECT_EQ(binder.samples(), 2u);
    const double two[] = {0.1, 0.2};
    auto bound = binder.bind(two, 1);
    ASSERT_FALSE(bound);
    EXPECT_TRUE(std::holds_alternative<EvalBinding>(bound.error().detail));
}
