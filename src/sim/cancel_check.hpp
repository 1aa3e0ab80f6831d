#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>

#include "sim/sim_error.hpp"
#include "support/function_ref.hpp"

namespace morvane::sim {

// Asks whether a running simulation should stop; true means stop. Called on
// the simulating thread at throttled checkpoints. The referenced callable must
// outlive the simulation.
using CancelCallback = FunctionRef<bool()>;

// The monotonic clock a CancelCheck reads; replaceable so that tests can
// count the reads and control time.
class MonotonicClock {
  public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~MonotonicClock() = default;
    virtual time_point now() const = 0;
};

// std::chrono::steady_clock.
const MonotonicClock& steady_monotonic_clock() noexcept;

// The checkpoint throttle of one simulation. Without a callback a checkpoint
// costs one branch and never reads the clock. With one, the clock is read
// once every `stride` checkpoints (the stride shrinks as the register grows,
// since each gate then costs more), the callback runs at most once per
// interval, never within the first interval, and the interval stretches to
// twenty times the callback's own cost so that polling stays a small fraction
// of the run even when the callback is slow.
class CancelCheck {
  public:
    static constexpr std::chrono::nanoseconds MIN_INTERVAL = std::chrono::milliseconds(25);

    CancelCheck(std::uint64_t num_qubits, std::optional<CancelCallback> callback,
                const MonotonicClock& clock = steady_monotonic_clock()) noexcept;

    // One checkpoint: Cancelled if the callback was consulted and asked to stop.
    [[nodiscard]] std::expected<void, SimError> checkpoint();

    std::uint64_t stride() const noexcept { return stride_; }
    // The current polling interval; absent without a callback.
    std::optional<std::chrono::nanoseconds> interval() const noexcept { return interval_; }

  private:
    std::optional<CancelCallback> callback_;
    const MonotonicClock* clock_;
    std::uint64_t stride_;
    std::uint64_t countdown_;
    std::optional<MonotonicClock::time_point> last_;
    std::optional<std::chrono::nanoseconds> interval_;
};

}  // namespace morvane::sim
