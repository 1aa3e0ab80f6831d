#include "sim/cancel_check.hpp"

#include <gtest/gtest.h>

#include "sim/simulator.hpp"

namespace morvane::sim {
namespace {

using namespace std::chrono_literals;
using circuit::Gate;

// A clock that only moves when told to, and counts how often it is read.
class FakeClock final : public MonotonicClock {
  public:
    time_point now() const override {
        ++reads;
        const time_point t = current;
        current += step;
        return t;
    }
    mutable time_point current{};
    std::chrono::nanoseconds step{0};
    mutable int reads = 0;
};

TEST(CancelCheck, StrideShrinksWithTheRegister) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {{0, 65536}, {1, 32768}, {10, 64},
                                                             {15, 2},    {16, 1},    {30, 1}};
    for (const auto& [n, stride] : cases) {
        EXPECT_EQ(CancelCheck(n, std::nullopt).stride(), stride) << "n = " << n;
    }
}

TEST(CancelCheck, WithoutCallbackNeverReadsTheClock) {
    FakeClock clock;
    clock.step = 1s;
    CancelCheck check(20, std::nullopt, clock);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(clock.reads, 0);
    EXPECT_FALSE(check.interval().has_value());

    // Through the simulator as well, with or without fusion.
    for (const bool fusion : {true, false}) {
        StatevectorSimulator sim(31);
        sim.fusion = fusion;
        SimulationHooks hooks;
        hooks.clock = &clock;
        const std::vector<Gate> gates(50, Gate::h(3));
        ASSERT_TRUE(sim.simulate(16, gates, std::nullopt, hooks));
    }
    EXPECT_EQ(clock.reads, 0);
}

TEST(CancelCheck, ReadsTheClockOncePerStride) {
    FakeClock clock;
    int calls = 0;
    auto callback = [&] {
        ++calls;
        return false;
    };
    CancelCheck check(14, CancelCallback(callback), clock);  // stride 4
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(clock.reads, 10);
    EXPECT_EQ(calls, 0);  // time never moved
}

TEST(CancelCheck, NeverCallsBackWithinTheFirstInterval) {
    FakeClock clock;
    clock.step = 1ms;  // every read is one millisecond later
    int calls = 0;
    auto callback = [&] {
        ++calls;
        return false;
    };
    CancelCheck check(16, CancelCallback(callback), clock);  // stride 1
    // The first checkpoint sets `last` at t = 0; reads at 1..24 ms are early.
    for (int i = 0; i < 25; ++i)
        ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(check.checkpoint());  // t = 25 ms
    EXPECT_EQ(calls, 1);
    // The callback's cost (1 ms between the two reads) is cheap: 25 ms stays.
    EXPECT_EQ(check.interval(), std::chrono::nanoseconds(25ms));
}

TEST(CancelCheck, IntervalStretchesToTwentyTimesTheCallbackCost) {
    FakeClock clock;
    int calls = 0;
    auto slow = [&] {
        ++calls;
        clock.current += 10ms;
        return false;
    };
    CancelCheck check(16, CancelCallback(slow), clock);
    ASSERT_TRUE(check.checkpoint());  // t = 0: sets last
    clock.current += 30ms;
    ASSERT_TRUE(check.checkpoint());  // callback at 30 ms, costing 10 ms
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(check.interval(), std::chrono::nanoseconds(200ms));
    // last moved to the read after the callback (40 ms): not again before 240 ms.
    clock.current += 199ms;
    ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(calls, 1);
    clock.current = MonotonicClock::time_point(240ms);
    ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(calls, 2);
}

TEST(CancelCheck, CancelledSimulationReturnsTheError) {
    FakeClock clock;
    clock.step = 30ms;
    int calls = 0;
    auto stop = [&] {
        ++calls;
        return true;
    };
    for (const bool fusion : {true, false}) {
        calls = 0;
        StatevectorSimulator sim(31);
        sim.fusion = fusion;
        SimulationHooks hooks;
        hooks.clock = &clock;
        std::size_t applied = 0;
        auto count = [&](const Application&) { ++applied; };
        hooks.on_application = count;
        const std::vector<Gate> gates(10, Gate::h(1));
        auto result = sim.simulate(16, gates, CancelCallback(stop), hooks);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), SimError(Cancelled{}));
        EXPECT_EQ(result.error().message(), "the simulation was cancelled before it completed");
        EXPECT_EQ(calls, 1);
        EXPECT_LT(applied, 10u);
    }
}

// A short run on the real clock never hears from the callback, which would
// answer "stop" if asked: the clock is read at checkpoints 64 and 128 only,
// microseconds apart.
TEST(CancelCheck, ShortRunNeverCallsBack) {
    int calls = 0;
    auto stop = [&] {
        ++calls;
        return true;
    };
    const std::vector<Gate> gates(130, Gate::x(0));
    auto result = StatevectorSimulator(31).simulate(10, gates, CancelCallback(stop));
    EXPECT_TRUE(result.has_value());
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace morvane::sim
