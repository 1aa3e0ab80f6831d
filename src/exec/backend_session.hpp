#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "exec/backend.hpp"
#include "exec/infra_error.hpp"
#include "exec/planner.hpp"
#include "exec/run_error.hpp"

namespace morvane::exec {

// How a run's backend comes into being and goes again, without the layer
// that knows the concrete backends: that layer hands in a factory.

// Creates the backend a choice names for the run `config` describes. The
// Python layer's factory builds the Aer and CUNQA backends; tests pass
// their own.
using BackendFactory = std::function<std::expected<std::shared_ptr<Backend>, InfraError>(
    const BackendChoice&, const RunConfig&)>;

// How the jobs of a run are cut: each circuit whole on one replica (training,
// and a run on one QPU), or one circuit's shots split over config.replicas
// replicas and merged (run_quantum_circuit with n_qpus > 1).
enum class PlanKind { WholeCircuits, SplitShots };

PlanKind plan_kind_for_run(std::uint32_t replicas) noexcept;

// The planner of `kind` on `backend`: the backend's own for whole circuits,
// the shot-distributing one for split shots.
const Planner& planner_for(const Backend& backend, PlanKind kind);

// A backend created for one run and the planner it serves. Closing is
// idempotent; the session closes the backend at the latest when it goes.
class BackendSession {
public:
    BackendSession(std::shared_ptr<Backend> backend, const Planner& planner) noexcept
        : backend_(std::move(backend)), planner_(&planner) {}
    BackendSession(BackendSession&& other) noexcept = default;
    BackendSession& operator=(BackendSession&& other) noexcept;
    BackendSession(const BackendSession&) = delete;
    BackendSession& operator=(const BackendSession&) = delete;
    ~BackendSession() { close(); }

    Backend& backend() const noexcept { return *backend_; }
    const std::shared_ptr<Backend>& shared_backend() const noexcept { return backend_; }
    const Planner& planner() const noexcept { return *planner_; }
    // Releases what the backend holds (a CUNQA family, say); later calls do
    // nothing.
    void close() noexcept;

private:
    std::shared_ptr<Backend> backend_;
    const Planner* planner_;
    bool closed_ = false;
};

// Creates the backend through `factory` and checks that it can serve the
// planner of `kind`; a backend that cannot is closed before the refusal
// (InvalidPlan) is returned. A factory failure is the Infrastructure variant.
[[nodiscard]] std::expected<BackendSession, RunError> open_backend(const BackendFactory& factory,
                                                                  const BackendChoice& choice,
                                                                  const RunConfig& config,
                                                                  PlanKind kind);

// One run_quantum_circuit call: opens the backend for config.replicas,
// plans the one job, and closes the backend whatever happened. One counts
// map per replica when the shots are split, else one.
[[nodiscard]] std::expected<std::vector<CountsMap>, RunError> run_circuit(
    const BackendFactory& factory, const CircuitInput& input, std::uint32_t shots,
    const BackendChoice& choice, const RunConfig& config);

}  // namespace morvane::exec
