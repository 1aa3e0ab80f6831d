// Throughput of the native backend and of the QUBO reduction.
//
//   RAYON_NUM_THREADS=1 bench_native_backend
//   RAYON_NUM_THREADS=2 bench_native_backend
//
// 1. run_jobs on a batch of 50 bound 12-qubit circuits of 100 random gates,
//    1000 shots each, in circuits per second; the peer is the same work done
//    by a plain loop of simulate_and_sample on the calling thread (serial
//    kernels, no backend), measured in the same run.
// 2. QubObservable::evaluate_counts on 1000 counts maps over 20 variables, in
//    maps per second; the peer is a plain loop of QuboModel::expectation.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "exec/native_backend.hpp"
#include "observable/observable.hpp"
#include "support/thread_pool.hpp"

namespace {

using namespace morvane;
using circuit::Angle;
using circuit::ConcreteCircuit;
using circuit::Gate;
using Clock = std::chrono::steady_clock;

double best_seconds(const std::function<void()>& body, int reps) {
    double best = INFINITY;
    for (int i = 0; i < reps; ++i) {
        const auto start = Clock::now();
        body();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

ConcreteCircuit random_circuit(std::uint64_t n, int gates, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint64_t> qubit(0, n - 1);
    std::uniform_real_distribution<double> angle(-M_PI, M_PI);
    std::vector<Gate> list;
    while (static_cast<int>(list.size()) < gates) {
        const std::uint64_t a = qubit(rng);
        std::uint64_t b = qubit(rng);
        if (b == a) b = (a + 1) % n;
        switch (rng() % 8) {
            case 0:
                list.push_back(Gate::h(a));
                break;
            case 1:
                list.push_back(Gate::rx(a, Angle::fixed(angle(rng))));
                break;
            case 2:
                list.push_back(Gate::ry(a, Angle::fixed(angle(rng))));
                break;
            case 3:
                list.push_back(Gate::rz(a, Angle::fixed(angle(rng))));
                break;
            case 4:
                list.push_back(Gate::cx(a, b));
                break;
            case 5:
                list.push_back(Gate::cz(a, b));
                break;
            case 6:
                list.push_back(Gate::rzz(a, b, Angle::fixed(angle(rng))));
                break;
            default:
                list.push_back(Gate::u(a, Angle::fixed(angle(rng)), Angle::fixed(angle(rng)),
                                       Angle::fixed(angle(rng))));
        }
    }
    list.push_back(Gate::measure_all());
    return ConcreteCircuit(n, std::move(list));
}

void bench_backend() {
    constexpr int CIRCUITS = 50;
    constexpr std::uint32_t SHOTS = 1000;
    std::mt19937_64 rng(2026);
    std::vector<exec::CircuitInput> inputs;
    for (int i = 0; i < CIRCUITS; ++i)
        inputs.push_back(random_circuit(12, 100, rng));
    std::vector<exec::CircuitJob> jobs;
    for (const auto& input : inputs)
        jobs.push_back({&input, SHOTS});

    exec::NativeBackend backend(std::optional<std::uint64_t>(1), true);
    exec::RunRequest request;
    request.shots = SHOTS;
    const double backend_s = best_seconds(
        [&] {
            if (!backend.run_jobs(jobs, request)) std::abort();
        },
        5);

    sim::StatevectorSimulator serial(UINT64_MAX);
    const double peer_s = best_seconds(
        [&] {
            std::uint64_t seed = 1;
            for (const auto& input : inputs) {
                const auto& c = std::get<ConcreteCircuit>(input);
                if (!sim::simulate_and_sample(serial, c, SHOTS, seed++)) std::abort();
            }
        },
        5);
    std::printf("run_jobs: %d circuits x 12 qubits x 100 gates x %u shots\n", CIRCUITS, SHOTS);
    std::printf("  backend   %10.1f circuits/s\n", CIRCUITS / backend_s);
    std::printf("  peer loop %10.1f circuits/s (serial simulate_and_sample)\n", CIRCUITS / peer_s);
    std::printf("  ratio backend/peer %.2fx\n", peer_s / backend_s);
}

void bench_qubo() {
    constexpr int MAPS = 1000;
    constexpr std::uint64_t VARS = 20;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> coefficient(-1.0, 1.0);
    std::vector<observable::LinearTerm> linear;
    std::vector<observable::QuadraticTerm> quadratic;
    for (std::uint64_t i = 0; i < VARS; ++i) {
        linear.push_back({i, coefficient(rng)});
        for (std::uint64_t j = i + 1; j < VARS; ++j)
            quadratic.push_back({i, j, coefficient(rng)});
    }
    auto model = std::make_shared<const observable::QuboModel>(
        *observable::QuboModel::qubo(VARS, linear, quadratic, 0.5, 1.0));
    observable::QuboObservable qubo(model);

    // 1000 shots per map spread over up to 1000 distinct 20-bit outcomes.
    std::vector<observable::CountsMap> maps(MAPS);
    for (auto& map : maps) {
        for (int shot = 0; shot < 1000; ++shot) {
            std::string key(VARS, '0');
            const std::uint64_t v = rng();
            for (std::uint64_t b = 0; b < VARS; ++b)
                key[b] = ((v >> b) & 1) ? '1' : '0';
            ++map[key];
        }
    }
    const double parallel_s = best_seconds(
        [&] {
            if (!qubo.evaluate_counts(maps)) std::abort();
        },
        5);
    const double peer_s = best_seconds(
        [&] {
            for (const auto& map : maps) {
                if (!model->expectation(map)) std::abort();
            }
        },
        5);
    std::printf("QUBO reduction: %d maps x %llu variables (%zu quadratic terms)\n", MAPS,
                static_cast<unsigned long long>(VARS), quadratic.size());
    std::printf("  evaluate_counts %10.0f maps/s\n", MAPS / parallel_s);
    std::printf("  peer loop       %10.0f maps/s (serial expectation)\n", MAPS / peer_s);
    std::printf("  ratio %.2fx\n", peer_s / parallel_s);
}

}  // namespace

int main() {
    std::printf("pool threads: %zu\n", ThreadPool::global().num_threads());
    bench_backend();
    bench_qubo();
    return 0;
}
