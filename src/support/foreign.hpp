#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace morvane {

// An error raised outside the native core (a Python exception from a user's
// callable, the seam module or a signal handler) travelling inside a native
// error. The core only needs its text; the layer that created it owns the real
// object and releases it correctly (for Python: under the interpreter lock)
// when the last copy of the native error goes away.
class ForeignError {
public:
    virtual ~ForeignError() = default;
    // The error's own display text.
    virtual std::string message() const = 0;
};

// Native errors are plain copyable values, so the foreign object they carry
// is shared rather than duplicated.
using ForeignErrorPtr = std::shared_ptr<const ForeignError>;

// A circuit object handed in from outside (a Qiskit QuantumCircuit). The core
// never inspects it beyond its size; backends that can run it reach it through
// their own layer.
class ForeignCircuit {
public:
    virtual ~ForeignCircuit() = default;
    // The circuit's qubit count if it can be read as an unsigned integer.
    virtual std::optional<std::uint64_t> num_qubits() const = 0;
};

using ForeignCircuitPtr = std::shared_ptr<const ForeignCircuit>;

// Any other object from outside that the core only passes along (an Aer noise
// model, say); the layer that made it knows what it is.
class ForeignObject {
public:
    virtual ~ForeignObject() = default;
};

using ForeignObjectPtr = std::shared_ptr<const ForeignObject>;

}  // namespace morvane
