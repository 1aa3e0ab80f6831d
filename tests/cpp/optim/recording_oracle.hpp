#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "optim/oracle.hpp"

namespace optim_test {

using morvane::optim::Candidate;

// A fitness oracle that keeps every batch it was asked and can answer one
// chosen call with a value too few.
class RecordingOracle {
public:
    explicit RecordingOracle(std::function<double(const Candidate&)> fitness)
        : fitness_(std::move(fitness)) {}

    std::vector<double> operator()(std::span<const Candidate> batch) {
        batches.emplace_back(batch.begin(), batch.end());
        std::vector<double> values;
        for (const Candidate& c : batch) values.push_back(fitness_(c));
        if (short_call && *short_call == batches.size() - 1 && !values.empty()) values.pop_back();
        return values;
    }

    std::size_t calls() const { return batches.size(); }
    std::vector<Candidate> all_candidates() const {
        std::vector<Candidate> out;
        for (const auto& batch : batches) out.insert(out.end(), batch.begin(), batch.end());
        return out;
    }

    std::vector<std::vector<Candidate>> batches;
    std::optional<std::size_t> short_call;  // 0-based call index answered short

private:
    std::function<double(const Candidate&)> fitness_;
};

inline double constant_fitness(const Candidate&) { return 1.0; }

}  // namespace optim_test
