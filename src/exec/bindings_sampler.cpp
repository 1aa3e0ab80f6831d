#include "exec/bindings_sampler.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "exec/memory_budget.hpp"
#include "sim/circuit_batch.hpp"
#include "sim/sampling.hpp"
#include "support/thread_pool.hpp"

namespace morvane::exec {

std::uint64_t row_seed(std::uint64_t seed, std::uint64_t row) noexcept {
    // Two SplitMix64 output mixes: one of the row number, one of the seed
    // combined with it, so neither a shift of the seed nor of the row lines
    // two streams up.
    std::uint64_t row_state = row;
    std::uint64_t state = seed ^ sim::splitmix64_next(row_state);
    return sim::splitmix64_next(state);
}

std::uint64_t bindings_row_bytes(std::uint64_t num_qubits, std::uint32_t shots,
                                 sim::Precision precision) noexcept {
    const std::uint64_t state = statevector_bytes(num_qubits, precision);
    const std::uint64_t working = sim::ShotSampler::working_bytes(num_qubits, shots);
    const std::uint64_t outcomes = std::uint64_t{shots} * sizeof(std::uint64_t);
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    if (state > max - working || state + working > max - outcomes) return max;
    return state + working + outcomes;
}

namespace {

RunError simulation_failed(const sim::SimError& error) {
    return RunError(
        InfraError(NativeCircuit{"native statevector simulation failed: " + error.message()}));
}

}  // namespace

std::expected<void, BindingsSampleError> sample_bindings(
    const circuit::ParameterizedCircuit& circuit, ValueRows values, std::uint32_t shots,
    std::uint64_t seed, std::span<const RegisterOutput> outputs,
    const sim::StatevectorSimulator& simulator, sim::Precision precision) {
    const std::size_t rows = values.rows;
    if (rows == 0 || shots == 0) return {};
    const std::uint64_t num_qubits = circuit.num_qubits();

    const std::uint64_t threads = std::max<std::size_t>(ThreadPool::global().num_threads(), 1);
    const std::uint64_t fit = std::max<std::uint64_t>(
        1, native_circuits_that_fit(num_qubits, bindings_row_bytes(num_qubits, shots, precision)));
    const std::uint64_t simultaneous = std::min<std::uint64_t>({fit, threads, rows});
    // Rows that fill the pool keep their kernels serial; fewer rows than
    // threads let each row's kernels use the rest.
    sim::StatevectorSimulator row_simulator = simulator;
    if (rows >= threads && simultaneous == threads) {
        row_simulator.parallel_threshold = std::numeric_limits<std::uint64_t>::max();
    }
    // Checked and planned once for the circuit; each row's values are
    // resolved inside its simulation. Shots read probabilities, which a
    // global phase does not change, so it is left out.
    auto batch = sim::CircuitBatch::prepare(circuit, row_simulator);
    if (!batch) return std::unexpected(simulation_failed(batch.error()));

    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::optional<BindingsSampleError> first_error;
    const auto record = [&](BindingsSampleError error) {
        std::lock_guard lock(error_mutex);
        if (!first_error) first_error = std::move(error);
        failed.store(true, std::memory_order_relaxed);
    };

    alignas(64) std::atomic<std::size_t> next{0};
    parallel_for(static_cast<std::size_t>(simultaneous), 1, [&](std::size_t, std::size_t) {
        sim::ShotSampler sampler;
        std::vector<std::uint64_t> outcomes(shots);
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const std::size_t row = next.fetch_add(1, std::memory_order_relaxed);
            if (row >= rows) return;
            // The state lives until its shots are drawn: a large one is
            // swept, not tabled.
            const auto draw = [&]<class Real>() {
                auto state = batch->simulate_row<Real>(
                    values.values.subspan(row * values.columns, values.columns),
                    sim::GlobalPhaseUse::Ignored);
                if (!state) {
                    const sim::BatchRowError& error = state.error();
                    if (error.template is<circuit::CircuitError>()) {
                        record(BindingFailure{row, error.template as<circuit::CircuitError>()});
                    } else {
                        record(simulation_failed(error.template as<sim::SimError>()));
                    }
                    return false;
                }
                sampler.load(*state);
                sampler.draw_shots(row_seed(seed, row), outcomes);
                return true;
            };
            if (!sim::in_precision(precision, draw)) return;
            for (const RegisterOutput& output : outputs) {
                const std::size_t stride = std::size_t{shots} * output.readout.bytes_per_shot();
                output.readout.pack(outcomes, output.bytes.subspan(row * stride, stride));
            }
        }
    });
    if (first_error) return std::unexpected(std::move(*first_error));
    return {};
}

}  // namespace morvane::exec
