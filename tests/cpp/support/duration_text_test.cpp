#include "support/duration_text.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

namespace morvane {
namespace {

struct DurationCase {
    std::int64_t nanoseconds;
    std::string text;
};

class FormatDurationTest : public ::testing::TestWithParam<DurationCase> {};

TEST_P(FormatDurationTest, Formats) {
    EXPECT_EQ(format_duration(std::chrono::nanoseconds(GetParam().nanoseconds)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatDurationTest,
    ::testing::Values(
        DurationCase{0, "0ns"}, DurationCase{1, "1ns"}, DurationCase{999, "999ns"},
        DurationCase{1'000, "1\u00B5s"}, DurationCase{1'001, "1.001\u00B5s"},
        DurationCase{12'000, "12\u00B5s"}, DurationCase{12'340, "12.34\u00B5s"},
        DurationCase{999'999, "999.999\u00B5s"}, DurationCase{1'000'000, "1ms"},
        DurationCase{1'500'000, "1.5ms"}, DurationCase{1'000'001, "1.000001ms"},
        DurationCase{999'999'999, "999.999999ms"}, DurationCase{1'000'000'000, "1s"},
        DurationCase{4'200'000'000, "4.2s"}, DurationCase{1'234'567'891, "1.234567891s"},
        DurationCase{1'000'000'001, "1.000000001s"}, DurationCase{3'600'000'000'000, "3600s"},
        DurationCase{61'050'000'000, "61.05s"},
        DurationCase{std::numeric_limits<std::int64_t>::max(), "9223372036.854775807s"},
        DurationCase{-1'500'000, "-1.5ms"},
        DurationCase{std::numeric_limits<std::int64_t>::min(), "-9223372036.854775808s"}));

TEST(FormatDuration, AcceptsCoarserDurations) {
    using namespace std::chrono_literals;
    EXPECT_EQ(format_duration(4200ms), "4.2s");
    EXPECT_EQ(format_duration(1500us), "1.5ms");
    EXPECT_EQ(format_duration(2min), "120s");
}

}  // namespace
}  // namespace morvane
