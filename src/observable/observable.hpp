#pragma once

#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "observable/counts.hpp"
#include "observable/observable_error.hpp"
#include "observable/qubo.hpp"

namespace morvane::observable {

// A cost that reduces the counts of a batch of circuits to one value each.
class Observable {
public:
    virtual ~Observable() = default;

    // One value per map, in input order, or the first error.
    [[nodiscard]] virtual std::expected<std::vector<double>, ObservableError> evaluate_counts(
        std::span<const CountsMap> batch) const = 0;

    // Whether evaluation calls into the Python interpreter. Descriptive only.
    virtual bool calls_python() const noexcept = 0;
};

// The built-in QUBO / Ising observable. The model is shared with the Python
// object that built it and with every training run that uses it.
class QuboObservable final : public Observable {
public:
    explicit QuboObservable(std::shared_ptr<const QuboModel> model) : model_(std::move(model)) {}

    // Maps are reduced in parallel on the shared pool. When one fails, maps
    // not yet started are skipped and the first recorded error is returned.
    [[nodiscard]] std::expected<std::vector<double>, ObservableError> evaluate_counts(
        std::span<const CountsMap> batch) const override;

    bool calls_python() const noexcept override { return false; }

    const std::shared_ptr<const QuboModel>& model() const noexcept { return model_; }

private:
    std::shared_ptr<const QuboModel> model_;
};

}  // namespace morvane::observable
