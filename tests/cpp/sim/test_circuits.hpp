#pragma once

// Circuits the simulator's tests share.

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "circuit/gate.hpp"
#include "circuit/gate_catalogue.hpp"

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

// Every kind of the catalogue but the measurements, which only end a
// circuit: the unitary gates, the global phase and the barrier.
inline const std::vector<circuit::GateKind>& pickable_kinds() {
    static const std::vector<circuit::GateKind> kinds = [] {
        std::vector<circuit::GateKind> out;
        for (const circuit::GateInfo& info : circuit::gate_catalogue()) {
            if (circuit::is_unitary(info.kind) || info.kind == circuit::GateKind::Barrier)
                out.push_back(info.kind);
        }
        return out;
    }();
    return kinds;
}

// A random circuit drawing every gate kind with random angles and distinct
// qubits, biased towards a few qubits so that components grow, merge and
// flush in every way, and terminal measurements at the end.
inline std::vector<circuit::Gate> random_circuit(std::uint64_t n, std::size_t length,
                                                 std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(-7.0, 7.0);
    // Biased to three neighbouring qubits at the bottom, middle or top of the
    // register, so that blocks hold low, gathered and top qubits.
    const std::uint64_t width = std::min<std::uint64_t>(n, 3);
    const std::uint64_t offset = (rng() % 3) * (n - width) / 2;
    auto qubit = [&] { return rng() % 3 == 0 ? rng() % n : offset + rng() % width; };
    using circuit::Gate;
    using circuit::GateKind;
    const std::vector<GateKind>& kinds = pickable_kinds();
    std::vector<Gate> gates;
    while (gates.size() < length) {
        Gate g;
        g.kind = kinds[rng() % kinds.size()];
        const circuit::GateInfo& info = circuit::gate_info(g.kind);
        if (info.num_qubits > n) continue;
        for (std::size_t j = 0; j < info.num_qubits; ++j) {
            auto taken = [&](std::uint64_t q) {
                for (std::size_t i = 0; i < j; ++i) {
                    if (g.qubit(i) == q) return true;
                }
                return false;
            };
            std::uint64_t q = qubit();
            while (taken(q))
                q = qubit();
            g.set_qubit(j, q);
        }
        for (std::size_t i = 0; i < info.num_angles; ++i)
            g.angles[i] = circuit::Angle::fixed(angle(rng));
        if (g.kind == GateKind::Barrier) g.barrier_qubits = {qubit()};
        gates.push_back(g);
    }
    if (rng() % 2) gates.push_back(Gate::measure(rng() % n, rng() % 70));
    if (rng() % 3 == 0) gates.push_back(Gate::measure_all());
    return gates;
}

}  // namespace morvane::sim
