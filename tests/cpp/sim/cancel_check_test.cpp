#include "sim/cancel_check.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "sim/simulator.hpp"

namespace morvane::sim {
namespace {

using namespace std::chrono_literals;
using circuit::Gate;

// A clock that moves by `step` per read (and when told to), counting reads.
class FakeClock final : public MonotonicClock {
  public:
    time_point now() const override {
        ++reads;
        return std::exchange(current, current + step);
    }
    mutable time_point current{};
    std::chrono::nanoseconds step{0};
    mutable int reads = 0;
};

struct Counter {
    int calls = 0;
    bool answer = false;
    std::function<void()> side_effect;
    bool operator()() {
        ++calls;
        if (side_effect) side_effect();
        return answer;
    }
};

TEST(CancelCheck, StrideShrinksWithTheRegisterAndPacesClockReads) {
    for (const auto& [n, stride] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {0, 65536}, {1, 32768}, {10, 64}, {15, 2}, {16, 1}, {30, 1}}) {
        EXPECT_EQ(CancelCheck(n, std::nullopt).stride(), stride) << "n = " << n;
    }
    FakeClock clock;
    Counter callback;
    CancelCheck check(14, CancelCallback(callback), clock);  // stride 4
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(clock.reads, 10);
    EXPECT_EQ(callback.calls, 0);  // time never moved
}

TEST(CancelCheck, WithoutCallbackNeverReadsTheClock) {
    FakeClock clock;
    clock.step = 1s;
    CancelCheck check(20, std::nullopt, clock);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(check.checkpoint());
    EXPECT_FALSE(check.interval().has_value());
    for (const bool fusion : {true, false}) {  // through the simulator as well
        StatevectorSimulator sim(31);
        sim.fusion = fusion;
        // Small chunks: the one fused block is worked in thousands of chunks,
        // with checkpoints between groups of them.
        sim.chunk_bits = 4;
        SimulationHooks hooks;
        hooks.clock = &clock;
        ASSERT_TRUE(sim.simulate(16, std::vector<Gate>(50, Gate::h(3)), std::nullopt, hooks));
    }
    EXPECT_EQ(clock.reads, 0);
}

TEST(CancelCheck, NeverCallsBackWithinTheFirstInterval) {
    FakeClock clock;
    clock.step = 1ms;
    Counter callback;
    CancelCheck check(16, CancelCallback(callback), clock);  // stride 1
    // The first checkpoint sets `last` at t = 0; reads at 1..24 ms are early.
    for (int i = 0; i < 25; ++i)
        ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(callback.calls, 0);
    ASSERT_TRUE(check.checkpoint());  // t = 25 ms
    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(check.interval(), std::chrono::nanoseconds(25ms));  // 20 x 1 ms is less
}

TEST(CancelCheck, IntervalStretchesToTwentyTimesTheCallbackCost) {
    FakeClock clock;
    Counter slow;
    slow.side_effect = [&] { clock.current += 10ms; };
    CancelCheck check(16, CancelCallback(slow), clock);
    ASSERT_TRUE(check.checkpoint());  // t = 0: sets last
    clock.current += 30ms;
    ASSERT_TRUE(check.checkpoint());  // callback at 30 ms, costing 10 ms
    EXPECT_EQ(slow.calls, 1);
    EXPECT_EQ(check.interval(), std::chrono::nanoseconds(200ms));
    // `last` moved to the read after the callback (40 ms): nothing before 240.
    clock.current += 199ms;
    ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(slow.calls, 1);
    clock.current = MonotonicClock::time_point(240ms);
    ASSERT_TRUE(check.checkpoint());
    EXPECT_EQ(slow.calls, 2);
}

TEST(CancelCheck, CancelledSimulationStopsWithTheError) {
    FakeClock clock;
    clock.step = 30ms;
    for (const bool fusion : {true, false}) {
        Counter stop;
        stop.answer = true;
        StatevectorSimulator sim(31);
        sim.fusion = fusion;
        // Small chunks: the one fused block is worked in thousands of chunks,
        // with checkpoints between groups of them.
        sim.chunk_bits = 4;
        SimulationHooks hooks;
        hooks.clock = &clock;
        std::size_t applied = 0;
        auto count = [&](const Application&) { ++applied; };
        hooks.on_application = count;
        auto result =
            sim.simulate(16, std::vector<Gate>(10, Gate::h(1)), CancelCallback(stop), hooks);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().message(), "the simulation was cancelled before it completed");
        EXPECT_EQ(stop.calls, 1);
        EXPECT_LT(applied, fusion ? 2u : 10u);
    }
}

// On the real clock a short run never hears from the callback, which would
// answer "stop": the clock is read at checkpoints 64 and 128 only.
TEST(CancelCheck, ShortRunNeverCallsBack) {
    Counter stop;
    stop.answer = true;
    auto result = StatevectorSimulator(31).simulate(10, std::vector<Gate>(130, Gate::x(0)),
                                                    CancelCallback(stop));
    EXPECT_TRUE(result.has_value());
    EXPECT_EQ(stop.calls, 0);
}

}  // namespace
}  // namespace morvane::sim
