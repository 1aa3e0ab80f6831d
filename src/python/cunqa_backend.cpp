#include "python/cunqa_backend.hpp"

#include "exec/cleanup_failures.hpp"
#include "exec/replica_groups.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/seam.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

constexpr const char* LOG_TARGET = "morvane_infrastructure::cunqa";

// The time limit every family is raised with; the seam hands it to SLURM.
constexpr const char* FAMILY_TIME_LIMIT = "10:00:00";

std::unexpected<exec::RunError> fail(exec::InfraError error) {
    return std::unexpected(exec::RunError(std::move(error)));
}

// The pending exception's text as Conversion: a keyword we could not build.
exec::InfraError keyword_failure(const char* name) {
    ForeignErrorPtr error = take_pending_error();
    return exec::InfraError(
        exec::Conversion{error ? error->message() : concat("cannot build keyword ", name)});
}

// Releases the family; the error describes what failed.
std::expected<void, exec::InfraError> disconnect(PyObject* family) {
    AcquireGil gil;
    auto seam = import_seam();
    if (!seam) return std::unexpected(std::move(seam.error()));
    auto released = call_seam(seam->get(), "disconnect_from_infrastructure", {"cunqa"},
                              {{"family", PyRef::borrow(family)}});
    if (!released) return std::unexpected(std::move(released.error()));
    return {};
}

}  // namespace

CunqaBackend::CunqaBackend(std::unique_ptr<PyForeignObject> family, std::uint32_t n_qpus,
                           std::string sim_method)
    : sim_method_(std::move(sim_method)), family_(std::move(family)), n_qpus_(n_qpus) {}

CunqaBackend::~CunqaBackend() { close(); }

std::expected<std::shared_ptr<CunqaBackend>, exec::InfraError> CunqaBackend::raise(
    std::uint32_t n_qpus, std::uint32_t nodes, const std::string& id, std::uint32_t cores_per_qpu,
    std::string sim_method) {
    AcquireGil gil;
    MORVANE_LOG(log::Level::Info, LOG_TARGET,
                concat("Raising QPUs in CUNQA: n_qpus=", n_qpus, ", nodes=", nodes, ", id=", id,
                       ", cores_per_qpu=", cores_per_qpu));
    std::vector<Keyword> keywords;
    keywords.emplace_back("n", py_u64(n_qpus));
    keywords.emplace_back("t", py_text(FAMILY_TIME_LIMIT));
    keywords.emplace_back("n_nodes", py_u64(nodes));
    keywords.emplace_back("family_name", py_text(id));
    keywords.emplace_back("cores_per_qpu", py_u64(cores_per_qpu));
    for (const auto& [name, value] : keywords) {
        if (!value) return std::unexpected(keyword_failure(name));
    }
    auto seam = import_seam();
    if (!seam) return std::unexpected(std::move(seam.error()));
    auto family = call_seam(seam->get(), "connect_to_infrastructure", {"cunqa"}, keywords);
    if (!family) {
        MORVANE_LOG(log::Level::Error, LOG_TARGET,
                    "CUNQA QPU allocation failed: " + seam_error_text(family.error()));
        return std::unexpected(std::move(family.error()));
    }
    auto handle = std::make_unique<PyForeignObject>(family->get());
    MORVANE_LOG(log::Level::Info, LOG_TARGET, "QPUs raised successfully");
    return std::shared_ptr<CunqaBackend>(
        new CunqaBackend(std::move(handle), n_qpus, std::move(sim_method)));
}

std::expected<std::vector<exec::CountsMap>, exec::RunError> CunqaBackend::run_jobs(
    std::span<const exec::CircuitJob> jobs, const exec::RunRequest& request) {
    AcquireGil gil;
    auto qcs = seam_circuit_list(jobs);
    if (!qcs) return fail(std::move(qcs.error()));
    std::vector<Keyword> keywords;
    keywords.emplace_back("family_id", py_text(request.id));
    keywords.emplace_back("backend", py_text(device_));
    keywords.emplace_back("qcs", std::move(*qcs));
    keywords.emplace_back("shots", py_u64(request.shots));
    keywords.emplace_back("sim_method", py_text(sim_method_));
    if (request.seed) keywords.emplace_back("seed", py_u64(*request.seed));
    auto seam = import_seam();
    if (!seam) return fail(std::move(seam.error()));
    auto maps = run_qcs(seam->get(), keywords, LOG_TARGET, "CUNQA circuit execution failed");
    if (!maps) return fail(std::move(maps.error()));
    return std::move(*maps);
}

std::expected<std::vector<exec::CountsMap>, exec::RunError> CunqaBackend::run_replicas(
    const exec::CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
    const exec::RunRequest& request) {
    return exec::run_replicas_in_groups(*this, circuit, shot_counts, request);
}

void CunqaBackend::close() noexcept {
    if (closed_.exchange(true, std::memory_order_acq_rel)) return;
    try {
        MORVANE_LOG(log::Level::Info, LOG_TARGET, "Dropping QPUs");
        std::expected<void, exec::InfraError> released;
        if (Py_IsFinalizing()) {
            // The interpreter is going away; the seam can no longer be called.
            released = std::unexpected(exec::InfraError(
                exec::Cunqa{"the interpreter is finalizing; the QPU family was not released"}));
        } else {
            released = disconnect(family_->object());
        }
        if (released) {
            MORVANE_LOG(log::Level::Info, LOG_TARGET, "QPUs dropped successfully");
            return;
        }
        MORVANE_LOG(log::Level::Error, LOG_TARGET,
                    "CUNQA QPU release failed: " + released.error().message());
    } catch (...) {
        // Teardown never fails outward; what went wrong is counted below.
    }
    exec::cleanup_failures().fetch_add(1, std::memory_order_relaxed);
}

}  // namespace morvane::python
