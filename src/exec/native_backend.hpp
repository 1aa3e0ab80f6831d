#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "exec/backend.hpp"
#include "sim/sampling.hpp"
#include "sim/simulator.hpp"

namespace morvane::exec {

// Runs circuits on the built-in statevector simulator: native circuits and
// OpenQASM text, many at once on the shared pool within the memory budget,
// each sampled with its own reproducible seed.
//
// Seeds: circuit or replica number k that this backend ever runs gets
// base_seed + k. A second backend with the same base seed replays the same
// seeds for the same sequence of calls; concurrent calls reserve disjoint
// ranges.
class NativeBackend final : public Backend {
public:
  // `seed` absent: a base seed from the operating system. The simulator
  // takes the process-wide gate-parallel threshold as it is now. States
  // are held and worked in `precision`; shots are drawn from probabilities
  // summed in double either way.
  explicit NativeBackend(std::optional<std::uint64_t> seed, bool fusion = true,
                         sim::Precision precision = sim::Precision::Double);
  NativeBackend(std::uint64_t base_seed, sim::StatevectorSimulator simulator,
                sim::Precision precision = sim::Precision::Double);

  [[nodiscard]] std::expected<std::vector<CountsMap>, RunError> run_jobs(
      std::span<const CircuitJob> jobs, const RunRequest& request) override;
  [[nodiscard]] std::expected<std::vector<CountsMap>, RunError> run_replicas(
      const CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
      const RunRequest& request) override;
  void close() noexcept override {}
  Capabilities capabilities() const override { return {UNBOUNDED_CONCURRENCY, true}; }
  [[nodiscard]] std::expected<std::uint64_t, RunError> concurrency_for(
      std::span<const CircuitJob> jobs) const override;

  // Rows are simulated unbound: each distinct circuit is checked and
  // planned once per call, and every row's angles are resolved as its
  // gates' matrices are built. Seeds and counts are those run_jobs gives
  // for the bound circuits.
  bool runs_bindings() const noexcept override { return true; }
  [[nodiscard]] std::expected<std::vector<CountsMap>, BindingsRunError> run_bindings(
      std::span<const BindingJob> jobs, const RunRequest& request) override;
  [[nodiscard]] std::expected<std::uint64_t, RunError> concurrency_for_bindings(
      std::span<const BindingJob> jobs) const override;

  std::uint64_t base_seed() const noexcept { return base_seed_; }
  // Seeds handed out so far.
  std::uint64_t seeds_used() const noexcept {
      return seed_counter_.load(std::memory_order_relaxed);
  }
    const sim::StatevectorSimulator& simulator() const noexcept { return simulator_; }
    sim::Precision precision() const noexcept { return precision_; }

  private:
    std::uint64_t base_seed_;
    std::atomic<std::uint64_t> seed_counter_{0};
    sim::StatevectorSimulator simulator_;
    sim::Precision precision_;
};

// The characters of every counts key of a circuit: one per classical bit,
// or one per qubit when the circuit measures nothing.
std::uint64_t counts_key_width(std::uint64_t num_qubits, std::uint64_t num_clbits) noexcept;
std::uint64_t counts_key_width(const circuit::ConcreteCircuit& circuit) noexcept;

// A counts key: v in binary, most significant bit first, left-padded with 0 to
// `width` characters (classical bit 0 rightmost).
std::string format_bitstring(std::uint64_t value, std::uint64_t width);

// Register counts as bitstring counts, `width` characters per key.
CountsMap format_counts(const sim::RegisterCounts& counts, std::uint64_t width);
// The same for counts already sorted by register value, as ShotSampler gives them.
CountsMap format_counts(std::span<const sim::RegisterCount> sorted, std::uint64_t width);

}  // namespace morvane::exec
