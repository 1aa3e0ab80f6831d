#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "optim/float_text.hpp"
#include "optim/optimizer_error.hpp"

using namespace morvane::optim;

struct MessageCase {
    const char* label;
    OptimizerError error;
    const char* text;
};

class OptimizerErrorText : public ::testing::TestWithParam<MessageCase> {};

TEST_P(OptimizerErrorText, ReadsExactly) { EXPECT_EQ(GetParam().error.message(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Variants, OptimizerErrorText,
    ::testing::Values(
        MessageCase{"PopulationTooSmall", PopulationTooSmall{3, 4},
                    "population_size must be at least 4 (each trial mutation samples 3 distinct "
                    "other members), got 3"},
        MessageCase{"EmptyBounds", InvalidBounds{1.0, 1.0},
                    "bounds must be a non-empty interval with lb < ub, got (1, 1)"},
        MessageCase{"InfiniteBound", InvalidBounds{0.0, std::numeric_limits<double>::infinity()},
                    "bounds must be a non-empty interval with lb < ub, got (0, inf)"},
        MessageCase{"NaNBound", InvalidBounds{-0.5, std::nan("")},
                    "bounds must be a non-empty interval with lb < ub, got (-0.5, NaN)"},
        MessageCase{"OracleLength", OracleLength{10, 9},
                    "evaluation oracle returned 9 fitness value(s) for 10 candidate(s); it must "
                    "return exactly one value per candidate, in order"},
        MessageCase{"InvalidConfig", InvalidConfig{"max_iters", "must be at least 1"},
                    "invalid max_iters: must be at least 1"}),
    [](const auto& test_info) { return std::string(test_info.param.label); });

struct FloatCase {
    double value;
    const char* text;
};

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, IsShortestPlainDecimal) {
    EXPECT_EQ(float_text(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FloatText,
    ::testing::Values(FloatCase{0.0, "0"}, FloatCase{-0.0, "-0"}, FloatCase{2.0, "2"},
                      FloatCase{-1.0, "-1"}, FloatCase{0.1, "0.1"}, FloatCase{2.5, "2.5"},
                      FloatCase{3.141592653589793, "3.141592653589793"},
                      FloatCase{1e21, "1000000000000000000000"}, FloatCase{1.5e-7, "0.00000015"},
                      FloatCase{123456.75, "123456.75"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"}),
    [](const auto& test_info) { return "Case" + std::to_string(test_info.index); });
