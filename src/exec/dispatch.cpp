#include "exec/dispatch.hpp"

#include <cmath>

#include "support/internal_fault.hpp"

namespace morvane::exec {

std::expected<CircuitInput, EvalError> NativeBinder::bind(std::span<const double> values) const {
    auto bound = circuit_.assign_parameters(values);
    if (!bound) return std::unexpected(EvalError(EvalBinding{std::move(bound.error())}));
    return CircuitInput(std::move(*bound));
}

std::expected<void, EvalError> check_fitness(std::span<const double> values,
                                             std::size_t candidates) {
    if (values.size() != candidates) {
        return std::unexpected(EvalError(WrongLength{candidates, values.size()}));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) return std::unexpected(EvalError(NonFinite{i, values[i]}));
    }
    return {};
}

std::expected<void, RunError> TrainingRun::open(const BackendFactory& factory) {
    auto opened = open_backend(factory, config.backend_choice, config, PlanKind::WholeCircuits);
    if (!opened) return std::unexpected(std::move(opened.error()));
    session.emplace(std::move(*opened));
    return {};
}

void TrainingRun::close() noexcept {
    if (session) session->close();
}

std::expected<std::vector<double>, EvalError> TrainingRun::run_batch(
    std::span<const CircuitJob> jobs, const observable::Observable& consumer) {
    if (!session) internal_fault("a training batch ran before its backend was opened");
    auto values =
        session->planner().plan_into(session->backend(), jobs, config, cancel, consumer);
    if (values) return std::move(*values);
    return std::unexpected(failure(std::move(values.error())));
}

EvalError TrainingRun::failure(RunError error) const {
    ForeignErrorPtr cancelled =
        error.is<Cancelled>() && cancelled_error ? cancelled_error() : nullptr;
    return eval_error_from(std::move(error), cancelled);
}

std::expected<std::vector<double>, EvalError> TrainingRun::run_batch(
    std::span<const BindingJob> jobs, const observable::Observable& consumer) {
    if (!session) internal_fault("a training batch ran before its backend was opened");
    auto maps = session->planner().plan_bindings(session->backend(), jobs, shots, config, cancel);
    if (!maps) {
        if (auto* failure = std::get_if<BindingFailure>(&maps.error())) {
            return std::unexpected(EvalError(EvalBinding{std::move(failure->error)}));
        }
        return std::unexpected(failure(std::get<RunError>(std::move(maps.error()))));
    }
    auto values = consumer.evaluate_counts(*maps);
    if (!values) return std::unexpected(failure(RunError(Evaluation{std::move(values.error())})));
    return std::move(*values);
}

std::vector<double> TrainOracle::evaluate(std::span<const std::vector<double>> candidates) const {
    const std::size_t n = candidates.size();
    if (run_.errors.has_error()) return std::vector<double>(n, 0.0);

    const auto fail = [&](EvalError error) {
        run_.errors.record(std::move(error), run_.config.id);
        return std::vector<double>(n, 0.0);
    };

    std::expected<std::vector<double>, EvalError> values;
    if (const circuit::ParameterizedCircuit* circuit = binder_->parameterized()) {
        std::vector<BindingJob> jobs;
        jobs.reserve(n);
        for (const std::vector<double>& candidate : candidates) jobs.push_back({circuit, candidate});
        values = run_.run_batch(jobs, *observable_);
    } else {
        std::vector<CircuitInput> circuits;
        circuits.reserve(n);
        for (const std::vector<double>& candidate : candidates) {
            auto bound = binder_->bind(candidate);
            if (!bound) return fail(std::move(bound.error()));
            circuits.push_back(std::move(*bound));
        }
        std::vector<CircuitJob> jobs;
        jobs.reserve(n);
        for (const CircuitInput& input : circuits) jobs.push_back({&input, run_.shots});
        values = run_.run_batch(jobs, *observable_);
    }
    if (!values) return fail(std::move(values.error()));
    if (auto checked = check_fitness(*values, n); !checked) return fail(std::move(checked.error()));
    return std::move(*values);
}

}  // namespace morvane::exec
