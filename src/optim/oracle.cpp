#include "optim/oracle.hpp"

namespace morvane::optim {

std::expected<std::vector<double>, OptimizerError> evaluate_batch(
    BatchOracle oracle, std::span<const Candidate> candidates) {
    std::vector<double> values = oracle(candidates);
    if (values.size() != candidates.size()) {
        return std::unexpected(OptimizerError(OracleLength{candidates.size(), values.size()}));
    }
    return values;
}

std::expected<std::vector<double>, OptimizerError> evaluate_variances(
    VarianceOracle oracle, std::span<const double> point) {
    std::vector<double> values = oracle(point);
    if (values.size() != point.size()) {
        return std::unexpected(OptimizerError(OracleLength{point.size(), values.size()}));
    }
    return values;
}

}  // namespace morvane::optim
