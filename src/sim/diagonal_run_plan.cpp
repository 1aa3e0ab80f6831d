#include "sim/diagonal_run_plan.hpp"

#include <algorithm>
#include <variant>

#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

namespace {

void check_mask(std::uint64_t mask) {
    if (!std::has_single_bit(mask)) {
        internal_fault(concat("diagonal factor mask ", mask, " is not a single bit"));
    }
}

// The product of the two-qubit factors with one bit in the column and one in
// the row, as one table over the chunk. Row by row each such factor is a
// phase pair on its column bit, so a row's entries are the tensor product of
// those pairs: about two products per entry however many factors there are,
// against one per factor and entry when the factors are multiplied in one by
// one, which is cheaper for one or two factors.
void build_cross_table(RunPlan& plan, std::span<const StraddlingFactor> row_column) {
    const std::uint64_t width = bit(plan.column_bits);
    plan.cross.assign(width << plan.row_bits, Amplitude(1.0, 0.0));
    if (row_column.size() <= 2) {
        for (const StraddlingFactor& factor : row_column) {
            const std::uint64_t low = bit(factor.low_bit);
            for (std::uint64_t j = 0; j < plan.cross.size(); ++j) {
                const auto& phases =
                    (j & factor.high_mask) != 0 ? factor.when_high_set : factor.when_high_clear;
                plan.cross[j] = mul(phases[(j & low) != 0 ? 1 : 0], plan.cross[j]);
            }
        }
        return;
    }
    for (std::uint64_t h = 0; h < bit(plan.row_bits); ++h) {
        std::array<PhasePair, 12> pairs{};
        for (const StraddlingFactor& factor : row_column) {
            const auto& phases = ((h << plan.column_bits) & factor.high_mask) != 0
                                     ? factor.when_high_set
                                     : factor.when_high_clear;
            PhasePair& pair = pairs[factor.low_bit];
            pair.p0 = mul(phases[0], pair.p0);
            pair.p1 = mul(phases[1], pair.p1);
        }
        pair_table(plan.cross.data() + h * width, nullptr, 0, plan.column_bits, pairs);
    }
}

}  // namespace

RunPlan plan_diagonal_run(std::size_t size, std::span<const DiagonalFactor> factors) {
    RunPlan plan;
    const std::uint64_t chunk_len = std::min<std::uint64_t>(size, DIAGONAL_CHUNK);
    plan.chunk_bits = static_cast<unsigned>(std::countr_zero(chunk_len));
    plan.column_bits = std::min(plan.chunk_bits, MAX_COLUMN_BITS);
    plan.row_bits = plan.chunk_bits - plan.column_bits;
    plan.column_static.assign(bit(plan.column_bits), Amplitude(1.0, 0.0));
    plan.row_static.assign(bit(plan.row_bits), Amplitude(1.0, 0.0));
    const std::uint64_t low = chunk_len - 1, column = bit(plan.column_bits) - 1;
    std::vector<StraddlingFactor> row_column;

    for (const DiagonalFactor& factor : factors) {
        ChunkConstantFactor f{};
        if (const auto* one = std::get_if<OneQubitDiagonal>(&factor)) {
            check_mask(one->mask);
            f = {one->mask, 0, {one->d0, one->d1, one->d0, one->d1}};
        } else {
            const auto& two = std::get<TwoQubitDiagonal>(factor);
            check_mask(two.mask_a);
            check_mask(two.mask_b);
            if (two.mask_a == two.mask_b) internal_fault("two-qubit diagonal factor on one qubit");
            f = {two.mask_a, two.mask_b, two.e};
        }
        const std::uint64_t masks = f.mask_a | f.mask_b;
        // A two-qubit factor with one bit inside `inner` and one outside, as
        // a phase pair on the inner bit chosen by the outer one.
        auto split = [&f](std::uint64_t inner) -> StraddlingFactor {
            const bool a_inner = (f.mask_a & inner) != 0;
            const std::uint64_t inner_mask = a_inner ? f.mask_a : f.mask_b;
            const auto q = static_cast<unsigned>(std::countr_zero(inner_mask));
            if (a_inner) return {q, f.mask_b, {f.e[0], f.e[1]}, {f.e[2], f.e[3]}};
            return {q, f.mask_a, {f.e[0], f.e[2]}, {f.e[1], f.e[3]}};
        };
        if ((masks & low) == 0) {
            plan.constant.push_back(f);
        } else if ((masks & ~low) != 0) {
            plan.straddling.push_back(split(low));
        } else if ((masks & ~column) == 0) {
            for (std::uint64_t k = 0; k < plan.column_static.size(); ++k) {
                plan.column_static[k] = mul(f.at(k), plan.column_static[k]);
            }
        } else if ((masks & column) == 0) {
            for (std::uint64_t h = 0; h < plan.row_static.size(); ++h) {
                plan.row_static[h] = mul(f.at(h << plan.column_bits), plan.row_static[h]);
            }
        } else {
            row_column.push_back(split(column));
        }
    }
    if (!row_column.empty()) build_cross_table(plan, row_column);
    return plan;
}

}  // namespace morvane::sim
