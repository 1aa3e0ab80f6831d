#include "sim/calibration.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/simulator.hpp"
#include "support/log.hpp"
#include "support/thread_pool.hpp"

namespace morvane::sim {
namespace {

namespace fs = std::filesystem;

struct Captured {
    log::Level level;
    std::string target;
    std::string message;
};

class CapturingSink final : public log::Sink {
  public:
    explicit CapturingSink(std::vector<Captured>* out, std::mutex* mutex)
        : out_(out), mutex_(mutex) {}
    void write(const log::Record& r) noexcept override {
        std::lock_guard lock(*mutex_);
        out_->push_back({r.level, std::string(r.target), std::string(r.message)});
    }

  private:
    std::vector<Captured>* out_;
    std::mutex* mutex_;
};

// Every test gets a private cache directory, a fresh process-wide state and a
// sink that records what calibration logs.
class Calibration : public ::testing::Test {
  protected:
    void SetUp() override {
        save("XDG_CACHE_HOME", saved_xdg_);
        save("HOME", saved_home_);
        dir_ = fs::temp_directory_path() /
               ("morvane_calibration_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ::setenv("XDG_CACHE_HOME", dir_.c_str(), 1);
        ::unsetenv("HOME");
        testing::reset_threshold_state();
        log::reset_for_testing();
        log::install_sink(std::make_unique<CapturingSink>(&records_, &mutex_), log::Level::Trace);
        threads_ = ThreadPool::global().num_threads();
    }
    void TearDown() override {
        log::reset_for_testing();
        testing::reset_threshold_state();
        restore("XDG_CACHE_HOME", saved_xdg_);
        restore("HOME", saved_home_);
        fs::remove_all(dir_);
    }

    static void save(const char* name, std::optional<std::string>& slot) {
        if (const char* v = std::getenv(name)) slot = v;
    }
    static void restore(const char* name, const std::optional<std::string>& slot) {
        if (slot)
            ::setenv(name, slot->c_str(), 1);
        else
            ::unsetenv(name);
    }

    fs::path cache_file() const { return dir_ / "morvane" / "parallel_threshold.json"; }
    void write_cache(const std::string& text) const {
        fs::create_directories(cache_file().parent_path());
        std::ofstream(cache_file()) << text;
    }
    std::string read_cache() const {
        std::ifstream in(cache_file());
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // The first record whose message starts with `prefix`, if any.
    std::optional<Captured> find_record(const std::string& prefix) {
        for (const Captured& r : records()) {
            if (r.message.compare(0, prefix.size(), prefix) == 0) return r;
        }
        return std::nullopt;
    }
    std::vector<Captured> records() {
        std::lock_guard lock(mutex_);
        return records_;
    }
    // A measurement that takes no time and counts its calls.
    CrossoverMeasurement fake(std::uint64_t threshold) {
        ++measurements_;
        return {threshold, threads_, std::chrono::milliseconds(5)};
    }

    fs::path dir_;
    std::uint64_t threads_ = 0;
    int measurements_ = 0;
    std::mutex mutex_;
    std::vector<Captured> records_;
    std::optional<std::string> saved_xdg_, saved_home_;
};

TEST_F(Calibration, CachePathResolution) {
    struct Case {
        std::optional<std::string> xdg, home;
        std::optional<fs::path> expected;
    };
    const Case cases[] = {
        {"/x", "/h", fs::path("/x/morvane/parallel_threshold.json")},
        {"", "/h", fs::path("/h/.cache/morvane/parallel_threshold.json")},
        {std::nullopt, "/h", fs::path("/h/.cache/morvane/parallel_threshold.json")},
        {"", "", std::nullopt},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        restore("XDG_CACHE_HOME", c.xdg);
        restore("HOME", c.home);
        EXPECT_EQ(cache_file_path(), c.expected);
    }
}

TEST_F(Calibration, CacheFormatRoundTripsWithSchemaFirst) {
    CachedCalibration cache;
    cache.entries = {{8, 14}, {2, 31}};
    const std::string text = serialize_cache(cache);
    EXPECT_LT(text.find("\"schema\": 2"), text.find("\"entries\""));
    EXPECT_NE(text.find("\n  \"entries\""), std::string::npos);  // two-space indent
    EXPECT_EQ(parse_cache(text), cache);
}

TEST_F(Calibration, UnusableCachesAreIgnored) {
    const char* bad[] = {
        R"({"schema": 1, "entries": {"2": 10}})",
        "not json at all",
        R"({"entries": {"2": 10}})",
        R"({"schema": 2})",
        R"({"schema": "2", "entries": {}})",
        R"({"schema": 2, "entries": [10]})",
        R"({"schema": 2, "entries": {"two": 10}})",
        R"({"schema": 2, "entries": {"2": -1}})",
        R"({"schema": 2, "entries": {"2": 1.5}})",
        R"({"schema": 4294967298, "entries": {}})",
        "[2]",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parse_cache(text).has_value());
        write_cache(text);
        EXPECT_FALSE(load_cache().has_value());
        testing::reset_threshold_state();
        EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::NotCalibrated, 12}));
    }
    // Members other than the two are ignored.
    EXPECT_TRUE(parse_cache(R"({"note": [], "schema": 2, "entries": {}})").has_value());
}

TEST_F(Calibration, NoCacheWarnsAndUsesTheDefault) {
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::NotCalibrated, 12}));
    EXPECT_EQ(StatevectorSimulator::create().parallel_threshold, 12u);
    const auto logged = records();
    ASSERT_EQ(logged.size(), 1u);  // resolved once
    EXPECT_EQ(logged[0].level, log::Level::Warn);
    EXPECT_EQ(logged[0].target, "morvane_sim::calibration");
    EXPECT_EQ(logged[0].message,
              "no gate-parallel calibration cached; using the default threshold 12. Run install.sh "
              "or morvane.calibrate_parallel_threshold() to tune it for this machine (requires "
              "morvane.init_logger() to be visible).");
}

TEST_F(Calibration, EntryForThisThreadCountIsUsedSilently) {
    write_cache("{\"schema\": 2, \"entries\": {\"" + std::to_string(threads_) + "\": 17}}");
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::Ready, 17}));
    EXPECT_EQ(StatevectorSimulator::create().parallel_threshold, 17u);
    EXPECT_TRUE(records().empty());
}

TEST_F(Calibration, OtherThreadCountsOnlyIsReadyWithTheDefault) {
    write_cache("{\"schema\": 2, \"entries\": {\"" + std::to_string(threads_ + 3) + "\": 9}}");
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::Ready, 12}));
    const auto logged = records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, log::Level::Info);
    EXPECT_EQ(logged[0].message,
              "no gate-parallel calibration cached for " + std::to_string(threads_) +
                  " thread(s) (other thread counts are calibrated); using the default threshold "
                  "12. Run morvane.calibrate_parallel_threshold() to tune this thread count too "
                  "(requires morvane.init_logger() to be visible).");
}

TEST_F(Calibration, ConcurrentFirstReadersResolveOnce) {
    std::vector<std::thread> readers;
    std::vector<ThresholdState> seen(8);
    for (int i = 0; i < 8; ++i)
        readers.emplace_back([&, i] { seen[i] = threshold_state(); });
    for (auto& t : readers)
        t.join();
    for (const auto& s : seen)
        EXPECT_EQ(s, (ThresholdState{ThresholdStatus::NotCalibrated, 12}));
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(Calibration, SecondUnforcedCallReusesTheCache) {
    const auto first = calibrate(false, [&] { return fake(15); });
    EXPECT_FALSE(first.reused_cache);
    EXPECT_TRUE(first.cache_written);
    EXPECT_EQ(first.threshold, 15u);
    EXPECT_EQ(first.cache_path, cache_file().string());
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::Ready, 15}));

    const auto second = calibrate(false, [&] { return fake(20); });
    EXPECT_TRUE(second.reused_cache);
    EXPECT_FALSE(second.cache_written);
    EXPECT_EQ(second.duration, std::chrono::nanoseconds(0));
    EXPECT_EQ(second.threshold, 15u);
    EXPECT_EQ(measurements_, 1);

    const auto forced = calibrate(true, [&] { return fake(20); });
    EXPECT_FALSE(forced.reused_cache);
    EXPECT_EQ(forced.threshold, 20u);
    EXPECT_EQ(measurements_, 2);
    EXPECT_EQ(process_threshold(), 20u);
}

// Entries another process wrote while this one measured are kept: the cache
// is read again just before writing.
TEST_F(Calibration, FreshReadBeforeWritingKeepsOtherEntries) {
    const auto report = calibrate(true, [&] {
        write_cache(R"({"schema": 2, "entries": {"977": 14}})");
        return fake(16);
    });
    EXPECT_TRUE(report.cache_written);
    const auto cache = parse_cache(read_cache());
    ASSERT_TRUE(cache.has_value());
    EXPECT_EQ(cache->entries, (std::map<std::uint64_t, std::uint64_t>{{977, 14}, {threads_, 16}}));
}

TEST_F(Calibration, ForeignCacheIsOverwrittenWithOneEntry) {
    write_cache(R"({"schema": 1, "entries": {"977": 14}})");
    EXPECT_TRUE(calibrate(false, [&] { return fake(14); }).cache_written);
    EXPECT_EQ(parse_cache(read_cache())->entries,
              (std::map<std::uint64_t, std::uint64_t>{{threads_, 14}}));
}

TEST_F(Calibration, UnwritableDirectoryWarnsAndStillCalibratesTheProcess) {
    // A regular file where the cache directory should be.
    std::ofstream(dir_ / "blocker") << "x";
    ::setenv("XDG_CACHE_HOME", (dir_ / "blocker").c_str(), 1);
    const auto report = calibrate(true, [&] { return fake(18); });
    EXPECT_FALSE(report.cache_written);
    EXPECT_EQ(process_threshold(), 18u);
    const std::string prefix = "could not persist gate-parallel calibration to " +
                               (dir_ / "blocker" / "morvane" / "parallel_threshold.json").string() +
                               ": ";
    const auto warn = find_record(prefix);
    ASSERT_TRUE(warn.has_value());
    EXPECT_EQ(warn->level, log::Level::Warn);
    EXPECT_GT(warn->message.size(), prefix.size());  // the system's error text follows
}

TEST_F(Calibration, NoCacheLocationStillCalibratesTheProcess) {
    ::unsetenv("XDG_CACHE_HOME");
    const auto report = calibrate(false, [&] { return fake(13); });
    EXPECT_FALSE(report.cache_path.has_value());
    EXPECT_FALSE(report.cache_written);
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::Ready, 13}));
    EXPECT_EQ(StatevectorSimulator::create().parallel_threshold, 13u);
    const std::string text =
        "no cache directory (set XDG_CACHE_HOME or HOME) to persist gate-parallel "
        "calibration; this process is calibrated but the result was not saved";
    const auto warn = find_record(text);
    ASSERT_TRUE(warn.has_value());
    EXPECT_EQ(warn->message, text);
    EXPECT_EQ(warn->level, log::Level::Warn);
}

// Passes: no speed-up anywhere (31), again (31), then n = 12 qualifies; the
// median is 31. Every size is timed serial first, then parallel.
TEST_F(Calibration, CrossoverIsTheMedianPass) {
    int calls = 0;
    std::vector<std::pair<std::uint64_t, bool>> order;
    auto timer = [&](std::uint64_t n, bool parallel) {
        const int pass = calls++ / 10;
        order.emplace_back(n, parallel);
        if (!parallel) return 115.0;
        if (pass == 2 && n >= 12) return 100.0;  // exactly the required speed-up
        return 101.0;
    };
    const auto measured = measure_crossover(timer);
    EXPECT_EQ(measured.threshold, 31u);
    EXPECT_EQ(measured.num_threads, threads_);
    EXPECT_EQ(calls, 30);
    EXPECT_EQ(order[0], (std::pair<std::uint64_t, bool>{10, false}));
    EXPECT_EQ(order[1], (std::pair<std::uint64_t, bool>{10, true}));
    EXPECT_EQ(order[9], (std::pair<std::uint64_t, bool>{18, true}));
    const auto logged = records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, log::Level::Info);
    const std::string prefix = "calibrated gate-parallel threshold = 31 qubit(s) for " +
                               std::to_string(threads_) + " thread(s) over 3 session(s) in ";
    EXPECT_EQ(logged[0].message.substr(0, prefix.size()), prefix);

    // Two passes finding 12 and 14 and one finding none: 14.
    calls = 0;
    auto mixed = [&](std::uint64_t n, bool parallel) {
        const int pass = calls++ / 10;
        if (!parallel) return 100.0;
        const std::uint64_t first = pass == 0 ? 12 : pass == 1 ? 99 : 14;
        return n >= first ? 50.0 : 0.0;  // a zero parallel time never qualifies
    };
    EXPECT_EQ(measure_crossover(mixed).threshold, 14u);
}

TEST_F(Calibration, TimeCycleMeasuresSomething) {
    const double serial = time_cycle(10, false);
    EXPECT_GT(serial, 0.0);
    EXPECT_LT(serial, 1e9);
}

}  // namespace
}  // namespace morvane::sim
