// Statevector kernels and simulations against the memory-bound limit.
//
//   bench_statevector [n ...]     (default: 20 22 24 26)
//
// For each register size n it measures, in one run:
//   - a STREAM-style copy of 2^n * 16 bytes (the size of one sweep over the
//     state) from one buffer into another, best of several, with 1 thread and
//     with the whole pool: the memory-bound limit of one sweep;
//   - every kernel alone (serial and parallel form), as time per sweep and as
//     a ratio to the copy with the same number of threads;
//   - a QFT and a random layered circuit, fused and unfused, serial and
//     parallel: total time, number of sweeps (kernel applications) and time
//     per sweep relative to the copy.
// The 26-qubit size needs about 2 GiB and should be run on a quiet machine.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "best_of.hpp"
#include "circuit/gate.hpp"
#include "sim/gate_matrices.hpp"
#include "sim/kernels.hpp"
#include "sim/simulator.hpp"
#include "sim/statevector.hpp"
#include "support/thread_pool.hpp"

namespace {

using namespace morvane;
using namespace morvane::sim;
using circuit::Angle;
using circuit::Gate;

using bench::best_of;

// One sweep's worth of bytes copied from `from` to `to`, split over the pool
// when parallel (the same split the kernels use).
void stream_copy(const double* from, double* to, std::size_t doubles, bool parallel) {
    auto body = [&](std::size_t begin, std::size_t end) {
        const double* __restrict src = from;
        double* __restrict dst = to;
        for (std::size_t i = begin; i < end; ++i)
            dst[i] = src[i];
    };
    if (parallel) {
        parallel_for(doubles, std::size_t{1} << 16, body);
    } else {
        body(0, doubles);
    }
}

std::vector<Gate> qft(std::uint64_t n) {
    std::vector<Gate> gates;
    for (std::uint64_t j = n; j-- > 0;) {
        gates.push_back(Gate::h(j));
        for (std::uint64_t k = j; k-- > 0;) {
            gates.push_back(
                Gate::cp(k, j, Angle::fixed(std::numbers::pi / std::ldexp(1.0, int(j - k)))));
        }
    }
    for (std::uint64_t i = 0; i < n / 2; ++i)
        gates.push_back(Gate::swap(i, n - 1 - i));
    return gates;
}

std::vector<Gate> random_layers(std::uint64_t n, int layers, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    std::vector<Gate> gates;
    for (int layer = 0; layer < layers; ++layer) {
        for (std::uint64_t q = 0; q < n; ++q) {
            switch (rng() % 3) {
                case 0:
                    gates.push_back(Gate::rx(q, Angle::fixed(angle(rng))));
                    break;
                case 1:
                    gates.push_back(Gate::ry(q, Angle::fixed(angle(rng))));
                    break;
                default:
                    gates.push_back(Gate::rz(q, Angle::fixed(angle(rng))));
                    break;
            }
        }
        for (std::uint64_t q = 0; q + 1 < n; ++q)
            gates.push_back(Gate::cx(q, q + 1));
    }
    return gates;
}

// The qulacs benchmark circuit: per layer rx and rz with random angles on
// every qubit, then a ring of cx.
std::vector<Gate> ring_layers(std::uint64_t n, int layers, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    std::vector<Gate> gates;
    for (int layer = 0; layer < layers; ++layer) {
        for (std::uint64_t q = 0; q < n; ++q) {
            gates.push_back(Gate::rx(q, Angle::fixed(angle(rng))));
            gates.push_back(Gate::rz(q, Angle::fixed(angle(rng))));
        }
        for (std::uint64_t q = 0; q + 1 < n; ++q)
            gates.push_back(Gate::cx(q, q + 1));
        gates.push_back(Gate::cx(n - 1, 0));
    }
    return gates;
}

std::vector<DiagonalFactor> random_diagonal_run(std::uint64_t n, std::size_t length,
                                                std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    std::vector<DiagonalFactor> run;
    while (run.size() < length) {
        const std::uint64_t a = rng() % n, b = rng() % n;
        const Angle theta = Angle::fixed(angle(rng));
        Gate g = a == b ? Gate::rz(a, theta)
                        : (rng() % 2 ? Gate::cp(a, b, theta) : Gate::rzz(a, b, theta));
        if (a != b && rng() % 4 == 0) g = Gate::cz(a, b);
        run.push_back(*diagonal_factor(g));
    }
    return run;
}

void run_size(std::uint64_t n) {
    const bool modes[] = {false, true};
    const char* mode_name[] = {"1 thread", "pool"};
    std::printf("\n== n = %llu qubits (%.0f MiB per sweep), pool of %zu threads ==\n",
                static_cast<unsigned long long>(n), std::ldexp(16.0, int(n)) / (1 << 20),
                ThreadPool::global().num_threads());

    Statevector state(n, 0);
    const std::size_t doubles = 2 * state.size();
    // Fill with a normalised pattern so that no kernel works on zeros.
    {
        const double value = std::sqrt(1.0 / static_cast<double>(state.size()));
        for (Amplitude& a : state.amplitudes())
            a = Amplitude(value, 0.0);
    }
    const double budget = n >= 24 ? 1.0 : 0.5;

    // The memory-bound peer, measured before and after the kernels.
    double copy[2];
    {
        AmplitudeBuffer other(static_cast<Amplitude*>(std::aligned_alloc(64, doubles * 8)));
        double* to = reinterpret_cast<double*>(other.get());
        const double* from = reinterpret_cast<const double*>(state.data());
        for (bool p : modes) {
            stream_copy(from, to, doubles, p);  // touch the pages first
            copy[p] = best_of([&] { stream_copy(from, to, doubles, p); }, 5, budget);
        }
    }
    std::printf("copy of one sweep:   1 thread %8.2f ms   pool %8.2f ms\n", copy[0] * 1e3,
                copy[1] * 1e3);

    const auto amplitudes = state.amplitudes();
    const Matrix2 u =
        *one_qubit_matrix(Gate::u(0, Angle::fixed(0.3), Angle::fixed(0.2), Angle::fixed(0.1)));
    Matrix4 m4 = *local_matrix(Gate::rxx(0, 1, Angle::fixed(0.4)), 0, 1);
    m4 = multiply(*local_matrix(Gate::ry(0, Angle::fixed(0.7)), 0, 1), m4);
    const auto e =
        std::get<TwoQubitDiagonal>(*diagonal_factor(Gate::rzz(0, 1, Angle::fixed(0.5)))).e;
    const auto run64 = random_diagonal_run(n, 64, 7);
    const std::uint64_t mid = n / 2, top = n - 1;

    struct Kernel {
        std::string name;
        std::function<void(bool)> apply;
    };
    const std::vector<Kernel> kernels{
        {"dense 1q  (q 0)", [&](bool p) { apply_dense_1q(amplitudes, n, 0, u, p); }},
        {"dense 1q  (q n/2)", [&](bool p) { apply_dense_1q(amplitudes, n, mid, u, p); }},
        {"controlled 1q (0->1)", [&](bool p) { apply_controlled_1q(amplitudes, n, 0, 1, u, p); }},
        {"controlled 1q (n/2->top)",
         [&](bool p) { apply_controlled_1q(amplitudes, n, mid, top, u, p); }},
        {"dense 2q 4x4 (0,1)", [&](bool p) { apply_dense_2q(amplitudes, n, 0, 1, m4, p); }},
        {"dense 2q 4x4 (n/2,top)", [&](bool p) { apply_dense_2q(amplitudes, n, mid, top, m4, p); }},
        {"diagonal 1q (q 0)", [&](bool p) { apply_diagonal_1q(amplitudes, 0, e[0], e[1], p); }},
        {"diagonal 1q (q n/2)", [&](bool p) { apply_diagonal_1q(amplitudes, mid, e[0], e[1], p); }},
        {"diagonal 2q (0,1)", [&](bool p) { apply_diagonal_2q(amplitudes, 0, 1, e, p); }},
        {"diagonal 2q (n/2,top)", [&](bool p) { apply_diagonal_2q(amplitudes, mid, top, e, p); }},
        {"diagonal run, 64 gates", [&](bool p) { apply_diagonal_run(amplitudes, run64, p); }},
    };
    std::printf("\n%-26s %12s %10s %12s %10s\n", "kernel (one sweep)", "1 thread ms", "/ copy",
                "pool ms", "/ copy");
    for (const Kernel& k : kernels) {
        double t[2];
        for (bool p : modes)
            t[p] = best_of([&] { k.apply(p); }, 3, budget);
        std::printf("%-26s %12.2f %10.2f %12.2f %10.2f\n", k.name.c_str(), t[0] * 1e3,
                    t[0] / copy[0], t[1] * 1e3, t[1] / copy[1]);
    }

    struct CircuitCase {
        const char* name;
        std::vector<Gate> gates;
    };
    const CircuitCase circuits[] = {{"qft", qft(n)},
                                    {"random layers x8", random_layers(n, 8, 11)},
                                    {"ring layers x9", ring_layers(n, 9, 5)}};
    std::printf("\n%-18s %-8s %-9s %6s %10s %8s %14s\n", "circuit", "fusion", "threads", "gates",
                "total ms", "sweeps", "sweep / copy");
    for (const CircuitCase& c : circuits) {
        for (const bool fusion : {false, true}) {
            for (bool p : modes) {
                StatevectorSimulator sim(p ? 0 : 31);
                sim.fusion = fusion;
                std::size_t sweeps = 0;
                SimulationHooks hooks;
                auto count = [&](const Application& a) {
                    const bool boundary =
                        a.kind == ApplicationKind::Gate &&
                        fusion_class(c.gates[a.gates[0]].kind) == FusionClass::Boundary;
                    if (!boundary) ++sweeps;
                };
                hooks.on_application = count;
                // Drop the working state before the next one is allocated.
                const double t = best_of(
                    [&] {
                        sweeps = 0;
                        (void)sim.simulate(n, c.gates, std::nullopt, hooks);
                    },
                    1, n >= 24 ? 0.0 : budget);
                std::printf("%-18s %-8s %-9s %6zu %10.1f %8zu %14.2f\n", c.name,
                            fusion ? "on" : "off", mode_name[p], c.gates.size(), t * 1e3, sweeps,
                            t / static_cast<double>(sweeps) / copy[p]);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const long value = std::strtol(argv[i], nullptr, 10);
        if (value < 2 || value > 30) {
            std::fprintf(stderr, "usage: %s [n ...]   (2 <= n <= 30; default 20 22 24 26)\n",
                         argv[0]);
            return 2;
        }
        sizes.push_back(static_cast<std::uint64_t>(value));
    }
    if (sizes.empty()) sizes = {20, 22, 24, 26};
    for (std::uint64_t n : sizes)
        run_size(n);
    return 0;
}
