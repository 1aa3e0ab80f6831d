#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "observable/observable.hpp"

using namespace morvane::observable;

namespace {

std::shared_ptr<const QuboModel> counting_model(std::uint64_t num_vars) {
    // Value = number of ones in the outcome.
    std::vector<LinearTerm> linear;
    for (std::uint64_t i = 0; i < num_vars; ++i) linear.push_back({i, 1.0});
    auto model = QuboModel::qubo(num_vars, linear, {}, 0.0, 1.0);
    return std::make_shared<const QuboModel>(std::move(*model));
}

std::string bits(std::uint64_t value, int width) {
    std::string out(width, '0');
    for (int i = 0; i < width; ++i) out[width - 1 - i] = ((value >> i) & 1) ? '1' : '0';
    return out;
}

}  // namespace

TEST(QuboObservable, EvaluatesEveryMapInInputOrder) {
    QuboObservable observable(counting_model(8));
    EXPECT_FALSE(observable.calls_python());
    std::vector<CountsMap> batch;
    for (std::uint64_t i = 0; i < 500; ++i) batch.push_back({{bits(i % 256, 8), 7}});
    auto values = observable.evaluate_counts(batch);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), batch.size());
    for (std::uint64_t i = 0; i < batch.size(); ++i) {
        EXPECT_EQ((*values)[i], static_cast<double>(__builtin_popcountll(i % 256))) << i;
    }
}

TEST(QuboObservable, ABadMapFailsTheWholeBatch) {
    QuboObservable observable(counting_model(3));
    std::vector<CountsMap> batch(400, CountsMap{{"101", 1}});
    batch[123] = CountsMap{{"1", 1}};
    auto values = observable.evaluate_counts(batch);
    ASSERT_FALSE(values);
    EXPECT_TRUE(values.error().is<BitWidthMismatch>());
}

TEST(QuboObservable, EmptyBatchGivesNoValues) {
    QuboObservable observable(counting_model(1));
    auto values = observable.evaluate_counts({});
    ASSERT_TRUE(values);
    EXPECT_TRUE(values->empty());
}
