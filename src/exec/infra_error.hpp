#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "support/error_variant.hpp"
#include "support/foreign.hpp"

namespace morvane::exec {

struct UnknownInfrastructure {
    std::string name;
};
struct InvalidCircuitCount {
    std::uint64_t expected;
    std::uint64_t got;
};
struct UnsupportedCircuit {
    std::string message;
};
// A counts map broke its contract; the message is the validator's.
struct InvalidResults {
    std::string message;
};
struct NativeCircuit {
    std::string message;
};
struct Cunqa {
    std::string message;
};
struct Conversion {
    std::string message;
};
// An exception raised by the Python seam module, carried unchanged.
struct Seam {
    ForeignErrorPtr error;
};

// The error of the execution infrastructure: backends, planners, counts
// validation. message() is its display text, used in logs and wherever it is
// reported inside another error.
struct InfraError : ErrorVariant<UnknownInfrastructure, InvalidCircuitCount, UnsupportedCircuit,
                                 InvalidResults, NativeCircuit, Cunqa, Conversion, Seam> {
    using ErrorVariant::ErrorVariant;

    std::string message() const;
};

// What the user reads for UnknownInfrastructure: the display text plus the
// names that would have been accepted.
std::string unknown_infrastructure_text(std::string_view name);

}  // namespace morvane::exec
