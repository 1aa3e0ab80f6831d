#include "support/log.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace morvane::log {

namespace detail {
std::atomic<std::uint8_t> max_level{static_cast<std::uint8_t>(Level::Off)};
}  // namespace detail

namespace {

// The installed sink. It is never deleted while the process runs: writers read
// the pointer without a lock, so freeing it could pull it from under them.
std::atomic<Sink*> installed_sink{nullptr};

// Sinks removed by reset_for_testing, parked here for the same reason.
std::mutex retired_mutex;
std::vector<std::unique_ptr<Sink>>& retired_sinks() {
    static auto* retired = new std::vector<std::unique_ptr<Sink>>();
    return *retired;
}

}  // namespace

std::string_view level_name(Level level) noexcept {
    switch (level) {
        case Level::Off:
            return "OFF";
        case Level::Error:
            return "ERROR";
        case Level::Warn:
            return "WARN";
        case Level::Info:
            return "INFO";
        case Level::Debug:
            return "DEBUG";
        case Level::Trace:
            return "TRACE";
    }
    return "OFF";
}

bool install_sink(std::unique_ptr<Sink> sink, Level max_level) noexcept {
    if (!sink) return false;
    Sink* expected = nullptr;
    if (!installed_sink.compare_exchange_strong(expected, sink.get(), std::memory_order_acq_rel)) {
        return false;
    }
    sink.release();
    // Levels beyond the compiled-in ceiling would admit records that can
    // never be produced; clamping keeps enabled() honest about that.
    auto level = std::min(static_cast<std::uint8_t>(max_level),
                          static_cast<std::uint8_t>(CEILING));
    detail::max_level.store(level, std::memory_order_release);
    return true;
}

bool sink_installed() noexcept {
    return installed_sink.load(std::memory_order_acquire) != nullptr;
}

void write(Level level, std::string_view target, std::string_view module_path,
           std::string_view message) noexcept {
    if (!enabled(level)) return;
    Sink* sink = installed_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return;
    try {
        sink->write(Record{level, target, module_path, message});
    } catch (...) {
        // A diagnostic must never fail the code that emits it.
    }
}

void reset_for_testing() noexcept {
    detail::max_level.store(static_cast<std::uint8_t>(Level::Off), std::memory_order_release);
    Sink* old = installed_sink.exchange(nullptr, std::memory_order_acq_rel);
    if (old == nullptr) return;
    std::lock_guard lock(retired_mutex);
    try {
        retired_sinks().emplace_back(old);
    } catch (...) {
        // Out of memory: leaking the sink is the safe choice.
    }
}

}  // namespace morvane::log
