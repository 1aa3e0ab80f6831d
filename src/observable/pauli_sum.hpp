#pragma once

#include <complex>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "observable/observable_error.hpp"

namespace morvane::observable {

// One Pauli string in symplectic form: bit q of `x` is set where the string
// has X or Y on qubit q, bit q of `z` where it has Z or Y. So Y is both bits,
// and the string is i^{|x & z|} X^x Z^z.
struct PauliTerm {
    std::uint64_t x = 0;
    std::uint64_t z = 0;
    std::complex<double> coefficient;

    bool operator==(const PauliTerm&) const = default;
};

// A term as the user writes it, before expansion: one letter per qubit named.
// Letters: I X Y Z, and the projectors 0 1 (onto Z's eigenstates), + - (X's)
// and r l (Y's), each (I +- P) / 2, which expand into Pauli strings.
struct SparseTermText {
    std::string_view letters;
    std::span<const std::uint64_t> qubits;
    std::complex<double> coefficient;
};

// A weighted sum of Pauli strings on num_qubits qubits, qubit 0 being bit 0 of
// a basis index. Immutable once built; canonical, so two sums of the same
// operator compare equal: terms sorted by (x, z), equal strings merged, terms
// whose merged coefficient is exactly zero dropped.
class PauliSum {
public:
    // The widest sum: one bit per qubit in a 64-bit mask.
    static constexpr std::uint64_t MAX_QUBITS = 64;
    // Projector letters in one term expand into 2^k strings; more than this
    // many in one term is refused rather than expanded.
    static constexpr std::size_t MAX_PROJECTORS = 16;

    // From (label, coefficient) pairs in Qiskit's order: the rightmost letter
    // is qubit 0. Every label has the same length, which is num_qubits; with
    // no term at all `num_qubits` must be given.
    [[nodiscard]] static std::expected<PauliSum, ObservableError> from_labels(
        std::span<const std::pair<std::string_view, std::complex<double>>> terms,
        std::optional<std::uint64_t> num_qubits);

    // From sparse terms: letters[k] acts on qubits[k].
    [[nodiscard]] static std::expected<PauliSum, ObservableError> from_sparse(
        std::span<const SparseTermText> terms, std::uint64_t num_qubits);

    // From terms already in symplectic form (canonicalised here).
    [[nodiscard]] static std::expected<PauliSum, ObservableError> from_terms(
        std::vector<PauliTerm> terms, std::uint64_t num_qubits);

    std::uint64_t num_qubits() const noexcept { return num_qubits_; }
    const std::vector<PauliTerm>& terms() const noexcept { return terms_; }

    // The label of a term in Qiskit's order (qubit 0 rightmost).
    std::string label(const PauliTerm& term) const;

    bool operator==(const PauliSum&) const = default;

private:
    PauliSum() = default;

    std::uint64_t num_qubits_ = 0;
    std::vector<PauliTerm> terms_;
};

}  // namespace morvane::observable
