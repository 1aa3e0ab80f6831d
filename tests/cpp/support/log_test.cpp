#include "support/log.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/text.hpp"
#include "support/thread_pool.hpp"

namespace morvane::log {
namespace {

struct Stored {
    Level level;
    std::string target;
    std::string module_path;
    std::string message;
};

// What a test sink saw. Shared with the test, because a removed sink is kept
// alive by the facade beyond the test's scope.
struct Journal {
    std::mutex mutex;
    std::vector<Stored> records;

    std::vector<Stored> snapshot() {
        std::lock_guard lock(mutex);
        return records;
    }
};

// Keeps every record; throws instead for the message "throw".
class JournalSink : public Sink {
public:
    explicit JournalSink(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
    void write(const Record& record) override {
        if (record.message == "throw") throw std::runtime_error("sink failure");
        std::lock_guard lock(journal_->mutex);
        journal_->records.push_back({record.level, std::string(record.target),
                                     std::string(record.module_path), std::string(record.message)});
    }

private:
    std::shared_ptr<Journal> journal_;
};

constexpr Level ALL_LEVELS[] = {Level::Error, Level::Warn, Level::Info, Level::Debug,
                                Level::Trace};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { reset_for_testing(); }
    void TearDown() override { reset_for_testing(); }

    std::shared_ptr<Journal> install(Level level) {
        auto journal = std::make_shared<Journal>();
        EXPECT_TRUE(install_sink(std::make_unique<JournalSink>(journal), level));
        return journal;
    }
};

TEST_F(LogTest, RecordsBeforeInstallationAreDiscarded) {
    EXPECT_FALSE(install_sink(nullptr, Level::Info));  // not an installation
    EXPECT_FALSE(sink_installed());
    for (Level level : ALL_LEVELS) {
        EXPECT_FALSE(enabled(level));
        write(level, "morvane::test", "morvane::test", "early");
    }
    auto journal = install(Level::Info);
    EXPECT_TRUE(sink_installed());
    write(Level::Error, "morvane::test", "morvane::test", "late");
    auto records = journal->snapshot();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "late");
    EXPECT_EQ(records[0].level, Level::Error);
    EXPECT_EQ(records[0].target, "morvane::test");
}

class LevelFilterTest : public LogTest, public ::testing::WithParamInterface<Level> {};

TEST_P(LevelFilterTest, PassesExactlyTheLevelsUpToTheMaximumAndTheCeiling) {
    Level maximum = GetParam();
    auto journal = install(maximum);
    for (Level level : ALL_LEVELS) write(level, "t", "t", level_name(level));

    std::vector<std::string> expected;
    for (Level level : ALL_LEVELS) {
        bool passes = level <= maximum && level <= CEILING;
        EXPECT_EQ(enabled(level), passes) << level_name(level);
        if (passes) expected.emplace_back(level_name(level));
    }
    std::vector<std::string> got;
    for (const auto& r : journal->snapshot()) got.push_back(r.message);
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(enabled(Level::Off));
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelFilterTest,
                         ::testing::Values(Level::Off, Level::Error, Level::Warn, Level::Info,
                                           Level::Debug, Level::Trace));

TEST_F(LogTest, MaximumAboveTheCeilingIsClamped) {
    auto journal = install(Level::Trace);
    EXPECT_EQ(static_cast<Level>(detail::max_level.load()), CEILING);
    if (CEILING < Level::Trace) {
        EXPECT_FALSE(enabled(Level::Trace));
        write(Level::Trace, "t", "t", "too verbose");
        EXPECT_TRUE(journal->snapshot().empty());
    }
}

TEST_F(LogTest, SecondInstallationIsRefusedAndChangesNothing) {
    auto first = install(Level::Warn);
    auto second = std::make_shared<Journal>();
    EXPECT_FALSE(install_sink(std::make_unique<JournalSink>(second), Level::Error));
    EXPECT_FALSE(install_sink(nullptr, Level::Error));
    // The first installation's level still applies: warnings pass.
    write(Level::Warn, "t", "t", "still first");
    EXPECT_EQ(first->snapshot().size(), 1u);
    EXPECT_TRUE(second->snapshot().empty());
}

TEST_F(LogTest, ThrowingSinkNeverReachesTheCaller) {
    auto journal = install(Level::Info);
    EXPECT_NO_THROW(write(Level::Error, "t", "t", "throw"));
    write(Level::Error, "t", "t", "after");
    auto records = journal->snapshot();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "after");
}

TEST_F(LogTest, MacroEvaluatesTheMessageOnlyWhenTheRecordPasses) {
    int evaluations = 0;
    auto message = [&] {
        ++evaluations;
        return std::string("built");
    };
    MORVANE_LOG(Level::Error, "morvane::test", message());
    EXPECT_EQ(evaluations, 0);

    auto journal = install(Level::Warn);
    MORVANE_LOG(Level::Info, "morvane::test", message());
    EXPECT_EQ(evaluations, 0);
    MORVANE_LOG(Level::Warn, "morvane::test", message());
    EXPECT_EQ(evaluations, 1);
    auto records = journal->snapshot();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].module_path, "morvane::test");
    EXPECT_EQ(records[0].target, "morvane::test");
}

TEST_F(LogTest, ConcurrentWritersFromThePool) {
    auto journal = install(Level::Info);
    ThreadPool pool(4);
    constexpr std::size_t N = 2000;
    pool.parallel_for(N, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            write(Level::Info, "morvane::pool", "", concat("record ", i));
            write(Level::Debug, "morvane::pool", "", "filtered");
        }
    });
    auto records = journal->snapshot();
    std::set<std::string> messages;
    for (const auto& r : records) messages.insert(r.message);
    EXPECT_EQ(records.size(), N);
    EXPECT_EQ(messages.count("filtered"), 0u);
    for (std::size_t i = 0; i < N; ++i) {
        ASSERT_EQ(messages.count(concat("record ", i)), 1u) << i;
    }
}

TEST_F(LogTest, ResetWhileAnotherThreadWritesIsSafe) {
    // Tests may remove a sink while workers still log; the old sink must stay
    // valid for a writer that already holds it.
    ThreadPool pool(3);
    for (int round = 0; round < 20; ++round) {
        auto journal = install(Level::Info);
        pool.parallel_for(64, 1, [&](std::size_t begin, std::size_t) {
            if (begin == 0) reset_for_testing();
            write(Level::Error, "t", "t", "racing");
        });
        reset_for_testing();
        EXPECT_FALSE(sink_installed());
        EXPECT_FALSE(enabled(Level::Error));
        EXPECT_LE(journal->snapshot().size(), 64u);
    }
}

TEST(LogLevelName, Names) {
    std::vector<std::string_view> names;
    for (Level level : {Level::Off, Level::Error, Level::Warn, Level::Info, Level::Debug,
                        Level::Trace}) {
        names.push_back(level_name(level));
    }
    EXPECT_EQ(names, (std::vector<std::string_view>{"OFF", "ERROR", "WARN", "INFO", "DEBUG",
                                                    "TRACE"}));
}

}  // namespace
}  // namespace morvane::log
