#include "observable/callback_observable.hpp"

#include <cstring>
#include <mutex>

#include "support/internal_fault.hpp"
#include "support/os_random.hpp"
#include "support/thread_pool.hpp"

namespace morvane::observable {

namespace {

constexpr std::uint64_t MULTIPLIER = 0x9E3779B97F4A7C15ULL;

// SplitMix64's finaliser: every input bit reaches every output bit.
std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return x;
}

// Maps of a batch are small (a few outcomes to a few hundred); splitting
// finer than this costs more in hand-offs than the look-ups it spreads.
constexpr std::size_t REDUCTION_GRAIN = 4;

using BatchValues = std::unordered_map<std::string_view, double, SeededStringHash, std::equal_to<>>;

}  // namespace

std::size_t SeededStringHash::operator()(std::string_view text) const noexcept {
    // Eight bytes at a time: bitstrings are long runs of '0'/'1', so a
    // byte-wise hash would spend most of its time on one bit of entropy per
    // byte.
    std::uint64_t h = seed ^ (static_cast<std::uint64_t>(text.size()) * MULTIPLIER);
    const char* data = text.data();
    std::size_t left = text.size();
    while (left >= 8) {
        std::uint64_t word;
        std::memcpy(&word, data, 8);
        h = mix(h ^ word) * MULTIPLIER;
        data += 8;
        left -= 8;
    }
    if (left > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, data, left);
        h = mix(h ^ word) * MULTIPLIER;
    }
    return static_cast<std::size_t>(mix(h));
}

CallbackObservable::CallbackObservable(std::shared_ptr<const BitstringCost> cost, Memo memo)
    : cost_(std::move(cost)), hash_{os_random_u64()} {
    ensure(cost_ != nullptr, "a callback observable needs a cost");
    if (memo == Memo::Run) cache_ = std::make_unique<Cache>(SeededStringHash{os_random_u64()});
}

std::size_t CallbackObservable::cache_size() const {
    if (!cache_) return 0;
    std::shared_lock lock(cache_->mutex);
    return cache_->values.size();
}

std::expected<std::vector<double>, ObservableError> CallbackObservable::evaluate_counts(
    std::span<const CountsMap> batch) const {
    // The distinct bitstrings of the batch, borrowed from the maps, each with
    // its value once known. `distinct` keeps them in first-seen order so that
    // the cost is called in an order a user can follow.
    std::size_t outcomes = 0;
    for (const CountsMap& counts : batch) outcomes += counts.size();
    BatchValues values(outcomes, hash_);
    std::vector<std::string_view> distinct;
    distinct.reserve(outcomes);
    for (const CountsMap& counts : batch) {
        for (const auto& entry : counts) {
            if (values.try_emplace(entry.first, 0.0).second) distinct.push_back(entry.first);
        }
    }

    std::vector<std::string_view> missing;
    if (cache_) {
        std::shared_lock lock(cache_->mutex);
        for (std::string_view bitstring : distinct) {
            auto known = cache_->values.find(bitstring);
            if (known != cache_->values.end()) {
                values.find(bitstring)->second = known->second;
            } else {
                missing.push_back(bitstring);
            }
        }
    } else {
        missing = std::move(distinct);
    }

    if (!missing.empty()) {
        auto computed = cost_->evaluate(missing);
        if (!computed) return std::unexpected(std::move(computed.error()));
        ensure(computed->size() == missing.size(),
               "the bitstring cost returned a different number of values than it was asked for");
        if (cache_) {
            std::unique_lock lock(cache_->mutex);
            // Another batch may have learnt the same bitstring meanwhile;
            // entries are never replaced, so the first value stays.
            for (std::size_t k = 0; k < missing.size(); ++k) {
                cache_->values.try_emplace(std::string(missing[k]), (*computed)[k]);
            }
        }
        for (std::size_t k = 0; k < missing.size(); ++k) {
            values.find(missing[k])->second = (*computed)[k];
        }
    }

    // Read-only from here on: the workers share `values` without a lock.
    std::vector<double> results(batch.size(), 0.0);
    parallel_for(batch.size(), REDUCTION_GRAIN, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double sum = 0.0;
            std::uint64_t total = 0;
            for (const auto& [bitstring, shots] : batch[i]) {
                sum += static_cast<double>(shots) * values.find(bitstring)->second;
                total += shots;
            }
            results[i] = total > 0 ? sum / static_cast<double>(total) : 0.0;
        }
    });
    return results;
}

}  // namespace morvane::observable
