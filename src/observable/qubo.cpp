#include "observable/qubo.hpp"

#include <cmath>
#include <new>

#include "support/text.hpp"

namespace morvane::observable {

namespace {

std::unexpected<ObservableError> invalid(std::string message) {
    return std::unexpected(ObservableError(Invalid{std::move(message)}));
}

}  // namespace

std::expected<QuboModel, ObservableError> QuboModel::qubo(std::uint64_t num_vars,
                                                          std::span<const LinearTerm> linear,
                                                          std::span<const QuadraticTerm> quadratic,
                                                          double constant, double scale) {
    if (num_vars == 0) return invalid("num_vars must be >= 1");
    if (!std::isfinite(constant)) return invalid("constant must be finite");
    if (!std::isfinite(scale)) return invalid("scale must be finite");

    QuboModel model;
    model.num_vars_ = num_vars;
    model.constant_ = constant;
    model.scale_ = scale;
    // The dense linear part is sized by num_vars, which comes straight from
    // the caller: an absurd size must be an error, not an abort.
    try {
        model.linear_.assign(num_vars, 0.0);
    } catch (const std::bad_alloc&) {
        return invalid(concat("num_vars ", num_vars, " is too large to allocate"));
    } catch (const std::length_error&) {
        return invalid(concat("num_vars ", num_vars, " is too large to allocate"));
    }
    for (const LinearTerm& term : linear) {
        if (term.index >= num_vars) {
            return invalid(
                concat("linear index ", term.index, " out of range for ", num_vars, " variables"));
        }
        if (!std::isfinite(term.coefficient)) {
            return invalid(concat("linear coefficient for index ", term.index, " is not finite"));
        }
        model.linear_[term.index] += term.coefficient;
    }
    model.quadratic_.reserve(quadratic.size());
    for (const QuadraticTerm& term : quadratic) {
        if (term.i >= num_vars || term.j >= num_vars) {
            return invalid(concat("quadratic index (", term.i, ",", term.j, ") out of range for ",
                                  num_vars, " variables"));
        }
        if (term.i == term.j) {
            return invalid(concat("quadratic term on a single variable (", term.i, ",", term.i,
                                  ") is not allowed; fold it into the linear part (x_i^2 = x_i)"));
        }
        if (!std::isfinite(term.coefficient)) {
            return invalid(concat("quadratic coefficient for (", term.i, ",", term.j,
                                  ") is not finite"));
        }
        model.quadratic_.push_back(QuadraticTerm{std::min(term.i, term.j),
                                                 std::max(term.i, term.j), term.coefficient});
    }
    return model;
}

std::expected<QuboModel, ObservableError> QuboModel::ising(std::uint64_t num_vars,
                                                           std::span<const LinearTerm> fields,
                                                           std::span<const QuadraticTerm> couplings,
                                                           double constant, double scale) {
    if (num_vars == 0) return invalid("num_vars must be >= 1");
    if (!std::isfinite(constant)) return invalid("constant must be finite");

    // With z = 1 - 2x: h z = h - 2h x and J z_i z_j = J - 2J x_i - 2J x_j + 4J x_i x_j.
    double accumulated = constant;
    std::vector<LinearTerm> linear;
    std::vector<QuadraticTerm> quadratic;
    linear.reserve(fields.size() + 2 * couplings.size());
    quadratic.reserve(couplings.size());
    for (const LinearTerm& field : fields) {
        if (field.index >= num_vars) {
            return invalid(
                concat("field index ", field.index, " out of range for ", num_vars, " variables"));
        }
        if (!std::isfinite(field.coefficient)) {
            return invalid(concat("field coefficient for index ", field.index, " is not finite"));
        }
        linear.push_back(LinearTerm{field.index, -2.0 * field.coefficient});
        accumulated += field.coefficient;
    }
    for (const QuadraticTerm& coupling : couplings) {
        if (coupling.i >= num_vars || coupling.j >= num_vars) {
            return invalid(concat("coupling index (", coupling.i, ",", coupling.j,
                                  ") out of range for ", num_vars, " variables"));
        }
        if (!std::isfinite(coupling.coefficient)) {
            return invalid(concat("coupling coefficient for (", coupling.i, ",", coupling.j,
                                  ") is not finite"));
        }
        const double J = coupling.coefficient;
        if (coupling.i != coupling.j) {
            linear.push_back(LinearTerm{coupling.i, -2.0 * J});
            linear.push_back(LinearTerm{coupling.j, -2.0 * J});
            quadratic.push_back(QuadraticTerm{coupling.i, coupling.j, 4.0 * J});
        }
        // z_i z_i = 1, so a self-coupling is a constant.
        accumulated += J;
    }
    return qubo(num_vars, linear, quadratic, accumulated, scale);
}

std::expected<QuboModel, ObservableError> QuboModel::from_matrix(
    std::span<const std::vector<double>> rows, double scale) {
    const std::size_t n = rows.size();
    if (n == 0) return invalid("matrix must be non-empty");
    for (std::size_t r = 0; r < n; ++r) {
        if (rows[r].size() != n) {
            return invalid(concat("matrix must be square; row ", r, " has length ",
                                  rows[r].size(), " (expected ", n, ")"));
        }
    }
    std::vector<LinearTerm> linear;
    std::vector<QuadraticTerm> quadratic;
    for (std::size_t i = 0; i < n; ++i) {
        // `!= 0` is true for NaN, so a NaN entry becomes a term and is then
        // refused by the QUBO checks below with its index.
        if (rows[i][i] != 0.0) linear.push_back(LinearTerm{i, rows[i][i]});
        for (std::size_t j = i + 1; j < n; ++j) {
            const double s = rows[i][j] + rows[j][i];
            if (s != 0.0) quadratic.push_back(QuadraticTerm{i, j, s});
        }
    }
    return qubo(n, linear, quadratic, 0.0, scale);
}

std::expected<double, ObservableError> QuboModel::expectation(const CountsMap& counts) const {
    const std::uint64_t n = num_vars_;
    // The outcome's bits as 0.0 / 1.0, decoded once per outcome so that the
    // quadratic terms read a small array instead of re-parsing characters.
    std::vector<double> x(n);
    double sum = 0.0;
    std::uint64_t total = 0;
    for (const auto& [bitstring, shots] : counts) {
        const std::size_t len = bitstring.size();
        if (len < n) return std::unexpected(ObservableError(BitWidthMismatch{n, len}));
        const char* rightmost = bitstring.data() + len - 1;
        double energy = constant_;
        for (std::uint64_t k = 0; k < n; ++k) {
            const char c = *(rightmost - k);
            if (c != '0' && c != '1') {
                return std::unexpected(ObservableError(InvalidBitstring{bitstring}));
            }
            x[k] = c == '1' ? 1.0 : 0.0;
            energy += x[k] * linear_[k];
        }
        for (const QuadraticTerm& term : quadratic_) {
            energy += (x[term.i] * term.coefficient) * x[term.j];
        }
        total += shots;
        sum += static_cast<double>(shots) * (energy * scale_);
    }
    return total > 0 ? sum / static_cast<double>(total) : 0.0;
}

}  // namespace morvane::observable
