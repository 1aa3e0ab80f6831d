#include "sim/chunk_interpreter.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <variant>
#include <vector>

#include "sim/index_math.hpp"
#include "sim/kernels.hpp"
#include "sim/permutations.hpp"
#include "support/thread_pool.hpp"

// How a compiled block runs on the state
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

namespace morvane::sim {

namespace {

constexpr Amplitude ONE{1.0, 0.0};

template <class Real>
struct Buffer {
    AmplitudeBufferOf<Real> memory;
    std::size_t capacity = 0;

    std::complex<Real>* get(std::size_t size) {
        if (capacity < size) {
            memory = allocate_amplitudes<Real>(size);
            capacity = size;
        }
        return memory.get();
    }
};

// Scratch owned by one thread and reused from chunk to chunk and block to
// block: the gathered chunk, the target of out-of-place permutations, and
// the chunk's localised diagonal factors.
template <class Real>
struct ChunkScratch {
    Buffer<Real> gathered;
    Buffer<Real> spare;
    std::vector<DiagonalFactor> factors;

    std::complex<Real>* chunk(std::size_t size) { return gathered.get(size); }
};

template <class Real>
ChunkScratch<Real>& thread_scratch() {
    thread_local ChunkScratch<Real> scratch;
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

template <class Real>
void apply_diagonals(std::span<std::complex<Real>> chunk, std::span<const DiagonalFactor> factors,
                     bool parallel) {
    if (factors.empty()) return;
    if (factors.size() == 1) {
        if (const auto* one = std::get_if<OneQubitDiagonal>(&factors[0])) {
            apply_diagonal_1q<Real>(chunk, static_cast<std::uint64_t>(std::countr_zero(one->mask)),
                                    one->d0, one->d1, parallel);
        } else {
            const auto& two = std::get<TwoQubitDiagonal>(factors[0]);
            apply_diagonal_2q<Real>(chunk, static_cast<std::uint64_t>(std::countr_zero(two.mask_a)),
                                    static_cast<std::uint64_t>(std::countr_zero(two.mask_b)), two.e,
                                    parallel);
        }
        return;
    }
    apply_diagonal_run<Real>(chunk, factors, parallel);
}

// Runs the block's operations on one chunk of 2^k amplitudes; `base` is the
// chunk's global index bits outside the block. With `cancel`, a checkpoint
// runs before each operation (the whole-state chunk, on the simulating
// thread); chunk workers pass none. A permutation may leave the result in
// the spare buffer: with `finished_at` the caller is told where it is (a
// gathered chunk scatters from there), otherwise it is copied home.
template <class Real>
[[nodiscard]] std::expected<void, SimError> run_ops(
    const CompiledBlock& block, std::span<std::complex<Real>> chunk, std::uint64_t base,
    bool parallel, ChunkScratch<Real>& scratch, CancelCheck* cancel,
    std::complex<Real>** finished_at = nullptr, std::size_t first_op = 0) {
    const std::uint64_t k = block.k;
    Amplitude scale = ONE;
    // An out-of-place permutation moves the chunk between its home and the
    // spare buffer; it ends at home.
    const std::span<std::complex<Real>> home = chunk;
    for (const Op& op : std::span<const Op>(block.ops).subspan(first_op)) {
        if (cancel != nullptr) {
            if (auto ok = cancel->checkpoint(); !ok) return ok;
        }
        switch (op.kind) {
            case OpKind::Dense1:
                apply_dense_1q<Real>(chunk, k, op.a, as_matrix2(op.matrix), parallel);
                break;
            case OpKind::Dense2:
                apply_dense_2q<Real>(chunk, k, op.a, op.b, op.matrix, parallel);
                break;
            case OpKind::PermX:
                apply_x_permutation<Real>(chunk, k, op.a);
                break;
            case OpKind::PermCx:
                apply_cx_permutation<Real>(chunk, k, op.a, op.b);
                break;
            case OpKind::PermCxLanes:
                apply_cx_lanes<Real>(chunk, k, op.a, op.b);
                break;
            case OpKind::PermSwap:
                apply_swap_permutation<Real>(chunk, k, op.a, op.b);
                break;
            case OpKind::PermLinear: {
                const std::span<std::complex<Real>> next =
                    chunk.data() == home.data() ? std::span<std::complex<Real>>(
                                                      scratch.spare.get(chunk.size()), chunk.size())
                                                : home;
                block.permutations[op.permutation].apply<Real>(
                    std::span<const std::complex<Real>>(chunk), next);
                chunk = next;
                break;
            }
            case OpKind::Ccx:
                apply_ccx<Real>(chunk, k, op.a, op.b, op.c, parallel);
                break;
            case OpKind::Cswap:
                apply_cswap<Real>(chunk, k, op.a, op.b, op.c, parallel);
                break;
            case OpKind::CcPhase:
                apply_ccphase<Real>(chunk, k, op.a, op.b, op.c, op.matrix.m[0], parallel);
                break;
            case OpKind::Diagonal: {
                scratch.factors.clear();
                localise(block,
                         std::span<const Factor>(block.factors).subspan(op.first_factor,
                                                                        op.factor_count),
                         base, scratch.factors, scale);
                apply_diagonals<Real>(chunk, scratch.factors, parallel);
                break;
            }
        }
    }
    if (scale != ONE) apply_diagonal_1q<Real>(chunk, 0, scale, scale, parallel);
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

template <class Real>
void run_chunk(const CompiledBlock& block, std::complex<Real>* data, std::uint64_t c,
               bool parallel) {
    const std::uint64_t base = chunk_base(block, c);
    const std::size_t size = bit(block.k);
    ChunkScratch<Real>& scratch = thread_scratch<Real>();
    // Without a checkpoint run_ops has nothing that can fail.
    if (block.in_place) {
        (void)run_ops<Real>(block, {data + base, size}, base, parallel, scratch, nullptr);
        return;
    }
    std::complex<Real>* buffer = scratch.chunk(size);
    std::size_t first_op = 0;
    if (block.gather_permuted) {
        block.permutations[block.ops.front().permutation].gather<Real>(
            data + base, block.run_offsets, block.run_bits, {buffer, size});
        first_op = 1;
    } else {
        gather_runs(data + base, block.run_offsets, block.run_bits, buffer);
    }
    std::complex<Real>* result = buffer;
    (void)run_ops<Real>(block, {buffer, size}, base, parallel, scratch, nullptr, &result, first_op);
    scatter_runs(result, block.run_offsets, block.run_bits, data + base);
}

// Chunks handed to the pool between two checkpoints, per thread: enough to
// keep fork/join cost small, few enough that Ctrl+C is noticed within
// milliseconds on the largest registers.
constexpr std::size_t CHUNKS_PER_THREAD_PER_CHECKPOINT = 8;

}  // namespace

template <class Real>
std::expected<void, SimError> apply_block(BasicStatevector<Real>& state, const CompiledBlock& block,
                                          CancelCheck& cancel) {
    const std::uint64_t n = state.num_qubits();
    std::complex<Real>* data = state.data();
    const std::uint64_t chunks = bit(n - block.k);
    if (chunks == 1) {
        // One chunk is the whole state: its kernels may use the pool, and a
        // checkpoint runs between operations, as gate by gate.
        return run_ops<Real>(block, state.amplitudes(), 0, state.parallel(), thread_scratch<Real>(),
                             &cancel);
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

template std::expected<void, SimError> apply_block(Statevector&, const CompiledBlock&,
                                                   CancelCheck&);
template std::expected<void, SimError> apply_block(SingleStatevector&, const CompiledBlock&,
                                                   CancelCheck&);

}  // namespace morvane::sim
