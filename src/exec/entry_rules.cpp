#include "exec/entry_rules.hpp"

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

std::expected<void, ArgumentError> check_run_sizes(std::uint32_t shots, std::uint32_t n_qpus,
                                                   std::string_view infrastructure,
                                                   std::uint32_t nodes,
                                                   std::uint32_t cores_per_qpu) {
    if (shots == 0) return refuse(concat("shots must be >= 1, got ", shots));
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

std::expected<BackendChoice, ArgumentError> choose_backend(const BackendArguments& a) {
    if (a.infrastructure != "local" && a.infrastructure != "cunqa" &&
        a.infrastructure != "qmio") {
        return refuse(unknown_infrastructure_text(a.infrastructure));
    }
    if (a.infrastructure == "local" && is_native_backend_name(a.backend)) {
        if (a.noise_model) {
            return refuse(
                "the native 'morvane' backend is a noiseless statevector simulator and does not "
                "accept a noise_model; use backend=\"aer\"");
        }
        return BackendChoice(NativeChoice{a.fusion != false});
    }
    if (a.fusion == true) {
        return refuse(concat("fusion=True applies only to the native backend=\"morvane\"; backend \"",
                             a.backend, "\" on infrastructure \"", a.infrastructure,
                             "\" cannot fuse gates. Omit fusion, or pass fusion=False for a "
                             "gate-by-gate run."));
    }
    if (a.infrastructure == "local") {
        if (a.backend == "aer" || a.backend == "AerSimulator") {
            return BackendChoice(
                AerChoice{"AerSimulator", std::string(a.sim_method), a.noise_model});
        }
        return refuse(concat("unknown local backend '", a.backend,
                             "'; expected \"aer\" or \"morvane\""));
    }
    if (a.infrastructure == "cunqa") {
        // QPUs of a family are configured when they are raised, so a noise
        // model has nowhere to go and is dropped here.
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
