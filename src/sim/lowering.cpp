#include "sim/lowering.hpp"

#include <array>

#include "circuit/gate_catalogue.hpp"
#include "sim/gate_matrices.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

using circuit::Gate;
using circuit::SimClass;

namespace {

bool is_lowered(const Gate& gate) noexcept {
    const SimClass sim_class = circuit::gate_info(gate.kind).sim_class;
    return sim_class == SimClass::Decomposed || sim_class == SimClass::Phase;
}

// Appends the gate, or its decomposition, to out. `strict` decides whether
// an unresolved angle is an error or taken as 0 (planning).
std::expected<void, SimError> lower_one(const Gate& gate, bool strict, LoweredGates& out) {
    if (!is_lowered(gate)) {
        out.gates.push_back(gate);
        return {};
    }
    std::array<double, 4> angles{};
    for (std::size_t i = 0; i < gate.num_angles(); ++i) {
        auto value = resolve_angle(gate.angles[i]);
        if (value) {
            angles[i] = *value;
        } else if (strict) {
            return std::unexpected(value.error());
        }
    }
    auto decomposition =
        circuit::decompose(gate, std::span<const double>(angles).first(gate.num_angles()));
    if (!decomposition) {
        internal_fault(concat(gate.debug_string(), " is marked decomposed but has no decomposition"));
    }
    out.phase += decomposition->phase;
    for (const Gate& part : decomposition->gates) {
        if (auto ok = lower_one(part, strict, out); !ok) return ok;
    }
    return {};
}

}  // namespace

bool needs_lowering(std::span<const Gate> gates) noexcept {
    for (const Gate& gate : gates) {
        if (is_lowered(gate)) return true;
    }
    return false;
}

std::expected<LoweredGates, SimError> lower_gates(std::span<const Gate> gates) {
    LoweredGates out;
    out.gates.reserve(gates.size());
    for (const Gate& gate : gates) {
        if (auto ok = lower_one(gate, true, out); !ok) return std::unexpected(ok.error());
    }
    return out;
}

std::vector<Gate> lower_structure(std::span<const Gate> gates) {
    LoweredGates out;
    out.gates.reserve(gates.size());
    for (const Gate& gate : gates) (void)lower_one(gate, false, out);
    return std::move(out.gates);
}

}  // namespace morvane::sim
