#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "exec/planner.hpp"
#include "fake_foreign.hpp"

using namespace morvane::exec;
using morvane::observable::CountsMap;

namespace {

// A backend whose answers are scripted: every job yields {"0": shots} unless
// a hook says otherwise. It records the size of every call.
class ScriptedBackend : public Backend {
public:
    std::uint64_t concurrency = UNBOUNDED_CONCURRENCY;
    Capabilities caps;
    std::vector<std::size_t> wave_sizes;
    std::vector<std::vector<std::uint32_t>> replica_calls;
    std::function<std::optional<RunError>(std::size_t call)> fail_on;
    std::function<void(std::vector<CountsMap>&)> tamper;
    std::function<void()> during_call;

    std::expected<std::vector<CountsMap>, RunError> run_jobs(std::span<const CircuitJob> jobs,
                                                             const RunRequest& request) override {
        const std::size_t call = wave_sizes.size();
        wave_sizes.push_back(jobs.size());
        if (during_call) during_call();
        if (fail_on) {
            if (auto error = fail_on(call)) return std::unexpected(*error);
        }
        std::vector<CountsMap> maps(jobs.size(), CountsMap{{"0", request.shots}});
        if (tamper) tamper(maps);
        return maps;
    }

    std::expected<std::vector<CountsMap>, RunError> run_replicas(
        const CircuitInput&, std::span<const std::uint32_t> shot_counts,
        const RunRequest&) override {
        replica_calls.emplace_back(shot_counts.begin(), shot_counts.end());
        std::vector<CountsMap> maps;
        for (std::uint32_t shots : shot_counts) {
            // Spread each replica's shots over two outcomes so merging is visible.
            CountsMap map;
            if (shots > 0) map["0"] = shots - shots / 2;
            if (shots / 2 > 0) map["1"] = shots / 2;
            maps.push_back(map);
        }
        return maps;
    }

    void close() noexcept override {}
    Capabilities capabilities() const override { return caps; }
    std::expected<std::uint64_t, RunError> concurrency_for(
        std::span<const CircuitJob>) const override {
        return concurrency;
    }
};

struct Fixture {
    CircuitInput circuit = QasmText{"OPENQASM 2.0;"};
    std::vector<CircuitJob> jobs;
    RunConfig config;
    CancelToken cancel;

    explicit Fixture(std::size_t count, std::uint32_t shots = 10) {
        for (std::size_t i = 0; i < count; ++i) jobs.push_back({&circuit, shots});
    }
};

}  // namespace

TEST(AtomicWavePlanner, CutsJobsIntoWavesOfTheBackendsConcurrency) {
    for (auto [concurrency, expected] :
         std::vector<std::pair<std::uint64_t, std::vector<std::size_t>>>{
             {3, {3, 3, 1}}, {0, {1, 1, 1, 1, 1, 1, 1}}, {7, {7}}, {UNBOUNDED_CONCURRENCY, {7}}}) {
        ScriptedBackend backend;
        backend.concurrency = concurrency;
        Fixture f(7);
        auto maps = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
        ASSERT_TRUE(maps) << maps.error().message();
        EXPECT_EQ(maps->size(), 7u);
        EXPECT_EQ(backend.wave_sizes, expected) << "concurrency " << concurrency;
    }
}

TEST(AtomicWavePlanner, StopsAtTheFirstBackendError) {
    ScriptedBackend backend;
    backend.concurrency = 2;
    backend.fail_on = [](std::size_t call) -> std::optional<RunError> {
        if (call == 1) return RunError(InfraError(NativeCircuit{"boom"}));
        return std::nullopt;
    };
    Fixture f(6);
    auto maps = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_FALSE(maps);
    EXPECT_EQ(maps.error().message(), "boom");
    EXPECT_EQ(backend.wave_sizes.size(), 2u);
}

TEST(AtomicWavePlanner, InvalidCountsBecomeInvalidResults) {
    ScriptedBackend backend;
    backend.tamper = [](std::vector<CountsMap>& maps) { maps.pop_back(); };
    Fixture f(2, 5);
    auto maps = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_FALSE(maps);
    ASSERT_TRUE(maps.error().is<Infrastructure>());
    EXPECT_TRUE(maps.error().as<Infrastructure>().error.is<InvalidResults>());
    EXPECT_EQ(maps.error().message(),
              "backend returned invalid results: expected one counts map per circuit (2), got 1");
}

TEST(AtomicWavePlanner, CancelTokenIsReadBeforeEachWave) {
    ScriptedBackend backend;
    backend.concurrency = 1;
    Fixture f(4);
    backend.during_call = [&] {
        if (backend.wave_sizes.size() == 2) f.cancel.cancel();
    };
    auto maps = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_FALSE(maps);
    EXPECT_TRUE(maps.error().is<Cancelled>());
    EXPECT_EQ(backend.wave_sizes.size(), 2u);
}

TEST(AtomicWavePlanner, APendingSignalStopsThePlanAfterTheWave) {
    ScriptedBackend backend;
    backend.concurrency = 1;
    Fixture f(3);
    int checks = 0;
    f.config.signal_check = [&]() -> morvane::ForeignErrorPtr {
        if (++checks == 2) return std::make_shared<FakeForeignError>("KeyboardInterrupt");
        return nullptr;
    };
    auto maps = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_FALSE(maps);
    ASSERT_TRUE(maps.error().is<Python>());
    EXPECT_EQ(maps.error().message(), "KeyboardInterrupt");
    EXPECT_EQ(backend.wave_sizes.size(), 2u);
}

TEST(AtomicWavePlanner, NoJobsStillHonoursCancellationAndSignals) {
    ScriptedBackend backend;
    Fixture f(0);
    auto empty = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    f.config.signal_check = [] { return std::make_shared<FakeForeignError>("KeyboardInterrupt"); };
    auto interrupted = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_FALSE(interrupted);
    EXPECT_TRUE(interrupted.error().is<Python>());

    f.cancel.cancel();
    auto cancelled = atomic_wave_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_FALSE(cancelled);
    EXPECT_TRUE(cancelled.error().is<Cancelled>());
    EXPECT_TRUE(backend.wave_sizes.empty());
}

TEST(ShotDistributingPlanner, SplitsShotsSoEarlyReplicasTakeTheRemainder) {
    EXPECT_EQ(split_shots(10, 3), (std::vector<std::uint32_t>{4, 3, 3}));
    EXPECT_EQ(split_shots(2, 4), (std::vector<std::uint32_t>{1, 1, 0, 0}));
    EXPECT_EQ(split_shots(7, 1), (std::vector<std::uint32_t>{7}));
    EXPECT_EQ(split_shots(UINT32_MAX, 2), (std::vector<std::uint32_t>{2147483648u, 2147483647u}));
}

TEST(ShotDistributingPlanner, MergesReplicaCountsIntoOneMap) {
    for (auto [shots, replicas] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {10, 3}, {2, 4}, {1, 1}, {1000, 7}}) {
        ScriptedBackend backend;
        Fixture f(1, shots);
        f.config.replicas = replicas;
        auto maps = shot_distributing_planner().plan(backend, f.jobs, f.config, f.cancel);
        ASSERT_TRUE(maps) << maps.error().message();
        ASSERT_EQ(maps->size(), 1u);
        std::uint64_t total = 0;
        for (const auto& [key, count] : maps->front()) total += count;
        EXPECT_EQ(total, shots);
        ASSERT_EQ(backend.replica_calls.size(), 1u) << "unbounded backends get one call";
        EXPECT_EQ(backend.replica_calls[0], split_shots(shots, replicas));
    }
}

TEST(ShotDistributingPlanner, CallsAreBoundedByMaxConcurrency) {
    ScriptedBackend backend;
    backend.caps.max_concurrency = 2;
    Fixture f(1, 5);
    f.config.replicas = 5;
    auto maps = shot_distributing_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_TRUE(maps);
    ASSERT_EQ(backend.replica_calls.size(), 3u);
    EXPECT_EQ(backend.replica_calls[2].size(), 1u);
}

TEST(ShotDistributingPlanner, AcceptsExactlyOneJob) {
    ScriptedBackend backend;
    Fixture f(2);
    f.config.replicas = 2;
    auto maps = shot_distributing_planner().plan(backend, f.jobs, f.config, f.cancel);
    ASSERT_FALSE(maps);
    EXPECT_EQ(maps.error().message(), "expected exactly 1 circuit(s), got 2");
}

TEST(Planner, ConsumerErrorsBecomeEvaluationErrors) {
    ScriptedBackend backend;
    Fixture f(2, 4);
    auto model = morvane::observable::QuboModel::qubo(3, {}, {}, 0.0, 1.0);
    morvane::observable::QuboObservable consumer(
        std::make_shared<const morvane::observable::QuboModel>(std::move(*model)));
    auto values = atomic_wave_planner().plan_into(backend, f.jobs, f.config, f.cancel, consumer);
    ASSERT_FALSE(values);
    ASSERT_TRUE(values.error().is<Evaluation>());
    EXPECT_EQ(values.error().message(),
              "measurement bitstring of length 1 is too short for an observable over 3 variables");
}

TEST(Planner, CompatibilityCheck) {
    EXPECT_TRUE(check_compatible(atomic_wave_planner().requirements(), {1, false}));
    auto no_replicas = check_compatible(shot_distributing_planner().requirements(), {8, false});
    ASSERT_FALSE(no_replicas);
    EXPECT_EQ(no_replicas.error().message(),
              "this planner distributes a circuit's shots across replicas, which the backend does "
              "not support");
    auto too_narrow = check_compatible({3, false}, {2, true});
    ASSERT_FALSE(too_narrow);
    EXPECT_TRUE(too_narrow.error().is<InvalidPlan>());
    EXPECT_EQ(too_narrow.error().message(),
              "this planner needs a concurrency of at least 3, but the backend offers 2");
}
