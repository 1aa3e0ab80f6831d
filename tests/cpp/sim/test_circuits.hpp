#pragma once

// Circuits the simulator's tests share.

#include <cmath>
#include <cstdint>
#include <vector>

#include "circuit/gate.hpp"

namespace morvane::sim {

// Layers of rx, rz on every qubit then a ring of cx (the qulacs benchmark
// circuit), and the textbook QFT.
inline std::vector<circuit::Gate> layered_ring(std::uint64_t n, int depth) {
    using circuit::Angle;
    using circuit::Gate;
    std::vector<Gate> gates;
    for (int layer = 0; layer < depth; ++layer) {
        for (std::uint64_t q = 0; q < n; ++q) {
            gates.push_back(Gate::rx(q, Angle::fixed(0.1 * static_cast<double>(q + 1))));
            gates.push_back(Gate::rz(q, Angle::fixed(0.2 * static_cast<double>(layer + 1))));
        }
        for (std::uint64_t q = 0; q + 1 < n; ++q)
            gates.push_back(Gate::cx(q, q + 1));
        gates.push_back(Gate::cx(n - 1, 0));
    }
    return gates;
}

inline std::vector<circuit::Gate> qft(std::uint64_t n) {
    using circuit::Angle;
    using circuit::Gate;
    std::vector<Gate> gates;
    for (std::uint64_t j = n; j-- > 0;) {
        gates.push_back(Gate::h(j));
        for (std::uint64_t k = j; k-- > 0;)
            gates.push_back(Gate::cp(k, j, Angle::fixed(M_PI / static_cast<double>(1ULL << (j - k)))));
    }
    for (std::uint64_t i = 0; i < n / 2; ++i)
        gates.push_back(Gate::swap(i, n - 1 - i));
    return gates;
}

// A three-qubit gate of `kind` on (a, b, c).
inline circuit::Gate three(circuit::GateKind kind, std::uint64_t a, std::uint64_t b,
                           std::uint64_t c) {
    const std::uint64_t qubits[3] = {a, b, c};
    return circuit::Gate::make(kind, qubits, {});
}

}  // namespace morvane::sim
