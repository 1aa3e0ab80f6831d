#pragma once

// Shots of one parameterised circuit under many bindings at once: the
// circuit is checked and planned once, each row of a value matrix is
// simulated with its values on the shared pool, and every row's shots are
// read into classical registers, one shot at a time in draw order. This is how a sampler
// primitive's parameter array runs.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>

#include "circuit/circuit.hpp"
#include "circuit/circuit_error.hpp"
#include "exec/binding_job.hpp"
#include "exec/run_error.hpp"
#include "sim/register_readout.hpp"
#include "sim/simulator.hpp"

namespace morvane::exec {

// `rows` bindings of `columns` values each, row-major in `values`.
struct ValueRows {
    std::span<const double> values;
    std::size_t rows = 0;
    std::size_t columns = 0;
};

// Where one register's shots go: rows * shots * readout.bytes_per_shot()
// bytes, row after row, shot after shot within a row.
struct RegisterOutput {
    sim::RegisterReadout readout;
    std::span<std::uint8_t> bytes;
};

using BindingsSampleError = BindingsRunError;

// The seed of row `row`'s shots under the batch seed `seed`: a hash of both,
// so that the rows' random streams are unrelated (consecutive SplitMix64
// seeds would give overlapping streams).
std::uint64_t row_seed(std::uint64_t seed, std::uint64_t row) noexcept;

// The memory one row holds while it runs: its state, the sampler's working
// memory and its outcomes.
std::uint64_t bindings_row_bytes(std::uint64_t num_qubits, std::uint32_t shots,
                                 sim::Precision precision = sim::Precision::Double) noexcept;

// Samples `shots` shots of `circuit` bound to each row of `values` and packs
// them into every output. Rows run concurrently on the pool, as many as the
// memory budget allows, each with serial kernels when the rows alone fill
// the pool. The same seed gives the same bytes whatever the pool size.
// `values.columns` must be the circuit's parameter count and each output
// must hold its bytes; the first failing row ends the batch.
[[nodiscard]] std::expected<void, BindingsSampleError> sample_bindings(
    const circuit::ParameterizedCircuit& circuit, ValueRows values, std::uint32_t shots,
    std::uint64_t seed, std::span<const RegisterOutput> outputs,
    const sim::StatevectorSimulator& simulator, sim::Precision precision = sim::Precision::Double);

}  // namespace morvane::exec
