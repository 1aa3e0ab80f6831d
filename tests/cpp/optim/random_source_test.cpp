#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "optim/random_source.hpp"
#include "support/internal_fault.hpp"

using morvane::InternalFault;
using morvane::optim::bernoulli_threshold;
using morvane::optim::RandomSource;

// Bit-exact agreement with the model lives in check_random_source.py; these
// cases cover what that comparison cannot see.

TEST(RandomSource, BernoulliThresholdIsTheScaledProbability) {
    EXPECT_EQ(bernoulli_threshold(0.7), 0xB333333333333000ull);
    EXPECT_EQ(bernoulli_threshold(0.0), 0ull);
    EXPECT_EQ(bernoulli_threshold(0.5), 0x8000000000000000ull);
}

TEST(RandomSource, EntropyKeysDifferBetweenGenerators) {
    RandomSource a = RandomSource::from_entropy();
    RandomSource b = RandomSource::from_entropy();
    // Equal first 128 bits would mean a fixed or reused key.
    EXPECT_FALSE(a.next_u64() == b.next_u64() && a.next_u64() == b.next_u64());
    EXPECT_NE(RandomSource::from_optional_seed(std::nullopt).next_u64(),
              RandomSource::from_optional_seed(std::nullopt).next_u64());
    EXPECT_EQ(RandomSource::from_optional_seed(5).next_u64(),
              RandomSource::from_seed(5).next_u64());
}

TEST(RandomSource, RangesThatCannotBeDrawnAreInternalFaults) {
    RandomSource random = RandomSource::from_seed(3);
    EXPECT_THROW((void)random.uniform_float(1.0, 1.0), InternalFault);
    EXPECT_THROW((void)random.uniform_float(-1e308, 1e308), InternalFault);
    EXPECT_THROW((void)random.uniform_u32(2, 1), InternalFault);
    EXPECT_THROW((void)random.bernoulli(1.5), InternalFault);
}

struct SampleCase {
    std::uint32_t n;
    std::uint32_t k;
};

class SampleDistinct : public ::testing::TestWithParam<SampleCase> {};

TEST_P(SampleDistinct, GivesKDistinctIndicesBelowN) {
    const auto [n, k] = GetParam();
    RandomSource random = RandomSource::from_seed(n * 131u + k);
    std::set<std::vector<std::uint32_t>> orders;
    for (int round = 0; round < 300; ++round) {
        const std::vector<std::uint32_t> picked = random.sample_distinct(n, k);
        ASSERT_EQ(picked.size(), k);
        const std::set<std::uint32_t> unique(picked.begin(), picked.end());
        EXPECT_EQ(unique.size(), k);
        EXPECT_TRUE(std::all_of(picked.begin(), picked.end(), [n](auto i) { return i < n; }));
        orders.insert(picked);
    }
    // The result order is random too: with k = n every permutation shows up.
    if (k == n && n == 3) {
        EXPECT_EQ(orders.size(), 6u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SampleDistinct,
                         ::testing::Values(SampleCase{3, 3}, SampleCase{4, 3}, SampleCase{49, 3},
                                           SampleCase{10, 10}, SampleCase{7, 0}),
                         [](const auto& test_info) {
                             std::string name = "N";
                             name += std::to_string(test_info.param.n);
                             name += 'K';
                             name += std::to_string(test_info.param.k);
                             return name;
                         });
