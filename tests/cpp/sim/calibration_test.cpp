#include "sim/calibration.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

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
    // A cache as the builds before single precision wrote it (schema 2).
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
    // A measurement that takes no time and counts its calls; single
    // precision measures one qubit above double unless told otherwise.
    CalibrationReport calibrate_with(bool force, std::uint64_t threshold,
                                     const std::function<void()>& meanwhile = {},
                                     std::optional<std::uint64_t> single = std::nullopt) {
        return calibrate(force, [&] {
            ++measurements_;
            if (meanwhile) meanwhile();
            return CrossoverMeasurement{{threshold, single.value_or(threshold + 1)},
                                        threads_,
                                        std::chrono::milliseconds(5)};
        });
    }
    using Entries = std::map<std::uint64_t, CachedThresholds>;

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
    // An entry carried over from schema 2 keeps its missing single precision.
    cache.entries = {{8, {14, 15}}, {2, {31, std::nullopt}}};
    const std::string text = serialize_cache(cache);
    EXPECT_EQ(text,
              "{\n  \"schema\": 3,\n  \"entries\": {\n    \"2\": {\n      \"double\": 31\n    },\n"
              "    \"8\": {\n      \"double\": 14,\n      \"single\": 15\n    }\n  }\n}");
    EXPECT_EQ(parse_cache(text), cache);
    // Members other than the known ones are ignored, in an entry too.
    EXPECT_TRUE(parse_cache(R"({"note": [], "schema": 2, "entries": {}})").has_value());
    EXPECT_EQ(parse_cache(R"({"schema": 3, "entries": {"4": {"half": 9, "double": 13}}})"),
              (CachedCalibration{{{4, {13, std::nullopt}}}}));
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
             R"({"schema": 4, "entries": {"2": {"double": 10, "single": 11}}})",
             R"({"schema": 2, "entries": {"2": {"double": 10}}})",
             R"({"schema": 3, "entries": {"2": 10}})",
             R"({"schema": 3, "entries": {"2": {"single": 10}}})",
             R"({"schema": 3, "entries": {"2": {"double": -1}}})",
             R"({"schema": 3, "entries": {"2": {"double": 10, "single": "11"}}})",
             R"({"schema": 3, "entries": {"2": {"double": 10, "single": null}}})",
             R"({"schema": 3, "entries": {"2": {"double": 10}, "x": {"double": 10}}})",
         }) {
        SCOPED_TRACE(text);
        write_cache(text);
        EXPECT_FALSE(load_cache().has_value());
        testing::reset_threshold_state();
        EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::NotCalibrated, 12}));
        EXPECT_EQ(threshold_state(Precision::Single),
                  (ThresholdState{ThresholdStatus::NotCalibrated, 12}));
    }
}

// What each precision resolves to, and what a simulator of that precision
// takes, for each kind of cache entry of this thread count.
TEST_F(Calibration, EachPrecisionResolvesItsOwnThreshold) {
    struct Case {
        const char* entry;  // the entry for this thread count, or null for none
        int schema;
        ThresholdState double_state, single_state;
    };
    constexpr auto READY = ThresholdStatus::Ready;
    const Case cases[] = {
        {R"({"double": 17, "single": 19})", 3, {READY, 17}, {READY, 19}},
        // A single precision never measured borrows the double threshold.
        {R"({"double": 17})", 3, {READY, 17}, {READY, 17}},
        {"17", 2, {READY, 17}, {READY, 17}},
        // Only other thread counts: the default for both.
        {nullptr, 3, {READY, 12}, {READY, 12}},
        {nullptr, 2, {READY, 12}, {READY, 12}},
    };
    for (const Case& c : cases) {
        const std::string entries =
            c.entry != nullptr
                ? "\"" + std::to_string(threads_) + "\": " + c.entry
                : "\"" + std::to_string(threads_ + 3) +
                      "\": " + (c.schema == 2 ? "9" : R"({"double": 9, "single": 10})");
        SCOPED_TRACE(entries);
        write_cache(R"({"schema": )" + std::to_string(c.schema) + R"(, "entries": {)" + entries +
                    "}}");
        testing::reset_threshold_state();
        EXPECT_EQ(threshold_state(Precision::Single), c.single_state);
        EXPECT_EQ(threshold_state(Precision::Double), c.double_state);
        EXPECT_EQ(threshold_state(), c.double_state);
        EXPECT_EQ(process_threshold(Precision::Single), c.single_state.threshold);
        EXPECT_EQ(StatevectorSimulator::create(Precision::Single).parallel_threshold,
                  c.single_state.threshold);
        EXPECT_EQ(StatevectorSimulator::create().parallel_threshold, c.double_state.threshold);
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
    EXPECT_EQ(first.thresholds, (PrecisionThresholds{15, 16}));
    EXPECT_EQ(threshold_state(), (ThresholdState{ThresholdStatus::Ready, 15}));
    EXPECT_EQ(threshold_state(Precision::Single), (ThresholdState{ThresholdStatus::Ready, 16}));
    EXPECT_EQ(load_cache()->entries, (Entries{{threads_, {15, 16}}}));

    const auto second = calibrate_with(false, 20);
    EXPECT_TRUE(second.reused_cache);
    EXPECT_FALSE(second.cache_written);
    EXPECT_EQ(second.duration, std::chrono::nanoseconds(0));
    EXPECT_EQ(second.thresholds, (PrecisionThresholds{15, 16}));
    EXPECT_EQ(measurements_, 1);

    EXPECT_EQ(calibrate_with(true, 20, {}, 18).thresholds, (PrecisionThresholds{20, 18}));
    EXPECT_EQ(measurements_, 2);
    EXPECT_EQ(process_threshold(), 20u);
    EXPECT_EQ(process_threshold(Precision::Single), 18u);
    EXPECT_EQ(load_cache()->entries, (Entries{{threads_, {20, 18}}}));
}

// A schema-2 entry for this thread count lacks single precision: an
// unforced call measures both, and the file becomes schema 3 with the other
// thread counts' entries kept, still double only. Until then single
// precision borrows the double threshold.
TEST_F(Calibration, UnforcedCallCompletesASchemaTwoEntry) {
    write_cache(R"({"schema": 2, "entries": {")" + std::to_string(threads_) +
                R"(": 14, "977": 13}})");
    EXPECT_EQ(process_threshold(Precision::Single), 14u);
    const auto report = calibrate_with(false, 15, {}, 17);
    EXPECT_EQ(measurements_, 1);
    EXPECT_FALSE(report.reused_cache);
    EXPECT_TRUE(report.cache_written);
    EXPECT_EQ(report.thresholds, (PrecisionThresholds{15, 17}));
    EXPECT_EQ(process_threshold(), 15u);
    EXPECT_EQ(process_threshold(Precision::Single), 17u);
    EXPECT_EQ(load_cache()->entries, (Entries{{977, {13, std::nullopt}}, {threads_, {15, 17}}}));
    std::ifstream in(cache_file());
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text.rfind("{\n  \"schema\": 3,", 0), 0u) << text;

    EXPECT_TRUE(calibrate_with(false, 20).reused_cache);
    EXPECT_EQ(measurements_, 1);
}

// The cache is read again just before writing: entries another process
// wrote meanwhile survive. A foreign-schema cache keeps nothing.
TEST_F(Calibration, FreshReadBeforeWriting) {
    calibrate_with(true, 16, [&] { write_cache(entries_for(977, 14)); });
    EXPECT_EQ(load_cache()->entries, (Entries{{977, {14, std::nullopt}}, {threads_, {16, 17}}}));
    calibrate_with(true, 16, [&] {
        write_cache(R"({"schema": 3, "entries": {"977": {"double": 14, "single": 13}}})");
    });
    EXPECT_EQ(load_cache()->entries, (Entries{{977, {14, 13}}, {threads_, {16, 17}}}));
    write_cache(R"({"schema": 1, "entries": {"977": 14}})");
    EXPECT_TRUE(calibrate_with(true, 14).cache_written);
    EXPECT_EQ(load_cache()->entries, (Entries{{threads_, {14, 15}}}));
}

TEST_F(Calibration, UnwritableOrMissingCacheStillCalibratesTheProcess) {
    std::ofstream(dir_ / "blocker") << "x";  // a file where a directory must go
    set_env("XDG_CACHE_HOME", (dir_ / "blocker").string());
    EXPECT_FALSE(calibrate_with(true, 18).cache_written);
    EXPECT_EQ(process_threshold(), 18u);
    EXPECT_EQ(process_threshold(Precision::Single), 19u);
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

// Double precision: passes finding no speed-up (31), none again (31), then
// n = 12 at exactly 1.15: the median is 31. Single precision, timed in the
// same passes: 16, 12 and 16, median 16. Each size is timed serial, then
// parallel, double, then single.
TEST_F(Calibration, CrossoverIsTheMedianPassOfEachPrecision) {
    int calls = 0;
    std::vector<std::tuple<std::uint64_t, bool, Precision>> order;
    auto timer = [&](std::uint64_t n, bool parallel, Precision precision) {
        const int pass = calls++ / 20;
        order.emplace_back(n, parallel, precision);
        if (!parallel) return 115.0;
        if (precision == Precision::Single) return n >= (pass == 1 ? 12u : 16u) ? 50.0 : 200.0;
        return pass == 2 && n >= 12 ? 100.0 : 101.0;
    };
    const auto measured = measure_crossover(timer);
    EXPECT_EQ(measured.thresholds, (PrecisionThresholds{31, 16}));
    EXPECT_EQ(measured.num_threads, threads_);
    EXPECT_EQ(calls, 60);
    using Call = std::tuple<std::uint64_t, bool, Precision>;
    EXPECT_EQ(order[0], (Call{10, false, Precision::Double}));
    EXPECT_EQ(order[1], (Call{10, true, Precision::Double}));
    EXPECT_EQ(order[2], (Call{10, false, Precision::Single}));
    EXPECT_EQ(order[3], (Call{10, true, Precision::Single}));
    EXPECT_EQ(order[19], (Call{18, true, Precision::Single}));
    const auto logged = records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, log::Level::Info);
    // The double-precision text as it always was; single precision follows.
    const std::string prefix = "calibrated gate-parallel threshold = 31 qubit(s) for " +
                               std::to_string(threads_) + " thread(s) over 3 session(s) in ";
    const std::string suffix = "; single precision: 16 qubit(s)";
    ASSERT_TRUE(record(prefix));
    EXPECT_GT(logged[0].message.size(), prefix.size() + suffix.size());
    EXPECT_TRUE(logged[0].message.ends_with(suffix)) << logged[0].message;

    // Passes finding 12, none and 14 give 14; a zero parallel time never
    // counts. Single precision follows the same rule on its own timings.
    calls = 0;
    auto mixed = [&](std::uint64_t n, bool parallel, Precision precision) {
        const int pass = calls++ / 20;
        const std::uint64_t first = precision == Precision::Single ? 10
                                    : pass == 0                    ? 12
                                    : pass == 1                    ? 99
                                                                   : 14;
        return !parallel ? 100.0 : n >= first ? 50.0 : 0.0;
    };
    EXPECT_EQ(measure_crossover(mixed).thresholds, (PrecisionThresholds{14, 10}));
    for (Precision precision : {Precision::Double, Precision::Single}) {
        EXPECT_GT(time_cycle(10, false, precision), 0.0);
    }
}

}  // namespace
}  // namespace morvane::sim
