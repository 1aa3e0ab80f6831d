#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "observable/counts.hpp"
#include "observable/observable.hpp"
#include "observable/observable_error.hpp"

namespace morvane::observable {

// The user's cost of one measurement outcome, evaluated outside the native
// core (a Python callable). The layer that owns the callable implements it;
// the observable below only decides which bitstrings still need a value.
class BitstringCost {
public:
    virtual ~BitstringCost() = default;

    // One value per bitstring of `missing`, in the same order, computed one
    // after another. The first failure ends the evaluation and is returned as
    // `External` carrying the foreign error; nothing computed before it is
    // reported.
    [[nodiscard]] virtual std::expected<std::vector<double>, ObservableError> evaluate(
        std::span<const std::string_view> missing) const = 0;
};

// A string hash keyed by a seed chosen per instance, so that the bucket
// layout of one observable tells nothing about another's. Transparent, so a
// map keyed by std::string can be probed with a string_view.
struct SeededStringHash {
    using is_transparent = void;
    std::uint64_t seed = 0;
    std::size_t operator()(std::string_view text) const noexcept;
};

// The observable over a user cost of single bitstrings. Every distinct
// bitstring of a batch is evaluated at most once, however many maps hold it;
// with the cross-generation cache every distinct bitstring is evaluated at
// most once over the observable's whole life (one training run).
class CallbackObservable final : public Observable {
public:
    enum class Memo {
        Batch,  // deduplicate within each batch only
        Run,    // also remember every value across batches
    };

    // The cache (with `Memo::Run`) starts empty.
    CallbackObservable(std::shared_ptr<const BitstringCost> cost, Memo memo);

    // Collects the distinct bitstrings of the batch, takes what the cache
    // already knows, asks the cost for the rest in one call, and reduces each
    // map to its shot-weighted mean in parallel on the shared pool (an empty
    // map gives 0.0). When the cost fails, that error is returned and the
    // cache is left as it was.
    [[nodiscard]] std::expected<std::vector<double>, ObservableError> evaluate_counts(
        std::span<const CountsMap> batch) const override;

    // The cost is a foreign callable.
    bool calls_python() const noexcept override { return true; }

    bool cached() const noexcept { return cache_ != nullptr; }
    // Number of remembered bitstrings; 0 without a cache.
    std::size_t cache_size() const;

private:
    struct Cache {
        explicit Cache(SeededStringHash hash) : values(0, hash) {}
        // Read-locked for look-ups, write-locked for insertions, never held
        // while the cost runs: a batch that is calling the user's function
        // must not stop another thread from reading what is already known.
        mutable std::shared_mutex mutex;
        std::unordered_map<std::string, double, SeededStringHash, std::equal_to<>> values;
    };

    std::shared_ptr<const BitstringCost> cost_;
    SeededStringHash hash_;
    std::unique_ptr<Cache> cache_;  // null for Memo::Batch
};

}  // namespace morvane::observable
