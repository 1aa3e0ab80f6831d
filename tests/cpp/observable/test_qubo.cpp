#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "observable/qubo.hpp"

using namespace morvane::observable;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

std::string error_text(const std::expected<QuboModel, ObservableError>& result) {
    EXPECT_FALSE(result.has_value());
    return result ? std::string() : result.error().message();
}

double value_of(const QuboModel& model, const CountsMap& counts) {
    auto value = model.expectation(counts);
    EXPECT_TRUE(value.has_value()) << value.error().message();
    return value.value_or(NAN);
}

}  // namespace

struct InvalidQuboCase {
    const char* name;
    std::uint64_t num_vars;
    std::vector<LinearTerm> linear;
    std::vector<QuadraticTerm> quadratic;
    double constant;
    double scale;
    const char* message;
};

class InvalidQubo : public testing::TestWithParam<InvalidQuboCase> {};

TEST_P(InvalidQubo, IsRefusedWithTheFirstProblem) {
    const auto& c = GetParam();
    EXPECT_EQ(error_text(QuboModel::qubo(c.num_vars, c.linear, c.quadratic, c.constant, c.scale)),
              c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Construction, InvalidQubo,
    testing::Values(
        InvalidQuboCase{"zero_vars", 0, {{5, NaN}}, {}, NaN, NaN,
                        "invalid observable: num_vars must be >= 1"},
        InvalidQuboCase{"constant_before_scale", 2, {}, {}, INF, NaN,
                        "invalid observable: constant must be finite"},
        InvalidQuboCase{"scale", 2, {}, {}, 0.0, NaN, "invalid observable: scale must be finite"},
        InvalidQuboCase{"linear_range_before_value", 2, {{0, 1.0}, {2, NaN}}, {}, 0.0, 1.0,
                        "invalid observable: linear index 2 out of range for 2 variables"},
        InvalidQuboCase{"linear_value", 2, {{1, -INF}}, {}, 0.0, 1.0,
                        "invalid observable: linear coefficient for index 1 is not finite"},
        InvalidQuboCase{"linear_before_quadratic", 2, {{1, NaN}}, {{0, 0, 1.0}}, 0.0, 1.0,
                        "invalid observable: linear coefficient for index 1 is not finite"},
        InvalidQuboCase{"quadratic_range_as_given", 2, {}, {{0, 5, 1.0}}, 0.0, 1.0,
                        "invalid observable: quadratic index (0,5) out of range for 2 variables"},
        InvalidQuboCase{"quadratic_range_reversed", 2, {}, {{7, 1, 1.0}}, 0.0, 1.0,
                        "invalid observable: quadratic index (7,1) out of range for 2 variables"},
        InvalidQuboCase{"diagonal", 2, {}, {{1, 1, 1.0}}, 0.0, 1.0,
                        "invalid observable: quadratic term on a single variable (1,1) is not "
                        "allowed; fold it into the linear part (x_i^2 = x_i)"},
        InvalidQuboCase{"quadratic_value", 3, {}, {{2, 0, NaN}}, 0.0, 1.0,
                        "invalid observable: quadratic coefficient for (2,0) is not finite"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Qubo, SumsLinearTermsAndOrdersQuadraticPairsWithoutMerging) {
    std::vector<LinearTerm> linear{{0, 1.0}, {0, 2.0}};
    std::vector<QuadraticTerm> quadratic{{1, 0, 0.5}, {0, 1, 0.25}};
    auto model = QuboModel::qubo(2, linear, quadratic, 0.0, 1.0);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->linear(), (std::vector<double>{3.0, 0.0}));
    ASSERT_EQ(model->quadratic().size(), 2u);
    EXPECT_EQ(model->quadratic()[0].i, 0u);
    EXPECT_EQ(model->quadratic()[0].j, 1u);
    EXPECT_EQ(model->quadratic()[0].coefficient, 0.5);
    EXPECT_EQ(model->quadratic()[1].coefficient, 0.25);
}

TEST(Qubo, AbsurdVariableCountIsAnErrorNotACrash) {
    auto model = QuboModel::qubo(std::numeric_limits<std::uint64_t>::max(), {}, {}, 0.0, 1.0);
    ASSERT_FALSE(model);
    EXPECT_TRUE(model.error().is<Invalid>());
}

TEST(Qubo, ReadsVariableZeroFromTheRightmostCharacter) {
    // E = 1 x0 + 10 x1 + 100 x0 x1 + 1000
    auto model = QuboModel::qubo(2, std::vector<LinearTerm>{{0, 1.0}, {1, 10.0}},
                                 std::vector<QuadraticTerm>{{0, 1, 100.0}}, 1000.0, 1.0);
    ASSERT_TRUE(model);
    EXPECT_EQ(value_of(*model, {{"00", 1}}), 1000.0);
    EXPECT_EQ(value_of(*model, {{"01", 1}}), 1001.0);
    EXPECT_EQ(value_of(*model, {{"10", 1}}), 1010.0);
    EXPECT_EQ(value_of(*model, {{"11", 1}}), 1111.0);
    // Characters left of the variables are neither read nor checked.
    EXPECT_EQ(value_of(*model, {{"110", 1}}), 1010.0);
    EXPECT_EQ(value_of(*model, {{"x10", 1}}), 1010.0);
}

TEST(Qubo, ExpectationIsTheShotWeightedMeanOfTheScaledCost) {
    auto model = QuboModel::qubo(1, std::vector<LinearTerm>{{0, 4.0}}, {}, 1.0, -0.5);
    ASSERT_TRUE(model);
    // outcome 0: -0.5 * 1 ; outcome 1: -0.5 * 5 ; weights 3 and 1
    EXPECT_DOUBLE_EQ(value_of(*model, {{"0", 3}, {"1", 1}}), (3 * -0.5 + 1 * -2.5) / 4.0);
    EXPECT_EQ(value_of(*model, {}), 0.0);
    EXPECT_EQ(value_of(*model, {{"0", 0}, {"1", 0}}), 0.0);
}

TEST(Qubo, MalformedBitstringsAreReportedWithTheWholeKey) {
    auto model = QuboModel::qubo(2, {}, {}, 0.0, 1.0);
    ASSERT_TRUE(model);
    auto short_key = model->expectation({{"1", 5}});
    ASSERT_FALSE(short_key);
    EXPECT_EQ(short_key.error().message(),
              "measurement bitstring of length 1 is too short for an observable over 2 variables");
    auto bad_char = model->expectation({{"1\"2", 5}});
    ASSERT_FALSE(bad_char);
    EXPECT_EQ(bad_char.error().message(),
              "measurement bitstring contains a non-binary character: \"1\\\"2\"");
}

TEST(Ising, MapsBitZeroToSpinPlusOne) {
    auto model = QuboModel::ising(1, std::vector<LinearTerm>{{0, 1.0}}, {}, 0.0, 1.0);
    ASSERT_TRUE(model);
    EXPECT_EQ(value_of(*model, {{"0", 1}}), 1.0);
    EXPECT_EQ(value_of(*model, {{"1", 1}}), -1.0);
}

TEST(Ising, SelfCouplingIsAConstant) {
    auto model = QuboModel::ising(2, {}, std::vector<QuadraticTerm>{{0, 0, 2.5}}, 0.0, 1.0);
    ASSERT_TRUE(model);
    for (const char* outcome : {"00", "01", "10", "11"}) {
        EXPECT_EQ(value_of(*model, {{outcome, 1}}), 2.5) << outcome;
    }
}

TEST(Ising, AgreesWithTheSpinFormulaOnEveryOutcome) {
    const std::vector<LinearTerm> fields{{0, 0.3}, {2, -1.7}, {1, 0.25}};
    const std::vector<QuadraticTerm> couplings{{0, 1, 0.8}, {2, 1, -0.6}, {0, 2, 1.1}};
    const double constant = 0.4, scale = -2.0;
    auto model = QuboModel::ising(3, fields, couplings, constant, scale);
    ASSERT_TRUE(model);
    for (int x = 0; x < 8; ++x) {
        std::string key;
        for (int bit = 2; bit >= 0; --bit) key += ((x >> bit) & 1) ? '1' : '0';
        auto z = [&](std::uint64_t i) { return ((x >> i) & 1) ? -1.0 : 1.0; };
        double energy = constant;
        for (const auto& f : fields) energy += f.coefficient * z(f.index);
        for (const auto& c : couplings) energy += c.coefficient * z(c.i) * z(c.j);
        EXPECT_NEAR(value_of(*model, {{key, 1}}), scale * energy, 1e-12) << key;
    }
}

TEST(Ising, ChecksFieldsAndCouplingsBeforeTheScale) {
    EXPECT_EQ(error_text(QuboModel::ising(2, std::vector<LinearTerm>{{3, 1.0}}, {}, 0.0, NaN)),
              "invalid observable: field index 3 out of range for 2 variables");
    EXPECT_EQ(error_text(QuboModel::ising(2, {}, std::vector<QuadraticTerm>{{0, 1, INF}}, 0.0, NaN)),
              "invalid observable: coupling coefficient for (0,1) is not finite");
    EXPECT_EQ(error_text(QuboModel::ising(2, {}, std::vector<QuadraticTerm>{{1, 4, 1.0}}, 0.0, 1.0)),
              "invalid observable: coupling index (1,4) out of range for 2 variables");
    EXPECT_EQ(error_text(QuboModel::ising(2, {}, {}, 0.0, INF)),
              "invalid observable: scale must be finite");
    // A field that overflows when doubled is caught by the QUBO checks.
    EXPECT_EQ(error_text(QuboModel::ising(2, std::vector<LinearTerm>{{1, 1e308}}, {}, 0.0, 1.0)),
              "invalid observable: linear coefficient for index 1 is not finite");
    EXPECT_EQ(error_text(QuboModel::ising(
                  2, std::vector<LinearTerm>{{0, 1e308}, {1, 1e308}}, {}, 0.0, 1.0)),
              "invalid observable: constant must be finite");
}

TEST(QuboMatrix, FoldsTheMatrixIntoLinearAndQuadraticTerms) {
    std::vector<std::vector<double>> rows{{1, 2}, {3, 4}};
    auto model = QuboModel::from_matrix(rows, 1.0);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->linear(), (std::vector<double>{1.0, 4.0}));
    ASSERT_EQ(model->quadratic().size(), 1u);
    EXPECT_EQ(model->quadratic()[0].coefficient, 5.0);
    EXPECT_EQ(model->constant(), 0.0);
    // x^T Q x for x = (1, 1) is 1 + 2 + 3 + 4.
    EXPECT_EQ(value_of(*model, {{"11", 1}}), 10.0);
}

TEST(QuboMatrix, RejectsMalformedMatrices) {
    std::vector<std::vector<double>> ragged{{1, 2}, {3}};
    EXPECT_EQ(error_text(QuboModel::from_matrix(ragged, 1.0)),
              "invalid observable: matrix must be square; row 1 has length 1 (expected 2)");
    EXPECT_EQ(error_text(QuboModel::from_matrix({}, 1.0)),
              "invalid observable: matrix must be non-empty");
    std::vector<std::vector<double>> nan_diagonal{{0, 0}, {0, NaN}};
    EXPECT_EQ(error_text(QuboModel::from_matrix(nan_diagonal, 1.0)),
              "invalid observable: linear coefficient for index 1 is not finite");
    std::vector<std::vector<double>> inf_pair{{0, INF}, {0, 0}};
    EXPECT_EQ(error_text(QuboModel::from_matrix(inf_pair, 1.0)),
              "invalid observable: quadratic coefficient for (0,1) is not finite");
}

TEST(QuboMatrix, NegativeZeroEntriesAddNoTerms) {
    std::vector<std::vector<double>> rows{{-0.0, 1.0}, {-1.0, 0.0}};
    auto model = QuboModel::from_matrix(rows, 1.0);
    ASSERT_TRUE(model);
    EXPECT_TRUE(model->quadratic().empty());
    EXPECT_EQ(model->linear(), (std::vector<double>{0.0, 0.0}));
}
