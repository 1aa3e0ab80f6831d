#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "exec/backend.hpp"
#include "exec/memory_budget.hpp"

using namespace morvane::exec;

struct BudgetCase {
    const char* text;
    std::optional<std::uint64_t> value;
};

class BudgetParsing : public testing::TestWithParam<BudgetCase> {};

TEST_P(BudgetParsing, AcceptsOnlyPositiveDecimals) {
    EXPECT_EQ(parse_mem_budget(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BudgetParsing,
    testing::Values(BudgetCase{"1048576", 1048576}, BudgetCase{"+5", 5}, BudgetCase{" 7 ", 7},
                    BudgetCase{"\t42\n", 42}, BudgetCase{"18446744073709551615", UINT64_MAX},
                    BudgetCase{"18446744073709551616", std::nullopt},
                    BudgetCase{"abc", std::nullopt}, BudgetCase{"0", std::nullopt},
                    BudgetCase{"", std::nullopt}, BudgetCase{"+", std::nullopt},
                    BudgetCase{"-", std::nullopt}, BudgetCase{"-5", std::nullopt},
                    BudgetCase{"++5", std::nullopt}, BudgetCase{"5 5", std::nullopt},
                    BudgetCase{"0x10", std::nullopt}, BudgetCase{"1e6", std::nullopt}));

class MemoryBudget : public testing::Test {
protected:
    void TearDown() override { unsetenv("MORVANE_MEM_BUDGET"); }
};

TEST_F(MemoryBudget, EnvironmentIsReadOnEveryCall) {
    unsetenv("MORVANE_MEM_BUDGET");
    EXPECT_EQ(mem_budget(), DEFAULT_MEM_BUDGET);
    setenv("MORVANE_MEM_BUDGET", "1048576", 1);
    EXPECT_EQ(mem_budget(), 1048576u);
    setenv("MORVANE_MEM_BUDGET", "abc", 1);
    EXPECT_EQ(mem_budget(), DEFAULT_MEM_BUDGET);
}

TEST_F(MemoryBudget, ConcurrencyFollowsTheBudget) {
    setenv("MORVANE_MEM_BUDGET", "1048576", 1);
    // 16-qubit states are 1 MiB each: one at a time.
    EXPECT_EQ(memory_limited_concurrency(16, 4, 8), 1u);
    // 14-qubit states are 256 KiB: four fit, which covers four jobs.
    EXPECT_EQ(memory_limited_concurrency(14, 4, 8), UNBOUNDED_CONCURRENCY);
    // ... but not five jobs, and never more than the workers.
    EXPECT_EQ(memory_limited_concurrency(14, 5, 8), 4u);
    EXPECT_EQ(memory_limited_concurrency(14, 5, 2), 2u);
    EXPECT_EQ(memory_limited_concurrency(14, 5, 0), 1u);
    setenv("MORVANE_MEM_BUDGET", "abc", 1);
    // 16 GiB default: one 30-qubit state, huge states saturate to one.
    EXPECT_EQ(memory_limited_concurrency(30, 1, 8), UNBOUNDED_CONCURRENCY);
    EXPECT_EQ(memory_limited_concurrency(30, 2, 8), 1u);
    EXPECT_EQ(memory_limited_concurrency(64, 3, 8), 1u);
    EXPECT_EQ(statevector_bytes(59), std::uint64_t{16} << 59);
    EXPECT_EQ(statevector_bytes(60), UINT64_MAX);
}

TEST_F(MemoryBudget, AerParallelExperimentsAreTheBudgetCappedByParallelism) {
    unsetenv("MORVANE_MEM_BUDGET");
    EXPECT_EQ(max_parallel_experiments(30, 8), 1u);
    EXPECT_EQ(max_parallel_experiments(20, 8), 8u);
    EXPECT_EQ(max_parallel_experiments(20, 0), 1u);
    EXPECT_EQ(max_parallel_experiments(64, 8), 1u);
    setenv("MORVANE_MEM_BUDGET", "1048576", 1);
    EXPECT_EQ(max_parallel_experiments(14, 8), 4u);
    EXPECT_EQ(max_parallel_experiments(14, 3), 3u);
    EXPECT_GE(available_parallelism(), 1u);
}
