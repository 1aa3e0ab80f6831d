#include "sim/cancel_check.hpp"

#include <algorithm>
#include <limits>

namespace morvane::sim {

namespace {

class SteadyClock final : public MonotonicClock {
  public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
};

// max(MIN_INTERVAL, 20 x cost), saturating instead of overflowing for an
// absurdly slow callback.
std::chrono::nanoseconds stretched_interval(std::chrono::nanoseconds cost) {
    using rep = std::chrono::nanoseconds::rep;
    constexpr rep FACTOR = 20;
    const rep ticks = std::max<rep>(cost.count(), 0);
    const rep scaled = ticks > std::numeric_limits<rep>::max() / FACTOR
                           ? std::numeric_limits<rep>::max()
                           : ticks * FACTOR;
    return std::max(CancelCheck::MIN_INTERVAL, std::chrono::nanoseconds(scaled));
}

}  // namespace

const MonotonicClock& steady_monotonic_clock() noexcept {
    static const SteadyClock clock;
    return clock;
}

CancelCheck::CancelCheck(std::uint64_t num_qubits, std::optional<CancelCallback> callback,
                         const MonotonicClock& clock) noexcept
    : callback_(callback),
      clock_(&clock),
      stride_(std::uint64_t{65536} >> std::min<std::uint64_t>(num_qubits, 16)),
      countdown_(stride_) {
    if (callback_) interval_ = MIN_INTERVAL;
}

std::expected<void, SimError> CancelCheck::checkpoint() {
    if (!interval_) return {};
    if (--countdown_ != 0) return {};
    countdown_ = stride_;
    const auto now = clock_->now();
    if (!last_) {
        last_ = now;
        return {};
    }
    if (now - *last_ < *interval_) return {};
    const bool stop = (*callback_)();
    const auto after = clock_->now();
    interval_ = stretched_interval(after - now);
    last_ = after;
    if (stop) return std::unexpected(SimError(Cancelled{}));
    return {};
}

}  // namespace morvane::sim
