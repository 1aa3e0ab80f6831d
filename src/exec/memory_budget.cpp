#include "exec/memory_budget.hpp"

#include <algorithm>
#include <charconv>
#include <thread>

#include <sched.h>

#include "exec/backend.hpp"
#include "sim/sampling.hpp"
#include "support/available_memory.hpp"
#include "support/env.hpp"

namespace morvane::exec {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::optional<std::uint64_t> parse_mem_budget(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0) {
        return std::nullopt;
    }
    return value;
}

std::uint64_t mem_budget() {
    if (auto text = env_var("MORVANE_MEM_BUDGET")) {
        if (auto budget = parse_mem_budget(*text)) return *budget;
    }
    return DEFAULT_MEM_BUDGET;
}

std::uint64_t statevector_bytes(std::uint64_t num_qubits, sim::Precision precision) noexcept {
    if (num_qubits >= 60) return UINT64_MAX;
    return std::uint64_t{precision == sim::Precision::Single ? 8u : 16u} << num_qubits;
}

std::uint64_t max_counts_entries(std::uint64_t key_width, std::uint32_t shots) noexcept {
    if (key_width >= 32) return shots;
    return std::min<std::uint64_t>(std::uint64_t{1} << key_width, shots);
}

std::uint64_t native_circuit_bytes(std::uint64_t num_qubits, std::uint64_t key_width,
                                   std::uint32_t shots, sim::Precision precision) noexcept {
    // A std::map node with its key, then a Python str, int and dict slot:
    // about 200 bytes besides two copies of the key's characters.
    const std::uint64_t counts = max_counts_entries(key_width, shots) * (200 + 2 * key_width);
    const std::uint64_t state = statevector_bytes(num_qubits, precision);
    const std::uint64_t rest = sim::ShotSampler::working_bytes(num_qubits, shots) + counts;
    return state > UINT64_MAX - rest ? UINT64_MAX : state + rest;
}

std::uint64_t native_circuits_that_fit(std::uint64_t state_qubits, std::uint64_t circuit_bytes) {
    std::uint64_t fits = mem_budget() / statevector_bytes(state_qubits);
    if (auto available = available_memory_bytes()) {
        fits = std::min(fits, *available / std::max<std::uint64_t>(circuit_bytes, 1));
    }
    return fits;
}

std::uint64_t memory_limited_concurrency(std::uint64_t max_qubits, std::uint64_t jobs,
                                         std::uint64_t workers) {
    const std::uint64_t mem_limit = std::max<std::uint64_t>(1, mem_budget() / statevector_bytes(max_qubits));
    if (mem_limit >= jobs) return UNBOUNDED_CONCURRENCY;
    return std::min(mem_limit, std::max<std::uint64_t>(1, workers));
}

std::uint64_t max_parallel_experiments(std::uint64_t max_qubits, std::uint64_t parallelism) {
    const std::uint64_t fits =
        std::max<std::uint64_t>(1, mem_budget() / statevector_bytes(max_qubits));
    return std::min(fits, std::max<std::uint64_t>(1, parallelism));
}

std::uint64_t available_parallelism() noexcept {
    // The CPUs this process may run on (taskset, a batch allocation), which
    // can be fewer than the machine has.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        if (const int count = CPU_COUNT(&set); count > 0) return static_cast<std::uint64_t>(count);
    }
    return std::max<std::uint64_t>(1, std::thread::hardware_concurrency());
}

}  // namespace morvane::exec
