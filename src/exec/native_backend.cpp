#include "exec/native_backend.hpp"

#include <algorithm>
#include <limits>
#include <mutex>

#include "exec/memory_budget.hpp"
#include "support/log.hpp"
#include "support/os_random.hpp"
#include "support/thread_pool.hpp"

namespace morvane::exec {

namespace {

constexpr const char* LOG_TARGET = "morvane_infrastructure::native";

// A threshold no register reaches: kernels run serially.
constexpr std::uint64_t SERIAL_THRESHOLD = std::numeric_limits<std::uint64_t>::max();

// A circuit ready to simulate, or the error its preparation gave. OpenQASM
// text is parsed once, up front, because the memory budget needs its size;
// the error is reported only when the circuit's turn comes.
struct PreparedCircuit {
    std::optional<circuit::ConcreteCircuit> owned;   // parsed from text
    const circuit::ConcreteCircuit* borrowed = nullptr;  // the caller's native circuit
    std::optional<RunError> error;

    // Resolved on use, not stored: a PreparedCircuit moves (into a vector).
    const circuit::ConcreteCircuit* circuit() const {
        return owned ? &*owned : borrowed;
    }
};

PreparedCircuit prepare_circuit(const CircuitInput& input) {
    PreparedCircuit prepared;
    if (const auto* native = std::get_if<circuit::ConcreteCircuit>(&input)) {
        prepared.borrowed = native;
    } else if (const auto* qasm = std::get_if<QasmText>(&input)) {
        auto parsed = circuit::ParameterizedCircuit::from_qasm2(qasm->source);
        auto bound = parsed ? parsed->assign_parameters({})
                            : std::expected<circuit::ConcreteCircuit, circuit::CircuitError>(
                                  std::unexpected(parsed.error()));
        if (bound) {
            prepared.owned = std::move(*bound);
        } else {
            prepared.error = RunError(InfraError(NativeCircuit{
                "native backend could not parse OpenQASM 2.0: " + bound.error().message()}));
        }
    } else {
        prepared.error = RunError(InfraError(UnsupportedCircuit{
            "the native statevector backend cannot execute a Qiskit QuantumCircuit; pass a "
            "morvane.Circuit or an OpenQASM 2.0 string, or select backend=\"aer\""}));
    }
    return prepared;
}

// Reports a preparation error when its circuit is reached. Parse failures are
// logged; a refused Qiskit circuit is the caller's choice and is not.
RunError report_preparation_error(const RunError& error) {
    if (error.is<Infrastructure>() && error.as<Infrastructure>().error.is<NativeCircuit>()) {
        MORVANE_LOG(log::Level::Error, LOG_TARGET, error.message());
    }
    return error;
}

RunError simulation_failed(const sim::SimError& error) {
    std::string text = "native statevector simulation failed: " + error.message();
    MORVANE_LOG(log::Level::Error, LOG_TARGET, text);
    return RunError(InfraError(NativeCircuit{std::move(text)}));
}

std::uint64_t key_width(const circuit::ConcreteCircuit& circuit) {
    const std::uint64_t clbits = circuit.num_clbits();
    return clbits != 0 ? clbits : circuit.num_qubits();
}

std::uint64_t pool_threads() { return std::max<std::uint64_t>(ThreadPool::global().num_threads(), 1); }

}  // namespace

std::string format_bitstring(std::uint64_t value, std::uint64_t width) {
    std::uint64_t digits = 0;
    for (std::uint64_t v = value; v != 0; v >>= 1) ++digits;
    std::string out(std::max(width, digits), '0');
    for (std::size_t i = 0; value != 0; ++i, value >>= 1) {
        if (value & 1) out[out.size() - 1 - i] = '1';
    }
    return out;
}

CountsMap format_counts(const sim::RegisterCounts& counts, std::uint64_t width) {
    // Keys of one width sort like the values they encode, so inserting in
    // value order always appends at the end of the map: no searching.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sorted(counts.begin(), counts.end());
    std::sort(sorted.begin(), sorted.end());
    CountsMap out;
    for (const auto& [value, count] : sorted) {
        out.emplace_hint(out.end(), format_bitstring(value, width), count);
    }
    return out;
}

NativeBackend::NativeBackend(std::optional<std::uint64_t> seed, bool fusion)
    : base_seed_(seed ? *seed : os_random_u64()), simulator_(sim::StatevectorSimulator::create()) {
    simulator_.fusion = fusion;
}

NativeBackend::NativeBackend(std::uint64_t base_seed, sim::StatevectorSimulator simulator)
    : base_seed_(base_seed), simulator_(simulator) {}

std::expected<std::uint64_t, RunError> NativeBackend::concurrency_for(
    std::span<const CircuitJob> jobs) const {
    std::uint64_t largest = 0;
    for (const CircuitJob& job : jobs) {
        if (std::holds_alternative<ForeignCircuitPtr>(*job.circuit)) continue;
        if (auto n = known_num_qubits(*job.circuit)) largest = std::max(largest, *n);
    }
    return memory_limited_concurrency(largest, jobs.size(), pool_threads());
}

std::expected<std::vector<CountsMap>, RunError> NativeBackend::run_jobs(
    std::span<const CircuitJob> jobs, const RunRequest& request) {
    const std::size_t k = jobs.size();
    if (k == 0) return std::vector<CountsMap>{};

    std::vector<PreparedCircuit> prepared;
    prepared.reserve(k);
    std::uint64_t largest = 0;
    for (const CircuitJob& job : jobs) {
        prepared.push_back(prepare_circuit(*job.circuit));
        if (const auto* circuit = prepared.back().circuit()) {
            largest = std::max(largest, circuit->num_qubits());
        }
    }

    const std::uint64_t threads = pool_threads();
    const std::uint64_t mem_limit =
        std::max<std::uint64_t>(1, mem_budget() / statevector_bytes(largest));
    const std::uint64_t simultaneous = std::min(mem_limit, threads);
    const std::uint64_t first_seed = seed_counter_.fetch_add(k, std::memory_order_relaxed);

    // Batches: when memory binds below the pool size, run s circuits at a time
    // and let each use parallel kernels. Otherwise run everything at once; if
    // the circuits alone fill the pool, their kernels stay serial.
    std::size_t batch_size = k;
    sim::StatevectorSimulator batch_simulator = simulator_;
    if (simultaneous < threads && simultaneous < k) {
        batch_size = static_cast<std::size_t>(simultaneous);
    } else if (k >= threads) {
        batch_simulator.parallel_threshold = SERIAL_THRESHOLD;
    }

    std::vector<CountsMap> results(k);
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::optional<RunError> first_error;
    const auto record = [&](RunError error) {
        std::lock_guard lock(error_mutex);
        if (!first_error) first_error = std::move(error);
        failed.store(true, std::memory_order_relaxed);
    };

    for (std::size_t start = 0; start < k && !failed.load(); start += batch_size) {
        const std::size_t count = std::min(batch_size, k - start);
        parallel_for(count, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = start + begin; j < start + end; ++j) {
                if (failed.load(std::memory_order_relaxed)) return;
                const PreparedCircuit& circuit = prepared[j];
                if (circuit.error) {
                    record(report_preparation_error(*circuit.error));
                    return;
                }
                auto counts = sim::simulate_and_sample(batch_simulator, *circuit.circuit(),
                                                       request.shots, base_seed_ + first_seed + j);
                if (!counts) {
                    record(simulation_failed(counts.error()));
                    return;
                }
                results[j] = format_counts(*counts, key_width(*circuit.circuit()));
            }
        });
    }
    if (first_error) return std::unexpected(std::move(*first_error));
    return results;
}

std::expected<std::vector<CountsMap>, RunError> NativeBackend::run_replicas(
    const CircuitInput& input, std::span<const std::uint32_t> shot_counts, const RunRequest&) {
    PreparedCircuit prepared = prepare_circuit(input);
    if (prepared.error) return std::unexpected(report_preparation_error(*prepared.error));
    const circuit::ConcreteCircuit& circuit = *prepared.circuit();

    auto state = simulator_.simulate(circuit);
    if (!state) return std::unexpected(simulation_failed(state.error()));

    const std::uint64_t first_seed =
        seed_counter_.fetch_add(shot_counts.size(), std::memory_order_relaxed);
    const std::uint64_t width = key_width(circuit);
    std::vector<CountsMap> maps;
    maps.reserve(shot_counts.size());
    for (std::size_t i = 0; i < shot_counts.size(); ++i) {
        auto counts = sim::sample_counts(*state, circuit.gates(), shot_counts[i],
                                         base_seed_ + first_seed + i);
        if (!counts) return std::unexpected(simulation_failed(counts.error()));
        maps.push_back(format_counts(*counts, width));
    }
    return maps;
}

}  // namespace morvane::exec
