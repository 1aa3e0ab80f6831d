#include "exec/native_backend.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <mutex>

#include "exec/entry_rules.hpp"
#include "exec/memory_budget.hpp"
#include "sim/circuit_batch.hpp"
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
        // The entry points convert a Qiskit circuit before it comes here, so
        // a foreign circuit is one the native simulator cannot read.
        prepared.error =
            RunError(InfraError(UnsupportedCircuit{foreign_circuit_on_native_text()}));
    }
    return prepared;
}

// Reports a preparation error when its circuit is reached. Parse failures are
// logged; a refused foreign circuit is the caller's choice and is not.
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

// The fusion plan of the last circuit one thread of a batch simulated. The
// candidates of one trainable circuit that a training batch runs differ only
// in their angles, so one plan serves all of them. Lives within one run_jobs
// call, which keeps every circuit it has seen alive.
class PlanCache {
public:
  template <class Real>
  [[nodiscard]] std::expected<sim::BasicStatevector<Real>, sim::SimError> simulate(
      const sim::StatevectorSimulator& simulator, const circuit::ConcreteCircuit& circuit) {
      // Too large a register fails before any plan is used; leave that to simulate.
      if (!simulator.fusion || circuit.num_qubits() > simulator.max_qubits) {
          return simulator.simulate<Real>(circuit);
      }
      if (planned_for_ == nullptr || planned_for_->num_qubits() != circuit.num_qubits() ||
          !sim::same_structure(planned_for_->gates(), circuit.gates())) {
          plan_ = simulator.plan(circuit.num_qubits(), circuit.gates());
          planned_for_ = &circuit;
      }
      return simulator.simulate_planned<Real>(circuit.num_qubits(), circuit.gates(), plan_);
  }

private:
    const circuit::ConcreteCircuit* planned_for_ = nullptr;
    sim::FusionPlan plan_;
};

std::uint64_t pool_threads() { return std::max<std::uint64_t>(ThreadPool::global().num_threads(), 1); }

}  // namespace

std::uint64_t counts_key_width(std::uint64_t num_qubits, std::uint64_t num_clbits) noexcept {
    return num_clbits != 0 ? num_clbits : num_qubits;
}

std::uint64_t counts_key_width(const circuit::ConcreteCircuit& circuit) noexcept {
    return counts_key_width(circuit.num_qubits(), circuit.num_clbits());
}

std::string format_bitstring(std::uint64_t value, std::uint64_t width) {
    // A batch formats one key per distinct outcome, so the key is written in
    // one pass, four characters per table lookup, without clearing it first.
    static constexpr char NIBBLES[16][4] = {
        {'0', '0', '0', '0'}, {'0', '0', '0', '1'}, {'0', '0', '1', '0'}, {'0', '0', '1', '1'},
        {'0', '1', '0', '0'}, {'0', '1', '0', '1'}, {'0', '1', '1', '0'}, {'0', '1', '1', '1'},
        {'1', '0', '0', '0'}, {'1', '0', '0', '1'}, {'1', '0', '1', '0'}, {'1', '0', '1', '1'},
        {'1', '1', '0', '0'}, {'1', '1', '0', '1'}, {'1', '1', '1', '0'}, {'1', '1', '1', '1'}};
    const std::size_t length =
        std::max<std::size_t>(width, static_cast<std::size_t>(std::bit_width(value)));
    std::string out;
    // The callback's size argument is not the requested length: GCC 12's
    // libstdc++ passes the grown capacity when a string first leaves its
    // inline buffer (a 16-character key arrived as 30). Only `length` is used.
    out.resize_and_overwrite(length, [value, length](char* text, std::size_t) {
        std::uint64_t rest = value;
        std::size_t i = length;
        for (; i >= 4; i -= 4, rest >>= 4) std::memcpy(text + i - 4, NIBBLES[rest & 15], 4);
        for (; i > 0; --i, rest >>= 1) text[i - 1] = static_cast<char>('0' + (rest & 1));
        return length;
    });
    return out;
}

CountsMap format_counts(std::span<const sim::RegisterCount> sorted, std::uint64_t width) {
    // Keys of one width sort like the values they encode, so inserting in
    // value order always appends at the end of the map: no searching.
    CountsMap out;
    for (const auto& [value, count] : sorted) {
        out.emplace_hint(out.end(), format_bitstring(value, width), count);
    }
    return out;
}

CountsMap format_counts(const sim::RegisterCounts& counts, std::uint64_t width) {
    std::vector<sim::RegisterCount> sorted;
    sorted.reserve(counts.size());
    for (const auto& [value, count] : counts) sorted.push_back({value, count});
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.value < b.value; });
    return format_counts(sorted, width);
}

NativeBackend::NativeBackend(std::optional<std::uint64_t> seed, bool fusion,
                             sim::Precision precision)
    : base_seed_(seed ? *seed : os_random_u64()),
      simulator_(sim::StatevectorSimulator::create(precision)),
      precision_(precision) {
    simulator_.fusion = fusion;
}

NativeBackend::NativeBackend(std::uint64_t base_seed, sim::StatevectorSimulator simulator,
                             sim::Precision precision)
    : base_seed_(base_seed), simulator_(simulator), precision_(precision) {}

std::expected<std::uint64_t, RunError> NativeBackend::concurrency_for(
    std::span<const CircuitJob> jobs) const {
    std::uint64_t largest = 0;
    for (const CircuitJob& job : jobs) {
        if (std::holds_alternative<ForeignCircuitPtr>(*job.circuit)) continue;
        if (auto n = known_num_qubits(*job.circuit)) largest = std::max(largest, *n);
    }
    return memory_limited_concurrency(largest, jobs.size(), pool_threads());
}

namespace {

// How one wave of k circuits shares the pool: `batch_size` at a time, and
// the simulator each runs with. When memory binds below the pool size, s
// circuits run at a time and each uses parallel kernels; otherwise all run
// at once, and if they alone fill the pool their kernels stay serial.
struct WaveShape {
    std::size_t batch_size;
    sim::StatevectorSimulator simulator;
};

WaveShape wave_shape(std::size_t k, std::uint64_t largest, std::uint64_t heaviest,
                     const sim::StatevectorSimulator& simulator) {
    // The budget bounds the states held at once, and the memory the machine
    // has available bounds everything they hold. The entry points refuse a
    // circuit that does not fit even alone, before calling here.
    const std::uint64_t threads = pool_threads();
    const std::uint64_t mem_limit =
        std::max<std::uint64_t>(1, native_circuits_that_fit(largest, heaviest));
    const std::uint64_t simultaneous = std::min(mem_limit, threads);
    WaveShape shape{k, simulator};
    if (simultaneous < threads && simultaneous < k) {
        shape.batch_size = static_cast<std::size_t>(simultaneous);
    } else if (k >= threads) {
        shape.simulator.parallel_threshold = SERIAL_THRESHOLD;
    }
    return shape;
}

// Runs step(j, scratch) for every job j < k, batch after batch. One loop per
// thread, each taking the next job from a shared counter until none is left:
// jobs of unequal cost still keep every thread busy, and each thread runs
// every job it takes with one Scratch (a sampler's reusable buffers, a
// plan). A step's error stops the jobs not yet taken; the error of the
// lowest failing job is returned, so a wave fails the same way however its
// jobs were spread over the threads.
template <class Error, class Scratch, class Step>
std::optional<Error> run_on_pool(std::size_t k, std::size_t batch_size, Step step) {
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::optional<Error> first_error;
    std::size_t first_failed = k;
    for (std::size_t start = 0; start < k && !failed.load(); start += batch_size) {
        const std::size_t end = start + std::min(batch_size, k - start);
        alignas(64) std::atomic<std::size_t> next{start};
        const std::size_t loops = std::min<std::size_t>(end - start, pool_threads());
        parallel_for(loops, 1, [&](std::size_t, std::size_t) {
            Scratch scratch;
            for (;;) {
                if (failed.load(std::memory_order_relaxed)) return;
                const std::size_t j = next.fetch_add(1, std::memory_order_relaxed);
                if (j >= end) return;
                std::optional<Error> error = step(j, scratch);
                if (!error) continue;
                std::lock_guard lock(error_mutex);
                if (j < first_failed) {
                    first_failed = j;
                    first_error = std::move(*error);
                }
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        });
    }
    return first_error;
}

// Samples a simulated state into job j's counts map.
template <class Real>
std::optional<RunError> sample_into(sim::ShotSampler& sampler,
                                    const sim::BasicStatevector<Real>& state,
                                    std::span<const circuit::Gate> gates, std::uint64_t key_width,
                                    std::uint32_t shots, std::uint64_t seed, CountsMap& out) {
    sampler.load(state);
    auto counts = sampler.sample(gates, shots, seed);
    if (!counts) return simulation_failed(counts.error());
    out = format_counts(*counts, key_width);
    return std::nullopt;
}

}  // namespace

std::expected<std::vector<CountsMap>, RunError> NativeBackend::run_jobs(
    std::span<const CircuitJob> jobs, const RunRequest& request) {
    const std::size_t k = jobs.size();
    if (k == 0) return std::vector<CountsMap>{};

    std::vector<PreparedCircuit> prepared;
    prepared.reserve(k);
    std::uint64_t largest = 0;
    std::uint64_t heaviest = 0;
    for (const CircuitJob& job : jobs) {
        prepared.push_back(prepare_circuit(*job.circuit));
        if (const auto* circuit = prepared.back().circuit()) {
            largest = std::max(largest, circuit->num_qubits());
            heaviest = std::max(
                heaviest, native_circuit_bytes(circuit->num_qubits(), counts_key_width(*circuit),
                                               request.shots, precision_));
        }
    }
    const WaveShape shape = wave_shape(k, largest, heaviest, simulator_);
    const std::uint64_t first_seed = seed_counter_.fetch_add(k, std::memory_order_relaxed);

    // Each result is built on its thread and moved into its slot once, so
    // neighbouring slots see one write. Plans are per thread: a thread's
    // circuits of one structure share the first one's plan.
    struct Scratch {
        sim::ShotSampler sampler;
        PlanCache plans;
    };
    std::vector<CountsMap> results(k);
    auto failed = run_on_pool<RunError, Scratch>(
        k, shape.batch_size, [&](std::size_t j, Scratch& scratch) -> std::optional<RunError> {
            const PreparedCircuit& prepared_circuit = prepared[j];
            if (prepared_circuit.error) return report_preparation_error(*prepared_circuit.error);
            const circuit::ConcreteCircuit& circuit = *prepared_circuit.circuit();
            return sim::in_precision(precision_, [&]<class Real>() -> std::optional<RunError> {
                auto state = scratch.plans.simulate<Real>(shape.simulator, circuit);
                if (!state) return simulation_failed(state.error());
                return sample_into(scratch.sampler, *state, circuit.gates(),
                                   counts_key_width(circuit), request.shots,
                                   base_seed_ + first_seed + j, results[j]);
            });
        });
    if (failed) return std::unexpected(std::move(*failed));
    return results;
}

std::expected<std::uint64_t, RunError> NativeBackend::concurrency_for_bindings(
    std::span<const BindingJob> jobs) const {
    std::uint64_t largest = 0;
    for (const BindingJob& job : jobs) largest = std::max(largest, job.circuit->num_qubits());
    return memory_limited_concurrency(largest, jobs.size(), pool_threads());
}

std::expected<std::vector<CountsMap>, BindingsRunError> NativeBackend::run_bindings(
    std::span<const BindingJob> jobs, const RunRequest& request) {
    const std::size_t k = jobs.size();
    if (k == 0) return std::vector<CountsMap>{};

    // Each distinct circuit (by identity) once: its size for the budget, and
    // the index of its batch for every job.
    std::vector<const circuit::ParameterizedCircuit*> circuits;
    std::vector<std::size_t> batch_of(k);
    std::uint64_t largest = 0;
    std::uint64_t heaviest = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const circuit::ParameterizedCircuit* circuit = jobs[j].circuit;
        auto known = std::find(circuits.begin(), circuits.end(), circuit);
        batch_of[j] = static_cast<std::size_t>(known - circuits.begin());
        if (known != circuits.end()) continue;
        circuits.push_back(circuit);
        largest = std::max(largest, circuit->num_qubits());
        heaviest = std::max(heaviest, native_circuit_bytes(circuit->num_qubits(),
                                                           counts_key_width(circuit->num_qubits(),
                                                                            circuit->num_clbits()),
                                                           request.shots, precision_));
    }
    const WaveShape shape = wave_shape(k, largest, heaviest, simulator_);
    const std::uint64_t first_seed = seed_counter_.fetch_add(k, std::memory_order_relaxed);

    // Checked and planned once per circuit; circuits of one structure (the
    // samples of a QML batch) share the first one's plan. A circuit the
    // simulator refuses fails at the first job that runs it, as run_jobs
    // fails at the circuit's turn.
    std::vector<std::expected<sim::CircuitBatch, sim::SimError>> batches;
    batches.reserve(circuits.size());
    const sim::CircuitBatch* model = nullptr;
    for (const circuit::ParameterizedCircuit* circuit : circuits) {
        batches.push_back(model != nullptr ? sim::CircuitBatch::prepare_alike(*circuit, *model)
                                           : sim::CircuitBatch::prepare(*circuit, shape.simulator));
        if (batches.back()) model = &*batches.back();
    }

    std::vector<CountsMap> results(k);
    auto failed = run_on_pool<BindingsRunError, sim::ShotSampler>(
        k, shape.batch_size,
        [&](std::size_t j, sim::ShotSampler& sampler) -> std::optional<BindingsRunError> {
            const auto& batch = batches[batch_of[j]];
            if (!batch) return simulation_failed(batch.error());
            // The phase is applied, as simulating the bound circuit does;
            // shots cannot see it, but the state is then bit for bit the
            // bound circuit's.
            return sim::in_precision(precision_, [&]<class Real>() -> std::optional<BindingsRunError> {
                auto state =
                    batch->simulate_row<Real>(jobs[j].values, sim::GlobalPhaseUse::Applied);
                if (!state) {
                    if (state.error().template is<circuit::CircuitError>()) {
                        return BindingFailure{j,
                                              state.error().template as<circuit::CircuitError>()};
                    }
                    return simulation_failed(state.error().template as<sim::SimError>());
                }
                const circuit::ParameterizedCircuit& circuit = *jobs[j].circuit;
                auto sampled =
                    sample_into(sampler, *state, circuit.gates(),
                                counts_key_width(circuit.num_qubits(), circuit.num_clbits()),
                                request.shots, base_seed_ + first_seed + j, results[j]);
                if (sampled) return std::move(*sampled);
                return std::nullopt;
            });
        });
    if (failed) return std::unexpected(std::move(*failed));
    return results;
}

std::expected<std::vector<CountsMap>, RunError> NativeBackend::run_replicas(
    const CircuitInput& input, std::span<const std::uint32_t> shot_counts, const RunRequest&) {
    PreparedCircuit prepared = prepare_circuit(input);
    if (prepared.error) return std::unexpected(report_preparation_error(*prepared.error));
    const circuit::ConcreteCircuit& circuit = *prepared.circuit();

    // Loaded once for all replicas. A large state is swept once per replica,
    // so it stays alive until the last one has drawn its shots.
    sim::ShotSampler sampler;
    std::variant<std::monostate, sim::Statevector, sim::SingleStatevector> held;
    auto loaded = sim::in_precision(precision_, [&]<class Real>() -> std::optional<RunError> {
        auto state = simulator_.simulate<Real>(circuit);
        if (!state) return simulation_failed(state.error());
        sampler.load(held.emplace<sim::BasicStatevector<Real>>(std::move(*state)));
        return std::nullopt;
    });
    if (loaded) return std::unexpected(std::move(*loaded));

    const std::uint64_t first_seed =
        seed_counter_.fetch_add(shot_counts.size(), std::memory_order_relaxed);
    const std::uint64_t width = counts_key_width(circuit);
    std::vector<CountsMap> maps;
    maps.reserve(shot_counts.size());
    for (std::size_t i = 0; i < shot_counts.size(); ++i) {
        auto counts = sampler.sample(circuit.gates(), shot_counts[i], base_seed_ + first_seed + i);
        if (!counts) return std::unexpected(simulation_failed(counts.error()));
        maps.push_back(format_counts(*counts, width));
    }
    return maps;
}

}  // namespace morvane::exec
