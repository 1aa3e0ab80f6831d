#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "exec/binding_job.hpp"
#include "exec/circuit_input.hpp"
#include "exec/run_error.hpp"
#include "observable/counts.hpp"
#include "sim/statevector.hpp"

namespace morvane::exec {

using observable::CountsMap;

class Planner;

// One unit of work: a circuit and the shots to sample from it.
struct CircuitJob {
    const CircuitInput* circuit;
    std::uint32_t shots;
};

// The built-in statevector simulator.
struct NativeChoice {
    bool fusion = true;
    sim::Precision precision = sim::Precision::Double;
};
// Qiskit Aer through the Python seam. The noise model, when given, is an
// opaque object owned by the Python layer.
struct AerChoice {
    std::string device;
    std::optional<std::string> sim_method;
    ForeignObjectPtr noise_model;
    // Aer's own precision option ("double" or "single"), passed on only when
    // the caller chose one.
    std::optional<std::string> precision;
};
// QPUs raised on a cluster through CUNQA.
struct CunqaChoice {
    std::uint32_t nodes = 1;
    std::uint32_t cores_per_qpu = 1;
    std::optional<std::string> sim_method;
};
using BackendChoice = std::variant<NativeChoice, AerChoice, CunqaChoice>;

// The settings handed to the backend with every call.
struct RunRequest {
    std::optional<std::uint64_t> seed;
    std::string id;
    std::string infrastructure;
    BackendChoice backend_choice;
    std::uint32_t shots = 0;
    std::uint32_t replicas = 1;
};

inline constexpr std::uint64_t UNBOUNDED_CONCURRENCY = std::numeric_limits<std::uint64_t>::max();

struct Capabilities {
    std::uint64_t max_concurrency = UNBOUNDED_CONCURRENCY;
    bool supports_replicas = true;
};

// Executes circuits and returns one counts map per circuit. A backend lives
// for one run and may be called from several threads at once.
class Backend {
public:
    virtual ~Backend() = default;

    // Runs a wave of jobs with request.shots each: one map per job, in order.
    [[nodiscard]] virtual std::expected<std::vector<CountsMap>, RunError> run_jobs(
        std::span<const CircuitJob> jobs, const RunRequest& request) = 0;

    // Runs one circuit once per shot count (a 0 gives an empty map without
    // executing anything): one map per entry, in order.
    [[nodiscard]] virtual std::expected<std::vector<CountsMap>, RunError> run_replicas(
        const CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
        const RunRequest& request) = 0;

    // Releases remote resources; safe to call repeatedly; never fails outward.
    virtual void close() noexcept = 0;

    virtual Capabilities capabilities() const = 0;

    // How many of these jobs may run at once.
    [[nodiscard]] virtual std::expected<std::uint64_t, RunError> concurrency_for(
        std::span<const CircuitJob> jobs) const = 0;

    virtual const Planner& default_planner() const;

    // Whether run_bindings takes rows unbound. A backend that does not is
    // handed each job's circuit bound to its values, through run_jobs.
    virtual bool runs_bindings() const noexcept { return false; }

    // Runs a wave of binding jobs with request.shots each: one map per job,
    // in order, the same maps run_jobs gives for the jobs' circuits bound to
    // their values. A row that cannot be bound fails the call, the lowest
    // such row (by position in `jobs`) when there are several.
    [[nodiscard]] virtual std::expected<std::vector<CountsMap>, BindingsRunError> run_bindings(
        std::span<const BindingJob> jobs, const RunRequest& request);

    // How many of these binding jobs may run at once (runs_bindings only).
    [[nodiscard]] virtual std::expected<std::uint64_t, RunError> concurrency_for_bindings(
        std::span<const BindingJob> jobs) const;
};

}  // namespace morvane::exec
