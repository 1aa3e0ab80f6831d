#include "sim/calibration.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

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

struct Captures {
    std::mutex mutex;
    std::vector<Captured> records;
};

class CapturingSink final : public log::Sink {
  public:
    explicit CapturingSink(Captures* out) : out_(out) {}
    void write(const log::Record& r) noexcept override {
        std::lock_guard lock(out_->mutex);
        out_->records.push_back({r.level, std::string(r.target), std::string(r.message)});
    }

  private:
    Captures* out_;
};

void set_env(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

std::optional<std::string> get_env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
}

// Each test gets a private cache directory (XDG_CACHE_HOME, HOME unset), a
// fresh process-wide state, and a sink recording what calibration logs.
class Calibration : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("morvane_calibration_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        set_env("XDG_CACHE_HOME", dir_.string());
        set_env("HOME", std::nullopt);
        testing::reset_threshold_state();
        log::reset_for_testing();
        log::install_sink(std::make_unique<CapturingSink>(&captures_), log::Level::Trace);
        threads_ = ThreadPool::global().num_threads();
    }
    void TearDown() override {
        log::reset_for_testing();
        testing::reset_threshold_state();
        set_env("XDG_CACHE_HOME", saved_xdg_);
        set_env("HOME", saved_home_);
        fs::remove_all(dir_);
    }

    fs::path cache_file() const { return dir_ / "morvane" / "parallel_threshold.json"; }
    void write_cache(const std::string& text) const {
        fs::create_directories(cache_file().parent_path());
        std::ofstream(cache_file()) << text;
    }
    std::string entries_for(std::uint64_t threads, std::uint64_t threshold) const {
        return R"({"schema": 2, "entries": {")" + std::to_string(threads) +
               "\": " + std::to_string(threshold) + "}}";
    }
    std::vector<Captured> records() {
        std::lock_guard lock(captures_.mutex);
        return captures_.records;
    }
    // The one record whose message starts with `prefix`.
    std::optional<Captured> record(const std::string& prefix) {
        for (const Captured& r : records()) {
            if (r.message.compare(0, prefix.size(), prefix) == 0) return r;
        }
        return std::nullopt;
    }
    // A measurement that takes no time and counts its calls.
    CalibrationReport calibrate_with(bool force, std::uint64_t threshold,
                                     const std::function<void()>& meanwhile = {}) {
        return calibrate(force, [&] {
            ++measurements_;
            if (meanwhile) meanwhile();
            return CrossoverMeasurement{threshold, threads_, std::chrono::milliseconds(5)};
        });
    }

    const std::optional<std::string> saved_xdg_ = get_env("XDG_CACHE_HOME");
    const std::optional<std::string> saved_home_ = get_env("HOME");
    fs::path dir_;
    std::uint64_t threads_ = 0;
    int measurements_ = 0;
    Captures captures_;
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
        set_env("XDG_CACHE_HOME", c.xdg);
        set_env("HOME", c.home);
        EXPECT_EQ(cache_file_path(), c.expected);
    }
}

TEST_F(Calibration, CacheFormatRoundTripsWithSchemaFirst) {
    CachedCalibration cache;
    cache.entries = {{8, 14}, {2, 31}};
    const std::string text = serialize_cache(cache);
    EXPECT_EQ(text.rfind("{\n  \"schema\": 2,\n  \"entries\": {", 0), 0u) << text;
    EXPECT_EQ(parse_cache(text), cache);
    // Members other than the two are ignored.
    EXPECT_TRUE(parse_cache(R"({"note": [], "schema": 2, "entries": {}})").has_value());
}

TEST_F(Calibration, UnusableCachesCountAsAbsent) {
    for (const char* text : {
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
         }) {
        SCOPED_TRACE(text);
        write_cache(text);
        EXPECT_FALSE(load_cache().has_value());
        testing::reset_threshold_state();
        EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::NotCalibrated, 12}));
    }
}

// A cache without entries counts as no cache at all.
TEST_F(Calibration, NoCacheWarnsOnceAndUsesTheDefault) {
    write_cache(R"({"schema": 2, "entries": {}})");
    std::vector<std::thread> readers;  // concurrent first readers: one resolution
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([] { (void)threshold_state(); });
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::NotCalibrated, 12}));
    EXPECT_EQ(StatevectorSimulator::create().parallel_threshold, 12u);
    const auto logged = records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, log::Level::Warn);
    EXPECT_EQ(logged[0].target, "morvane_sim::calibration");
    EXPECT_EQ(logged[0].message,
              "no gate-parallel calibration cached; using the default threshold 12. Run install.sh "
              "or morvane.calibrate_parallel_threshold() to tune it for this machine (requires "
              "morvane.init_logger() to be visible).");
}

TEST_F(Calibration, EntryForThisThreadCountIsUsedSilently) {
    write_cache(entries_for(threads_, 17));
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::Ready, 17}));
    EXPECT_EQ(StatevectorSimulator::create().parallel_threshold, 17u);
    EXPECT_TRUE(records().empty());
}

TEST_F(Calibration, OtherThreadCountsOnlyIsReadyWithTheDefault) {
    write_cache(entries_for(threads_ + 3, 9));
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

TEST_F(Calibration, UnforcedCallReusesTheCacheForcedMeasuresAgain) {
    const auto first = calibrate_with(false, 15);
    EXPECT_FALSE(first.reused_cache);
    EXPECT_TRUE(first.cache_written);
    EXPECT_EQ(first.cache_path, cache_file().string());
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::Ready, 15}));

    const auto second = calibrate_with(false, 20);
    EXPECT_TRUE(second.reused_cache);
    EXPECT_FALSE(second.cache_written);
    EXPECT_EQ(second.duration, std::chrono::nanoseconds(0));
    EXPECT_EQ(second.threshold, 15u);
    EXPECT_EQ(measurements_, 1);

    EXPECT_EQ(calibrate_with(true, 20).threshold, 20u);
    EXPECT_EQ(measurements_, 2);
    EXPECT_EQ(process_threshold(), 20u);
}

// The cache is read again just before writing: entries another process
// wrote meanwhile survive. A foreign-schema cache keeps nothing.
TEST_F(Calibration, FreshReadBeforeWriting) {
    calibrate_with(true, 16, [&] { write_cache(entries_for(977, 14)); });
    EXPECT_EQ(load_cache()->entries,
              (std::map<std::uint64_t, std::uint64_t>{{977, 14}, {threads_, 16}}));
    write_cache(R"({"schema": 1, "entries": {"977": 14}})");
    EXPECT_TRUE(calibrate_with(true, 14).cache_written);
    EXPECT_EQ(load_cache()->entries, (std::map<std::uint64_t, std::uint64_t>{{threads_, 14}}));
}

TEST_F(Calibration, UnwritableOrMissingCacheStillCalibratesTheProcess) {
    std::ofstream(dir_ / "blocker") << "x";  // a file where a directory must go
    set_env("XDG_CACHE_HOME", (dir_ / "blocker").string());
    EXPECT_FALSE(calibrate_with(true, 18).cache_written);
    EXPECT_EQ(process_threshold(), 18u);
    const std::string prefix = "could not persist gate-parallel calibration to " +
                               (dir_ / "blocker/morvane/parallel_threshold.json").string() + ": ";
    const auto warn = record(prefix);
    ASSERT_TRUE(warn.has_value());
    EXPECT_EQ(warn->level, log::Level::Warn);
    EXPECT_GT(warn->message.size(), prefix.size());  // the system's error text follows

    set_env("XDG_CACHE_HOME", std::nullopt);
    const auto report = calibrate_with(false, 13);
    EXPECT_FALSE(report.cache_path.has_value());
    EXPECT_FALSE(report.cache_written);
    EXPECT_EQ(StatevectorSimulator::create().parallel_threshold, 13u);
    EXPECT_TRUE(
        record("no cache directory (set XDG_CACHE_HOME or HOME) to persist gate-parallel "
               "calibration; this process is calibrated but the result was not saved"));
}

// Passes finding no speed-up (31), none again (31), then n = 12 at exactly
// 1.15: the median is 31. Each size is timed serial, then parallel.
TEST_F(Calibration, CrossoverIsTheMedianPass) {
    int calls = 0;
    std::vector<std::pair<std::uint64_t, bool>> order;
    auto timer = [&](std::uint64_t n, bool parallel) {
        const int pass = calls++ / 10;
        order.emplace_back(n, parallel);
        if (!parallel) return 115.0;
        return pass == 2 && n >= 12 ? 100.0 : 101.0;
    };
    const auto measured = measure_crossover(timer);
    EXPECT_EQ(measured.threshold, 31u);
    EXPECT_EQ(calls, 30);
    EXPECT_EQ(order[0], (std::pair<std::uint64_t, bool>{10, false}));
    EXPECT_EQ(order[1], (std::pair<std::uint64_t, bool>{10, true}));
    EXPECT_EQ(order[9], (std::pair<std::uint64_t, bool>{18, true}));
    const auto logged = records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, log::Level::Info);
    EXPECT_TRUE(record("calibrated gate-parallel threshold = 31 qubit(s) for " +
                       std::to_string(threads_) + " thread(s) over 3 session(s) in "));

    // Passes finding 12, none and 14 give 14; a zero parallel time never counts.
    calls = 0;
    auto mixed = [&](std::uint64_t n, bool parallel) {
        const int pass = calls++ / 10;
        const std::uint64_t first = pass == 0 ? 12 : pass == 1 ? 99 : 14;
        return !parallel ? 100.0 : n >= first ? 50.0 : 0.0;
    };
    EXPECT_EQ(measure_crossover(mixed).threshold, 14u);
    EXPECT_GT(time_cycle(10, false), 0.0);
}

}  // namespace
}  // namespace morvane::sim
