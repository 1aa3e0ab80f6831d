#pragma once

#include <complex>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "observable/observable_error.hpp"
#include "observable/pauli_sum.hpp"
#include "observable/qubo.hpp"

namespace morvane::observable {

// An observable whose exact expectation on a state is asked for: a Pauli sum
// over the circuit's qubits, or a QUBO / Ising cost read the way its counts
// reduction reads a measurement.
using ExactObservable =
    std::variant<std::shared_ptr<const PauliSum>, std::shared_ptr<const QuboModel>>;

// How a circuit's qubits become the bits of a counts key, for the costs that
// read keys: the (qubit, classical bit) pairs of its measurements, or none
// when it measures nothing and the key is the basis index itself.
struct Readout {
    std::uint64_t num_qubits = 0;
    // Characters of every counts key.
    std::uint64_t key_width = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> measurements;
};

// The passes that give the exact expectations of a list of observables on a
// state, planned once and used for every state of a batch.
//
// Every observable is first written as real-weighted Pauli strings plus a
// constant: a QUBO's bits through x = (1 - Z) / 2 on the qubit measured into
// them, its scale folded in, so that its exact value is the mean of the cost
// its counts reduction gives each outcome, weighted by the outcome's
// probability. Then the strings of all observables are grouped by their X
// part: the diagonal strings (Z and I only) share one pass, and every other
// distinct X part costs one pass, whatever the number of strings in it
// (sim::pauli_correlations). Identity terms and constants cost none.
class ExpectationPlan {
public:
    // Refuses (naming the observable by its position): a Pauli sum over
    // another number of qubits than the circuit's, a complex coefficient, a
    // cost over more variables than the counts key has bits, and a cost
    // reading a classical bit that several measurements write.
    [[nodiscard]] static std::expected<ExpectationPlan, ObservableError> build(
        std::span<const ExactObservable> observables, const Readout& readout);

    std::uint64_t num_qubits() const noexcept { return num_qubits_; }
    std::size_t num_observables() const noexcept { return constants_.size(); }
    // Passes over a state that evaluate() makes.
    std::size_t sweeps() const noexcept { return groups_.size(); }

    // One value per observable, in order, for a state of num_qubits() qubits
    // (anything else is an internal fault), written to `out`. `parallel`
    // splits each pass over the shared pool; the values do not depend on it.
    // The state in either precision (Real is double or float); the sums are
    // formed in double.
    template <class Real = double>
    void evaluate(std::type_identity_t<std::span<const std::complex<Real>>> state, bool parallel,
                  std::span<double> out) const;

  private:
    ExpectationPlan() = default;

    struct Group {
        std::uint64_t x = 0;
        std::vector<std::uint64_t> z_masks;
    };
    struct Term {
        std::size_t observable = 0;
        std::size_t group = 0;
        std::size_t z_index = 0;
        double coefficient = 0.0;
        // k of the factor (-i)^k that turns the pass's sum into this string's value.
        unsigned phase = 0;
    };

    std::uint64_t num_qubits_ = 0;
    std::vector<Group> groups_;
    std::vector<Term> terms_;
    std::vector<double> constants_;
};

}  // namespace morvane::observable
