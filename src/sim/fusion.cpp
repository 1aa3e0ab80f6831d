#include "sim/fusion.hpp"

#include <algorithm>
#include <vector>

#include "sim/apply_gate.hpp"
#include "sim/gate_matrices.hpp"
#include "sim/kernels.hpp"
#include "support/internal_fault.hpp"

namespace morvane::sim {

using circuit::Gate;

namespace {

// Dense gates awaiting one composed application. The qubit sets of pending
// components are pairwise disjoint, so the components commute with each
// other and may be applied in any order; they are applied by `first` only to
// keep rounding reproducible.
struct Component {
    std::array<std::uint64_t, 2> qubits;
    std::size_t num_qubits;
    std::vector<std::size_t> gates;
    std::size_t first;

    bool shares_qubit_with(std::span<const std::uint64_t> others) const {
        for (std::size_t i = 0; i < num_qubits; ++i) {
            if (std::find(others.begin(), others.end(), qubits[i]) != others.end()) return true;
        }
        return false;
    }
};

class FusedWalk {
  public:
    FusedWalk(Statevector& state, std::span<const Gate> gates, CancelCheck& cancel,
              std::optional<ApplicationObserver> observer)
        : state_(state), gates_(gates), cancel_(cancel), observer_(observer) {}

    std::expected<void, SimError> run() {
        std::size_t x = 0;
        while (x < gates_.size()) {
            const FusionClass kind = fusion_class(gates_[x].kind);
            if (kind == FusionClass::DenseOneQubit || kind == FusionClass::DenseTwoQubit) {
                if (auto ok = cancel_.checkpoint(); !ok) return ok;
                if (auto ok = add_dense(x); !ok) return ok;
                ++x;
                continue;
            }
            if (auto ok = flush(); !ok) return ok;
            if (kind == FusionClass::Diagonal && x + 1 < gates_.size() &&
                fusion_class(gates_[x + 1].kind) == FusionClass::Diagonal) {
                auto next = diagonal_run(x);
                if (!next) return std::unexpected(next.error());
                x = *next;
                continue;
            }
            if (auto ok = cancel_.checkpoint(); !ok) return ok;
            if (auto ok = apply_single(x); !ok) return ok;
            ++x;
        }
        return flush();
    }

  private:
    bool parallel() const noexcept { return state_.parallel(); }

    void observe(ApplicationKind kind, std::span<const std::size_t> gates,
                 std::array<std::uint64_t, 2> qubits = {0, 0}) {
        if (observer_) (*observer_)(Application{kind, gates, qubits});
    }

    std::expected<void, SimError> apply_single(std::size_t index) {
        observe(ApplicationKind::Gate, std::span<const std::size_t>(&index, 1));
        return apply_gate(state_, gates_[index]);
    }

    std::expected<void, SimError> add_dense(std::size_t x) {
        const Gate& gate = gates_[x];
        std::array<std::uint64_t, 2> s{gate.q0, gate.q1};
        std::size_t s_size = 1;
        if (fusion_class(gate.kind) == FusionClass::DenseTwoQubit) {
            s = {std::min(gate.q0, gate.q1), std::max(gate.q0, gate.q1)};
            s_size = 2;
        }
        const std::span<const std::uint64_t> s_qubits(s.data(), s_size);

        // U = S plus the qubits of every touched component, ascending. Pending
        // components are disjoint and each touched one holds a qubit of S, so
        // at most two are touched and U has at most four qubits.
        std::array<std::uint64_t, 4> u{};
        std::size_t u_size = 0;
        auto add_to_u = [&](std::uint64_t qubit) {
            for (std::size_t k = 0; k < u_size; ++k) {
                if (u[k] == qubit) return;
            }
            ensure(u_size < u.size(), "a gate touches at most two pending components");
            // Insertion keeps u ascending.
            std::size_t k = u_size++;
            for (; k > 0 && u[k - 1] > qubit; --k)
                u[k] = u[k - 1];
            u[k] = qubit;
        };
        for (std::uint64_t qubit : s_qubits)
            add_to_u(qubit);
        std::size_t touched_count = 0;
        std::size_t touched_index = pending_.size();
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            const Component& component = pending_[i];
            if (!component.shares_qubit_with(s_qubits)) continue;
            ++touched_count;
            touched_index = i;
            for (std::size_t k = 0; k < component.num_qubits; ++k)
                add_to_u(component.qubits[k]);
        }

        if (u_size > 2) {
            if (auto ok = flush(); !ok) return ok;
            pending_.push_back(Component{s, s_size, {x}, x});
            return {};
        }
        if (touched_count == 1) {
            ensure(touched_index < pending_.size(), "touched_count == 1");
            Component& component = pending_[touched_index];
            component.qubits = {u[0], u[1]};
            component.num_qubits = u_size;
            component.gates.push_back(x);
            return {};
        }
        // No touched component, or several (each holding one of S's qubits):
        // they merge, with X, into one component at the end of the list.
        Component merged{{u[0], u[1]}, u_size, {}, x};
        std::vector<Component> kept;
        kept.reserve(pending_.size());
        for (Component& component : pending_) {
            if (component.shares_qubit_with(s_qubits)) {
                merged.gates.insert(merged.gates.end(), component.gates.begin(),
                                    component.gates.end());
                merged.first = std::min(merged.first, component.first);
            } else {
                kept.push_back(std::move(component));
            }
        }
        merged.gates.push_back(x);
        kept.push_back(std::move(merged));
        pending_ = std::move(kept);
        return {};
    }

    std::expected<void, SimError> flush() {
        std::sort(pending_.begin(), pending_.end(),
                  [](const Component& a, const Component& b) { return a.first < b.first; });
        for (Component& component : pending_) {
            if (auto ok = cancel_.checkpoint(); !ok) return ok;
            if (auto ok = apply_component(component); !ok) return ok;
        }
        pending_.clear();
        return {};
    }

    std::expected<void, SimError> apply_component(Component& component) {
        ensure(component.num_qubits == 1 || component.num_qubits == 2,
               "a dense component spans one or two qubits");
        // A lone gate goes through its own kernel: no product to form, and a
        // Cx keeps its cheaper controlled kernel.
        if (component.gates.size() == 1) return apply_single(component.gates[0]);
        ensure(component.gates.size() >= 2, "a composed component holds at least two gates");
        std::sort(component.gates.begin(), component.gates.end());
        for (std::size_t index : component.gates) {
            const FusionClass kind = fusion_class(gates_[index].kind);
            ensure(kind == FusionClass::DenseOneQubit || kind == FusionClass::DenseTwoQubit,
                   "a component gate is always dense-fusable");
        }

        const std::uint64_t n = state_.num_qubits();
        if (component.num_qubits == 1) {
            auto composed = one_qubit_matrix(gates_[component.gates[0]]);
            if (!composed) return std::unexpected(composed.error());
            for (std::size_t i = 1; i < component.gates.size(); ++i) {
                auto next = one_qubit_matrix(gates_[component.gates[i]]);
                if (!next) return std::unexpected(next.error());
                *composed = multiply(*next, *composed);
            }
            const std::uint64_t q = component.qubits[0];
            observe(ApplicationKind::Composed1q, component.gates, {q, q});
            apply_dense_1q(state_.amplitudes(), n, q, *composed, parallel());
            return {};
        }

        const std::uint64_t lo = component.qubits[0], hi = component.qubits[1];
        auto composed = local_matrix(gates_[component.gates[0]], lo, hi);
        if (!composed) return std::unexpected(composed.error());
        for (std::size_t i = 1; i < component.gates.size(); ++i) {
            auto next = local_matrix(gates_[component.gates[i]], lo, hi);
            if (!next) return std::unexpected(next.error());
            *composed = multiply(*next, *composed);
        }
        observe(ApplicationKind::Composed2q, component.gates, {lo, hi});
        apply_dense_2q(state_.amplitudes(), n, lo, hi, *composed, parallel());
        return {};
    }

    // Takes up to MAX_DIAGONAL_RUN consecutive diagonal gates from `start`
    // and applies them in one chunked sweep; returns the first index not taken.
    std::expected<std::size_t, SimError> diagonal_run(std::size_t start) {
        std::vector<DiagonalFactor> factors;
        std::size_t end = start;
        while (end < gates_.size() && end - start < MAX_DIAGONAL_RUN &&
               fusion_class(gates_[end].kind) == FusionClass::Diagonal) {
            if (auto ok = cancel_.checkpoint(); !ok) return std::unexpected(ok.error());
            auto factor = diagonal_factor(gates_[end]);
            if (!factor) return std::unexpected(factor.error());
            factors.push_back(*factor);
            ++end;
        }
        if (observer_) {
            std::vector<std::size_t> indices(end - start);
            for (std::size_t i = 0; i < indices.size(); ++i)
                indices[i] = start + i;
            observe(ApplicationKind::DiagonalRun, indices);
        }
        apply_diagonal_run(state_.amplitudes(), factors, parallel());
        return end;
    }

    Statevector& state_;
    std::span<const Gate> gates_;
    CancelCheck& cancel_;
    std::optional<ApplicationObserver> observer_;
    std::vector<Component> pending_;
};

}  // namespace

std::expected<void, SimError> apply_fused(Statevector& state, std::span<const Gate> gates,
                                          CancelCheck& cancel,
                                          std::optional<ApplicationObserver> observer) {
    return FusedWalk(state, gates, cancel, observer).run();
}

}  // namespace morvane::sim
