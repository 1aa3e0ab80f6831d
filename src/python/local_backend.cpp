#include "python/local_backend.hpp"

#include "exec/memory_budget.hpp"
#include "exec/replica_groups.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/py_foreign.hpp"
#include "python/seam.hpp"
#include "support/log.hpp"

namespace morvane::python {

namespace {

constexpr const char* LOG_TARGET = "morvane_infrastructure::local";

std::unexpected<exec::RunError> fail(exec::InfraError error) {
    return std::unexpected(exec::RunError(std::move(error)));
}

std::unexpected<exec::RunError> conversion(std::string message) {
    return fail(exec::InfraError(exec::Conversion{std::move(message)}));
}

}  // namespace

LocalBackend::LocalBackend(std::string sim_method, ForeignObjectPtr noise_model,
                           std::optional<std::string> precision)
    : sim_method_(std::move(sim_method)),
      noise_model_(std::move(noise_model)),
      precision_(std::move(precision)) {}

std::expected<std::uint64_t, exec::RunError> LocalBackend::concurrency_for(
    std::span<const exec::CircuitJob> jobs) const {
    AcquireGil gil;
    return exec::memory_limited_concurrency(largest_qubit_count(jobs), jobs.size(),
                                            exec::available_parallelism());
}

std::expected<std::vector<exec::CountsMap>, exec::RunError> LocalBackend::run_jobs(
    std::span<const exec::CircuitJob> jobs, const exec::RunRequest& request) {
    AcquireGil gil;
    auto qcs = seam_circuit_list(jobs);
    if (!qcs) return fail(std::move(qcs.error()));
    auto seam = import_seam();
    if (!seam) return fail(std::move(seam.error()));

    auto connected = call_seam(seam->get(), "connect_to_infrastructure", {"local"}, {});
    if (!connected) {
        MORVANE_LOG(log::Level::Error, LOG_TARGET,
                    "local infrastructure connection failed: " + seam_error_text(connected.error()));
        return fail(std::move(connected.error()));
    }
    if (!PyUnicode_Check(connected->get())) {
        return conversion(std::string("expected connect_to_infrastructure(\"local\") to return str: ") +
                          "got " + Py_TYPE(connected->get())->tp_name);
    }

    const std::uint64_t parallel =
        exec::max_parallel_experiments(largest_qubit_count(jobs), exec::available_parallelism());
    std::vector<Keyword> keywords;
    keywords.emplace_back("id", py_text(request.id));
    keywords.emplace_back("backend", py_text(device_));
    keywords.emplace_back("qcs", std::move(*qcs));
    keywords.emplace_back("shots", py_u64(request.shots));
    keywords.emplace_back("sim_method", py_text(sim_method_));
    keywords.emplace_back("max_parallel_experiments", py_u64(parallel));
    if (const auto* noise = dynamic_cast<const PyForeignObject*>(noise_model_.get())) {
        keywords.emplace_back("noise_model", PyRef::borrow(noise->object()));
    }
    if (request.seed) keywords.emplace_back("seed", py_u64(*request.seed));
    if (precision_) keywords.emplace_back("precision", py_text(*precision_));
    auto maps = run_qcs(seam->get(), keywords, LOG_TARGET, "local circuit execution failed");
    if (!maps) return fail(std::move(maps.error()));
    return std::move(*maps);
}

std::expected<std::vector<exec::CountsMap>, exec::RunError> LocalBackend::run_replicas(
    const exec::CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
    const exec::RunRequest& request) {
    return exec::run_replicas_in_groups(*this, circuit, shot_counts, request);
}

}  // namespace morvane::python
