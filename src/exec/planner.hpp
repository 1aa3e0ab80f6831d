#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "exec/backend.hpp"
#include "observable/observable.hpp"

namespace morvane::exec {

struct PlannerRequirements {
    std::uint64_t min_concurrency = 1;
    bool needs_replicas = false;
};

// Stops further waves of a plan when set. Set at most once, from any thread.
class CancelToken {
public:
    void cancel() noexcept { flag_.store(true, std::memory_order_release); }
    bool is_cancelled() const noexcept { return flag_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> flag_{false};
};

// Called after every wave. The Python layer passes one that takes the
// interpreter lock and runs pending signal handlers; a pending exception
// (Ctrl+C) comes back as the error to stop the plan with. Empty: no-op.
using SignalCheck = std::function<ForeignErrorPtr()>;

// The run's configuration, from which every RunRequest is built.
struct RunConfig {
    std::optional<std::uint64_t> seed;
    std::string id;
    std::string infrastructure;
    BackendChoice backend_choice = NativeChoice{};
    std::uint32_t replicas = 1;
    SignalCheck signal_check;

    RunRequest request_for(std::uint32_t shots) const;
};

// Decides how a list of jobs is cut into backend calls.
class Planner {
public:
    virtual ~Planner() = default;

    virtual PlannerRequirements requirements() const noexcept = 0;

    // One counts map per circuit, every map validated.
    [[nodiscard]] virtual std::expected<std::vector<CountsMap>, RunError> plan(
        Backend& backend, std::span<const CircuitJob> jobs, const RunConfig& config,
        const CancelToken& cancel) const = 0;

    // One counts map per binding job. A backend that runs bindings gets them
    // in waves (the atomic-wave planner); otherwise every job is bound
    // first, the lowest row that cannot be bound failing the plan before
    // anything runs, and the bound circuits go through plan().
    [[nodiscard]] virtual std::expected<std::vector<CountsMap>, BindingsRunError> plan_bindings(
        Backend& backend, std::span<const BindingJob> jobs, std::uint32_t shots,
        const RunConfig& config, const CancelToken& cancel) const;

    // plan(), then hands the maps to the consumer; the consumer's error is
    // returned as the Evaluation variant.
    [[nodiscard]] std::expected<std::vector<double>, RunError> plan_into(
        Backend& backend, std::span<const CircuitJob> jobs, const RunConfig& config,
        const CancelToken& cancel, const observable::Observable& consumer) const;
};

// Runs jobs in waves no larger than the backend's concurrency.
class AtomicWavePlanner final : public Planner {
public:
    PlannerRequirements requirements() const noexcept override { return {1, false}; }
    [[nodiscard]] std::expected<std::vector<CountsMap>, RunError> plan(
        Backend& backend, std::span<const CircuitJob> jobs, const RunConfig& config,
        const CancelToken& cancel) const override;
    [[nodiscard]] std::expected<std::vector<CountsMap>, BindingsRunError> plan_bindings(
        Backend& backend, std::span<const BindingJob> jobs, std::uint32_t shots,
        const RunConfig& config, const CancelToken& cancel) const override;
};

// Splits the shots of one circuit across config.replicas replicas and merges
// their counts into one map.
class ShotDistributingPlanner final : public Planner {
public:
    PlannerRequirements requirements() const noexcept override { return {1, true}; }
    [[nodiscard]] std::expected<std::vector<CountsMap>, RunError> plan(
        Backend& backend, std::span<const CircuitJob> jobs, const RunConfig& config,
        const CancelToken& cancel) const override;
};

// The shared, stateless instances.
const AtomicWavePlanner& atomic_wave_planner() noexcept;
const ShotDistributingPlanner& shot_distributing_planner() noexcept;

// Refuses a planner that the backend cannot serve (InvalidPlan).
[[nodiscard]] std::expected<void, RunError> check_compatible(const PlannerRequirements& requirements,
                                               const Capabilities& capabilities);

// Shots of each replica: the first shots % replicas replicas take one extra,
// so the list sums to `shots`. replicas must be at least 1.
std::vector<std::uint32_t> split_shots(std::uint32_t shots, std::uint32_t replicas);

}  // namespace morvane::exec
