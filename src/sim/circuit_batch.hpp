#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"
#include "sim/fusion_plan.hpp"
#include "sim/cancel_check.hpp"
#include "sim/sim_error.hpp"
#include "sim/simulator.hpp"
#include "sim/statevector.hpp"
#include "support/error_variant.hpp"

namespace morvane::sim {

// One parameterised circuit run under many rows of parameter values: the
// structure is checked, lowered and planned once, and each row's values are
// carried alongside into the blocked application, where every gate's angles
// are evaluated as its matrix is built. No row makes a bound copy of the
// gate list, and no row rediscovers that it shares the plan: the batch is
// made for one circuit object and every row follows its plan.

// What a row's simulation does with the circuit's global phase.
enum class GlobalPhaseUse : std::uint8_t {
    // Multiplied into the final state, as simulating the bound circuit does.
    Applied,
    // Resolved and refused when non-finite, as binding does, but not applied:
    // for readers of probabilities (expectation values, shots), to which a
    // phase is invisible, and whose results must not move by a rounding when
    // a circuit gains one. Phases of gates decomposed before simulation are
    // part of those gates and are applied either way.
    Ignored,
};

// A row refused as binding refuses it (the circuit layer's error, the same
// value assign_parameters gives), or a simulation that failed (Cancelled).
struct BatchRowError : ErrorVariant<circuit::CircuitError, SimError> {
    using ErrorVariant::ErrorVariant;
    std::string message() const;
};

class CircuitBatch {
public:
    // Readies `circuit` for rows simulated with `simulator`'s options (a
    // caller wanting serial kernels per row passes a simulator with that
    // threshold). Fails with check_circuit's errors, in its order. The batch
    // borrows the circuit, which must outlive it unchanged.
    [[nodiscard]] static std::expected<CircuitBatch, SimError> prepare(
        const circuit::ParameterizedCircuit& circuit, const StatevectorSimulator& simulator);

    // As prepare(circuit, model.simulator()), taking the model's plan when
    // the circuit has the model circuit's structure (kinds and qubits, in
    // order) and neither needs its gates decomposed: the samples of one
    // training batch, alike but for their literal angles, are planned once.
    [[nodiscard]] static std::expected<CircuitBatch, SimError> prepare_alike(
        const circuit::ParameterizedCircuit& circuit, const CircuitBatch& model);

    const circuit::ParameterizedCircuit& circuit() const noexcept { return *circuit_; }
    const StatevectorSimulator& simulator() const noexcept { return simulator_; }
    // The plan every row follows; null with fusion off.
    const FusionPlan* plan() const noexcept { return plan_ ? &*plan_ : nullptr; }

    // The final state of the circuit bound to `values`: with Applied, bit for
    // bit what assign_parameters then simulate gives. The row is refused as
    // binding refuses it: WrongNumberOfParams when values.size() is not the
    // circuit's parameter count, NonFiniteParam when the global phase or an
    // angle evaluates to NaN or infinity. Safe to call concurrently.
    // Real = float: the same in single precision.
    template <class Real = double>
    [[nodiscard]] std::expected<BasicStatevector<Real>, BatchRowError> simulate_row(
        std::span<const double> values, GlobalPhaseUse phase,
        std::optional<CancelCallback> cancel = std::nullopt,
        const SimulationHooks& hooks = {}) const;

  private:
    CircuitBatch(const circuit::ParameterizedCircuit& circuit, const StatevectorSimulator& simulator)
        : circuit_(&circuit), simulator_(simulator) {}

    std::span<const circuit::Gate> gates() const noexcept {
        return lowered_ ? std::span<const circuit::Gate>(*lowered_)
                        : std::span<const circuit::Gate>(circuit_->gates());
    }

    const circuit::ParameterizedCircuit* circuit_;
    StatevectorSimulator simulator_;
    // The circuit's gates with every gate that has no kernel replaced by its
    // decomposition, when it has such gates; the phases of the
    // decompositions summed beside.
    std::optional<std::vector<circuit::Gate>> lowered_;
    double lowering_phase_ = 0.0;
    std::optional<FusionPlan> plan_;
    // A decomposed gate whose angle is not a literal decomposes differently
    // for every row: such a circuit (the catalogue has no such gate that a
    // circuit keeps today) is bound and simulated row by row.
    bool binds_rows_ = false;
};

}  // namespace morvane::sim
