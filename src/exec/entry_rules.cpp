#include "exec/entry_rules.hpp"

#include "circuit/gate.hpp"
#include "exec/memory_budget.hpp"
#include "exec/native_backend.hpp"
#include "sim/statevector.hpp"
#include "support/available_memory.hpp"
#include "support/debug_string.hpp"
#include "support/os_random.hpp"
#include "support/text.hpp"
#include "support/uuid.hpp"

namespace morvane::exec {

namespace {

constexpr std::size_t MAX_RUN_ID_PREFIX = 64;

std::unexpected<ArgumentError> refuse(std::string message) {
    return std::unexpected(ArgumentError{std::move(message)});
}

bool is_run_id_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

// Bytes of the UTF-8 sequence led by `lead`; the text came from a Python str,
// so it is valid UTF-8 and only the lead byte needs reading.
std::size_t utf8_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    return 4;
}

}  // namespace

bool is_native_backend_name(std::string_view backend) noexcept {
    return backend == "morvane" || backend == "statevector" || backend == "morvane_statevector";
}

bool selects_native_backend(std::string_view infrastructure, std::string_view backend) noexcept {
    return infrastructure == "local" && is_native_backend_name(backend);
}

const char* foreign_circuit_on_native_text() noexcept {
    return "the native 'morvane' backend runs a morvane.Circuit, OpenQASM 2.0 text or a Qiskit "
           "QuantumCircuit, and this circuit is none of them; pass one of those, or use "
           "backend=\"aer\"";
}

std::expected<void, ArgumentError> check_circuit_route(CircuitForm form,
                                                       std::string_view infrastructure,
                                                       std::string_view backend,
                                                       EntryPoint entry) {
    if (form == CircuitForm::Foreign && is_native_backend_name(backend)) {
        return refuse(foreign_circuit_on_native_text());
    }
    const bool python_only = form == CircuitForm::Qiskit || form == CircuitForm::Foreign;
    if (python_only && infrastructure == "qmio") {
        if (entry == EntryPoint::Train) {
            return refuse(
                "the 'qmio' infrastructure requires a native morvane.Circuit (GIL-free "
                "serialization); got a Qiskit circuit. Build it with morvane.Circuit");
        }
        return refuse(
            "the 'qmio' infrastructure runs entirely natively, without the interpreter lock, "
            "and cannot serialize a Qiskit QuantumCircuit; pass a morvane.Circuit or an "
            "OpenQASM 2.0 string");
    }
    return {};
}

std::expected<void, ArgumentError> check_dimensions(std::uint64_t dimensions,
                                                    std::uint64_t declared,
                                                    std::string_view what) {
    if (dimensions == declared) return {};
    return refuse(concat("dimensions (", dimensions, ") does not match the ", what,
                         "'s free parameters (", declared, ")"));
}

std::expected<void, ArgumentError> check_run_sizes(std::optional<std::uint32_t> shots,
                                                   std::uint32_t n_qpus,
                                                   std::string_view infrastructure,
                                                   std::uint32_t nodes,
                                                   std::uint32_t cores_per_qpu) {
    if (shots == 0u) return refuse(concat("shots must be >= 1, got ", *shots));
    if (n_qpus == 0) return refuse(concat("n_qpus must be >= 1, got ", n_qpus));
    if (infrastructure == "cunqa") {
        if (nodes == 0) {
            return refuse(concat("nodes must be >= 1 for the 'cunqa' infrastructure, got ", nodes));
        }
        if (cores_per_qpu == 0) {
            return refuse(concat("cores_per_qpu must be >= 1 for the 'cunqa' infrastructure, got ",
                                 cores_per_qpu));
        }
    }
    return {};
}

std::expected<void, ArgumentError> check_exact_backend(std::string_view infrastructure,
                                                      std::string_view backend) {
    if (selects_native_backend(infrastructure, backend)) return {};
    return refuse(concat("shots=None computes exact expectation values from the statevector, "
                         "which only the native backend has; pass infrastructure=\"local\" and "
                         "backend=\"morvane\", or a number of shots for backend \"",
                         backend, "\" on infrastructure \"", infrastructure, "\""));
}

std::expected<void, ArgumentError> check_exact_cost(CostKind kind) {
    switch (kind) {
        case CostKind::Qubo:
        case CostKind::Ising:
        case CostKind::PauliSum:
            return {};
        case CostKind::Callable:
        case CostKind::CachedCost:
            break;
    }
    return refuse(concat(
        "shots=None needs an expectation_function with an exact expectation on the statevector "
        "(a morvane.Qubo, morvane.Ising or morvane.PauliSum); a ",
        kind == CostKind::CachedCost ? "morvane.CachedCost" : "Python callable",
        " scores sampled bitstrings one at a time and has no exact value, so pass a number of "
        "shots to use it"));
}

std::expected<sim::Precision, ArgumentError> parse_precision(std::string_view text) {
    if (text == "double") return sim::Precision::Double;
    if (text == "single") return sim::Precision::Single;
    return refuse(
        concat("argument 'precision': expected \"double\" or \"single\", got ", debug_quote(text)));
}

const char* precision_name(sim::Precision precision) noexcept {
    return precision == sim::Precision::Single ? "single" : "double";
}

std::expected<BackendChoice, ArgumentError> choose_backend(const BackendArguments& a) {
    if (a.infrastructure != "local" && a.infrastructure != "cunqa" &&
        a.infrastructure != "qmio") {
        return refuse(unknown_infrastructure_text(a.infrastructure));
    }
    if (selects_native_backend(a.infrastructure, a.backend)) {
        if (a.noise_model) {
            return refuse(
                "the native 'morvane' backend is a noiseless statevector simulator and does not "
                "accept a noise_model; use backend=\"aer\"");
        }
        return BackendChoice(
            NativeChoice{a.fusion != false, a.precision.value_or(sim::Precision::Double)});
    }
    if (a.fusion == true) {
        return refuse(concat("fusion=True applies only to the native backend=\"morvane\"; backend \"",
                             a.backend, "\" on infrastructure \"", a.infrastructure,
                             "\" cannot fuse gates. Omit fusion, or pass fusion=False for a "
                             "gate-by-gate run."));
    }
    if (a.infrastructure == "local") {
        if (a.backend == "aer" || a.backend == "AerSimulator") {
            std::optional<std::string> precision;
            if (a.precision) precision = precision_name(*a.precision);
            return BackendChoice(AerChoice{"AerSimulator", std::string(a.sim_method), a.noise_model,
                                           std::move(precision)});
        }
        return refuse(concat("unknown local backend '", a.backend,
                             "'; expected \"aer\" or \"morvane\""));
    }
    if (a.infrastructure == "cunqa") {
        // QPUs of a family are configured when they are raised, so a noise
        // model has nowhere to go and is dropped here. Their simulators run
        // in double precision, which a caller may still ask for by name.
        if (a.precision == sim::Precision::Single) {
            return refuse(
                "precision=\"single\" is not available on infrastructure \"cunqa\": its QPUs "
                "simulate in double precision. Omit precision (or pass \"double\"), or run on "
                "infrastructure=\"local\"");
        }
        return BackendChoice(CunqaChoice{a.nodes, a.cores_per_qpu, std::string(a.sim_method)});
    }
    return refuse("the 'qmio' infrastructure requires compiling morvane with --features qmio");
}

std::string make_run_id(std::uint32_t n_qpus, std::string_view infrastructure) {
    return concat("run_", n_qpus, "_", infrastructure, "_", uuid_v4());
}

std::expected<void, ArgumentError> check_run_id_prefix(std::string_view prefix) {
    if (prefix.empty()) return refuse("id must not be empty");
    std::size_t characters = 0;
    for (std::size_t i = 0; i < prefix.size(); ++characters) {
        const auto lead = static_cast<unsigned char>(prefix[i]);
        const std::size_t len = std::min(utf8_length(lead), prefix.size() - i);
        if (!is_run_id_char(lead)) {
            return refuse(concat("id contains invalid character ",
                                 debug_quote_char(prefix.substr(i, len)),
                                 "; only ASCII letters, digits, '.', '_' and '-' are allowed (got ",
                                 debug_quote(prefix), ")"));
        }
        i += len;
    }
    if (characters > MAX_RUN_ID_PREFIX) {
        return refuse(concat("id must be at most ", MAX_RUN_ID_PREFIX, " characters, got ",
                             characters, " (", debug_quote(prefix), ")"));
    }
    return {};
}

// Reading the available memory costs several system calls (/proc/meminfo
// and the cgroup files), more than simulating a small circuit; below this
// size a request is let through unread, since no machine that runs Python
// lacks it and an allocation that fails anyway is reported as such.
constexpr std::uint64_t UNCHECKED_BYTES = std::uint64_t{64} << 20;

std::expected<void, ArgumentError> check_available_memory(std::uint64_t num_qubits,
                                                          std::uint64_t bytes) {
    if (num_qubits > sim::MAX_QUBITS || bytes <= UNCHECKED_BYTES) return {};
    if (const auto available = available_memory_bytes(); available && bytes > *available) {
        return refuse(concat("a ", num_qubits, "-qubit simulation needs ", format_bytes(bytes),
                             " at once, more than the ", format_bytes(*available),
                             " of memory this machine has available; use fewer qubits or "
                             "shots, or free memory"));
    }
    return {};
}

std::expected<void, ArgumentError> check_native_memory(std::uint64_t num_qubits,
                                                       std::uint64_t bytes,
                                                       sim::Precision precision) {
    if (num_qubits > sim::MAX_QUBITS) return {};
    const std::uint64_t state = statevector_bytes(num_qubits, precision);
    if (const std::uint64_t budget = mem_budget(); state > budget) {
        return refuse(concat("a ", num_qubits, "-qubit statevector needs ", format_bytes(state),
                             ", more than the memory budget of ", format_bytes(budget),
                             "; use fewer qubits, or raise MORVANE_MEM_BUDGET (in bytes) if "
                             "this machine has the memory"));
    }
    return check_available_memory(num_qubits, bytes);
}

std::expected<void, ArgumentError> check_native_run_memory(const CircuitInput& input,
                                                           std::uint32_t shots,
                                                           sim::Precision precision) {
    std::optional<circuit::ConcreteCircuit> parsed;
    const circuit::ConcreteCircuit* circuit = std::get_if<circuit::ConcreteCircuit>(&input);
    if (const auto* text = std::get_if<QasmText>(&input)) {
        auto program = circuit::ParameterizedCircuit::from_qasm2(text->source);
        if (!program) return {};
        auto bound = program->assign_parameters({});
        if (!bound) return {};
        parsed = std::move(*bound);
        circuit = &*parsed;
    }
    if (circuit == nullptr) return {};
    return check_native_memory(
        circuit->num_qubits(),
        native_circuit_bytes(circuit->num_qubits(), counts_key_width(*circuit), shots, precision),
        precision);
}

std::expected<void, ArgumentError> check_batch_memory(std::uint64_t candidates,
                                                      std::uint64_t dimensions,
                                                      std::uint64_t gates,
                                                      std::uint64_t counts_entries,
                                                      std::uint64_t key_width,
                                                      std::string_view setting) {
    const auto available = available_memory_bytes();
    if (!available) return {};
    // Per candidate: its values in the optimiser's vectors (population,
    // trials or velocities, best, and the batch handed over), its bound
    // circuit, and its counts map, each with its bookkeeping.
    const long double per_candidate =
        4.0L * (24.0L + 8.0L * static_cast<long double>(dimensions)) + 64.0L +
        static_cast<long double>(sizeof(circuit::Gate)) * static_cast<long double>(gates) +
        static_cast<long double>(counts_entries) * (100.0L + static_cast<long double>(key_width));
    const long double needed = per_candidate * static_cast<long double>(candidates);
    if (needed <= static_cast<long double>(*available)) return {};
    const std::uint64_t shown = needed >= 1.8e19L ? UINT64_MAX
                                                  : static_cast<std::uint64_t>(needed);
    return refuse(concat(setting, " ", candidates, ": one batch of ", candidates,
                         " candidates with ", dimensions, " parameters needs about ",
                         format_bytes(shown), " at once, more than the ",
                         format_bytes(*available),
                         " of memory this machine has available; use a smaller ", setting));
}

std::string make_training_run_id(std::string_view prefix) {
    return concat(prefix, "_", uuid_v4());
}

std::uint64_t effective_seed(std::optional<std::uint64_t> call_seed,
                             std::optional<std::uint64_t> method_seed) {
    if (call_seed) return *call_seed;
    if (method_seed) return *method_seed;
    return os_random_u64();
}

}  // namespace morvane::exec
