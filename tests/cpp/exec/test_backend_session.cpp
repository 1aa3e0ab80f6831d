#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "exec/backend_session.hpp"
#include "exec/dispatch.hpp"

using namespace morvane;
using namespace morvane::exec;
using observable::CountsMap;

namespace {

// Answers every job with all its shots on "0" and every replica likewise, and
// counts how often it is closed.
class CountingBackend final : public Backend {
public:
    explicit CountingBackend(bool replicas) { caps.supports_replicas = replicas; }
    Capabilities caps;
    int closes = 0;
    std::vector<std::size_t> replica_calls;

    std::expected<std::vector<CountsMap>, RunError> run_jobs(std::span<const CircuitJob> jobs,
                                                             const RunRequest& request) override {
        return std::vector<CountsMap>(jobs.size(), CountsMap{{"0", request.shots}});
    }
    std::expected<std::vector<CountsMap>, RunError> run_replicas(
        const CircuitInput&, std::span<const std::uint32_t> shot_counts,
        const RunRequest&) override {
        replica_calls.push_back(shot_counts.size());
        std::vector<CountsMap> maps;
        for (std::uint32_t shots : shot_counts) maps.push_back(shots ? CountsMap{{"0", shots}} : CountsMap{});
        return maps;
    }
    void close() noexcept override { ++closes; }
    Capabilities capabilities() const override { return caps; }
    std::expected<std::uint64_t, RunError> concurrency_for(
        std::span<const CircuitJob>) const override {
        return UNBOUNDED_CONCURRENCY;
    }
};

struct Factory {
    std::shared_ptr<CountingBackend> backend;
    int calls = 0;
    BackendFactory get() {
        return [this](const BackendChoice&, const RunConfig&)
                   -> std::expected<std::shared_ptr<Backend>, InfraError> {
            ++calls;
            if (!backend) return std::unexpected(InfraError(Cunqa{"no family came up"}));
            return backend;
        };
    }
};

RunConfig config_for(std::uint32_t replicas) {
    RunConfig config;
    config.id = "run_unit";
    config.replicas = replicas;
    return config;
}

const CircuitInput BELL = QasmText{
    "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\n"
    "measure q -> c;\n"};

const char* SPLIT_REFUSED =
    "this planner distributes a circuit's shots across replicas, which the backend does not "
    "support";

struct OpenCase {
    bool supports_replicas;
    PlanKind kind;
    bool opens;
};

class OpenBackend : public testing::TestWithParam<OpenCase> {};

}  // namespace

TEST(PlanKind, SplitsShotsOnlyOverMoreThanOneReplica) {
    EXPECT_EQ(plan_kind_for_run(0), PlanKind::WholeCircuits);
    EXPECT_EQ(plan_kind_for_run(1), PlanKind::WholeCircuits);
    EXPECT_EQ(plan_kind_for_run(2), PlanKind::SplitShots);
}

TEST_P(OpenBackend, ABackendThatCannotServeThePlannerIsClosedBeforeTheRefusal) {
    const OpenCase& c = GetParam();
    Factory factory{std::make_shared<CountingBackend>(c.supports_replicas)};
    {
        auto session = open_backend(factory.get(), NativeChoice{}, config_for(2), c.kind);
        ASSERT_EQ(session.has_value(), c.opens);
        if (!c.opens) {
            EXPECT_TRUE(session.error().is<InvalidPlan>());
            EXPECT_EQ(session.error().message(), SPLIT_REFUSED);
            EXPECT_EQ(factory.backend->closes, 1);
        } else {
            const Planner& expected = c.kind == PlanKind::SplitShots
                                          ? static_cast<const Planner&>(shot_distributing_planner())
                                          : factory.backend->default_planner();
            EXPECT_EQ(&session->planner(), &expected);
            EXPECT_EQ(factory.backend->closes, 0);
        }
    }
    // Closed exactly once whichever way the session ended.
    EXPECT_EQ(factory.backend->closes, 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenBackend,
                         testing::Values(OpenCase{true, PlanKind::WholeCircuits, true},
                                         OpenCase{true, PlanKind::SplitShots, true},
                                         OpenCase{false, PlanKind::WholeCircuits, true},
                                         OpenCase{false, PlanKind::SplitShots, false}));

TEST(OpenBackend, AFactoryFailureIsTheInfrastructureVariant) {
    Factory factory;
    auto session = open_backend(factory.get(), NativeChoice{}, config_for(1),
                                PlanKind::WholeCircuits);
    ASSERT_FALSE(session);
    ASSERT_TRUE(session.error().is<Infrastructure>());
    EXPECT_EQ(session.error().message(), "CUNQA backend error: no family came up");
}

TEST(BackendSession, ClosesOnceThoughClosedByHandMovedAndDestroyed) {
    auto backend = std::make_shared<CountingBackend>(true);
    {
        BackendSession first(backend, backend->default_planner());
        BackendSession second(std::move(first));
        second.close();
        second.close();
        BackendSession third(backend, backend->default_planner());
        third = std::move(second);  // third's own backend is closed first
        EXPECT_EQ(backend->closes, 2);
    }
    EXPECT_EQ(backend->closes, 2);
}

TEST(RunCircuit, SplitsShotsOverReplicasMergesThemAndClosesTheBackend) {
    for (std::uint32_t replicas : {1u, 3u}) {
        Factory factory{std::make_shared<CountingBackend>(true)};
        auto counts = run_circuit(factory.get(), BELL, 10, NativeChoice{}, config_for(replicas));
        ASSERT_TRUE(counts) << counts.error().message();
        const std::vector<CountsMap> merged{CountsMap{{"0", 10}}};
        EXPECT_EQ(*counts, merged);
        EXPECT_EQ(factory.backend->replica_calls,
                  replicas > 1 ? std::vector<std::size_t>{replicas} : std::vector<std::size_t>{});
        EXPECT_EQ(factory.backend->closes, 1) << replicas;
    }
}

TEST(TrainingRun, OpensWholeCircuitsOnABackendWithoutReplicasAndClosesOnce) {
    Factory factory{std::make_shared<CountingBackend>(false)};
    {
        TrainingRun run;
        run.config = config_for(4);
        ASSERT_TRUE(run.open(factory.get()));
        EXPECT_EQ(&run.session->planner(), &factory.backend->default_planner());
        run.close();
        EXPECT_EQ(factory.backend->closes, 1);
    }
    EXPECT_EQ(factory.backend->closes, 1);
    TrainingRun failing;
    Factory none;
    auto opened = failing.open(none.get());
    ASSERT_FALSE(opened);
    EXPECT_FALSE(failing.session.has_value());
    failing.close();  // nothing to close
}
