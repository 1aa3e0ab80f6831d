#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "circuit/circuit.hpp"
#include "exec/backend.hpp"
#include "exec/backend_session.hpp"
#include "exec/error_slot.hpp"
#include "exec/eval_error.hpp"
#include "exec/planner.hpp"
#include "observable/observable.hpp"

namespace morvane::exec {

// Turns one candidate parameter vector into a circuit a backend can run.
class CandidateBinder {
public:
    virtual ~CandidateBinder() = default;
    [[nodiscard]] virtual std::expected<CircuitInput, EvalError> bind(
        std::span<const double> values) const = 0;
    // The native circuit the candidates bind into, when there is one: the
    // oracle then hands the backend the circuit and the candidates' values
    // instead of a bound copy per candidate.
    virtual const circuit::ParameterizedCircuit* parameterized() const noexcept { return nullptr; }
};

// Binds a native parameterised circuit; a CircuitError is the Binding variant.
class NativeBinder final : public CandidateBinder {
public:
    explicit NativeBinder(circuit::ParameterizedCircuit circuit) : circuit_(std::move(circuit)) {}
    [[nodiscard]] std::expected<CircuitInput, EvalError> bind(
        std::span<const double> values) const override;
    const circuit::ParameterizedCircuit* parameterized() const noexcept override {
        return &circuit_;
    }

private:
    circuit::ParameterizedCircuit circuit_;
};

// Everything one training run's oracles share.
struct TrainingRun {
    RunConfig config;
    std::uint32_t shots = 0;
    // The backend, once opened, with the planner that cuts every batch.
    std::optional<BackendSession> session;
    CancelToken cancel;
    ErrorSlot errors;
    // The KeyboardInterrupt("the run was cancelled") of a cancelled batch,
    // made by the layer that can make exceptions.
    std::function<ForeignErrorPtr()> cancelled_error;

    // Creates config.backend_choice through `factory`, each candidate's
    // circuits to run whole on one replica (training never splits shots).
    // A backend that cannot serve that is closed before the refusal.
    [[nodiscard]] std::expected<void, RunError> open(const BackendFactory& factory);
    // Releases the backend; idempotent, and done at the latest when the run goes.
    void close() noexcept;

    // Runs the jobs through the planner with `consumer` reducing their counts:
    // one value per job, or the run's failure as an oracle error.
    [[nodiscard]] std::expected<std::vector<double>, EvalError> run_batch(
        std::span<const CircuitJob> jobs, const observable::Observable& consumer);
    // The same for circuits bound to rows of values as they run: a row that
    // cannot be bound is the Binding variant, as binding it first would give.
    [[nodiscard]] std::expected<std::vector<double>, EvalError> run_batch(
        std::span<const BindingJob> jobs, const observable::Observable& consumer);

private:
    // A run's failure as the oracle reports it: a cancellation becomes the
    // cancelled_error the Python layer made.
    EvalError failure(RunError error) const;
};

// The fitness oracle of `train`: binds one circuit per candidate, runs the
// batch through the planner with the observable as consumer, and checks that
// one finite value came back per candidate (contract C-5). Never fails
// towards the optimiser: the first error goes into the run's slot, and that
// batch and every later one is answered with zeros.
class TrainOracle {
public:
    TrainOracle(TrainingRun& run, std::shared_ptr<const CandidateBinder> binder,
                std::shared_ptr<const observable::Observable> observable)
        : run_(run), binder_(std::move(binder)), observable_(std::move(observable)) {}

    std::vector<double> evaluate(std::span<const std::vector<double>> candidates) const;

private:
    TrainingRun& run_;
    std::shared_ptr<const CandidateBinder> binder_;
    std::shared_ptr<const observable::Observable> observable_;
};

// The C-5 check of an oracle's values: one per candidate, all finite.
[[nodiscard]] std::expected<void, EvalError> check_fitness(std::span<const double> values,
                                                          std::size_t candidates);

}  // namespace morvane::exec
