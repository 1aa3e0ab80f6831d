#include "observable/pauli_sum.hpp"

#include <algorithm>
#include <cmath>

#include "support/debug_string.hpp"
#include "support/text.hpp"

namespace morvane::observable {

namespace {

std::unexpected<ObservableError> invalid(std::string message) {
    return std::unexpected(ObservableError(Invalid{std::move(message)}));
}

std::string coefficient_text(std::complex<double> c) {
    if (c.imag() == 0.0) return concat(c.real());
    return concat("(", c.real(), std::signbit(c.imag()) ? "" : "+", c.imag(), "j)");
}

// The whole (UTF-8) character at byte k, for a message that names it.
std::string_view letter_at(std::string_view letters, std::size_t k) {
    const auto lead = static_cast<unsigned char>(letters[k]);
    const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
    return letters.substr(k, length);
}

bool is_projector(char c) {
    return c == '0' || c == '1' || c == '+' || c == '-' || c == 'r' || c == 'l';
}

// Every letter is known; checked before any length, so that a label with a
// letter outside the alphabet is refused for that letter.
std::expected<void, ObservableError> check_letters(std::size_t index, std::string_view letters) {
    for (std::size_t k = 0; k < letters.size(); ++k) {
        const char c = letters[k];
        if (c == 'I' || c == 'X' || c == 'Y' || c == 'Z' || is_projector(c)) continue;
        return invalid(concat("term ", index, " has the letter ",
                              debug_quote_char(letter_at(letters, k)),
                              "; a term's letters are I, X, Y, Z or the projectors 0, 1, +, -, "
                              "r, l"));
    }
    return {};
}

// Appends the strings of one term, its projectors expanded, to `out`.
std::expected<void, ObservableError> expand_term(std::size_t index, std::string_view letters,
                                                 std::span<const std::uint64_t> qubits,
                                                 std::complex<double> coefficient,
                                                 std::uint64_t num_qubits,
                                                 std::vector<PauliTerm>& out) {
    if (auto known = check_letters(index, letters); !known) return known;
    if (letters.size() != qubits.size()) {
        return invalid(concat("term ", index, " names ", letters.size(), " letters for ",
                              qubits.size(), " qubits; give one qubit per letter"));
    }
    if (!std::isfinite(coefficient.real()) || !std::isfinite(coefficient.imag())) {
        return invalid(concat("term ", index, " has a non-finite coefficient ",
                              coefficient_text(coefficient)));
    }
    std::uint64_t seen = 0;
    std::size_t projectors = 0;
    for (std::size_t k = 0; k < letters.size(); ++k) {
        const std::uint64_t q = qubits[k];
        if (q >= num_qubits) {
            return invalid(concat("term ", index, " acts on qubit ", q, ", out of range for ",
                                  num_qubits, " qubits"));
        }
        if ((seen >> q) & 1) {
            return invalid(concat("term ", index, " names qubit ", q,
                                  " twice; give each qubit at most one letter"));
        }
        seen |= std::uint64_t{1} << q;
        if (is_projector(letters[k])) ++projectors;
    }
    if (projectors > PauliSum::MAX_PROJECTORS) {
        return invalid(concat("term ", index, " has ", projectors,
                              " projector letters (0 1 + - r l), which expand into 2^", projectors,
                              " Pauli strings; at most ", PauliSum::MAX_PROJECTORS,
                              " per term are expanded"));
    }
    const std::size_t first = out.size();
    out.push_back(PauliTerm{0, 0, coefficient});
    for (std::size_t k = 0; k < letters.size(); ++k) {
        const std::uint64_t bit = std::uint64_t{1} << qubits[k];
        const char letter = letters[k];
        const bool on_x = letter == 'X' || letter == 'Y' || letter == '+' || letter == '-' ||
                          letter == 'r' || letter == 'l';
        const bool on_z = letter == 'Z' || letter == 'Y' || letter == '0' || letter == '1' ||
                          letter == 'r' || letter == 'l';
        if (letter == 'I') continue;
        if (letter == 'X' || letter == 'Y' || letter == 'Z') {
            for (std::size_t t = first; t < out.size(); ++t) {
                out[t].x |= on_x ? bit : 0;
                out[t].z |= on_z ? bit : 0;
            }
            continue;
        }
        // A projector (I +- P) / 2: every string so far splits in two.
        const double sign = letter == '1' || letter == '-' || letter == 'l' ? -1.0 : 1.0;
        const std::size_t end = out.size();
        for (std::size_t t = first; t < end; ++t) {
            out[t].coefficient *= 0.5;
            out.push_back(PauliTerm{out[t].x | (on_x ? bit : 0), out[t].z | (on_z ? bit : 0),
                                    out[t].coefficient * sign});
        }
    }
    return {};
}

}  // namespace

std::expected<PauliSum, ObservableError> PauliSum::from_terms(std::vector<PauliTerm> terms,
                                                              std::uint64_t num_qubits) {
    if (num_qubits > MAX_QUBITS) {
        return invalid(concat("a Pauli sum acts on at most ", MAX_QUBITS, " qubits, got ",
                              num_qubits));
    }
    std::sort(terms.begin(), terms.end(), [](const PauliTerm& a, const PauliTerm& b) {
        return a.x != b.x ? a.x < b.x : a.z < b.z;
    });
    PauliSum sum;
    sum.num_qubits_ = num_qubits;
    for (const PauliTerm& term : terms) {
        if (!sum.terms_.empty() && sum.terms_.back().x == term.x && sum.terms_.back().z == term.z) {
            sum.terms_.back().coefficient += term.coefficient;
        } else {
            sum.terms_.push_back(term);
        }
    }
    std::erase_if(sum.terms_, [](const PauliTerm& t) { return t.coefficient == 0.0; });
    return sum;
}

std::expected<PauliSum, ObservableError> PauliSum::from_sparse(std::span<const SparseTermText> terms,
                                                               std::uint64_t num_qubits) {
    if (num_qubits > MAX_QUBITS) {
        return invalid(concat("a Pauli sum acts on at most ", MAX_QUBITS, " qubits, got ",
                              num_qubits));
    }
    std::vector<PauliTerm> expanded;
    expanded.reserve(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i) {
        if (auto ok = expand_term(i, terms[i].letters, terms[i].qubits, terms[i].coefficient,
                                  num_qubits, expanded);
            !ok) {
            return std::unexpected(std::move(ok.error()));
        }
    }
    return from_terms(std::move(expanded), num_qubits);
}

std::expected<PauliSum, ObservableError> PauliSum::from_labels(
    std::span<const std::pair<std::string_view, std::complex<double>>> terms,
    std::optional<std::uint64_t> num_qubits) {
    if (!num_qubits && terms.empty()) {
        return invalid("a Pauli sum without terms needs num_qubits");
    }
    const std::uint64_t n = num_qubits ? *num_qubits : terms.front().first.size();
    if (n > MAX_QUBITS) {
        return invalid(concat("a Pauli sum acts on at most ", MAX_QUBITS, " qubits, got ", n));
    }
    // Label position p is qubit n - 1 - p.
    std::vector<std::uint64_t> qubits(n);
    for (std::uint64_t p = 0; p < n; ++p) qubits[p] = n - 1 - p;
    std::vector<PauliTerm> expanded;
    expanded.reserve(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i) {
        const std::string_view label = terms[i].first;
        if (auto known = check_letters(i, label); !known) return std::unexpected(known.error());
        if (label.size() != n) {
            return invalid(concat("term ", i, " has the label ", debug_quote(std::string(label)),
                                  " of ", label.size(), " letters, but the sum acts on ", n,
                                  " qubits; every label needs one letter per qubit"));
        }
        if (auto ok = expand_term(i, label, qubits, terms[i].second, n, expanded); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
    }
    return from_terms(std::move(expanded), n);
}

std::string PauliSum::label(const PauliTerm& term) const {
    std::string text(num_qubits_, 'I');
    for (std::uint64_t q = 0; q < num_qubits_; ++q) {
        const bool x = (term.x >> q) & 1, z = (term.z >> q) & 1;
        text[num_qubits_ - 1 - q] = x ? (z ? 'Y' : 'X') : (z ? 'Z' : 'I');
    }
    return text;
}

}  // namespace morvane::observable
