#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "exec/backend.hpp"

namespace morvane::exec {

// The argument rules that run_quantum_circuit, train and qml.train share, in
// one place so the three entry points cannot drift apart. Nothing here needs
// a Python object; the Python layer converts the arguments, calls these and
// raises what they refuse.

// An argument value the entry point refuses; raised as ValueError with this
// exact text.
struct ArgumentError {
    std::string message;
};

// The names that select the built-in statevector simulator on "local".
bool is_native_backend_name(std::string_view backend) noexcept;

// Whether `backend` on `infrastructure` is the built-in simulator, as
// choose_backend decides it: a native name on "local".
bool selects_native_backend(std::string_view infrastructure, std::string_view backend) noexcept;

// The forms a circuit argument comes in, as the entry points tell them apart.
enum class CircuitForm {
    Native,    // a morvane.Circuit
    QasmText,  // OpenQASM 2.0 text
    Qiskit,    // a Qiskit QuantumCircuit: converted at the edge for the native backend
    Foreign,   // anything else shaped like a circuit, which only the Python backends read
};

// The entry point asking, for the wording of the advice in a refusal: train
// cannot take OpenQASM text, so it cannot suggest it.
enum class EntryPoint { Run, Train };

// Which circuit form may go to which backend. The native simulator runs
// every form but an unknown foreign object (checked on the backend name
// alone, whatever the infrastructure, so it is refused first); "qmio"
// serializes without the interpreter lock and takes only native forms.
[[nodiscard]] std::expected<void, ArgumentError> check_circuit_route(
    CircuitForm form, std::string_view infrastructure, std::string_view backend, EntryPoint entry);

// The refusal of a circuit the native simulator cannot read, the one text
// for it wherever it is found (an entry point, or the native backend handed
// a foreign circuit that was not converted).
const char* foreign_circuit_on_native_text() noexcept;

// The number of trainable values the caller declared against the number the
// circuit has: "dimensions (3) does not match the circuit's free parameters
// (2)", with `what` naming the circuit ("circuit", "ansatz").
[[nodiscard]] std::expected<void, ArgumentError> check_dimensions(std::uint64_t dimensions,
                                                                 std::uint64_t declared,
                                                                 std::string_view what);

// Shots and n_qpus, then (on "cunqa" only) nodes and cores_per_qpu, in that
// order; the first refusal wins. Absent shots (exact training) are not checked.
[[nodiscard]] std::expected<void, ArgumentError> check_run_sizes(
    std::optional<std::uint32_t> shots, std::uint32_t n_qpus, std::string_view infrastructure,
    std::uint32_t nodes, std::uint32_t cores_per_qpu);

// Exact training (shots=None): the fitness is read off each candidate's
// statevector, which only the built-in simulator has.
[[nodiscard]] std::expected<void, ArgumentError> check_exact_backend(std::string_view infrastructure,
                                                                    std::string_view backend);

// The forms of a training cost, as exact training tells them apart.
enum class CostKind { Qubo, Ising, PauliSum, Callable, CachedCost };

// Exact training takes a cost with an exact expectation on a state: a Qubo,
// an Ising or a PauliSum. A callable (or CachedCost) of a bitstring has one
// only through sampled bitstrings, so it is refused with the reason.
[[nodiscard]] std::expected<void, ArgumentError> check_exact_cost(CostKind kind);

// The `precision` keyword: "double" or "single", anything else refused
// with the accepted values named.
[[nodiscard]] std::expected<sim::Precision, ArgumentError> parse_precision(std::string_view text);

// The keyword's spelling of a precision.
const char* precision_name(sim::Precision precision) noexcept;

// What the backend choice looks at.
struct BackendArguments {
    std::string_view infrastructure;
    std::string_view backend;
    std::optional<bool> fusion;
    // The caller's noise model, or null when none was given.
    ForeignObjectPtr noise_model;
    std::string_view sim_method = "automatic";
    std::uint32_t nodes = 1;
    std::uint32_t cores_per_qpu = 2;
    // Absent: the caller did not choose, and every backend runs as it
    // always has (the native simulator and Aer in double precision).
    std::optional<sim::Precision> precision;
};

// Picks the backend: the native simulator, Aer, or a CUNQA family. Refuses
// unknown infrastructures and backends, a noise model or fusion where they
// cannot apply, single precision on CUNQA (whose QPUs are configured when
// their family is raised), and "qmio", which this build cannot serve.
[[nodiscard]] std::expected<BackendChoice, ArgumentError> choose_backend(
    const BackendArguments& arguments);

// "run_{n_qpus}_{infrastructure}_{uuid}", the id of one run_quantum_circuit call.
std::string make_run_id(std::uint32_t n_qpus, std::string_view infrastructure);

// The prefix of a training run id: 1 to 64 characters from ASCII letters,
// digits, '.', '_' and '-' (contract C-9). The empty check comes first, then
// the first bad character, then the length.
[[nodiscard]] std::expected<void, ArgumentError> check_run_id_prefix(std::string_view prefix);

// Whether one native circuit of `num_qubits` qubits that holds `bytes` in
// all (native_circuit_bytes, or just its statevector) fits before anything is
// allocated: its statevector within the memory budget, and everything within
// the memory the machine has available now. The refusal names both sizes and
// says what to change.
// A register wider than the simulator's limit passes: the simulator refuses
// it with its own message.
[[nodiscard]] std::expected<void, ArgumentError> check_native_memory(
    std::uint64_t num_qubits, std::uint64_t bytes,
    sim::Precision precision = sim::Precision::Double);

// Only the second half of check_native_memory: for statevector, which holds
// one state whatever the budget for simultaneous ones says.
[[nodiscard]] std::expected<void, ArgumentError> check_available_memory(std::uint64_t num_qubits,
                                                                       std::uint64_t bytes);

// check_native_memory for one run of `input` for `shots` shots on the native
// backend. Text that does not parse and foreign circuits pass: their own
// errors come when they run.
[[nodiscard]] std::expected<void, ArgumentError> check_native_run_memory(
    const CircuitInput& input, std::uint32_t shots,
    sim::Precision precision = sim::Precision::Double);

// Whether one optimiser batch of `candidates` parameter vectors of
// `dimensions` values, each bound into a circuit of `gates` gates and reduced
// from a counts map of up to `counts_entries` keys of `key_width` characters,
// fits in the memory the machine has available. `setting` names the argument
// that sized the batch in the refusal ("population_size").
[[nodiscard]] std::expected<void, ArgumentError> check_batch_memory(
    std::uint64_t candidates, std::uint64_t dimensions, std::uint64_t gates,
    std::uint64_t counts_entries, std::uint64_t key_width, std::string_view setting);

// "{prefix}_{uuid}" for a validated prefix.
std::string make_training_run_id(std::string_view prefix);

// The seed a run uses: the caller's, else the optimiser object's (training
// only), else a fresh value from the operating system (contract C-7).
std::uint64_t effective_seed(std::optional<std::uint64_t> call_seed,
                             std::optional<std::uint64_t> method_seed = std::nullopt);

}  // namespace morvane::exec
