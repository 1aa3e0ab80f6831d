#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "observable/counts.hpp"
#include "observable/observable_error.hpp"

namespace morvane::observable {

struct LinearTerm {
    std::uint64_t index;
    double coefficient;
};

struct QuadraticTerm {
    std::uint64_t i;
    std::uint64_t j;
    double coefficient;
};

// A quadratic cost over bits, the one record behind both the QUBO and the
// Ising observable. Immutable once built, so evaluation needs no lock.
//
// Value of an assignment x: scale * (constant + sum linear[i] x_i + sum w x_i x_j).
// Variable k is read from the character at position len - 1 - k of a
// bitstring (the rightmost character is variable 0).
class QuboModel {
public:
    // QUBO over bits x_i in {0, 1}. Linear terms of one index are summed;
    // quadratic terms are kept one per pair given, smaller index first.
    [[nodiscard]] static std::expected<QuboModel, ObservableError> qubo(std::uint64_t num_vars,
                                                          std::span<const LinearTerm> linear,
                                                          std::span<const QuadraticTerm> quadratic,
                                                          double constant, double scale);

    // Ising over spins z_i = 1 - 2 x_i (bit 0 is spin +1), reduced to a QUBO.
    [[nodiscard]] static std::expected<QuboModel, ObservableError> ising(std::uint64_t num_vars,
                                                           std::span<const LinearTerm> fields,
                                                           std::span<const QuadraticTerm> couplings,
                                                           double constant, double scale);

    // f(x) = x^T Q x for a dense square matrix given as rows.
    [[nodiscard]] static std::expected<QuboModel, ObservableError> from_matrix(
        std::span<const std::vector<double>> rows, double scale);

    std::uint64_t num_vars() const noexcept { return num_vars_; }
    const std::vector<double>& linear() const noexcept { return linear_; }
    const std::vector<QuadraticTerm>& quadratic() const noexcept { return quadratic_; }
    double constant() const noexcept { return constant_; }
    double scale() const noexcept { return scale_; }

    // Shot-weighted mean of the value over one counts map; 0.0 for a map
    // without shots.
    [[nodiscard]] std::expected<double, ObservableError> expectation(const CountsMap& counts) const;

private:
    QuboModel() = default;

    std::uint64_t num_vars_ = 0;
    std::vector<double> linear_;
    std::vector<QuadraticTerm> quadratic_;
    double constant_ = 0.0;
    double scale_ = 1.0;
};

}  // namespace morvane::observable
