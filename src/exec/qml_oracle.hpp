#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "exec/dispatch.hpp"

namespace morvane::exec {

// Binds a candidate's weights into the circuit of one training sample (the
// feature map already bound to that sample's row).
class SampleBinder {
public:
    virtual ~SampleBinder() = default;
    virtual std::size_t samples() const noexcept = 0;
    [[nodiscard]] virtual std::expected<CircuitInput, EvalError> bind(
        std::span<const double> weights, std::size_t sample) const = 0;
    // The native circuit of a sample, when the samples are native: the
    // oracle then hands the backend the circuits and the candidates' weights
    // instead of a bound copy per candidate and sample.
    virtual const circuit::ParameterizedCircuit* parameterized(std::size_t) const noexcept {
        return nullptr;
    }
};

// A training sample assembled natively, as Qiskit's
// feature_map.compose(ansatz) builds it: the feature map bound to one row,
// then the ansatz on the first qubits and classical bits with the weights
// (its parameters) still free, then a measurement of every qubit when
// `measure_all` (Qiskit's composite has no classical bits). The sample
// declares the composite's `clbits` classical bits, and the global phases add. A gate the composite refuses (one after a measurement of its
// qubit) is the circuit's error.
[[nodiscard]] std::expected<circuit::ParameterizedCircuit, circuit::CircuitError> compose_sample(
    const circuit::ParameterizedCircuit& row, const circuit::ParameterizedCircuit& ansatz,
    bool measure_all, std::uint64_t clbits);

// Binds a candidate's weights into natively assembled samples: no call into
// Python, and one structure for every sample and candidate, so the native
// backend plans the whole batch once.
class NativeSampleBinder final : public SampleBinder {
public:
    explicit NativeSampleBinder(std::vector<circuit::ParameterizedCircuit> samples)
        : samples_(std::move(samples)) {}
    std::size_t samples() const noexcept override { return samples_.size(); }
    [[nodiscard]] std::expected<CircuitInput, EvalError> bind(std::span<const double> weights,
                                                            std::size_t sample) const override;
    const circuit::ParameterizedCircuit* parameterized(std::size_t sample) const noexcept override {
        return &samples_[sample];
    }

private:
    std::vector<circuit::ParameterizedCircuit> samples_;
};

// Candidates per planner call: twice the processors, so a chunk's circuits
// keep the backend busy while the number of bound circuits alive at once
// stays bounded.
std::size_t qml_chunk_size() noexcept;

// The fitness oracle of qml.train: a candidate's fitness is the mean of the
// observable's values over every training sample's circuit bound to it.
// Candidates are walked in chunks, each chunk one planner call of its
// candidates' circuits, candidate-major. Same failure discipline as
// TrainOracle: the first error goes into the run's slot and the batch (and
// every later one) is answered with zeros.
class QmlOracle {
public:
    QmlOracle(TrainingRun& run, std::shared_ptr<const SampleBinder> binder,
              std::shared_ptr<const observable::Observable> observable,
              std::size_t chunk = qml_chunk_size())
        : run_(run),
          binder_(std::move(binder)),
          observable_(std::move(observable)),
          chunk_(chunk == 0 ? 1 : chunk) {}

    std::vector<double> evaluate(std::span<const std::vector<double>> candidates) const;

private:
    TrainingRun& run_;
    std::shared_ptr<const SampleBinder> binder_;
    std::shared_ptr<const observable::Observable> observable_;
    std::size_t chunk_;
};

}  // namespace morvane::exec
