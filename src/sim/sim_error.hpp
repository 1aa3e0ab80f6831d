#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "support/error_variant.hpp"

namespace morvane::sim {

// The simulator's error enumeration, shared by the statevector, the driver,
// the sampler and the native backend. message() gives the user-facing text.
struct TooManyQubits {
    std::uint64_t requested;
    std::uint64_t max;
    bool operator==(const TooManyQubits&) const = default;
};
struct UnboundParam {
    std::uint64_t index;
    bool operator==(const UnboundParam&) const = default;
};
struct NonFiniteAngle {
    bool operator==(const NonFiniteAngle&) const = default;
};
struct GateAfterMeasurement {
    std::uint64_t qubit;
    bool operator==(const GateAfterMeasurement&) const = default;
};
struct GateQubitOutOfRange {
    std::uint64_t qubit;
    std::uint64_t num_qubits;
    bool operator==(const GateQubitOutOfRange&) const = default;
};
struct Cancelled {
    bool operator==(const Cancelled&) const = default;
};
// Sampled outcomes are packed into one 64-bit register word, so a Measure
// into classical bit 64 or above cannot be represented.
struct ClassicalBitOutOfRange {
    std::uint64_t cbit;
    bool operator==(const ClassicalBitOutOfRange&) const = default;
};

struct SimError : ErrorVariant<TooManyQubits, UnboundParam, NonFiniteAngle, GateAfterMeasurement,
                               GateQubitOutOfRange, Cancelled, ClassicalBitOutOfRange> {
    using ErrorVariant::ErrorVariant;

    std::string message() const;
    bool operator==(const SimError&) const = default;
};

}  // namespace morvane::sim
