#include "sim/block_apply.hpp"

#include "sim/gate_matrices.hpp"
#include "sim/block_compiler.hpp"
#include "sim/chunk_interpreter.hpp"

namespace morvane::sim {

using circuit::Gate;

template <class Real>
std::expected<void, SimError> apply_plan(BasicStatevector<Real>& state, std::span<const Gate> gates,
                                         const FusionPlan& plan, CancelCheck& cancel,
                                         std::optional<ApplicationObserver> observer,
                                         const AngleSource& angles) {
    // A bound list is refused before the state is touched, with the error
    // the gate-by-gate path reports first. A batch row's values were not
    // checked by anyone: each is checked as its block is compiled, and the
    // state of a refused row is discarded by the caller.
    if (!angles.is_row()) {
        for (const Gate& gate : gates) {
            for (std::size_t i = 0; i < gate.num_angles(); ++i) {
                if (auto angle = resolve_angle(gate.angles[i]); !angle)
                    return std::unexpected(angle.error());
            }
        }
    }
    for (const FusionBlock& block : plan.blocks) {
        auto compiled = compile_block(block, gates, state.num_qubits(), angles);
        if (!compiled) return std::unexpected(compiled.error());
        if (observer) (*observer)(Application{ApplicationKind::Block, block.gates, block.qubits});
        if (auto ok = apply_block(state, *compiled, cancel); !ok) return ok;
    }
    return {};
}

template std::expected<void, SimError> apply_plan(Statevector&, std::span<const Gate>,
                                                  const FusionPlan&, CancelCheck&,
                                                  std::optional<ApplicationObserver>,
                                                  const AngleSource&);
template std::expected<void, SimError> apply_plan(SingleStatevector&, std::span<const Gate>,
                                                  const FusionPlan&, CancelCheck&,
                                                  std::optional<ApplicationObserver>,
                                                  const AngleSource&);

}  // namespace morvane::sim
