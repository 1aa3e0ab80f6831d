#include "observable/observable.hpp"

#include <atomic>
#include <mutex>
#include <optional>

#include "support/thread_pool.hpp"

namespace morvane::observable {

std::expected<std::vector<double>, ObservableError> QuboObservable::evaluate_counts(
    std::span<const CountsMap> batch) const {
    std::vector<double> values(batch.size(), 0.0);
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::optional<ObservableError> first_error;

    parallel_for(batch.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (failed.load(std::memory_order_relaxed)) return;
            auto value = model_->expectation(batch[i]);
            if (!value) {
                std::lock_guard lock(error_mutex);
                if (!first_error) first_error = std::move(value.error());
                failed.store(true, std::memory_order_relaxed);
                return;
            }
            values[i] = *value;
        }
    });

    if (first_error) return std::unexpected(std::move(*first_error));
    return values;
}

}  // namespace morvane::observable
