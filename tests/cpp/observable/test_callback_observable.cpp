#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "observable/callback_observable.hpp"

using namespace morvane::observable;

namespace {

class TextError final : public morvane::ForeignError {
public:
    explicit TextError(std::string text) : text_(std::move(text)) {}
    std::string message() const override { return text_; }

private:
    std::string text_;
};

// A cost whose value is the bitstring read as a binary number, that records
// every request and can be told to fail on one bitstring.
class RecordingCost final : public BitstringCost {
public:
    explicit RecordingCost(std::string fail_on = {}) : fail_on_(std::move(fail_on)) {}

    [[nodiscard]] std::expected<std::vector<double>, ObservableError> evaluate(
        std::span<const std::string_view> missing) const override {
        std::lock_guard lock(mutex_);
        requests_.emplace_back(missing.begin(), missing.end());
        std::vector<double> values;
        for (std::string_view bitstring : missing) {
            if (bitstring == fail_on_) {
                return std::unexpected(ObservableError(
                    External{std::make_shared<const TextError>("no value for " + fail_on_)}));
            }
            values.push_back(static_cast<double>(std::stoull(std::string(bitstring), nullptr, 2)));
        }
        return values;
    }

    std::vector<std::vector<std::string>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    std::size_t times_asked(const std::string& bitstring) const {
        std::size_t n = 0;
        for (const auto& request : requests()) n += std::ranges::count(request, bitstring);
        return n;
    }

private:
    std::string fail_on_;
    mutable std::mutex mutex_;
    mutable std::vector<std::vector<std::string>> requests_;
};

using Memo = CallbackObservable::Memo;
using Strings = std::vector<std::string>;

}  // namespace

class EveryMemo : public testing::TestWithParam<Memo> {};

INSTANTIATE_TEST_SUITE_P(CallbackObservable, EveryMemo, testing::Values(Memo::Batch, Memo::Run));

TEST_P(EveryMemo, AsksOncePerDistinctBitstringOfABatchInFirstSeenOrder) {
    auto cost = std::make_shared<RecordingCost>();
    CallbackObservable observable(cost, GetParam());
    EXPECT_TRUE(observable.calls_python());

    std::vector<CountsMap> identical(3, CountsMap{{"01", 10}});
    auto values = observable.evaluate_counts(identical);
    ASSERT_TRUE(values) << values.error().message();
    EXPECT_EQ(*values, (std::vector<double>{1.0, 1.0, 1.0}));
    EXPECT_EQ(cost->requests(), std::vector<Strings>{{"01"}});

    std::vector<CountsMap> overlapping = {{{"110", 1}, {"011", 1}}, {{"011", 2}, {"111", 2}}, {}};
    values = observable.evaluate_counts(overlapping);
    ASSERT_TRUE(values) << values.error().message();
    EXPECT_EQ(*values, (std::vector<double>{4.5, 5.0, 0.0}));
    // A map iterates in key order, so "011" is met before "110".
    EXPECT_EQ(cost->requests().back(), (Strings{"011", "110", "111"}));
}

TEST_P(EveryMemo, OnlyTheRunMemoRemembersAcrossBatches) {
    auto cost = std::make_shared<RecordingCost>();
    CallbackObservable observable(cost, GetParam());
    const bool run_memo = GetParam() == Memo::Run;
    EXPECT_EQ(observable.cached(), run_memo);

    ASSERT_TRUE(observable.evaluate_counts(std::vector<CountsMap>{{{"10", 1}, {"11", 1}}}));
    auto second = observable.evaluate_counts(std::vector<CountsMap>{{{"11", 3}, {"00", 1}}});
    ASSERT_TRUE(second) << second.error().message();
    EXPECT_EQ(*second, std::vector<double>{2.25});

    EXPECT_EQ(cost->times_asked("11"), run_memo ? 1U : 2U);
    EXPECT_EQ(cost->times_asked("00"), 1U);
    EXPECT_EQ(observable.cache_size(), run_memo ? 3U : 0U);
    // A batch the cache fully covers does not call the cost at all.
    ASSERT_TRUE(observable.evaluate_counts(std::vector<CountsMap>{{{"00", 5}}}));
    EXPECT_EQ(cost->requests().size(), run_memo ? 2U : 3U);
}

TEST_P(EveryMemo, AFailureReturnsTheForeignErrorAndKeepsNothingOfItsBatch) {
    auto cost = std::make_shared<RecordingCost>("10");
    CallbackObservable observable(cost, GetParam());
    ASSERT_TRUE(observable.evaluate_counts(std::vector<CountsMap>{{{"00", 1}}}));

    // "01" is computed before "10" fails; neither may be remembered.
    auto failed = observable.evaluate_counts(std::vector<CountsMap>{{{"00", 1}, {"01", 1}},
                                                                    {{"10", 4}}});
    ASSERT_FALSE(failed);
    ASSERT_TRUE(failed.error().is<External>());
    EXPECT_EQ(failed.error().message(), "no value for 10");
    EXPECT_EQ(observable.cache_size(), GetParam() == Memo::Run ? 1U : 0U);

    auto after = observable.evaluate_counts(std::vector<CountsMap>{{{"01", 1}}});
    ASSERT_TRUE(after);
    EXPECT_EQ(*after, std::vector<double>{1.0});
    EXPECT_EQ(cost->times_asked("01"), 2U);
}

TEST(CallbackObservable, ReducesEachMapToItsShotWeightedMean) {
    CallbackObservable observable(std::make_shared<RecordingCost>(), Memo::Batch);
    // The second map is two outcomes worth 1.0 and 2.0 seen 1 and 3 times.
    std::vector<CountsMap> batch = {{{"0", 1}, {"1", 3}},
                                    {{"01", 1}, {"10", 3}},
                                    {{"1", 0}},              // no shots
                                    {}};
    auto values = observable.evaluate_counts(batch);
    ASSERT_TRUE(values) << values.error().message();
    EXPECT_EQ(*values, (std::vector<double>{0.75, 1.75, 0.0, 0.0}));
}

TEST(CallbackObservable, KeepsInputOrderOverALargeBatch) {
    auto cost = std::make_shared<RecordingCost>();
    CallbackObservable observable(cost, Memo::Run);
    std::vector<CountsMap> batch;
    std::vector<double> expected;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        const std::uint64_t a = i % 64;
        const std::uint64_t b = (i * 7 + 3) % 64;
        std::string sa(6, '0'), sb(6, '0');
        for (int k = 0; k < 6; ++k) {
            sa[5 - k] = ((a >> k) & 1) ? '1' : '0';
            sb[5 - k] = ((b >> k) & 1) ? '1' : '0';
        }
        CountsMap counts{{sa, 1}};
        counts[sb] += 3;
        batch.push_back(counts);
        expected.push_back(a == b ? static_cast<double>(a)
                                  : (static_cast<double>(a) + 3.0 * static_cast<double>(b)) / 4.0);
    }
    auto values = observable.evaluate_counts(batch);
    ASSERT_TRUE(values) << values.error().message();
    EXPECT_EQ(*values, expected);
    ASSERT_EQ(cost->requests().size(), 1U);
    EXPECT_EQ(cost->requests()[0].size(), 64U);
}

TEST(CallbackObservable, ConcurrentBatchesShareTheCacheSafely) {
    auto cost = std::make_shared<RecordingCost>();
    CallbackObservable observable(cost, Memo::Run);
    constexpr int THREADS = 4;
    std::vector<std::thread> threads;
    std::vector<int> ok(THREADS, 0);  // not vector<bool>: its elements share words
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            bool all = true;
            for (int round = 0; round < 50; ++round) {
                const std::string key = std::to_string((t + round) % 2) + "1" +
                                        std::to_string(round % 2);
                auto values = observable.evaluate_counts(std::vector<CountsMap>{{{key, 2}}});
                all = all && values &&
                      (*values)[0] == static_cast<double>(std::stoull(key, nullptr, 2));
            }
            ok[t] = all ? 1 : 0;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ok, std::vector<int>(THREADS, 1));
    EXPECT_EQ(observable.cache_size(), 4U);
}
