#include "observable/expectation_plan.hpp"

#include <bit>
#include <map>

#include "sim/pauli_sweep.hpp"
#include "support/debug_string.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::observable {

namespace {

std::unexpected<ObservableError> invalid(std::string message) {
    return std::unexpected(ObservableError(Invalid{std::move(message)}));
}

// One observable as real-weighted Pauli strings (x, z -> weight) and a constant.
struct RealExpansion {
    std::map<std::pair<std::uint64_t, std::uint64_t>, double> strings;
    double constant = 0.0;

    void add(std::uint64_t x, std::uint64_t z, double weight) {
        if (x == 0 && z == 0) {
            constant += weight;
        } else {
            strings[{x, z}] += weight;
        }
    }
};

std::expected<RealExpansion, ObservableError> expand(std::size_t index, const PauliSum& sum,
                                                     const Readout& readout) {
    if (sum.num_qubits() != readout.num_qubits) {
        return invalid(concat("observable ", index, " acts on ", sum.num_qubits(),
                              " qubits, but the circuit has ", readout.num_qubits));
    }
    RealExpansion out;
    for (const PauliTerm& term : sum.terms()) {
        if (term.coefficient.imag() != 0.0) {
            return invalid(concat("observable ", index, " has the complex coefficient (",
                                  term.coefficient.real(),
                                  std::signbit(term.coefficient.imag()) ? "" : "+",
                                  term.coefficient.imag(), "j) on ",
                                  debug_quote(sum.label(term)),
                                  "; an expectation value needs real coefficients (a Hermitian "
                                  "observable)"));
        }
        out.add(term.x, term.z, term.coefficient.real());
    }
    return out;
}

// The qubit whose measurement each of the first `num_vars` bits of a counts
// key reads; absent for a bit nothing writes (it reads 0).
std::expected<std::vector<std::optional<std::uint64_t>>, ObservableError> qubits_read(
    std::size_t index, std::uint64_t num_vars, const Readout& readout) {
    if (num_vars > readout.key_width) {
        return invalid(concat("observable ", index, " is a cost over ", num_vars,
                              " variables, but the circuit's counts keys have ",
                              readout.key_width,
                              " bits (one per classical bit, or per qubit when it measures "
                              "nothing); measure into at least ",
                              num_vars, " classical bits"));
    }
    std::vector<std::optional<std::uint64_t>> qubit_of(num_vars);
    if (readout.measurements.empty()) {
        for (std::uint64_t k = 0; k < num_vars && k < readout.num_qubits; ++k) qubit_of[k] = k;
        return qubit_of;
    }
    for (const auto& [qubit, clbit] : readout.measurements) {
        if (clbit >= num_vars || qubit >= readout.num_qubits) continue;
        if (qubit_of[clbit] && *qubit_of[clbit] != qubit) {
            return invalid(concat("observable ", index, " reads classical bit ", clbit,
                                  ", which the measurements of qubits ", *qubit_of[clbit],
                                  " and ", qubit,
                                  " both write; an exact expectation needs one qubit per bit "
                                  "it reads"));
        }
        qubit_of[clbit] = qubit;
    }
    return qubit_of;
}

// scale * (constant + sum L_k x_k + sum w x_i x_j) with x = (1 - Z) / 2 on the
// qubit read into each bit.
std::expected<RealExpansion, ObservableError> expand(std::size_t index, const QuboModel& model,
                                                     const Readout& readout) {
    auto qubit_of = qubits_read(index, model.num_vars(), readout);
    if (!qubit_of) return std::unexpected(std::move(qubit_of.error()));
    const double s = model.scale();
    RealExpansion out;
    out.constant = s * model.constant();
    const auto bit = [](std::uint64_t q) { return std::uint64_t{1} << q; };
    // weight * x_q
    const auto linear = [&](std::uint64_t q, double weight) {
        out.add(0, 0, 0.5 * weight);
        out.add(0, bit(q), -0.5 * weight);
    };
    for (std::uint64_t k = 0; k < model.num_vars(); ++k) {
        if (model.linear()[k] != 0.0 && (*qubit_of)[k]) linear(*(*qubit_of)[k], s * model.linear()[k]);
    }
    for (const QuadraticTerm& term : model.quadratic()) {
        const auto a = (*qubit_of)[term.i], b = (*qubit_of)[term.j];
        if (!a || !b) continue;  // a bit nothing writes reads 0
        const double w = s * term.coefficient;
        if (*a == *b) {
            linear(*a, w);  // x x = x
            continue;
        }
        out.add(0, 0, 0.25 * w);
        out.add(0, bit(*a), -0.25 * w);
        out.add(0, bit(*b), -0.25 * w);
        out.add(0, bit(*a) | bit(*b), 0.25 * w);
    }
    return out;
}

}  // namespace

std::expected<ExpectationPlan, ObservableError> ExpectationPlan::build(
    std::span<const ExactObservable> observables, const Readout& readout) {
    ExpectationPlan plan;
    plan.num_qubits_ = readout.num_qubits;
    plan.constants_.assign(observables.size(), 0.0);
    // Groups by X part, and within each the index of every Z mask.
    std::map<std::uint64_t, std::size_t> group_of;
    std::vector<std::map<std::uint64_t, std::size_t>> z_index_of;
    for (std::size_t o = 0; o < observables.size(); ++o) {
        auto expansion = std::visit(
            [&](const auto& observable) { return expand(o, *observable, readout); },
            observables[o]);
        if (!expansion) return std::unexpected(std::move(expansion.error()));
        plan.constants_[o] = expansion->constant;
        for (const auto& [mask, weight] : expansion->strings) {
            if (weight == 0.0) continue;
            const auto [x, z] = mask;
            auto [group, added] = group_of.try_emplace(x, plan.groups_.size());
            if (added) {
                plan.groups_.push_back(Group{x, {}});
                z_index_of.emplace_back();
            }
            Group& g = plan.groups_[group->second];
            auto [z_slot, new_z] = z_index_of[group->second].try_emplace(z, g.z_masks.size());
            if (new_z) g.z_masks.push_back(z);
            plan.terms_.push_back(Term{o, group->second, z_slot->second, weight,
                                       static_cast<unsigned>(std::popcount(x & z) & 3)});
        }
    }
    return plan;
}

template <class Real>
void ExpectationPlan::evaluate(std::type_identity_t<std::span<const std::complex<Real>>> state,
                               bool parallel, std::span<double> out) const {
    if (state.size() != (std::size_t{1} << num_qubits_) || out.size() != constants_.size()) {
        internal_fault("ExpectationPlan::evaluate: a state or output of the wrong size");
    }
    std::copy(constants_.begin(), constants_.end(), out.begin());
    std::vector<std::vector<std::complex<double>>> sums;
    sums.reserve(groups_.size());
    for (const Group& group : groups_) {
        sums.push_back(sim::pauli_correlations<Real>(state, group.x, group.z_masks, parallel));
    }
    for (const Term& term : terms_) {
        const std::complex<double> s = sums[term.group][term.z_index];
        // Re((-i)^k s)
        const double value = term.phase == 0   ? s.real()
                             : term.phase == 1 ? s.imag()
                             : term.phase == 2 ? -s.real()
                                               : -s.imag();
        out[term.observable] += term.coefficient * value;
    }
}

template void ExpectationPlan::evaluate<double>(std::span<const std::complex<double>>, bool,
                                                std::span<double>) const;
template void ExpectationPlan::evaluate<float>(std::span<const std::complex<float>>, bool,
                                               std::span<double>) const;

}  // namespace morvane::observable
