// Native gate kernels against the decompositions they replace, and binding
// affine angles against bare parameters.
//
//   bench_gates [n]     (default 20; 2^n amplitudes, 3 <= n <= 28)
//
// 1. For every catalogue gate that the simulator runs natively and that also
//    has an exact decomposition (circuit::decompose), a sweep of COPIES
//    copies of the gate (random angles, qubits moving over the register) is
//    applied to one n-qubit state as is and as its decomposition, gate by
//    gate (apply_gate) and fused (plan_fusion + apply_plan, the plan made
//    once outside the timing), on one thread. Printed: milliseconds per copy
//    natively, and decomposed / native time. Before timing, both forms are
//    applied to the same spread state and compared (with the
//    decomposition's phase): a native kernel that is fast but wrong shows
//    there. The gates that still run decomposed (rccx, c3sx, rcccx, and dcx, whose
//    two CXs fuse into index permutations that beat its 4x4 matrix) are
//    timed the same way against the CCX kernel.
// 2. ParameterizedCircuit::assign_parameters on a 1,000-gate circuit whose
//    angles are affine maps of parameters (2 p + 0.5, -p, p / 2 - pi) against
//    the same circuit with bare parameters, in alternating rounds; printed
//    as affine / bare time per binding.
//
// The machine is often shared: repeat and note the load.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "best_of.hpp"
#include "circuit/circuit.hpp"
#include "circuit/gate_catalogue.hpp"
#include "sim/apply_gate.hpp"
#include "sim/block_apply.hpp"
#include "sim/fusion_plan.hpp"
#include "sim/statevector.hpp"

namespace {

using namespace morvane;
using circuit::Angle;
using circuit::Gate;
using circuit::GateKind;
using sim::Amplitude;
using sim::Statevector;

constexpr std::size_t COPIES = 64;

// More repetitions than the default: a sweep of cheap gates lasts well
// under a millisecond.
double best_of(const std::function<void()>& body, int min_reps, double budget) {
    return bench::best_of(body, min_reps, budget, 200);
}

// COPIES copies of the gate: copy c on qubits c, c + s, c + 2 s, c + 3 s (mod
// n) with s = n / 4 + 1, so they are distinct and every qubit, low and high,
// takes every role.
std::vector<Gate> copies_of(GateKind kind, std::uint64_t n, std::mt19937_64& rng) {
    const circuit::GateInfo& info = circuit::gate_info(kind);
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    const std::uint64_t stride = n / 4 + 1;
    std::vector<Gate> gates;
    for (std::size_t c = 0; c < COPIES; ++c) {
        std::vector<std::uint64_t> qubits;
        for (std::size_t j = 0; j < info.num_qubits; ++j)
            qubits.push_back((c + j * stride) % n);
        std::vector<Angle> angles;
        for (std::size_t i = 0; i < info.num_angles; ++i)
            angles.push_back(Angle::fixed(angle(rng)));
        gates.push_back(Gate::make(kind, qubits, angles));
    }
    return gates;
}

struct Decomposed {
    std::vector<Gate> gates;
    double phase = 0.0;
};

// Each gate replaced by circuit::decompose's gates, the phases summed;
// nothing for gates without a decomposition.
std::optional<Decomposed> decomposed(const std::vector<Gate>& gates) {
    Decomposed out;
    for (const Gate& gate : gates) {
        std::vector<double> angles;
        for (std::size_t i = 0; i < gate.num_angles(); ++i)
            angles.push_back(gate.angles[i].value());
        const auto parts = circuit::decompose(gate, angles);
        if (!parts) return std::nullopt;
        out.gates.insert(out.gates.end(), parts->gates.begin(), parts->gates.end());
        out.phase += parts->phase;
    }
    return out;
}

void apply_all(Statevector& state, const std::vector<Gate>& gates) {
    for (const Gate& gate : gates) {
        if (!sim::apply_gate(state, gate)) std::abort();
    }
}

void apply_fused(Statevector& state, const std::vector<Gate>& gates, const sim::FusionPlan& plan) {
    sim::CancelCheck cancel(state.num_qubits(), std::nullopt);
    if (!sim::apply_plan(state, gates, plan, cancel)) std::abort();
}

// H on every qubit and a few phases: no amplitude is zero.
Statevector spread_state(std::uint64_t n) {
    Statevector state(n, 64);
    for (std::uint64_t q = 0; q < n; ++q) {
        (void)sim::apply_gate(state, Gate::h(q));
        (void)sim::apply_gate(state, Gate::rz(q, Angle::fixed(0.1 * static_cast<double>(q + 1))));
    }
    return state;
}

double max_difference(const Statevector& a, const Statevector& b, Amplitude b_phase) {
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(a.amplitudes()[i] - b_phase * b.amplitudes()[i]));
    return worst;
}

void native_against_decomposed(std::uint64_t n) {
    std::printf("== %zu copies of each gate on %llu qubits, one thread ==\n", COPIES,
                static_cast<unsigned long long>(n));
    std::printf("%-12s %8s %14s %12s %14s %12s %10s\n", "gate", "parts", "unfused ms", "decomp /",
                "fused ms", "decomp /", "max diff");
    std::printf("%-12s %8s %14s %12s %14s %12s %10s\n", "", "", "per copy", "native", "per copy",
                "native", "");
    const double budget = 0.3;
    std::mt19937_64 rng(2024);
    Statevector state = spread_state(n);
    double ccx_unfused = NAN, ccx_fused = NAN;
    for (const circuit::GateInfo& info : circuit::gate_catalogue()) {
        if (!circuit::is_unitary(info.kind) || info.sim_class == circuit::SimClass::Decomposed)
            continue;
        const std::vector<Gate> native = copies_of(info.kind, n, rng);
        const auto decomposition = decomposed(native);
        if (!decomposition) continue;  // one of the gates every expansion ends in
        const Decomposed& parts = *decomposition;
        if (info.sim_class == circuit::SimClass::None || info.sim_class == circuit::SimClass::Phase) {
            // Id and the global phase: neither form does kernel work per gate.
            std::printf("%-12s %8zu %14s\n", std::string(info.name).c_str(), parts.gates.size(),
                        "no kernel work either way");
            continue;
        }

        // The two forms agree on a spread state.
        Statevector a = spread_state(n), b = spread_state(n);
        apply_all(a, native);
        apply_all(b, parts.gates);
        const double diff =
            max_difference(a, b, Amplitude(std::cos(parts.phase), std::sin(parts.phase)));

        const double unfused_native = best_of([&] { apply_all(state, native); }, 3, budget);
        const double unfused_parts = best_of([&] { apply_all(state, parts.gates); }, 3, budget);
        const sim::FusionPlan native_plan = sim::plan_fusion(n, native);
        const sim::FusionPlan parts_plan = sim::plan_fusion(n, parts.gates);
        const double fused_native =
            best_of([&] { apply_fused(state, native, native_plan); }, 3, budget);
        const double fused_parts =
            best_of([&] { apply_fused(state, parts.gates, parts_plan); }, 3, budget);
        std::printf("%-12s %8zu %14.3f %12.2f %14.3f %12.2f %10.1e\n",
                    std::string(info.name).c_str(), parts.gates.size() / COPIES,
                    unfused_native * 1e3 / COPIES, unfused_parts / unfused_native,
                    fused_native * 1e3 / COPIES, fused_parts / fused_native, diff);
        if (info.kind == GateKind::Ccx) {
            ccx_unfused = unfused_native;
            ccx_fused = fused_native;
        }
    }

    // The gates still run as their decompositions, against the CCX kernel
    // (the cheapest a native three- or four-qubit kernel of theirs could be:
    // one pass over a quarter of the state or less).
    std::printf("\n%-12s %8s %14s %12s %14s %12s\n", "decomposed", "parts", "unfused ms",
                "/ native", "fused ms", "/ native");
    std::printf("%-12s %8s %14s %12s %14s %12s\n", "", "", "per copy", "ccx", "per copy", "ccx");
    for (const circuit::GateInfo& info : circuit::gate_catalogue()) {
        if (info.sim_class != circuit::SimClass::Decomposed) continue;
        const auto parts = decomposed(copies_of(info.kind, n, rng));
        const double unfused = best_of([&] { apply_all(state, parts->gates); }, 3, budget);
        const sim::FusionPlan plan = sim::plan_fusion(n, parts->gates);
        const double fused = best_of([&] { apply_fused(state, parts->gates, plan); }, 3, budget);
        std::printf("%-12s %8zu %14.3f %12.2f %14.3f %12.2f\n", std::string(info.name).c_str(),
                    parts->gates.size() / COPIES, unfused * 1e3 / COPIES, unfused / ccx_unfused,
                    fused * 1e3 / COPIES, fused / ccx_fused);
    }
}

// A 1,000-gate layered circuit of rx, ry, rz, u, cp and rzz, one parameter
// per angle, the angles made by `angle(index, k)` (k counts the kinds of
// affine map).
circuit::ParameterizedCircuit binding_circuit(const std::function<Angle(std::uint64_t, int)>& angle) {
    const std::uint64_t n = 12;
    circuit::ParameterizedCircuit circuit(n);
    std::uint64_t next = 0;
    auto a = [&] {
        const std::uint64_t index = next++;
        return angle(index, static_cast<int>(index % 3));
    };
    for (std::size_t g = 0; circuit.gates().size() < 1000; ++g) {
        const std::uint64_t q = g % n, r = (g * 5 + 3) % n == q ? (q + 1) % n : (g * 5 + 3) % n;
        Gate gate;
        switch (g % 6) {
            case 0: gate = Gate::rx(q, a()); break;
            case 1: gate = Gate::ry(q, a()); break;
            case 2: gate = Gate::rz(q, a()); break;
            case 3: gate = Gate::u(q, a(), a(), a()); break;
            case 4: gate = Gate::cp(q, r, a()); break;
            default: gate = Gate::rzz(q, r, a()); break;
        }
        if (!circuit.push(gate)) std::abort();
    }
    return circuit;
}

void binding() {
    const auto bare = binding_circuit([](std::uint64_t i, int) { return Angle::param(i); });
    const auto affine = binding_circuit([](std::uint64_t i, int k) {
        if (k == 0) return Angle::affine(i, 2.0, 0.5);
        if (k == 1) return Angle::affine(i, -1.0, 0.0);
        return Angle::affine(i, 0.5, -std::numbers::pi);
    });
    std::vector<double> values(bare.num_params());
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    for (double& v : values)
        v = value(rng);

    constexpr int BINDINGS = 200;
    auto time = [&](const circuit::ParameterizedCircuit& c) {
        return best_of(
                   [&] {
                       for (int i = 0; i < BINDINGS; ++i) {
                           auto bound = c.assign_parameters(values);
                           if (!bound) std::abort();
                       }
                   },
                   1, 0.0) /
               BINDINGS;
    };
    // Alternating rounds, best of each: a burst of load on a shared machine
    // hits both.
    double t_bare = INFINITY, t_affine = INFINITY;
    for (int round = 0; round < 15; ++round) {
        t_bare = std::min(t_bare, time(bare));
        t_affine = std::min(t_affine, time(affine));
    }
    std::printf("\n== assign_parameters, %zu gates, %llu parameters ==\n", bare.gates().size(),
                static_cast<unsigned long long>(bare.num_params()));
    std::printf("bare parameters   %10.1f us per binding\n", t_bare * 1e6);
    std::printf("affine angles     %10.1f us per binding\n", t_affine * 1e6);
    std::printf("affine / bare     %10.2f\n", t_affine / t_bare);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t n = 20;
    if (argc > 1) {
        const long value = std::strtol(argv[1], nullptr, 10);
        if (value < 3 || value > 28) {
            std::fprintf(stderr, "usage: %s [n]   (3 <= n <= 28; default 20)\n", argv[0]);
            return 2;
        }
        n = static_cast<std::uint64_t>(value);
    }
    native_against_decomposed(n);
    binding();
    return 0;
}
