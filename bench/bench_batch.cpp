// Per-row cost of simulating one parameterised circuit under a batch of
// parameter rows.
//
//   bench_batch
//
// QAOA-like circuits (an H layer, then p = 3 rounds of RZZ(2 gamma) on a
// ring and RX(2 beta) on every qubit) on 10 and 14 qubits, 64 rows each,
// serial kernels on the calling thread. The peer, measured in the same run
// in alternating rounds, is the binding path every batch took before:
// assign_parameters per row, a structure comparison against the first
// bound row, then simulate_planned with the plan made once. The measured
// path is CircuitBatch: checked and planned once, each row simulated with
// its values resolved inside the blocked application. Both give the same
// states to the last bit (checked here on every row). Printed: microseconds
// per row for each and the ratio peer / batch (above 1: the batch is
// faster). The machine is often shared: repeat and note the load.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "best_of.hpp"
#include "sim/circuit_batch.hpp"

namespace {

using namespace morvane;
using circuit::Angle;
using circuit::Gate;
using circuit::ParameterizedCircuit;

constexpr std::size_t ROUNDS = 3;
constexpr std::size_t ROWS = 64;

ParameterizedCircuit qaoa(std::uint64_t n, std::uint64_t p) {
    ParameterizedCircuit c(n);
    auto push = [&c](Gate g) {
        if (!c.push(std::move(g))) std::abort();
    };
    for (std::uint64_t q = 0; q < n; ++q) push(Gate::h(q));
    for (std::uint64_t layer = 0; layer < p; ++layer) {
        const Angle gamma = Angle::affine(2 * layer, 2.0, 0.0);
        const Angle beta = Angle::affine(2 * layer + 1, 2.0, 0.0);
        for (std::uint64_t q = 0; q < n; ++q) push(Gate::rzz(q, (q + 1) % n, gamma));
        for (std::uint64_t q = 0; q < n; ++q) push(Gate::rx(q, beta));
    }
    return c;
}

void run(std::uint64_t n) {
    const ParameterizedCircuit circuit = qaoa(n, 3);
    const std::size_t width = circuit.num_params();
    std::mt19937_64 rng(n);
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    std::vector<double> rows(ROWS * width);
    for (double& v : rows) v = angle(rng);
    const auto row = [&](std::size_t r) { return std::span<const double>(rows).subspan(r * width, width); };

    sim::StatevectorSimulator simulator(std::numeric_limits<std::uint64_t>::max());

    const auto binding_path = [&](std::size_t r, const circuit::ConcreteCircuit& first,
                                  const sim::FusionPlan& plan) {
        auto bound = circuit.assign_parameters(row(r));
        if (!bound) std::abort();
        auto state = sim::same_structure(first.gates(), bound->gates())
                         ? simulator.simulate_planned(n, bound->gates(), plan)
                         : simulator.simulate(n, bound->gates());
        if (!state) std::abort();
        return std::move(*state);
    };
    // The peer, as a whole batch: the first row bound for the plan, then
    // every row bound and simulated.
    const auto peer_batch = [&](std::vector<sim::Statevector>* out) {
        auto first = circuit.assign_parameters(row(0));
        if (!first) std::abort();
        const sim::FusionPlan plan = simulator.plan(n, first->gates());
        for (std::size_t r = 0; r < ROWS; ++r) {
            sim::Statevector state = binding_path(r, *first, plan);
            if (out != nullptr) out->push_back(std::move(state));
        }
    };
    const auto batch_rows = [&](std::vector<sim::Statevector>* out) {
        auto batch = sim::CircuitBatch::prepare(circuit, simulator);
        if (!batch) std::abort();
        for (std::size_t r = 0; r < ROWS; ++r) {
            auto state = batch->simulate_row(row(r), sim::GlobalPhaseUse::Ignored);
            if (!state) std::abort();
            if (out != nullptr) out->push_back(std::move(*state));
        }
    };

    std::vector<sim::Statevector> expected, actual;
    peer_batch(&expected);
    batch_rows(&actual);
    for (std::size_t r = 0; r < ROWS; ++r) {
        const auto a = expected[r].amplitudes(), b = actual[r].amplitudes();
        if (std::memcmp(a.data(), b.data(), a.size_bytes()) != 0) {
            std::printf("row %zu differs between the two paths\n", r);
            std::abort();
        }
    }

    double peer = INFINITY, ours = INFINITY;
    for (std::size_t round = 0; round < ROUNDS; ++round) {
        peer = std::min(peer, bench::best_of([&] { peer_batch(nullptr); }, 3, 0.5));
        ours = std::min(ours, bench::best_of([&] { batch_rows(nullptr); }, 3, 0.5));
    }
    const double per_peer = peer / ROWS * 1e6, per_ours = ours / ROWS * 1e6;
    std::printf("%2llu qubits, %3zu gates, %zu rows: binding %8.2f us/row, batch %8.2f us/row, "
                "binding / batch %.3f\n",
                static_cast<unsigned long long>(n), circuit.gates().size(), ROWS, per_peer,
                per_ours, per_peer / per_ours);
}

}  // namespace

int main() {
    for (const std::uint64_t n : {10, 14}) run(n);
    return 0;
}
