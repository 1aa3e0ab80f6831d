#include "support/thread_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/internal_fault.hpp"

namespace morvane {
namespace {

using namespace std::chrono_literals;

// Records which threads are inside a body right now and which ever were.
class Occupancy {
public:
    void enter() {
        std::lock_guard lock(mutex_);
        auto id = std::this_thread::get_id();
        ++running_[id];
        seen_.insert(id);
        max_running_ = std::max(max_running_, running_.size());
    }
    void leave() {
        std::lock_guard lock(mutex_);
        auto it = running_.find(std::this_thread::get_id());
        if (--it->second == 0) running_.erase(it);
    }
    std::size_t max_running() const {
        std::lock_guard lock(mutex_);
        return max_running_;
    }
    std::size_t distinct_seen() const {
        std::lock_guard lock(mutex_);
        return seen_.size();
    }

private:
    mutable std::mutex mutex_;
    std::map<std::thread::id, int> running_;
    std::set<std::thread::id> seen_;
    std::size_t max_running_ = 0;
};

// A little work so that pieces overlap in time instead of finishing before
// the next thread wakes up.
void busy_work(std::size_t iterations) {
    volatile std::size_t sink = 0;
    for (std::size_t i = 0; i < iterations; ++i) sink = sink + i;
}

// ----- coverage ------------------------------------------------------------

struct Range {
    std::size_t begin, end;
    std::thread::id thread;
    bool on_worker;
};

class CoverageTest
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(CoverageTest, EveryIndexExactlyOnceInGrainSizedPieces) {
    auto [n, grain, threads] = GetParam();
    ThreadPool pool(threads);
    ASSERT_EQ(pool.num_threads(), threads);

    std::vector<std::atomic<int>> hits(n);
    std::mutex mutex;
    std::vector<Range> ranges;
    pool.parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
        std::lock_guard lock(mutex);
        ranges.push_back({begin, end, std::this_thread::get_id(), ThreadPool::on_worker_thread()});
    });

    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
    std::size_t effective_grain = grain == 0 ? 1 : grain;
    for (const auto& r : ranges) {
        EXPECT_LT(r.begin, r.end);
        EXPECT_EQ(r.on_worker, r.thread != std::this_thread::get_id());
        EXPECT_TRUE(r.end - r.begin >= effective_grain || r.end == n)
            << "piece [" << r.begin << ", " << r.end << ") shorter than grain " << grain;
    }
    if (n == 0) {
        EXPECT_TRUE(ranges.empty());
    } else if (threads == 1 || n <= effective_grain) {
        // Nothing to share: a single call on the caller, as a serial loop.
        ASSERT_EQ(ranges.size(), 1u);
        EXPECT_EQ(ranges[0].begin, 0u);
        EXPECT_EQ(ranges[0].end, n);
        EXPECT_EQ(ranges[0].thread, std::this_thread::get_id());
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CoverageTest,
                         ::testing::Combine(::testing::Values<std::size_t>(0, 1, 2, 7, 64, 1000,
                                                                           4097, 100000),
                                            ::testing::Values<std::size_t>(0, 1, 3, 64, 1024),
                                            ::testing::Values<std::size_t>(1, 2, 3, 4, 8)));

TEST(ThreadPool, LoopsRepeatedBackToBackStayCorrect) {
    // Many short loops, as a simulator issues gate after gate: exercises the
    // hand-over between spinning, parking and waking workers.
    ThreadPool pool(4);
    std::vector<std::uint32_t> data(4096, 0);
    for (int round = 0; round < 2000; ++round) {
        pool.parallel_for(data.size(), 64, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) ++data[i];
        });
    }
    for (auto v : data) ASSERT_EQ(v, 2000u);
}

TEST(ThreadPool, IdleWorkersTakePieces) {
    // Each piece waits until another thread is also inside the loop: this
    // completes only if a worker really steals work.
    ThreadPool pool(2);
    std::atomic<int> inside{0};
    std::atomic<bool> timed_out{false};
    pool.parallel_for(2, 1, [&](std::size_t, std::size_t) {
        inside.fetch_add(1);
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (inside.load() < 2) {
            if (std::chrono::steady_clock::now() > deadline) {
                timed_out = true;
                break;
            }
            std::this_thread::yield();
        }
    });
    EXPECT_FALSE(timed_out.load());
}

// ----- nesting -------------------------------------------------------------

class NestedTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NestedTest, ThreeLevelsCompleteWithoutExtraThreads) {
    std::size_t threads = GetParam();
    ThreadPool pool(threads);
    constexpr std::size_t A = 6, B = 5, C = 40;
    std::vector<std::atomic<int>> hits(A * B * C);
    Occupancy occupancy;

    pool.parallel_for(A, 1, [&](std::size_t a0, std::size_t a1) {
        for (std::size_t a = a0; a < a1; ++a) {
            pool.parallel_for(B, 1, [&](std::size_t b0, std::size_t b1) {
                for (std::size_t b = b0; b < b1; ++b) {
                    pool.parallel_for(C, 4, [&](std::size_t c0, std::size_t c1) {
                        occupancy.enter();
                        for (std::size_t c = c0; c < c1; ++c) hits[(a * B + b) * C + c]++;
                        busy_work(3000);
                        occupancy.leave();
                    });
                }
            });
        }
    });

    for (std::size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
    EXPECT_LE(occupancy.max_running(), threads);
    EXPECT_LE(occupancy.distinct_seen(), threads);
}

INSTANTIATE_TEST_SUITE_P(PoolSizes, NestedTest, ::testing::Values<std::size_t>(1, 2, 4));

TEST(ThreadPool, LoopOnAnotherPoolFromInsideABody) {
    ThreadPool outer(2);
    ThreadPool inner(3);
    std::vector<std::atomic<int>> hits(8 * 100);
    outer.parallel_for(8, 1, [&](std::size_t a0, std::size_t a1) {
        for (std::size_t a = a0; a < a1; ++a) {
            inner.parallel_for(100, 7, [&](std::size_t b0, std::size_t b1) {
                for (std::size_t b = b0; b < b1; ++b) hits[a * 100 + b]++;
            });
        }
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

// ----- concurrent callers ---------------------------------------------------

TEST(ThreadPool, ConcurrentCallersFromOutsideThreads) {
    constexpr std::size_t POOL = 3, CALLERS = 4, ROUNDS = 40, N = 5000;
    ThreadPool pool(POOL);
    Occupancy occupancy;
    std::atomic<int> bad_sums{0};
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < CALLERS; ++t) {
        callers.emplace_back([&, t] {
            for (std::size_t round = 0; round < ROUNDS; ++round) {
                std::vector<std::uint64_t> partial(N, 0);
                pool.parallel_for(N, 16, [&](std::size_t begin, std::size_t end) {
                    occupancy.enter();
                    for (std::size_t i = begin; i < end; ++i) partial[i] = i * (t + 1);
                    // Half of the rounds nest a loop, so outside callers and
                    // workers interleave at two levels.
                    if (round % 2 == 1) {
                        pool.parallel_for(8, 1, [](std::size_t, std::size_t) { busy_work(50); });
                    }
                    occupancy.leave();
                });
                std::uint64_t sum = std::accumulate(partial.begin(), partial.end(), 0ull);
                if (sum != (t + 1) * N * (N - 1) / 2) bad_sums.fetch_add(1);
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(bad_sums.load(), 0);
    EXPECT_LE(occupancy.distinct_seen(), POOL - 1 + CALLERS);
}

// ----- exceptions ------------------------------------------------------------

class ExceptionTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ExceptionTest, FirstExceptionReachesTheCallerAndPoolStaysUsable) {
    ThreadPool pool(GetParam());
    for (std::size_t bad : {std::size_t{0}, std::size_t{517}, std::size_t{9999}}) {
        try {
            pool.parallel_for(10000, 8, [&](std::size_t begin, std::size_t end) {
                if (begin <= bad && bad < end) throw std::runtime_error("bad index");
            });
            ADD_FAILURE() << "no exception for index " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "bad index");
        }
    }
    std::vector<std::atomic<int>> hits(3000);
    pool.parallel_for(hits.size(), 5, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hits[i]++;
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST_P(ExceptionTest, ExceptionFromANestedLoopPropagatesOutwards) {
    ThreadPool pool(GetParam());
    auto inner = [&](std::size_t a) {
        pool.parallel_for(64, 2, [&](std::size_t b0, std::size_t b1) {
            if (a == 11 && b0 <= 33 && 33 < b1) internal_fault("deep");
        });
    };
    EXPECT_THROW(pool.parallel_for(16, 1,
                                   [&](std::size_t a0, std::size_t a1) {
                                       for (std::size_t a = a0; a < a1; ++a) inner(a);
                                   }),
                 InternalFault);
}

INSTANTIATE_TEST_SUITE_P(PoolSizes, ExceptionTest, ::testing::Values<std::size_t>(1, 2, 4));

TEST(ThreadPool, PiecesNotYetStartedAreSkippedAfterAFailure) {
    // The piece holding index 0 fails as soon as the worker is inside another
    // piece; that piece then lingers until well after the failure. Every
    // other piece starts only after the failure and must be skipped.
    ThreadPool pool(2);
    constexpr std::size_t N = 256;
    std::atomic<bool> thrown{false};
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    auto wait_for = [](auto condition) {
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    };
    EXPECT_THROW(pool.parallel_for(N, 1,
                                   [&](std::size_t begin, std::size_t) {
                                       if (begin == 0) {
                                           wait_for([&] { return started.load() > 0; });
                                           thrown = true;
                                           throw std::logic_error("first");
                                       }
                                       started.fetch_add(1);
                                       wait_for([&] { return thrown.load(); });
                                       std::this_thread::sleep_for(30ms);
                                       finished.fetch_add(1);
                                   }),
                 std::logic_error);
    EXPECT_EQ(started.load(), 1);
    EXPECT_EQ(finished.load(), 1);  // the running piece was waited for
}

// ----- sizing -----------------------------------------------------------------

struct ParseCase {
    const char* text;
    std::optional<std::size_t> expected;
};

class ParseThreadCountTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCountTest, Parses) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected)
        << "text '" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseThreadCountTest,
    ::testing::Values(ParseCase{"4", 4}, ParseCase{"1", 1}, ParseCase{"007", 7},
                      ParseCase{"+2", 2}, ParseCase{"128", 128}, ParseCase{"0", std::nullopt},
                      ParseCase{"+0", std::nullopt}, ParseCase{"", std::nullopt},
                      ParseCase{"+", std::nullopt}, ParseCase{"++2", std::nullopt},
                      ParseCase{"-1", std::nullopt}, ParseCase{"abc", std::nullopt},
                      ParseCase{"4abc", std::nullopt}, ParseCase{" 3", std::nullopt},
                      ParseCase{"3 ", std::nullopt}, ParseCase{"3\n", std::nullopt},
                      ParseCase{"0x10", std::nullopt}, ParseCase{"2.0", std::nullopt},
                      ParseCase{"18446744073709551615", 18446744073709551615ull},
                      ParseCase{"18446744073709551616", std::nullopt},
                      ParseCase{"99999999999999999999999", std::nullopt}));

// Sets or clears environment variables for one test and restores them after.
class ScopedEnv {
public:
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.try_emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
        apply(name, value);
    }
    ~ScopedEnv() {
        for (auto& [name, old] : saved_) apply(name.c_str(), old ? old->c_str() : nullptr);
    }

private:
    static void apply(const char* name, const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

struct EnvCase {
    const char* num_threads;  // RAYON_NUM_THREADS, nullptr = unset
    const char* num_cpus;     // RAYON_RS_NUM_CPUS, nullptr = unset
    std::optional<std::size_t> expected;  // nullopt: the processor count
};

class PoolSizeEnvTest : public ::testing::TestWithParam<EnvCase> {};

TEST_P(PoolSizeEnvTest, Precedence) {
    ScopedEnv env;
    env.set("RAYON_NUM_THREADS", GetParam().num_threads);
    env.set("RAYON_RS_NUM_CPUS", GetParam().num_cpus);
    unsigned hw = std::thread::hardware_concurrency();
    std::size_t fallback = hw == 0 ? 1 : hw;
    EXPECT_EQ(configured_pool_size(), GetParam().expected.value_or(fallback));
}

INSTANTIATE_TEST_SUITE_P(Table, PoolSizeEnvTest,
                         ::testing::Values(EnvCase{nullptr, nullptr, std::nullopt},
                                           EnvCase{"3", nullptr, 3}, EnvCase{nullptr, "5", 5},
                                           EnvCase{"3", "5", 3}, EnvCase{"0", "5", 5},
                                           EnvCase{"", "5", 5}, EnvCase{"abc", "6", 6},
                                           EnvCase{"abc", "x", std::nullopt},
                                           EnvCase{"0", "0", std::nullopt},
                                           EnvCase{" 2", nullptr, std::nullopt},
                                           EnvCase{"+7", nullptr, 7}));

TEST(ThreadPool, GlobalPoolFixesItsSizeOnFirstUse) {
    ScopedEnv env;
    std::size_t first = ThreadPool::global().num_threads();
    std::string other = std::to_string(first + 1);
    env.set("RAYON_NUM_THREADS", other.c_str());
    EXPECT_EQ(configured_pool_size(), first + 1);
    EXPECT_EQ(ThreadPool::global().num_threads(), first);
    EXPECT_EQ(&ThreadPool::global(), &ThreadPool::global());

    std::vector<std::atomic<int>> hits(10000);
    parallel_for(hits.size(), 100, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hits[i]++;
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

}  // namespace
}  // namespace morvane
