#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "circuit/circuit.hpp"
#include "exec/dispatch.hpp"
#include "exec/eval_error.hpp"
#include "exec/planner.hpp"
#include "observable/expectation_plan.hpp"
#include "sim/simulator.hpp"

namespace morvane::exec {

// Exact expectation values of observables on the states of one parameterised
// circuit under a matrix of parameter rows: the circuit is checked and
// planned once, each row is simulated with its values resolved as the gates
// are applied (no bound copy per row), and the observables are read off its
// statevector by an ExpectationPlan. No shots, no counts.

// How `circuit` turns qubits into counts keys, for the costs that read keys.
observable::Readout readout_of(const circuit::ParameterizedCircuit& circuit);

// Values of `plan`'s observables for every row of `rows` (row-major, one
// value per parameter of `circuit`, `num_rows` rows): num_rows x
// plan.num_observables() values, row-major.
//
// Rows are spread over the shared pool, one simulation per thread, as many at
// once as the memory budget allows; when there are fewer rows than threads,
// each state's gates and passes are split within the pool instead. The values
// do not depend on which. `signal_check` (may be empty) is called on the
// calling thread only, between rows and at the simulator's checkpoints; an
// exception it returns stops the batch and comes back as EvalPython.
[[nodiscard]] std::expected<std::vector<double>, EvalError> exact_expectations(
    const circuit::ParameterizedCircuit& circuit, const observable::ExpectationPlan& plan,
    std::span<const double> rows, std::size_t num_rows, const sim::StatevectorSimulator& simulator,
    const SignalCheck& signal_check, sim::Precision precision = sim::Precision::Double);

// The fitness oracle of a training run with shots=None: each candidate's
// fitness is the exact expectation of the run's one observable. Like
// TrainOracle it never fails towards the optimiser: the first error goes into
// the run's slot, and that batch and every later one is answered with zeros.
class ExactOracle {
public:
  ExactOracle(TrainingRun& run, circuit::ParameterizedCircuit circuit,
              observable::ExpectationPlan plan, sim::StatevectorSimulator simulator,
              sim::Precision precision = sim::Precision::Double)
      : run_(run),
        circuit_(std::move(circuit)),
        plan_(std::move(plan)),
        simulator_(simulator),
        precision_(precision) {}

  std::vector<double> evaluate(std::span<const std::vector<double>> candidates) const;

private:
    TrainingRun& run_;
    circuit::ParameterizedCircuit circuit_;
    observable::ExpectationPlan plan_;
    sim::StatevectorSimulator simulator_;
    sim::Precision precision_;
};

}  // namespace morvane::exec
