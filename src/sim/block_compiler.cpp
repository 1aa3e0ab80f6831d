#include "sim/block_compiler.hpp"

#include <bit>
#include <variant>

#include "sim/gate_matrices.hpp"
#include "sim/index_math.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

// How a block is compiled
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
        if (!block_.ops.empty() && block_.ops.back().kind == OpKind::Diagonal &&
            (op_qubits(block_, op) & run_qubits_) == 0) {
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
            op.permutation = block.permutations.size();
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

}  // namespace

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
                          out.permutations[out.ops.front().permutation].can_gather(out.run_bits);
    return out;
}

}  // namespace morvane::sim
