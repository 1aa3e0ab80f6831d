#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "exec/backend.hpp"
#include "python/py_foreign.hpp"

namespace morvane::python {

// A family of simulated QPUs raised on a cluster through the seam's "cunqa"
// infrastructure. The family is released exactly once: by the first close(),
// or when the last owner drops the backend. A failed release is logged and
// counted (backend_cleanup_failures()), never raised.
class CunqaBackend final : public exec::Backend {
public:
    // Raises `n_qpus` QPUs on `nodes` nodes for the run `id`. Takes the
    // interpreter lock itself; call it without.
    [[nodiscard]] static std::expected<std::shared_ptr<CunqaBackend>, exec::InfraError> raise(
        std::uint32_t n_qpus, std::uint32_t nodes, const std::string& id,
        std::uint32_t cores_per_qpu, std::string sim_method);

    ~CunqaBackend() override;
    CunqaBackend(const CunqaBackend&) = delete;
    CunqaBackend& operator=(const CunqaBackend&) = delete;

    [[nodiscard]] std::expected<std::vector<exec::CountsMap>, exec::RunError> run_jobs(
        std::span<const exec::CircuitJob> jobs, const exec::RunRequest& request) override;
    [[nodiscard]] std::expected<std::vector<exec::CountsMap>, exec::RunError> run_replicas(
        const exec::CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
        const exec::RunRequest& request) override;
    void close() noexcept override;
    exec::Capabilities capabilities() const override { return {n_qpus_, true}; }
    [[nodiscard]] std::expected<std::uint64_t, exec::RunError> concurrency_for(
        std::span<const exec::CircuitJob>) const override {
        return std::uint64_t{n_qpus_};
    }

private:
    CunqaBackend(std::unique_ptr<PyForeignObject> family, std::uint32_t n_qpus,
                 std::string sim_method);

    std::string device_ = "AerSimulator";
    std::string sim_method_;
    std::unique_ptr<PyForeignObject> family_;
    std::uint32_t n_qpus_;
    std::atomic<bool> closed_{false};
};

}  // namespace morvane::python
