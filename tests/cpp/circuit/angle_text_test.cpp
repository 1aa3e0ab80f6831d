#include "circuit/angle_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

namespace morvane::circuit {
namespace {

struct AngleCase {
    double value;
    std::string text;
};

void PrintTo(const AngleCase& c, std::ostream* os) { *os << c.text; }

class AngleText : public ::testing::TestWithParam<AngleCase> {};

TEST_P(AngleText, TwelveDecimalsExactlyRounded) {
    EXPECT_EQ(angle_text(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, AngleText,
    ::testing::Values(
        AngleCase{0.5, "0.500000000000"}, AngleCase{0.0, "0.000000000000"},
        AngleCase{-0.0, "-0.000000000000"}, AngleCase{std::numbers::pi, "3.141592653590"},
        AngleCase{-std::numbers::pi / 2, "-1.570796326795"},
        AngleCase{1e-13, "0.000000000000"}, AngleCase{-1e-13, "-0.000000000000"},
        AngleCase{1e20, "100000000000000000000.000000000000"},
        AngleCase{-1e20, "-100000000000000000000.000000000000"},
        // The only exact ties are odd multiples of 2^-13; they go to the even neighbour.
        AngleCase{0x1p-13, "0.000122070312"}, AngleCase{3 * 0x1p-13, "0.000366210938"},
        AngleCase{-0x1p-13, "-0.000122070312"}, AngleCase{5 * 0x1p-13, "0.000610351562"},
        AngleCase{1 + 0x1p-13, "1.000122070312"}, AngleCase{-7 * 0x1p-13, "-0.000854492188"},
        // Decimal ties are not binary ties: these doubles lie just below the
        // midpoint and round down, where a decimal-first rounding would go up.
        AngleCase{5e-13, "0.000000000000"}, AngleCase{2.5e-12, "0.000000000002"},
        AngleCase{-2.5e-12, "-0.000000000002"},
        // A value just below a decimal boundary must not be rounded twice.
        AngleCase{0.1234567890124999, "0.123456789012"},
        AngleCase{123456789.0, "123456789.000000000000"},
        AngleCase{std::nextafter(1.0, 0.0), "1.000000000000"}, AngleCase{5e-324, "0.000000000000"},
        AngleCase{0x1p70, "1180591620717411303424.000000000000"}));

TEST(AngleTextLimits, LargestDoubleFits) {
    const std::string text = angle_text(-1.7976931348623157e308);
    EXPECT_EQ(text.substr(0, 6), "-17976");
    EXPECT_EQ(text.substr(text.size() - 14), "8.000000000000");  // 310 digits, nothing lost
    EXPECT_EQ(text.size(), 1 + 309 + 1 + 12u);
}

}  // namespace
}  // namespace morvane::circuit
