#pragma once

#include <cstdint>
#include <string>

#include "support/error_variant.hpp"

namespace morvane::optim {

// A population optimiser got fewer members than its mutation needs.
struct PopulationTooSmall {
    std::uint64_t got;
    std::uint64_t min;
    bool operator==(const PopulationTooSmall&) const = default;
};
// A box [lb, ub] that is empty or not finite.
struct InvalidBounds {
    double lb;
    double ub;
    bool operator==(const InvalidBounds&) const = default;
};
// The oracle answered a batch with the wrong number of values.
struct OracleLength {
    std::uint64_t candidates;
    std::uint64_t returned;
    bool operator==(const OracleLength&) const = default;
};
// Any other unusable configuration value; `name` is the parameter's name.
struct InvalidConfig {
    std::string name;
    std::string message;
    bool operator==(const InvalidConfig&) const = default;
};

// Why an optimiser run returned no outcome. Configuration variants are found
// before the first oracle call; OracleLength ends a run midway.
struct OptimizerError
    : ErrorVariant<PopulationTooSmall, InvalidBounds, OracleLength, InvalidConfig> {
    using ErrorVariant::ErrorVariant;

    std::string message() const;
};

}  // namespace morvane::optim
