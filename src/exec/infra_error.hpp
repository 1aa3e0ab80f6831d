#pragma once

#include <cstdint>
#include <string>
#include <variant>

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
struct InfraError {
    using Detail = std::variant<UnknownInfrastructure, InvalidCircuitCount, UnsupportedCircuit,
                                InvalidResults, NativeCircuit, Cunqa, Conversion, Seam>;
    Detail detail;

    template <class T>
    InfraError(T d) : detail(std::move(d)) {}  // NOLINT: implicit from each variant

    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(detail);
    }
    template <class T>
    const T& as() const {
        return std::get<T>(detail);
    }

    std::string message() const;
};

}  // namespace morvane::exec
