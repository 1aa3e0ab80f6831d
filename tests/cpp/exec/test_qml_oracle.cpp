#include <gtest/gtest.h>

#include <bitset>
#include <cmath>
#include <limits>
#include <vector>

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
        run.backend = backend;
        run.planner = &backend->default_planner();
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
