#pragma once

#include <string>

#include "exec/backend.hpp"
#include "support/foreign.hpp"

namespace morvane::python {

// Runs circuits on Qiskit Aer inside this process, through the seam's
// "local" infrastructure. Holds the interpreter lock for each call; Aer's own
// parallelism comes from max_parallel_experiments.
class LocalBackend final : public exec::Backend {
public:
  // Contacts nothing; `noise_model` may be null. `precision` ("double" or
  // "single") is handed to Aer as its own option when present.
  LocalBackend(std::string sim_method, ForeignObjectPtr noise_model,
               std::optional<std::string> precision = std::nullopt);

  [[nodiscard]] std::expected<std::vector<exec::CountsMap>, exec::RunError> run_jobs(
      std::span<const exec::CircuitJob> jobs, const exec::RunRequest& request) override;
  [[nodiscard]] std::expected<std::vector<exec::CountsMap>, exec::RunError> run_replicas(
      const exec::CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
      const exec::RunRequest& request) override;
  void close() noexcept override {}
  exec::Capabilities capabilities() const override { return {exec::UNBOUNDED_CONCURRENCY, true}; }
  [[nodiscard]] std::expected<std::uint64_t, exec::RunError> concurrency_for(
      std::span<const exec::CircuitJob> jobs) const override;

private:
    std::string device_ = "AerSimulator";
    std::string sim_method_;
    ForeignObjectPtr noise_model_;
    std::optional<std::string> precision_;
};

}  // namespace morvane::python
