#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "exec/counts_validation.hpp"

using morvane::exec::validate_counts;
using morvane::observable::CountsMap;

struct ValidationCase {
    const char* name;
    std::vector<CountsMap> maps;
    std::size_t expected;
    std::uint32_t shots;
    std::optional<std::string> message;
};

class CountsValidation : public testing::TestWithParam<ValidationCase> {};

TEST_P(CountsValidation, ReportsTheFirstViolation) {
    const auto& c = GetParam();
    EXPECT_EQ(validate_counts(c.maps, c.expected, c.shots), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CountsValidation,
    testing::Values(
        ValidationCase{"valid", {{{"01", 3}, {"10", 2}}}, 1, 5, std::nullopt},
        ValidationCase{"count_checked_first", {{}, {}}, 1, 5,
                       "expected one counts map per circuit (1), got 2"},
        ValidationCase{"sum", {{{"01", 3}, {"10", 2}}}, 1, 6,
                       "counts for circuit 0 sum to 5 shot(s) but 6 were requested (contract C-3 "
                       "shot conservation)"},
        ValidationCase{"empty_before_sum", {{{"1", 5}}, {}}, 2, 5,
                       "empty counts map for circuit 1 (5 shot(s) requested); an empty result has "
                       "no measurement outcomes and cannot be reduced to a fitness"},
        ValidationCase{"sum_before_keys", {{{"0a1", 4}}}, 1, 5,
                       "counts for circuit 0 sum to 4 shot(s) but 5 were requested (contract C-3 "
                       "shot conservation)"},
        ValidationCase{"bad_key", {{{"0a1", 5}}}, 1, 5,
                       "counts for circuit 0 contain a non-bitstring key \"0a1\" (expected a "
                       "string of 0/1 outcomes)"},
        ValidationCase{"empty_key", {{{"", 5}}}, 1, 5,
                       "counts for circuit 0 contain a non-bitstring key \"\" (expected a string "
                       "of 0/1 outcomes)"},
        ValidationCase{"escaped_key", {{{"1\n", 5}}}, 1, 5,
                       "counts for circuit 0 contain a non-bitstring key \"1\\n\" (expected a "
                       "string of 0/1 outcomes)"},
        ValidationCase{"later_maps_not_examined", {{{"1", 1}}, {{"x", 2}}}, 2, 2,
                       "counts for circuit 0 sum to 1 shot(s) but 2 were requested (contract C-3 "
                       "shot conservation)"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
