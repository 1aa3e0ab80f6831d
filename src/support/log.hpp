#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#ifndef MORVANE_LOG_CEILING
#define MORVANE_LOG_CEILING 3
#endif

namespace morvane::log {

// Levels from least to most verbose. A record passes when its level is at
// most the configured maximum; with Off nothing passes.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// The most verbose level compiled into the library. Records above it vanish at
// compile time; the runtime maximum can only lower it further.
inline constexpr Level CEILING = static_cast<Level>(MORVANE_LOG_CEILING);

// "ERROR", "WARN", "INFO", "DEBUG", "TRACE" ("OFF" for Off).
std::string_view level_name(Level level) noexcept;

struct Record {
    Level level;
    std::string_view target;       // e.g. "morvane_sim::calibration"
    std::string_view module_path;  // empty when unknown
    std::string_view message;
};

// Where records go once a logger is installed. write() is called from any
// thread, including pool workers, and should not throw; if it does, the
// facade swallows the exception so that logging can never fail the caller.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

namespace detail {
extern std::atomic<std::uint8_t> max_level;
}

// Cheap enough for hot paths: one relaxed load and a compare. Until a sink is
// installed the maximum is Off, so every record is discarded here.
inline bool enabled(Level level) noexcept {
    return level != Level::Off && level <= CEILING &&
           static_cast<std::uint8_t>(level) <= detail::max_level.load(std::memory_order_relaxed);
}

// Installs the process's one sink and sets the maximum level (clamped to the
// ceiling). Returns false, changing nothing, when a sink is already installed.
bool install_sink(std::unique_ptr<Sink> sink, Level max_level) noexcept;

bool sink_installed() noexcept;

// Hands a record to the sink if it passes the level filter; never throws.
void write(Level level, std::string_view target, std::string_view module_path,
           std::string_view message) noexcept;

// Removes the sink again and sets the maximum back to Off. Only for tests that
// install throwaway sinks; the public API never uninstalls a logger. A removed
// sink is kept alive until the process ends, because a writer on another
// thread may still be inside it.
void reset_for_testing() noexcept;

}  // namespace morvane::log

// Logs with the target doubling as the module path, as every morvane record
// does. The message expression is evaluated only when the record would pass.
#define MORVANE_LOG(level, target, message_expr)                                  \
    do {                                                                          \
        if (::morvane::log::enabled(level)) {                                     \
            ::morvane::log::write((level), (target), (target), (message_expr));   \
        }                                                                         \
    } while (false)
