#pragma once

// The unitary of a short gate list on a few qubits, for tests: each gate's
// catalogue matrix lifted to the register by enumerating index pairs, a way
// of its own rather than the catalogue's helper.

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "circuit/gate.hpp"
#include "circuit/gate_catalogue.hpp"

namespace morvane::circuit {

using Matrix = std::vector<Complex>;

// m <- gate * m on a register of k qubits (row-major 2^k x 2^k).
inline void apply(Matrix& m, std::size_t k, const Gate& g) {
    const GateInfo& info = gate_info(g.kind);
    std::vector<double> angles;
    for (std::size_t i = 0; i < info.num_angles; ++i) angles.push_back(g.angles[i].value());
    const Matrix u = gate_matrix(g.kind, angles);
    const std::size_t dim = std::size_t{1} << k, local = std::size_t{1} << info.num_qubits;
    auto local_index = [&](std::size_t i) {
        std::size_t l = 0;
        for (std::size_t j = 0; j < info.num_qubits; ++j) l |= ((i >> g.qubit(j)) & 1) << j;
        return l;
    };
    auto rest = [&](std::size_t i) {
        for (std::size_t j = 0; j < info.num_qubits; ++j) i &= ~(std::size_t{1} << g.qubit(j));
        return i;
    };
    Matrix out(dim * dim);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t i = 0; i < dim; ++i) {
            if (rest(r) != rest(i)) continue;
            const Complex factor = u[local_index(r) * local + local_index(i)];
            for (std::size_t c = 0; c < dim; ++c) out[r * dim + c] += factor * m[i * dim + c];
        }
    m = std::move(out);
}

inline Matrix unitary_of(std::size_t k, std::span<const Gate> gates) {
    const std::size_t dim = std::size_t{1} << k;
    Matrix m(dim * dim);
    for (std::size_t i = 0; i < dim; ++i) m[i * dim + i] = 1.0;
    for (const Gate& g : gates) apply(m, k, g);
    return m;
}

// The largest entry-wise distance between a and e^(i t) b over the phase t
// that lines up their largest entries: equality up to a global phase.
inline double distance_up_to_phase(const Matrix& a, const Matrix& b) {
    std::size_t top = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (std::abs(b[i]) > std::abs(b[top])) top = i;
    }
    const Complex ratio = a[top] / b[top];
    const Complex phase = ratio / std::abs(ratio);
    double worst = std::abs(std::abs(ratio) - 1.0);
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - phase * b[i]));
    return worst;
}

}  // namespace morvane::circuit
