#include "exec/planner.hpp"

#include <algorithm>

#include "exec/counts_validation.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::exec {

namespace {

// The checkpoint after a wave: a pending exception (Ctrl+C) stops the plan.
std::expected<void, RunError> check_signals(const RunConfig& config) {
    if (!config.signal_check) return {};
    if (ForeignErrorPtr pending = config.signal_check()) {
        return std::unexpected(RunError(Python{std::move(pending)}));
    }
    return {};
}

std::unexpected<RunError> invalid_results(std::string message) {
    return std::unexpected(RunError(InfraError(InvalidResults{std::move(message)})));
}

}  // namespace

RunRequest RunConfig::request_for(std::uint32_t shots) const {
    return RunRequest{seed, id, infrastructure, backend_choice, shots, replicas};
}

const Planner& Backend::default_planner() const { return atomic_wave_planner(); }

std::expected<std::vector<CountsMap>, BindingsRunError> Backend::run_bindings(
    std::span<const BindingJob>, const RunRequest&) {
    internal_fault("binding jobs reached a backend that binds them through run_jobs");
}

std::expected<std::uint64_t, RunError> Backend::concurrency_for_bindings(
    std::span<const BindingJob>) const {
    internal_fault("binding jobs reached a backend that binds them through run_jobs");
}

std::expected<std::vector<CountsMap>, BindingsRunError> Planner::plan_bindings(
    Backend& backend, std::span<const BindingJob> jobs, std::uint32_t shots,
    const RunConfig& config, const CancelToken& cancel) const {
    std::vector<CircuitInput> circuits;
    circuits.reserve(jobs.size());
    for (std::size_t row = 0; row < jobs.size(); ++row) {
        auto bound = jobs[row].circuit->assign_parameters(jobs[row].values);
        if (!bound) return std::unexpected(BindingFailure{row, std::move(bound.error())});
        circuits.push_back(std::move(*bound));
    }
    std::vector<CircuitJob> bound_jobs;
    bound_jobs.reserve(circuits.size());
    for (const CircuitInput& circuit : circuits) bound_jobs.push_back({&circuit, shots});
    auto maps = plan(backend, bound_jobs, config, cancel);
    if (!maps) return std::unexpected(std::move(maps.error()));
    return std::move(*maps);
}

std::expected<std::vector<double>, RunError> Planner::plan_into(
    Backend& backend, std::span<const CircuitJob> jobs, const RunConfig& config,
    const CancelToken& cancel, const observable::Observable& consumer) const {
    auto maps = plan(backend, jobs, config, cancel);
    if (!maps) return std::unexpected(std::move(maps.error()));
    auto values = consumer.evaluate_counts(*maps);
    if (!values) return std::unexpected(RunError(Evaluation{std::move(values.error())}));
    return std::move(*values);
}

namespace {

// Runs `count` jobs in waves of at most `wave_size`: run_wave(first, take)
// gives the maps of jobs [first, first + take), which are validated against
// shots_of(first) shots each; cancellation is honoured before and signals
// are checked after every wave.
template <class Error, class ShotsOf, class RunWave>
std::expected<std::vector<CountsMap>, Error> run_in_waves(std::size_t count,
                                                          std::uint64_t wave_size,
                                                          const RunConfig& config,
                                                          const CancelToken& cancel,
                                                          ShotsOf shots_of, RunWave run_wave) {
    std::vector<CountsMap> result;
    result.reserve(count);
    std::size_t next = 0;
    while (next < count) {
        if (cancel.is_cancelled()) return std::unexpected(RunError(Cancelled{}));
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(wave_size, count - next));
        std::expected<std::vector<CountsMap>, Error> maps = run_wave(next, take);
        if (!maps) return std::unexpected(std::move(maps.error()));
        if (auto problem = validate_counts(*maps, take, shots_of(next))) {
            return invalid_results(std::move(*problem));
        }
        if (auto checked = check_signals(config); !checked) {
            return std::unexpected(std::move(checked.error()));
        }
        for (auto& map : *maps) result.push_back(std::move(map));
        next += take;
    }
    return result;
}

}  // namespace

std::expected<std::vector<CountsMap>, RunError> AtomicWavePlanner::plan(
    Backend& backend, std::span<const CircuitJob> jobs, const RunConfig& config,
    const CancelToken& cancel) const {
    if (jobs.empty()) {
        if (cancel.is_cancelled()) return std::unexpected(RunError(Cancelled{}));
        if (auto checked = check_signals(config); !checked) {
            return std::unexpected(std::move(checked.error()));
        }
        return std::vector<CountsMap>{};
    }
    auto concurrency = backend.concurrency_for(jobs);
    if (!concurrency) return std::unexpected(std::move(concurrency.error()));
    // A wave runs with its first job's shots.
    return run_in_waves<RunError>(
        jobs.size(), std::max<std::uint64_t>(*concurrency, 1), config, cancel,
        [&](std::size_t first) { return jobs[first].shots; },
        [&](std::size_t first, std::size_t take) {
            const auto wave = jobs.subspan(first, take);
            return backend.run_jobs(wave, config.request_for(wave.front().shots));
        });
}

std::expected<std::vector<CountsMap>, BindingsRunError> AtomicWavePlanner::plan_bindings(
    Backend& backend, std::span<const BindingJob> jobs, std::uint32_t shots,
    const RunConfig& config, const CancelToken& cancel) const {
    if (!backend.runs_bindings() || jobs.empty()) {
        return Planner::plan_bindings(backend, jobs, shots, config, cancel);
    }
    auto concurrency = backend.concurrency_for_bindings(jobs);
    if (!concurrency) return std::unexpected(std::move(concurrency.error()));
    return run_in_waves<BindingsRunError>(
        jobs.size(), std::max<std::uint64_t>(*concurrency, 1), config, cancel,
        [shots](std::size_t) { return shots; },
        [&](std::size_t first, std::size_t take) {
            auto maps = backend.run_bindings(jobs.subspan(first, take), config.request_for(shots));
            // A row is numbered within its wave; the caller knows it by its
            // position among all the jobs.
            if (!maps) {
                if (auto* failure = std::get_if<BindingFailure>(&maps.error())) failure->row += first;
            }
            return maps;
        });
}

std::vector<std::uint32_t> split_shots(std::uint32_t shots, std::uint32_t replicas) {
    ensure(replicas >= 1, "split_shots needs at least one replica");
    std::vector<std::uint32_t> split(replicas, shots / replicas);
    const std::uint32_t extra = shots % replicas;
    for (std::uint32_t i = 0; i < extra; ++i) ++split[i];
    return split;
}

std::expected<std::vector<CountsMap>, RunError> ShotDistributingPlanner::plan(
    Backend& backend, std::span<const CircuitJob> jobs, const RunConfig& config,
    const CancelToken& cancel) const {
    if (jobs.size() != 1) {
        return std::unexpected(RunError(InfraError(InvalidCircuitCount{1, jobs.size()})));
    }
    const CircuitJob& job = jobs.front();
    const std::uint32_t replicas = std::max<std::uint32_t>(config.replicas, 1);
    const std::vector<std::uint32_t> split = split_shots(job.shots, replicas);
    const std::uint64_t per_call = std::max<std::uint64_t>(backend.capabilities().max_concurrency, 1);
    const RunRequest request = config.request_for(job.shots);

    CountsMap merged;
    std::size_t next = 0;
    while (next < split.size()) {
        if (cancel.is_cancelled()) return std::unexpected(RunError(Cancelled{}));
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(per_call, split.size() - next));
        auto maps = backend.run_replicas(*job.circuit,
                                         std::span<const std::uint32_t>(split).subspan(next, take),
                                         request);
        if (!maps) return std::unexpected(std::move(maps.error()));
        for (const CountsMap& map : *maps) {
            for (const auto& [key, count] : map) {
                std::uint64_t& slot = merged[key];
                if (__builtin_add_overflow(slot, count, &slot)) {
                    internal_fault(concat("merged counts for ", key, " overflow a 64-bit sum"));
                }
            }
        }
        if (auto checked = check_signals(config); !checked) {
            return std::unexpected(std::move(checked.error()));
        }
        next += take;
    }
    std::vector<CountsMap> result;
    result.push_back(std::move(merged));
    if (auto problem = validate_counts(result, 1, job.shots)) {
        return invalid_results(std::move(*problem));
    }
    return result;
}

const AtomicWavePlanner& atomic_wave_planner() noexcept {
    static const AtomicWavePlanner planner;
    return planner;
}

const ShotDistributingPlanner& shot_distributing_planner() noexcept {
    static const ShotDistributingPlanner planner;
    return planner;
}

std::expected<void, RunError> check_compatible(const PlannerRequirements& requirements,
                                               const Capabilities& capabilities) {
    if (requirements.needs_replicas && !capabilities.supports_replicas) {
        return std::unexpected(RunError(InvalidPlan{
            "this planner distributes a circuit's shots across replicas, which the backend does "
            "not support"}));
    }
    if (capabilities.max_concurrency < requirements.min_concurrency) {
        return std::unexpected(RunError(InvalidPlan{
            concat("this planner needs a concurrency of at least ", requirements.min_concurrency,
                   ", but the backend offers ", capabilities.max_concurrency)}));
    }
    return {};
}

}  // namespace morvane::exec
