#include <gtest/gtest.h>

#include <vector>

#include "exec/replica_groups.hpp"

using namespace morvane::exec;
using morvane::observable::CountsMap;

namespace {

// Records every run_jobs call (copies, shots, seed) and answers each job with
// its position and the call's seed, so the test can see which seed each
// replica's map came from.
class RecordingBackend : public Backend {
public:
    struct Call {
        std::size_t copies;
        std::uint32_t shots;
        std::optional<std::uint64_t> seed;
    };
    std::vector<Call> calls;
    std::optional<std::size_t> fail_call;

    std::expected<std::vector<CountsMap>, RunError> run_jobs(std::span<const CircuitJob> jobs,
                                                             const RunRequest& request) override {
        calls.push_back({jobs.size(), request.shots, request.seed});
        if (fail_call && *fail_call == calls.size() - 1) {
            return std::unexpected(RunError(InfraError(Cunqa{"qpu down"})));
        }
        std::vector<CountsMap> maps;
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            EXPECT_EQ(jobs[j].shots, request.shots);
            // The seed circuit j of this call would be sampled with.
            const std::uint64_t seed = request.seed.value_or(0) + j;
            maps.push_back(CountsMap{{std::to_string(seed), jobs[j].shots}});
        }
        return maps;
    }
    std::expected<std::vector<CountsMap>, RunError> run_replicas(
        const CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
        const RunRequest& request) override {
        return run_replicas_in_groups(*this, circuit, shot_counts, request);
    }
    void close() noexcept override {}
    Capabilities capabilities() const override { return {}; }
    std::expected<std::uint64_t, RunError> concurrency_for(
        std::span<const CircuitJob>) const override {
        return UNBOUNDED_CONCURRENCY;
    }
};

struct GroupCase {
    std::vector<std::uint32_t> shots;
    std::vector<std::pair<std::size_t, std::uint32_t>> calls;  // (copies, shots)
};

class ReplicaGroups : public testing::TestWithParam<GroupCase> {};

}  // namespace

TEST_P(ReplicaGroups, EqualNeighboursShareOneCallAndZerosNone) {
    const GroupCase& c = GetParam();
    RecordingBackend backend;
    const CircuitInput circuit = QasmText{"OPENQASM 2.0;"};
    RunRequest request;
    request.seed = 100;
    auto maps = backend.run_replicas(circuit, c.shots, request);
    ASSERT_TRUE(maps.has_value());
    ASSERT_EQ(maps->size(), c.shots.size());
    ASSERT_EQ(backend.calls.size(), c.calls.size());
    for (std::size_t i = 0; i < c.calls.size(); ++i) {
        EXPECT_EQ(backend.calls[i].copies, c.calls[i].first) << "call " << i;
        EXPECT_EQ(backend.calls[i].shots, c.calls[i].second) << "call " << i;
    }
    // Replica order is kept, zero-shot replicas are empty, and every replica
    // that ran was sampled with its own seed: base + its index in the list.
    for (std::size_t i = 0; i < c.shots.size(); ++i) {
        if (c.shots[i] == 0) {
            EXPECT_TRUE((*maps)[i].empty()) << "replica " << i;
        } else {
            EXPECT_EQ((*maps)[i], (CountsMap{{std::to_string(100 + i), c.shots[i]}}))
                << "replica " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    ShotLists, ReplicaGroups,
    testing::Values(GroupCase{{4, 3, 3}, {{1, 4}, {2, 3}}},
                    GroupCase{{1, 1, 0, 0}, {{2, 1}}},
                    GroupCase{{0, 0}, {}},
                    GroupCase{{5}, {{1, 5}}},
                    GroupCase{{2, 2, 1, 2}, {{2, 2}, {1, 1}, {1, 2}}},
                    GroupCase{{}, {}}));

TEST(ReplicaGroupsFailure, StopsAtTheFirstFailedCall) {
    RecordingBackend backend;
    backend.fail_call = 0;
    const CircuitInput circuit = QasmText{"OPENQASM 2.0;"};
    const std::vector<std::uint32_t> shots{4, 3, 3};
    auto maps = backend.run_replicas(circuit, shots, RunRequest{});
    ASSERT_FALSE(maps.has_value());
    EXPECT_EQ(maps.error().message(), "CUNQA backend error: qpu down");
    EXPECT_EQ(backend.calls.size(), 1u);
}

TEST(ReplicaGroupsFailure, UnseededRequestsStayUnseeded) {
    RecordingBackend backend;
    const CircuitInput circuit = QasmText{"OPENQASM 2.0;"};
    const std::vector<std::uint32_t> shots{2, 1};
    ASSERT_TRUE(backend.run_replicas(circuit, shots, RunRequest{}).has_value());
    ASSERT_EQ(backend.calls.size(), 2u);
    EXPECT_FALSE(backend.calls[0].seed.has_value());
    EXPECT_FALSE(backend.calls[1].seed.has_value());
}
