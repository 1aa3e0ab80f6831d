#include "sim/simulator.hpp"

#include <cmath>
#include <unordered_set>

#include "circuit/gate_catalogue.hpp"
#include "sim/apply_gate.hpp"
#include "sim/calibration.hpp"
#include "sim/kernels.hpp"
#include "sim/lowering.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

namespace {

// Terminal measurement: once a qubit is measured (or after MeasureAll, every
// qubit) no gate other than Barrier and Measure may act on it.
std::expected<void, SimError> check_terminal_measurement(std::span<const Gate> gates) {
    std::unordered_set<std::uint64_t> measured;
    bool all_measured = false;
    for (const Gate& gate : gates) {
        switch (gate.kind) {
            case GateKind::Barrier:
                continue;
            case GateKind::Measure:
                measured.insert(gate.q0);
                continue;
            case GateKind::MeasureAll:
                all_measured = true;
                continue;
            default:
                break;
        }
        if (!circuit::acts_on_qubits(gate.kind)) continue;  // identity, global phase
        const std::size_t fields = gate.num_qubit_fields();
        if (all_measured) return std::unexpected(SimError(GateAfterMeasurement{gate.q0}));
        if (measured.empty()) continue;
        for (std::size_t i = 0; i < fields; ++i) {
            if (measured.contains(gate.qubit(i)))
                return std::unexpected(SimError(GateAfterMeasurement{gate.qubit(i)}));
        }
    }
    return {};
}

}  // namespace

StatevectorSimulator StatevectorSimulator::create(Precision precision) {
    return StatevectorSimulator(process_threshold(precision));
}

std::expected<void, SimError> check_circuit(std::uint64_t num_qubits, std::span<const Gate> gates,
                                            std::uint64_t max_qubits) {
    if (num_qubits > max_qubits) {
        return std::unexpected(SimError(TooManyQubits{num_qubits, max_qubits}));
    }
    for (const Gate& gate : gates) {
        if (auto ok = check_gate_qubits(gate, num_qubits); !ok) return ok;
    }
    if (auto ok = check_terminal_measurement(gates); !ok) return ok;
    // Guards a simulator configured with a larger max_qubits than any
    // statevector can hold.
    if (num_qubits > MAX_QUBITS) {
        return std::unexpected(SimError(TooManyQubits{num_qubits, MAX_QUBITS}));
    }
    return {};
}

namespace {

// Multiplies every amplitude by e^(i phase).
template <class Real>
void apply_global_phase(BasicStatevector<Real>& state, double phase) {
    if (phase == 0.0) return;
    const Amplitude factor{std::cos(phase), std::sin(phase)};
    if (state.num_qubits() == 0) {
        state.amplitudes()[0] *= std::complex<Real>(factor);
        return;
    }
    apply_diagonal_1q<Real>(state.amplitudes(), 0, factor, factor, state.parallel());
}

template <class Real>
std::expected<BasicStatevector<Real>, SimError> run(const StatevectorSimulator& simulator,
                                                    std::uint64_t num_qubits,
                                                    std::span<const Gate> gates,
                                                    const FusionPlan* plan, double global_phase,
                                                    std::optional<CancelCallback> cancel,
                                                    const SimulationHooks& hooks) {
    if (auto ok = check_circuit(num_qubits, gates, simulator.max_qubits); !ok) {
        return std::unexpected(ok.error());
    }
    // Gates without a kernel of their own run as their decompositions; the
    // plan, made by plan_fusion from the same list, indexes the lowered one.
    std::optional<LoweredGates> lowered;
    if (needs_lowering(gates)) {
        auto result = lower_gates(gates);
        if (!result) return std::unexpected(result.error());
        lowered = std::move(*result);
        gates = lowered->gates;
        global_phase += lowered->phase;
    }
    return simulator.simulate_lowered<Real>(num_qubits, gates, plan, global_phase,
                                            AngleSource::literals(), cancel, hooks);
}

}  // namespace

template <class Real>
std::expected<BasicStatevector<Real>, SimError> StatevectorSimulator::simulate(
    std::uint64_t num_qubits, std::span<const Gate> gates, std::optional<CancelCallback> cancel,
    const SimulationHooks& hooks) const {
    return run<Real>(*this, num_qubits, gates, nullptr, 0.0, cancel, hooks);
}

template <class Real>
std::expected<BasicStatevector<Real>, SimError> StatevectorSimulator::simulate_planned(
    std::uint64_t num_qubits, std::span<const Gate> gates, const FusionPlan& plan,
    std::optional<CancelCallback> cancel, const SimulationHooks& hooks) const {
    return run<Real>(*this, num_qubits, gates, &plan, 0.0, cancel, hooks);
}

template <class Real>
std::expected<BasicStatevector<Real>, SimError> StatevectorSimulator::simulate(
    const circuit::ConcreteCircuit& circuit, std::optional<CancelCallback> cancel,
    const SimulationHooks& hooks) const {
    return run<Real>(*this, circuit.num_qubits(), circuit.gates(), nullptr, circuit.global_phase(),
                     cancel, hooks);
}

template <class Real>
std::expected<BasicStatevector<Real>, SimError> StatevectorSimulator::simulate_lowered(
    std::uint64_t num_qubits, std::span<const Gate> gates, const FusionPlan* plan,
    double global_phase, const AngleSource& angles, std::optional<CancelCallback> cancel,
    const SimulationHooks& hooks) const {
    BasicStatevector<Real> state(num_qubits, parallel_threshold);
    CancelCheck check(num_qubits, cancel,
                      hooks.clock != nullptr ? *hooks.clock : steady_monotonic_clock());

    if (fusion) {
        std::optional<FusionPlan> own;
        if (plan == nullptr) {
            own = this->plan(num_qubits, gates);
            plan = &*own;
        } else if (plan->num_qubits != num_qubits ||
                   plan->chunk_bits != effective_chunk_bits(num_qubits, chunk_bits)) {
            internal_fault(concat("a fusion plan for ", plan->num_qubits, " qubits in chunks of 2^",
                                  plan->chunk_bits, " reached a simulation of ", num_qubits,
                                  " qubits"));
        }
        if (auto ok = apply_plan(state, gates, *plan, check, hooks.on_application, angles); !ok) {
            return std::unexpected(ok.error());
        }
        apply_global_phase(state, global_phase);
        return state;
    }
    for (std::size_t index = 0; index < gates.size(); ++index) {
        if (auto ok = check.checkpoint(); !ok) return std::unexpected(ok.error());
        if (hooks.on_application) {
            (*hooks.on_application)(
                Application{ApplicationKind::Gate, std::span<const std::size_t>(&index, 1), {}});
        }
        if (!angles.is_row()) {
            if (auto ok = apply_gate(state, gates[index]); !ok) return std::unexpected(ok.error());
            continue;
        }
        auto values = angles.angles(gates[index]);
        if (!values) return std::unexpected(values.error());
        if (auto ok = apply_gate(state, gates[index], *values); !ok)
            return std::unexpected(ok.error());
    }
    apply_global_phase(state, global_phase);
    return state;
}

#define MORVANE_INSTANTIATE_SIMULATIONS(Real)                                                      \
    template std::expected<BasicStatevector<Real>, SimError> StatevectorSimulator::simulate<Real>( \
        std::uint64_t, std::span<const Gate>, std::optional<CancelCallback>,                       \
        const SimulationHooks&) const;                                                             \
    template std::expected<BasicStatevector<Real>, SimError> StatevectorSimulator::simulate<Real>( \
        const circuit::ConcreteCircuit&, std::optional<CancelCallback>, const SimulationHooks&)    \
        const;                                                                                     \
    template std::expected<BasicStatevector<Real>, SimError>                                       \
    StatevectorSimulator::simulate_planned<Real>(std::uint64_t, std::span<const Gate>,             \
                                                 const FusionPlan&, std::optional<CancelCallback>, \
                                                 const SimulationHooks&) const;                    \
    template std::expected<BasicStatevector<Real>, SimError>                                       \
    StatevectorSimulator::simulate_lowered<Real>(                                                  \
        std::uint64_t, std::span<const Gate>, const FusionPlan*, double, const AngleSource&,       \
        std::optional<CancelCallback>, const SimulationHooks&) const;
MORVANE_INSTANTIATE_SIMULATIONS(double)
MORVANE_INSTANTIATE_SIMULATIONS(float)
#undef MORVANE_INSTANTIATE_SIMULATIONS

}  // namespace morvane::sim
