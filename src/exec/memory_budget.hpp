#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sim/statevector.hpp"

namespace morvane::exec {

// The default budget for simultaneous dense statevectors: 16 GiB, one
// 30-qubit state.
inline constexpr std::uint64_t DEFAULT_MEM_BUDGET = 17179869184ULL;

// Parses a MORVANE_MEM_BUDGET value: surrounding white space removed, then an
// unsigned decimal with an optional leading '+'. Empty, a lone sign, any other
// character, overflow and 0 are absent.
std::optional<std::uint64_t> parse_mem_budget(std::string_view text);

// The budget in force, read from the environment on every call.
std::uint64_t mem_budget();

// Bytes of one dense statevector of `num_qubits` qubits in `precision`
// (16 bytes an amplitude in double, 8 in single), saturating.
std::uint64_t statevector_bytes(std::uint64_t num_qubits,
                                sim::Precision precision = sim::Precision::Double) noexcept;

// The most entries a counts map of `shots` shots can have when its keys are
// `key_width` bits wide: one per shot, or one per register value.
std::uint64_t max_counts_entries(std::uint64_t key_width, std::uint32_t shots) noexcept;

// What one circuit on the native backend holds while it runs and after: its
// dense state, the sampler's working memory, and its counts map (up to one
// entry per shot or per register value, each a key of `key_width`
// characters, counted once natively and once as Python objects).
std::uint64_t native_circuit_bytes(std::uint64_t num_qubits, std::uint64_t key_width,
                                   std::uint32_t shots,
                                   sim::Precision precision = sim::Precision::Double) noexcept;

// How many circuits of at most `state_qubits` qubits, each holding at most
// `circuit_bytes` (native_circuit_bytes), fit at once: the budget bounds their
// statevectors and the machine's available memory bounds everything they
// hold. 0 when not even one fits; unbounded (UINT64_MAX) when neither can be
// read and the budget is unlimited.
std::uint64_t native_circuits_that_fit(std::uint64_t state_qubits,
                                       std::uint64_t circuit_bytes);

// How many of `jobs` circuits of at most `max_qubits` qubits may be simulated
// at once: unbounded when the whole batch fits the budget, otherwise what fits
// but no more than the workers (at least 1).
std::uint64_t memory_limited_concurrency(std::uint64_t max_qubits, std::uint64_t jobs,
                                         std::uint64_t workers);

// Aer's max_parallel_experiments for circuits of at most `max_qubits` qubits:
// as many dense states as the budget holds, but no more than `parallelism`
// (each at least 1).
std::uint64_t max_parallel_experiments(std::uint64_t max_qubits, std::uint64_t parallelism);

// The operating system's available parallelism, 1 when it cannot tell.
std::uint64_t available_parallelism() noexcept;

}  // namespace morvane::exec
