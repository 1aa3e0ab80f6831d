#include "exec/exact_expectation.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include "exec/memory_budget.hpp"
#include "exec/native_backend.hpp"
#include "sim/circuit_batch.hpp"
#include "sim/sampling.hpp"
#include "support/internal_fault.hpp"
#include "support/thread_pool.hpp"

namespace morvane::exec {

namespace {

// A threshold no register reaches: kernels run serially.
constexpr std::uint64_t SERIAL_THRESHOLD = std::numeric_limits<std::uint64_t>::max();

// How often the calling thread looks for Ctrl+C between rows: rows shorter
// than the simulator's own polling interval would otherwise never be checked.
constexpr std::chrono::milliseconds ROW_CHECK_INTERVAL{25};

// What the threads of one batch share: the first error and the stop flag.
class BatchState {
public:
    BatchState(const SignalCheck& signal_check)
        : signal_check_(signal_check), caller_(std::this_thread::get_id()) {}

    bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

    void record(EvalError error) {
        std::lock_guard lock(mutex_);
        if (!first_error_) first_error_ = std::move(error);
        stopped_.store(true, std::memory_order_relaxed);
    }

    // The checkpoint: true to stop. Only the calling thread may run Python's
    // signal handlers; the others learn of a stop through the flag.
    bool checkpoint() {
        if (stopped()) return true;
        if (!signal_check_ || std::this_thread::get_id() != caller_) return false;
        if (ForeignErrorPtr raised = signal_check_()) {
            record(EvalPython{std::move(raised)});
            return true;
        }
        return false;
    }

    // The checkpoint between rows, at most once per interval.
    bool row_checkpoint() {
        if (stopped()) return true;
        if (std::this_thread::get_id() != caller_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_row_check_ < ROW_CHECK_INTERVAL) return false;
        last_row_check_ = now;
        return checkpoint();
    }

    std::optional<EvalError> take_error() {
        std::lock_guard lock(mutex_);
        return std::move(first_error_);
    }

private:
    const SignalCheck& signal_check_;
    std::thread::id caller_;
    // The first row checks at once, so even a batch shorter than one
    // interval sees a Ctrl+C pressed before it.
    std::chrono::steady_clock::time_point last_row_check_{};
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::optional<EvalError> first_error_;
};

EvalError simulation_failed(const sim::SimError& error) {
    return EvalError(EvalBackend{
        InfraError(NativeCircuit{"native statevector simulation failed: " + error.message()})});
}

}  // namespace

observable::Readout readout_of(const circuit::ParameterizedCircuit& circuit) {
    observable::Readout readout;
    readout.num_qubits = circuit.num_qubits();
    readout.key_width = counts_key_width(circuit.num_qubits(), circuit.num_clbits());
    for (const sim::MeasurementPair& pair : sim::measurement_map(circuit.num_qubits(), circuit.gates())) {
        readout.measurements.emplace_back(pair.qubit, pair.clbit);
    }
    return readout;
}

std::expected<std::vector<double>, EvalError> exact_expectations(
    const circuit::ParameterizedCircuit& circuit, const observable::ExpectationPlan& plan,
    std::span<const double> rows, std::size_t num_rows, const sim::StatevectorSimulator& simulator,
    const SignalCheck& signal_check, sim::Precision precision) {
    const std::size_t width = circuit.num_params();
    const std::size_t K = plan.num_observables();
    if (rows.size() != num_rows * width || plan.num_qubits() != circuit.num_qubits()) {
        internal_fault("exact_expectations: rows or plan do not fit the circuit");
    }
    std::vector<double> values(num_rows * K, 0.0);
    if (num_rows == 0) return values;

    const std::uint64_t n = circuit.num_qubits();
    const std::uint64_t threads = std::max<std::size_t>(ThreadPool::global().num_threads(), 1);
    const std::uint64_t fit =
        std::max<std::uint64_t>(1, native_circuits_that_fit(n, statevector_bytes(n, precision)));
    // As the native backend does: rows alone fill the pool, so each state is
    // worked serially; fewer rows than threads (or memory for fewer) split
    // each state's work within the pool.
    std::size_t at_once = static_cast<std::size_t>(std::min<std::uint64_t>(fit, num_rows));
    sim::StatevectorSimulator row_simulator = simulator;
    const bool rows_fill_pool = std::min<std::uint64_t>(fit, num_rows) >= threads;
    if (rows_fill_pool) row_simulator.parallel_threshold = SERIAL_THRESHOLD;
    at_once = std::min<std::size_t>(at_once, threads);

    // Checked and planned once for the circuit; each row's values are
    // resolved inside its simulation. A phase on every amplitude changes no
    // expectation value, so the circuit's global phase is left out.
    auto batch_circuit = sim::CircuitBatch::prepare(circuit, row_simulator);
    if (!batch_circuit) return std::unexpected(simulation_failed(batch_circuit.error()));

    BatchState batch(signal_check);
    const auto run_row_in = [&]<class Real>(std::size_t r) {
        auto cancel = [&batch] { return batch.checkpoint(); };
        auto state = batch_circuit->simulate_row<Real>(rows.subspan(r * width, width),
                                                       sim::GlobalPhaseUse::Ignored,
                                                       sim::CancelCallback(cancel));
        if (!state) {
            const sim::BatchRowError& error = state.error();
            if (error.template is<circuit::CircuitError>()) {
                batch.record(EvalBinding{error.template as<circuit::CircuitError>()});
            } else if (!error.template as<sim::SimError>().template is<sim::Cancelled>()) {
                batch.record(simulation_failed(error.template as<sim::SimError>()));
            }
            return;
        }
        plan.template evaluate<Real>(state->amplitudes(), state->parallel(),
                                     std::span<double>(values).subspan(r * K, K));
    };
    const auto run_row = [&](std::size_t r) {
        sim::in_precision(precision, [&]<class Real>() { run_row_in.template operator()<Real>(r); });
    };

    alignas(64) std::atomic<std::size_t> next{0};
    parallel_for(at_once, 1, [&](std::size_t, std::size_t) {
        for (;;) {
            if (batch.row_checkpoint()) return;
            const std::size_t r = next.fetch_add(1, std::memory_order_relaxed);
            if (r >= num_rows) return;
            run_row(r);
        }
    });
    if (auto error = batch.take_error()) return std::unexpected(std::move(*error));
    return values;
}

std::vector<double> ExactOracle::evaluate(std::span<const std::vector<double>> candidates) const {
    const std::size_t n = candidates.size();
    if (run_.errors.has_error()) return std::vector<double>(n, 0.0);
    const auto fail = [&](EvalError error) {
        run_.errors.record(std::move(error), run_.config.id);
        return std::vector<double>(n, 0.0);
    };
    const std::size_t width = circuit_.num_params();
    std::vector<double> rows;
    rows.reserve(n * width);
    for (const std::vector<double>& candidate : candidates) {
        if (candidate.size() != width) internal_fault("ExactOracle: a candidate of the wrong size");
        rows.insert(rows.end(), candidate.begin(), candidate.end());
    }
    auto values = exact_expectations(circuit_, plan_, rows, n, simulator_, run_.config.signal_check,
                                     precision_);
    if (!values) return fail(std::move(values.error()));
    if (auto checked = check_fitness(*values, n); !checked) return fail(std::move(checked.error()));
    return std::move(*values);
}

}  // namespace morvane::exec
