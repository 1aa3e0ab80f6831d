#include "sim/block_apply.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <variant>
#include <vector>

#include "sim/gate_matrices.hpp"
#include "sim/index_math.hpp"
#include "sim/kernels.hpp"
#include "sim/permutations.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"
#include "support/thread_pool.hpp"

// How a block is applied
//
// A block is compiled once into a list of operations on local qubits (the
// position of each block qubit in the block's ascending list), then run on
// every chunk. A chunk is the 2^k amplitudes whose bits outside the block are
// one fixed value. When the block's qubits are 0..k-1 the chunks are
// consecutive slices of the state and are worked in place; otherwise each
// chunk is gathered into a per-thread buffer (runs of 2^L contiguous
// amplitudes, L = the number of qubits 0, 1, 2, ... the block holds), worked,
// and scattered back. A block that begins with a permutation of runs (the
// CX chains of layered circuits) gathers its chunk straight into the
// permuted order: one move instead of two.
//
// Inside a chunk each gate takes its cheapest form: consecutive one-qubit
// gates on a qubit, phases included, are multiplied into one 2x2 matrix; CX,
// SWAP and X on qubits from 2 up are permutations of runs, and CX touching
// qubit 0 or 1 moves lanes; CCX, CSWAP and CCZ run their own kernels on the
// quarter or eighth of the chunk they change; consecutive diagonal factors
// form one diagonal run. A diagonal factor on a qubit outside the block has,
// within one chunk, a phase fixed by that chunk's bits: a one-qubit factor
// there is a constant, a two-qubit factor with one qubit outside acts as a
// one-qubit phase on the other, and a CCZ with a qubit outside is a CZ on the
// other two or nothing. Constants commute with every operation on the chunk
// and are applied once at its end.

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

namespace {

constexpr Amplitude ONE{1.0, 0.0};

// A diagonal factor in circuit terms: phase e[bit_a + 2 bit_b] of the global
// index (mask_b = 0 for a one-qubit factor), where every bit of `condition`
// is set, 1 elsewhere. Condition bits lie outside the block, so a chunk
// either has them all (the factor acts) or not (it does nothing): a CCZ with
// a qubit outside the block is a CZ-like factor conditioned on that qubit.
struct Factor {
    std::uint64_t mask_a;
    std::uint64_t mask_b;
    std::array<Amplitude, 4> e;
    std::uint64_t condition;
};

enum class OpKind : std::uint8_t {
    Dense1, Dense2, PermX, PermCx, PermCxLanes, PermSwap, PermLinear, Diagonal,
    Ccx, Cswap, CcPhase  // three-qubit gates, on local qubits (a, b, c) in gate order
};

struct Op {
    OpKind kind;
    std::uint64_t a = 0;  // local qubits
    std::uint64_t b = 0;
    std::uint64_t c = 0;
    Matrix4 matrix{};     // Dense1 uses the first four entries as a Matrix2, CcPhase the first
    std::size_t first_factor = 0;  // Diagonal: factors[first_factor, +factor_count);
    std::size_t factor_count = 0;  // PermLinear: permutations[first_factor]
};

Matrix2 as_matrix2(const Matrix4& m) noexcept {
    return Matrix2{{m.m[0], m.m[1], m.m[2], m.m[3]}};
}

Matrix4 from_matrix2(const Matrix2& m) noexcept {
    Matrix4 out{};
    std::copy(m.m.begin(), m.m.end(), out.m.begin());
    return out;
}

struct CompiledBlock {
    std::uint64_t k = 0;
    std::vector<std::uint64_t> qubits;
    std::array<int, 64> local{};     // local index of a global qubit, -1 outside
    std::uint64_t outside_mask = 0;  // global qubits not in the block
    bool in_place = false;           // qubits are exactly 0..k-1
    std::uint64_t run_bits = 0;      // L: consecutive low qubits in the block
    std::vector<std::uint64_t> run_offsets;  // global offset of each gathered run
    bool gather_permuted = false;    // the first operation is a permutation done while gathering
    std::vector<Op> ops;
    std::vector<Factor> factors;
    std::vector<IndexPermutation> permutations;
};

// Dense gates awaiting one composed application inside a block: on one
// qubit (lo == hi, the product in `one`) or on the pair lo < hi (the product
// in `two`, local basis bit_lo + 2 bit_hi). Beside the product a component
// keeps the same work as separate operations (`parts`, consecutive one-qubit
// gates on a qubit already multiplied together): a 4x4 product costs twice a
// 2x2 one, while CX, SWAP and X on high qubits are mere permutations, so a
// pair holding one such gate and a single 2x2 is cheaper applied in parts.
struct Component {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    Matrix2 one{};
    Matrix4 two{};
    std::size_t gate_count = 0;  // 0: a free slot
    std::vector<Op> parts;
    bool parts_valid = true;  // false once a two-qubit diagonal was multiplied in
    bool pair() const noexcept { return lo != hi; }
};

// Relative cost of one operation on a chunk held in cache, as measured: the
// arithmetic of a 2x2 product dominates; permutations only move data.
double op_cost(OpKind kind) noexcept {
    switch (kind) {
        case OpKind::Dense1:
            return 1.0;
        case OpKind::PermX:
            return 0.3;
        case OpKind::PermCx:
            return 0.35;
        case OpKind::PermCxLanes:
            return 0.5;
        case OpKind::PermSwap:
            return 0.5;
        case OpKind::PermLinear:
            return 0.5;
        case OpKind::Ccx:
        case OpKind::Cswap:
        case OpKind::CcPhase:
            return 0.5;
        case OpKind::Dense2:
        case OpKind::Diagonal:
            return 2.0;
    }
    return 2.0;
}

// The 4x4 of a component's product on the pair (lo, hi) that contains it.
Matrix4 widened(const Component& c, std::uint64_t lo) {
    return c.pair() ? c.two : embed_one_qubit(c.one, c.lo == lo);
}

// Compiles a block's gates into operations. Dense gates gather into
// components of at most two qubits, as many pending at once as there are
// disjoint pairs; a two-qubit gate first emits the components that reach
// beyond its pair and absorbs the rest. A one-qubit diagonal on a block
// qubit joins that qubit's component (or opens one), and a two-qubit
// diagonal on exactly a pair component's qubits is multiplied in; other
// diagonals become factors of a diagonal run, after the components on their
// qubits are emitted, and so does a component whose product stayed diagonal.
class BlockCompiler {
  public:
    BlockCompiler(CompiledBlock& block, const AngleSource& source)
        : block_(block), source_(source), owner_(block.k, NONE) {}

    // The gate's angles are resolved here, where its matrix is built: a
    // batch row's values reach the matrices without a bound copy of the gate.
    std::expected<void, SimError> add(const Gate& gate) {
        const FusionClass kind = fusion_class(gate.kind);
        if (kind == FusionClass::Boundary) return {};
        auto angles = source_.angles(gate);
        if (!angles) return std::unexpected(angles.error());
        switch (kind) {
            case FusionClass::Boundary:
                return {};
            case FusionClass::DenseOneQubit:
            case FusionClass::DenseTwoQubit:
                add_dense(gate, *angles);
                return {};
            case FusionClass::ThreeQubit:
                add_three_qubit(gate);
                return {};
            case FusionClass::Diagonal:
                if (gate.num_qubit_fields() == 3) {
                    add_ccphase(gate, *angles);
                } else {
                    add_diagonal(gate, *angles);
                }
                return {};
        }
        return {};
    }

    void finish() {
        for (std::uint64_t q = 0; q < owner_.size(); ++q)
            emit_owner(q);
    }

  private:
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

    std::uint64_t local(std::uint64_t global) const {
        return static_cast<std::uint64_t>(block_.local[global]);
    }

    // CCX and CSWAP run as their own operation, after the components on
    // their qubits.
    void add_three_qubit(const Gate& gate) {
        Op op{};
        if (gate.kind == GateKind::Ccx) {
            op.kind = OpKind::Ccx;
        } else if (gate.kind == GateKind::Cswap) {
            op.kind = OpKind::Cswap;
        } else {
            internal_fault(concat(gate.debug_string(), " has no three-qubit operation"));
        }
        op.a = local(gate.q0);
        op.b = local(gate.q1);
        op.c = local(gate.q2);
        for (const std::uint64_t q : {op.a, op.b, op.c})
            emit_owner(q);
        append(op);
    }

    // A three-qubit phase on the states with all its bits set (CCZ), after
    // the components on its block qubits: its own operation when all three
    // qubits are in the block, otherwise a factor of the diagonal run
    // conditioned on one qubit outside.
    void add_ccphase(const Gate& gate, const GateAngles& angles) {
        const Amplitude phase = ccphase_factor(gate, angles);
        const std::array<std::uint64_t, 3> qubits{gate.q0, gate.q1, gate.q2};
        std::size_t outside = qubits.size();
        for (std::size_t j = 0; j < qubits.size(); ++j) {
            const int q = block_.local[qubits[j]];
            if (q >= 0) {
                emit_owner(static_cast<std::uint64_t>(q));
            } else {
                outside = j;
            }
        }
        if (outside == qubits.size()) {
            Op op{};
            op.kind = OpKind::CcPhase;
            op.a = local(gate.q0);
            op.b = local(gate.q1);
            op.c = local(gate.q2);
            op.matrix.m[0] = phase;
            append(op);
            return;
        }
        const std::uint64_t a = qubits[(outside + 1) % 3], b = qubits[(outside + 2) % 3];
        push_factor({bit(a), bit(b), {ONE, ONE, ONE, phase}, bit(qubits[outside])});
    }

    void add_dense(const Gate& gate, const GateAngles& angles) {
        const bool two_qubit = gate.is_two_qubit();
        const std::uint64_t a = local(gate.q0);
        const std::uint64_t b = two_qubit ? local(gate.q1) : a;
        // A two-qubit gate first emits the components reaching beyond its own
        // pair; one-qubit components on its qubits, or a component on exactly
        // its pair, are multiplied in. A one-qubit gate always fits the
        // component holding its qubit.
        if (two_qubit) {
            for (const std::uint64_t q : {a, b}) {
                const std::size_t c = owner_[q];
                if (c == NONE) continue;
                const Component& touched = components_[c];
                const bool inside = (touched.lo == a || touched.lo == b) &&
                                    (touched.hi == a || touched.hi == b);
                if (!inside) emit_owner(q);
            }
        }
        std::uint64_t lo = std::min(a, b), hi = std::max(a, b);
        if (!two_qubit && owner_[a] != NONE) {
            lo = components_[owner_[a]].lo;
            hi = components_[owner_[a]].hi;
        }
        Component merged;
        merged.lo = lo;
        merged.hi = hi;
        if (!merged.pair()) {
            merged.one = Matrix2{{ONE, Amplitude{}, Amplitude{}, ONE}};
        } else {
            merged.two = identity4();
        }
        // Touched components are disjoint and all precede the gate, so their
        // products commute with each other and go first in any order.
        for (const std::uint64_t q : {a, b}) {
            const std::size_t c = owner_[q];
            if (c == NONE) continue;
            Component& touched = components_[c];
            if (merged.pair()) {
                merged.two = multiply(widened(touched, merged.lo), merged.two);
            } else {
                merged.one = touched.one;
            }
            merged.gate_count += touched.gate_count;
            merged.parts.insert(merged.parts.end(), touched.parts.begin(), touched.parts.end());
            merged.parts_valid = merged.parts_valid && touched.parts_valid;
            release(c);
        }
        if (two_qubit) {
            const Matrix4 g = local_matrix(gate, angles, global(merged.lo), global(merged.hi));
            merged.two = multiply(g, merged.two);
            add_part_2q(merged, gate, angles, a, b);
        } else {
            const Matrix2 u = one_qubit_matrix(gate, angles);
            if (merged.pair()) {
                merged.two = multiply(embed_one_qubit(u, a == merged.lo), merged.two);
            } else {
                merged.one = multiply(u, merged.one);
            }
            add_part_1q(merged, a, u, gate.kind == GateKind::X);
        }
        ++merged.gate_count;
        hold(merged);
    }

    // Appends a one-qubit matrix on q to the parts, multiplied into the last
    // part when that is a one-qubit part on q.
    static void add_part_1q(Component& c, std::uint64_t q, const Matrix2& g, bool is_x) {
        for (auto it = c.parts.rbegin(); it != c.parts.rend(); ++it) {
            const bool one_qubit = it->kind == OpKind::Dense1 || it->kind == OpKind::PermX;
            if (one_qubit && it->a == q) {
                it->kind = OpKind::Dense1;
                it->matrix = from_matrix2(multiply(g, as_matrix2(it->matrix)));
                return;
            }
            if (it->a == q || (!one_qubit && it->b == q)) break;
        }
        Op op{};
        op.kind = is_x && q >= 2 ? OpKind::PermX : OpKind::Dense1;
        op.a = op.b = q;
        op.matrix = from_matrix2(g);
        c.parts.push_back(op);
    }

    // Appends a two-qubit gate on local (a, b) = (q0, q1) to the parts in
    // its cheapest form.
    static void add_part_2q(Component& c, const Gate& gate, const GateAngles& angles,
                            std::uint64_t a, std::uint64_t b) {
        Op op{};
        op.a = a;
        op.b = b;
        const bool high = std::min(a, b) >= 2;
        if (gate.kind == GateKind::Cx) {
            op.kind = high ? OpKind::PermCx : OpKind::PermCxLanes;
        } else if (gate.kind == GateKind::Swap && high) {
            op.kind = OpKind::PermSwap;
        } else {
            // Its own matrix on the ordered pair (q0, q1), so local (a, b).
            op.kind = OpKind::Dense2;
            op.matrix = two_qubit_matrix(gate, angles);
        }
        c.parts.push_back(op);
    }

    void add_diagonal(const Gate& gate, const GateAngles& angles) {
        const DiagonalFactor factor = diagonal_factor(gate, angles);
        if (const auto* one = std::get_if<OneQubitDiagonal>(&factor)) {
            const int q = block_.local[gate.q0];
            if (q < 0) {
                push_factor({one->mask, 0, {one->d0, one->d1, one->d0, one->d1}, 0});
                return;
            }
            // On a block qubit the phase joins (or opens) the qubit's
            // component: the rotations that usually follow multiply into the
            // same 2x2, where a factor would cost a diagonal pass of its own.
            const Matrix2 d{{one->d0, Amplitude{}, Amplitude{}, one->d1}};
            const auto lq = static_cast<std::uint64_t>(q);
            if (owner_[lq] == NONE) {
                Component opened;
                opened.lo = opened.hi = lq;
                opened.one = d;
                opened.gate_count = 1;
                add_part_1q(opened, lq, d, false);
                hold(opened);
                return;
            }
            Component& c = components_[owner_[lq]];
            if (c.pair()) {
                c.two = multiply(embed_one_qubit(d, c.lo == lq), c.two);
            } else {
                c.one = multiply(d, c.one);
            }
            add_part_1q(c, lq, d, false);
            ++c.gate_count;
            return;
        }
        const auto& two = std::get<TwoQubitDiagonal>(factor);
        const int qa = block_.local[gate.q0], qb = block_.local[gate.q1];
        if (qa >= 0 && qb >= 0) {
            const std::size_t c = owner_[static_cast<std::uint64_t>(qa)];
            if (c != NONE && c == owner_[static_cast<std::uint64_t>(qb)]) {
                // e is indexed bit_q0 + 2 bit_q1; the component's basis is
                // bit_lo + 2 bit_hi.
                Component& pair = components_[c];
                const bool q0_is_lo = static_cast<std::uint64_t>(qa) == pair.lo;
                Matrix4 d{};
                for (std::size_t k = 0; k < 4; ++k) {
                    const std::size_t lo_bit = k & 1, hi_bit = k >> 1;
                    d.m[5 * k] = q0_is_lo ? two.e[lo_bit + 2 * hi_bit] : two.e[hi_bit + 2 * lo_bit];
                }
                pair.two = multiply(d, pair.two);
                ++pair.gate_count;
                pair.parts_valid = false;
                return;
            }
        }
        for (const int q : {qa, qb}) {
            if (q >= 0) emit_owner(static_cast<std::uint64_t>(q));
        }
        push_factor({two.mask_a, two.mask_b, two.e, 0});
    }

    std::uint64_t global(std::uint64_t q) const { return block_.qubits[q]; }

    static Matrix4 identity4() {
        Matrix4 m{};
        for (std::size_t k = 0; k < 4; ++k)
            m.m[5 * k] = ONE;
        return m;
    }

    void hold(const Component& c) {
        std::size_t slot = NONE;
        for (std::size_t i = 0; i < components_.size(); ++i) {
            if (components_[i].gate_count == 0) slot = i;
        }
        if (slot == NONE) {
            slot = components_.size();
            components_.push_back(c);
        } else {
            components_[slot] = c;
        }
        owner_[c.lo] = slot;
        owner_[c.hi] = slot;
    }

    void release(std::size_t c) {
        owner_[components_[c].lo] = NONE;
        owner_[components_[c].hi] = NONE;
        components_[c].gate_count = 0;
    }

    // Appends to the diagonal run the block ends with, or starts one. Legal
    // because nothing emitted since the run began touches the new factor's
    // qubits: their components were multiplied into or emitted before it.
    void push_factor(const Factor& factor) {
        if (block_.ops.empty() || block_.ops.back().kind != OpKind::Diagonal) {
            Op op{};
            op.kind = OpKind::Diagonal;
            op.first_factor = block_.factors.size();
            block_.ops.push_back(op);
            run_qubits_ = 0;
        }
        block_.factors.push_back(factor);
        ++block_.ops.back().factor_count;
        for (const std::uint64_t mask : {factor.mask_a, factor.mask_b}) {
            if (mask == 0) continue;
            const int q = block_.local[std::countr_zero(mask)];
            if (q >= 0) run_qubits_ |= bit(static_cast<std::uint64_t>(q));
        }
    }

    // Appends a non-diagonal operation. One on qubits the trailing diagonal
    // run leaves alone commutes with the whole run and goes before it, so the
    // run stays open: in a QAOA layer every ZZ factor lands in one run even
    // though each emits the rotations still pending on its qubits.
    void append(const Op& op) {
        std::uint64_t touched = bit(op.a) | bit(op.b);
        if (op.kind == OpKind::Ccx || op.kind == OpKind::Cswap || op.kind == OpKind::CcPhase) {
            touched |= bit(op.c);
        }
        if (!block_.ops.empty() && block_.ops.back().kind == OpKind::Diagonal &&
            (touched & run_qubits_) == 0) {
            block_.ops.insert(block_.ops.end() - 1, op);
            return;
        }
        block_.ops.push_back(op);
    }

    // A component whose product is diagonal (phases only, or gates that
    // cancelled exactly) joins the diagonal run instead: legal, because the
    // component held its qubits, so nothing emitted since it opened touches
    // them.
    bool emit_as_factor(const Component& c) {
        if (!c.pair()) {
            if (c.one.m[1] != Amplitude{} || c.one.m[2] != Amplitude{}) return false;
            const std::uint64_t mask = bit(global(c.lo));
            push_factor({mask, 0, {c.one.m[0], c.one.m[3], c.one.m[0], c.one.m[3]}, 0});
            return true;
        }
        for (std::size_t r = 0; r < 4; ++r) {
            for (std::size_t col = 0; col < 4; ++col) {
                if (r != col && c.two.m[4 * r + col] != Amplitude{}) return false;
            }
        }
        // The pair's basis is bit_lo + 2 bit_hi, as a factor's e is indexed
        // bit_a + 2 bit_b with a = lo.
        push_factor({bit(global(c.lo)), bit(global(c.hi)),
                     {c.two.m[0], c.two.m[5], c.two.m[10], c.two.m[15]}, 0});
        return true;
    }

    // Emits the component holding local qubit q, if any: its parts when they
    // cost no more than its product.
    void emit_owner(std::uint64_t q) {
        const std::size_t index = owner_[q];
        if (index == NONE) return;
        Component c = std::move(components_[index]);
        release(index);
        components_[index].parts.clear();
        if (emit_as_factor(c)) return;
        double parts_cost = 0.0;
        for (const Op& op : c.parts)
            parts_cost += op_cost(op.kind);
        const OpKind whole = c.pair() ? OpKind::Dense2 : OpKind::Dense1;
        if (c.parts_valid && parts_cost <= op_cost(whole)) {
            for (const Op& part : c.parts)
                append(part);
            return;
        }
        Op op{};
        op.kind = whole;
        op.a = c.lo;
        op.b = c.hi;
        op.matrix = c.pair() ? c.two : from_matrix2(c.one);
        append(op);
    }

    CompiledBlock& block_;
    const AngleSource& source_;
    std::vector<std::size_t> owner_;  // component of each local qubit, NONE if none
    std::vector<Component> components_;  // gate_count 0: a free slot
    std::uint64_t run_qubits_ = 0;  // local qubits the trailing diagonal run acts on
};

bool is_permutation(OpKind kind) noexcept {
    return kind == OpKind::PermX || kind == OpKind::PermCx || kind == OpKind::PermSwap;
}

// The local qubits an operation acts on, as a mask (a diagonal factor on a
// qubit outside the block acts on none).
std::uint64_t op_qubits(const CompiledBlock& block, const Op& op) {
    switch (op.kind) {
        case OpKind::Dense1:
        case OpKind::PermX:
            return bit(op.a);
        case OpKind::Diagonal: {
            std::uint64_t mask = 0;
            for (std::size_t f = op.first_factor; f < op.first_factor + op.factor_count; ++f) {
                for (const std::uint64_t global : {block.factors[f].mask_a, block.factors[f].mask_b}) {
                    if (global == 0) continue;
                    const int q = block.local[std::countr_zero(global)];
                    if (q >= 0) mask |= bit(static_cast<std::uint64_t>(q));
                }
            }
            return mask;
        }
        case OpKind::Ccx:
        case OpKind::Cswap:
        case OpKind::CcPhase:
            return bit(op.a) | bit(op.b) | bit(op.c);
        default:
            return bit(op.a) | bit(op.b);
    }
}

// Gathers permutations into runs: an operation on qubits no pending
// permutation touches moves ahead of them (operations on disjoint qubits
// commute), so the CX chains of layered circuits, split by the one-qubit
// gates on their targets, become one run, applied as one move.
void schedule_permutations(CompiledBlock& block) {
    std::vector<Op> scheduled;
    scheduled.reserve(block.ops.size());
    std::vector<Op> pending;
    std::uint64_t touched = 0;
    auto flush = [&] {
        if (pending.size() == 1) {
            scheduled.push_back(pending[0]);
        } else if (pending.size() > 1) {
            IndexPermutation product(block.k);
            for (const Op& p : pending) {
                if (p.kind == OpKind::PermX) product.x(p.a);
                if (p.kind == OpKind::PermCx) product.cx(p.a, p.b);
                if (p.kind == OpKind::PermSwap) product.swap(p.a, p.b);
            }
            product.finish();
            Op op{};
            op.kind = OpKind::PermLinear;
            op.first_factor = block.permutations.size();
            block.permutations.push_back(std::move(product));
            scheduled.push_back(op);
        }
        pending.clear();
        touched = 0;
    };
    for (const Op& op : block.ops) {
        if (is_permutation(op.kind)) {
            pending.push_back(op);
            touched |= op_qubits(block, op);
            continue;
        }
        if ((op_qubits(block, op) & touched) != 0) flush();
        scheduled.push_back(op);
    }
    flush();
    block.ops.swap(scheduled);
}

std::expected<CompiledBlock, SimError> compile_block(const FusionBlock& block,
                                                     std::span<const Gate> gates,
                                                     std::uint64_t n,
                                                     const AngleSource& source) {
    CompiledBlock out;
    out.k = block.qubits.size();
    out.qubits = block.qubits;
    out.local.fill(-1);
    for (std::size_t i = 0; i < block.qubits.size(); ++i)
        out.local[block.qubits[i]] = static_cast<int>(i);
    out.outside_mask = (n >= 64 ? ~std::uint64_t{0} : bit(n) - 1);
    for (const std::uint64_t q : block.qubits)
        out.outside_mask &= ~bit(q);
    while (out.run_bits < out.k && out.qubits[out.run_bits] == out.run_bits)
        ++out.run_bits;
    out.in_place = out.run_bits == out.k;
    if (!out.in_place) {
        const std::uint64_t runs = bit(out.k - out.run_bits);
        out.run_offsets.resize(runs);
        for (std::uint64_t r = 0; r < runs; ++r) {
            std::uint64_t offset = 0;
            for (std::uint64_t j = 0; j < out.k - out.run_bits; ++j) {
                if ((r & bit(j)) != 0) offset |= bit(out.qubits[out.run_bits + j]);
            }
            out.run_offsets[r] = offset;
        }
    }
    BlockCompiler compiler(out, source);
    for (const std::size_t index : block.gates) {
        if (auto ok = compiler.add(gates[index]); !ok) return std::unexpected(ok.error());
    }
    compiler.finish();
    schedule_permutations(out);
    out.gather_permuted = !out.in_place && !out.ops.empty() &&
                          out.ops.front().kind == OpKind::PermLinear &&
                          out.permutations[out.ops.front().first_factor].can_gather(out.run_bits);
    return out;
}

struct Buffer {
    std::unique_ptr<Amplitude[], AmplitudeDeleter> memory;
    std::size_t capacity = 0;

    Amplitude* get(std::size_t size) {
        if (capacity < size) {
            void* raw = std::aligned_alloc(AMPLITUDE_ALIGNMENT, size * sizeof(Amplitude));
            if (raw == nullptr) throw std::bad_alloc();
            memory.reset(static_cast<Amplitude*>(raw));
            capacity = size;
        }
        return memory.get();
    }
};

// Scratch owned by one thread and reused from chunk to chunk and block to
// block: the gathered chunk, the target of out-of-place permutations, and
// the chunk's localised diagonal factors.
struct ChunkScratch {
    Buffer gathered;
    Buffer spare;
    std::vector<DiagonalFactor> factors;

    Amplitude* chunk(std::size_t size) { return gathered.get(size); }
};

ChunkScratch& thread_scratch() {
    thread_local ChunkScratch scratch;
    return scratch;
}

// The chunk's diagonal factors in local terms, appended to `out`; constants
// multiplied into `scale`.
void localise(const CompiledBlock& block, std::span<const Factor> factors, std::uint64_t base,
              std::vector<DiagonalFactor>& out, Amplitude& scale) {
    for (const Factor& f : factors) {
        if ((base & f.condition) != f.condition) continue;
        const int qa = block.local[std::countr_zero(f.mask_a)];
        const bool a_set = (base & f.mask_a) != 0;
        if (f.mask_b == 0) {
            if (qa >= 0) {
                out.push_back(OneQubitDiagonal{bit(static_cast<std::uint64_t>(qa)), f.e[0], f.e[1]});
            } else {
                scale = mul(f.e[a_set ? 1 : 0], scale);
            }
            continue;
        }
        const int qb = block.local[std::countr_zero(f.mask_b)];
        const bool b_set = (base & f.mask_b) != 0;
        if (qa >= 0 && qb >= 0) {
            out.push_back(TwoQubitDiagonal{bit(static_cast<std::uint64_t>(qa)),
                                           bit(static_cast<std::uint64_t>(qb)), f.e});
        } else if (qa >= 0) {
            const std::size_t high = b_set ? 2 : 0;
            out.push_back(OneQubitDiagonal{bit(static_cast<std::uint64_t>(qa)), f.e[high],
                                           f.e[high + 1]});
        } else if (qb >= 0) {
            const std::size_t low = a_set ? 1 : 0;
            out.push_back(
                OneQubitDiagonal{bit(static_cast<std::uint64_t>(qb)), f.e[low], f.e[low + 2]});
        } else {
            scale = mul(f.e[(a_set ? 1 : 0) + (b_set ? 2 : 0)], scale);
        }
    }
}

void apply_diagonals(std::span<Amplitude> chunk, std::span<const DiagonalFactor> factors,
                     bool parallel) {
    if (factors.empty()) return;
    if (factors.size() == 1) {
        if (const auto* one = std::get_if<OneQubitDiagonal>(&factors[0])) {
            apply_diagonal_1q(chunk, static_cast<std::uint64_t>(std::countr_zero(one->mask)),
                              one->d0, one->d1, parallel);
        } else {
            const auto& two = std::get<TwoQubitDiagonal>(factors[0]);
            apply_diagonal_2q(chunk, static_cast<std::uint64_t>(std::countr_zero(two.mask_a)),
                              static_cast<std::uint64_t>(std::countr_zero(two.mask_b)), two.e,
                              parallel);
        }
        return;
    }
    apply_diagonal_run(chunk, factors, parallel);
}

// Runs the block's operations on one chunk of 2^k amplitudes; `base` is the
// chunk's global index bits outside the block. With `cancel`, a checkpoint
// runs before each operation (the whole-state chunk, on the simulating
// thread); chunk workers pass none. A permutation may leave the result in
// the spare buffer: with `finished_at` the caller is told where it is (a
// gathered chunk scatters from there), otherwise it is copied home.
[[nodiscard]] std::expected<void, SimError> run_ops(const CompiledBlock& block,
                                                    std::span<Amplitude> chunk,
                                                    std::uint64_t base, bool parallel,
                                                    ChunkScratch& scratch, CancelCheck* cancel,
                                                    Amplitude** finished_at = nullptr,
                                                    std::size_t first_op = 0) {
    const std::uint64_t k = block.k;
    Amplitude scale = ONE;
    // An out-of-place permutation moves the chunk between its home and the
    // spare buffer; it ends at home.
    const std::span<Amplitude> home = chunk;
    for (const Op& op : std::span<const Op>(block.ops).subspan(first_op)) {
        if (cancel != nullptr) {
            if (auto ok = cancel->checkpoint(); !ok) return ok;
        }
        switch (op.kind) {
            case OpKind::Dense1:
                apply_dense_1q(chunk, k, op.a, as_matrix2(op.matrix), parallel);
                break;
            case OpKind::Dense2:
                apply_dense_2q(chunk, k, op.a, op.b, op.matrix, parallel);
                break;
            case OpKind::PermX:
                apply_x_permutation(chunk, k, op.a);
                break;
            case OpKind::PermCx:
                apply_cx_permutation(chunk, k, op.a, op.b);
                break;
            case OpKind::PermCxLanes:
                apply_cx_lanes(chunk, k, op.a, op.b);
                break;
            case OpKind::PermSwap:
                apply_swap_permutation(chunk, k, op.a, op.b);
                break;
            case OpKind::PermLinear: {
                const std::span<Amplitude> next =
                    chunk.data() == home.data()
                        ? std::span<Amplitude>(scratch.spare.get(chunk.size()), chunk.size())
                        : home;
                block.permutations[op.first_factor].apply(chunk, next);
                chunk = next;
                break;
            }
            case OpKind::Ccx:
                apply_ccx(chunk, k, op.a, op.b, op.c, parallel);
                break;
            case OpKind::Cswap:
                apply_cswap(chunk, k, op.a, op.b, op.c, parallel);
                break;
            case OpKind::CcPhase:
                apply_ccphase(chunk, k, op.a, op.b, op.c, op.matrix.m[0], parallel);
                break;
            case OpKind::Diagonal: {
                scratch.factors.clear();
                localise(block,
                         std::span<const Factor>(block.factors).subspan(op.first_factor,
                                                                        op.factor_count),
                         base, scratch.factors, scale);
                apply_diagonals(chunk, scratch.factors, parallel);
                break;
            }
        }
    }
    if (scale != ONE) apply_diagonal_1q(chunk, 0, scale, scale, parallel);
    if (chunk.data() != home.data()) {
        if (finished_at == nullptr) {
            std::copy(chunk.begin(), chunk.end(), home.begin());
        } else {
            *finished_at = chunk.data();
        }
    }
    return {};
}

// Spreads chunk number c's bits over the block's outside qubits.
std::uint64_t chunk_base(const CompiledBlock& block, std::uint64_t c) noexcept {
    if (block.in_place) return c << block.k;
    std::uint64_t base = 0;
    for (std::uint64_t rest = block.outside_mask; rest != 0 && c != 0; rest &= rest - 1, c >>= 1) {
        if ((c & 1) != 0) base |= rest & (~rest + 1);
    }
    return base;
}

void run_chunk(const CompiledBlock& block, Amplitude* data, std::uint64_t c, bool parallel) {
    const std::uint64_t base = chunk_base(block, c);
    const std::size_t size = bit(block.k);
    ChunkScratch& scratch = thread_scratch();
    // Without a checkpoint run_ops has nothing that can fail.
    if (block.in_place) {
        (void)run_ops(block, {data + base, size}, base, parallel, scratch, nullptr);
        return;
    }
    Amplitude* buffer = scratch.chunk(size);
    std::size_t first_op = 0;
    if (block.gather_permuted) {
        block.permutations[block.ops.front().first_factor].gather(
            data + base, block.run_offsets, block.run_bits, {buffer, size});
        first_op = 1;
    } else {
        gather_runs(data + base, block.run_offsets, block.run_bits, buffer);
    }
    Amplitude* result = buffer;
    (void)run_ops(block, {buffer, size}, base, parallel, scratch, nullptr, &result, first_op);
    scatter_runs(result, block.run_offsets, block.run_bits, data + base);
}

// Chunks handed to the pool between two checkpoints, per thread: enough to
// keep fork/join cost small, few enough that Ctrl+C is noticed within
// milliseconds on the largest registers.
constexpr std::size_t CHUNKS_PER_THREAD_PER_CHECKPOINT = 8;

std::expected<void, SimError> apply_block(Statevector& state, const CompiledBlock& block,
                                          CancelCheck& cancel) {
    const std::uint64_t n = state.num_qubits();
    Amplitude* data = state.data();
    const std::uint64_t chunks = bit(n - block.k);
    if (chunks == 1) {
        // One chunk is the whole state: its kernels may use the pool, and a
        // checkpoint runs between operations, as gate by gate.
        return run_ops(block, state.amplitudes(), 0, state.parallel(), thread_scratch(), &cancel);
    }
    const bool parallel = state.parallel();
    const std::size_t threads = parallel ? std::max<std::size_t>(ThreadPool::global().num_threads(), 1) : 1;
    const std::size_t group = threads * CHUNKS_PER_THREAD_PER_CHECKPOINT;
    for (std::uint64_t start = 0; start < chunks; start += group) {
        if (auto ok = cancel.checkpoint(); !ok) return ok;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(group, chunks - start));
        auto body = [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c)
                run_chunk(block, data, start + c, false);
        };
        if (parallel) {
            parallel_for(count, 1, body);
        } else {
            body(0, count);
        }
    }
    return {};
}

}  // namespace

std::expected<void, SimError> apply_plan(Statevector& state, std::span<const Gate> gates,
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

}  // namespace morvane::sim
