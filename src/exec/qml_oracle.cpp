#include "exec/qml_oracle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "exec/memory_budget.hpp"

namespace morvane::exec {

std::expected<circuit::ParameterizedCircuit, circuit::CircuitError> compose_sample(
    const circuit::ParameterizedCircuit& row, const circuit::ParameterizedCircuit& ansatz,
    bool measure_all, std::uint64_t clbits) {
    circuit::ParameterizedCircuit sample(std::max(row.num_qubits(), ansatz.num_qubits()));
    for (const auto* part : {&row, &ansatz}) {
        for (const circuit::Gate& gate : part->gates()) {
            if (auto pushed = sample.push(gate); !pushed) return std::unexpected(pushed.error());
        }
    }
    if (measure_all) {
        if (auto pushed = sample.push(circuit::Gate::measure_all()); !pushed) {
            return std::unexpected(pushed.error());
        }
    }
    if (auto phase = sample.set_global_phase(row.global_phase() + ansatz.global_phase());
        !phase) {
        return std::unexpected(phase.error());
    }
    sample.declare_clbits(clbits);
    // The weights are the ansatz's parameters, those no gate reads included.
    sample.set_parameter_names(ansatz.parameter_names());
    return sample;
}

std::expected<CircuitInput, EvalError> NativeSampleBinder::bind(std::span<const double> weights,
                                                                std::size_t sample) const {
    auto bound = samples_[sample].assign_parameters(weights);
    if (!bound) return std::unexpected(EvalError(EvalBinding{std::move(bound.error())}));
    return CircuitInput(std::move(*bound));
}

std::size_t qml_chunk_size() noexcept {
    const std::uint64_t processors = available_parallelism();
    const std::uint64_t doubled =
        processors > std::numeric_limits<std::uint64_t>::max() / 2 ? UINT64_MAX : 2 * processors;
    return static_cast<std::size_t>(std::max<std::uint64_t>(1, doubled));
}

std::vector<double> QmlOracle::evaluate(std::span<const std::vector<double>> candidates) const {
    const std::size_t n = candidates.size();
    if (run_.errors.has_error()) return std::vector<double>(n, 0.0);
    const auto fail = [&](EvalError error) {
        run_.errors.record(std::move(error), run_.config.id);
        return std::vector<double>(n, 0.0);
    };

    const std::size_t samples = binder_->samples();
    std::vector<double> fitness;
    fitness.reserve(n);
    for (std::size_t start = 0; start < n; start += chunk_) {
        const std::size_t count = std::min(chunk_, n - start);
        const std::size_t total = count * samples;
        std::expected<std::vector<double>, EvalError> values;
        if (samples > 0 && binder_->parameterized(0) != nullptr) {
            std::vector<BindingJob> jobs;
            jobs.reserve(total);
            for (std::size_t j = start; j < start + count; ++j) {
                for (std::size_t s = 0; s < samples; ++s) {
                    jobs.push_back({binder_->parameterized(s), candidates[j]});
                }
            }
            values = run_.run_batch(jobs, *observable_);
        } else {
            // Bound circuits live for this chunk only.
            std::vector<CircuitInput> circuits;
            circuits.reserve(total);
            for (std::size_t j = start; j < start + count; ++j) {
                for (std::size_t s = 0; s < samples; ++s) {
                    auto bound = binder_->bind(candidates[j], s);
                    if (!bound) return fail(std::move(bound.error()));
                    circuits.push_back(std::move(*bound));
                }
            }
            std::vector<CircuitJob> jobs;
            jobs.reserve(circuits.size());
            for (const CircuitInput& circuit : circuits) jobs.push_back({&circuit, run_.shots});
            values = run_.run_batch(jobs, *observable_);
        }
        if (!values) return fail(std::move(values.error()));
        if (values->size() != total) return fail(WrongLength{total, values->size()});
        for (std::size_t j = 0; j < count; ++j) {
            double sum = -0.0;
            for (std::size_t s = 0; s < samples; ++s) sum += (*values)[j * samples + s];
            fitness.push_back(sum / static_cast<double>(samples));
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(fitness[i])) return fail(NonFinite{i, fitness[i]});
    }
    return fitness;
}

}  // namespace morvane::exec
