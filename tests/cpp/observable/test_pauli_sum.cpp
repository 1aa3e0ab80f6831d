#include <gtest/gtest.h>

#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "observable/pauli_sum.hpp"

using namespace morvane::observable;
using Labelled = std::pair<std::string_view, std::complex<double>>;

namespace {

PauliSum labels(std::vector<Labelled> terms, std::optional<std::uint64_t> n = std::nullopt) {
    auto sum = PauliSum::from_labels(terms, n);
    EXPECT_TRUE(sum.has_value()) << sum.error().message();
    return sum.value_or(PauliSum::from_terms({}, 1).value());
}

std::string refusal(std::vector<Labelled> terms, std::optional<std::uint64_t> n = std::nullopt) {
    auto sum = PauliSum::from_labels(terms, n);
    EXPECT_FALSE(sum.has_value());
    return sum ? std::string() : sum.error().message();
}

}  // namespace

TEST(PauliSum, LabelsReadQubitZeroRightmostAndYIsBothBits) {
    const PauliSum sum = labels({{"XIZ", 0.5}, {"IYI", -2.0}});
    ASSERT_EQ(sum.num_qubits(), 3u);
    // Sorted by (x, z): IYI has x = 0b010, XIZ has x = 0b100.
    ASSERT_EQ(sum.terms().size(), 2u);
    EXPECT_EQ(sum.terms()[0], (PauliTerm{0b010, 0b010, -2.0}));
    EXPECT_EQ(sum.terms()[1], (PauliTerm{0b100, 0b001, 0.5}));
    EXPECT_EQ(sum.label(sum.terms()[1]), "XIZ");
    EXPECT_EQ(sum.label(sum.terms()[0]), "IYI");
}

TEST(PauliSum, EqualStringsMergeAndExactZerosVanish) {
    const PauliSum merged = labels({{"ZZ", 1.0}, {"XI", 2.0}, {"ZZ", 0.5}, {"XI", -2.0}});
    EXPECT_EQ(merged, labels({{"ZZ", 1.5}}, 2));
    EXPECT_FALSE(merged == labels({{"ZZ", 1.5}, {"XI", 1e-300}}));
}

TEST(PauliSum, SparseTermsEqualTheirLabels) {
    const std::uint64_t on[] = {3, 0};
    const SparseTermText term{"XY", on, std::complex<double>(0.0, 1.0)};
    auto sparse = PauliSum::from_sparse(std::span(&term, 1), 4);
    ASSERT_TRUE(sparse) << sparse.error().message();
    EXPECT_EQ(*sparse, labels({{"XIIY", std::complex<double>(0.0, 1.0)}}));
}

struct ProjectorCase {
    const char* label;
    std::vector<Labelled> expansion;
};

class Projectors : public testing::TestWithParam<ProjectorCase> {};

TEST_P(Projectors, ExpandIntoPauliStringsExactly) {
    EXPECT_EQ(labels({{GetParam().label, 1.0}}), labels(GetParam().expansion));
}

INSTANTIATE_TEST_SUITE_P(
    Letters, Projectors,
    testing::Values(ProjectorCase{"0", {{"I", 0.5}, {"Z", 0.5}}},
                    ProjectorCase{"1", {{"I", 0.5}, {"Z", -0.5}}},
                    ProjectorCase{"+", {{"I", 0.5}, {"X", 0.5}}},
                    ProjectorCase{"-", {{"I", 0.5}, {"X", -0.5}}},
                    ProjectorCase{"r", {{"I", 0.5}, {"Y", 0.5}}},
                    ProjectorCase{"l", {{"I", 0.5}, {"Y", -0.5}}},
                    // (I - Z)/2 on qubit 1 times X on qubit 0.
                    ProjectorCase{"1X", {{"IX", 0.5}, {"ZX", -0.5}}},
                    ProjectorCase{"+0", {{"II", 0.25}, {"IZ", 0.25}, {"XI", 0.25},
                                          {"XZ", 0.25}}}));

struct RefusalCase {
    std::vector<Labelled> terms;
    std::optional<std::uint64_t> num_qubits;
    const char* message;
};

class LabelRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(LabelRefusals, NameTheTermAndTheProblem) {
    EXPECT_EQ(refusal(GetParam().terms, GetParam().num_qubits), GetParam().message);
}

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Labels, LabelRefusals,
    testing::Values(
        RefusalCase{{{"XQ", 1.0}}, std::nullopt,
                    "invalid observable: term 0 has the letter 'Q'; a term's letters are I, X, "
                    "Y, Z or the projectors 0, 1, +, -, r, l"},
        RefusalCase{{{"ZZ", 1.0}, {"x", 1.0}}, std::nullopt,
                    "invalid observable: term 1 has the letter 'x'; a term's letters are I, X, "
                    "Y, Z or the projectors 0, 1, +, -, r, l"},
        RefusalCase{{{"Zé", 1.0}}, std::nullopt,
                    "invalid observable: term 0 has the letter 'é'; a term's letters are I, X, "
                    "Y, Z or the projectors 0, 1, +, -, r, l"},
        RefusalCase{{{"ZZ", 1.0}, {"Z", 1.0}}, std::nullopt,
                    "invalid observable: term 1 has the label \"Z\" of 1 letters, but the sum "
                    "acts on 2 qubits; every label needs one letter per qubit"},
        RefusalCase{{{"ZZ", NaN}}, std::nullopt,
                    "invalid observable: term 0 has a non-finite coefficient nan"},
        RefusalCase{{}, std::nullopt, "invalid observable: a Pauli sum without terms needs num_qubits"},
        RefusalCase{{{"00000000000000000", 1.0}}, std::nullopt,
                    "invalid observable: term 0 has 17 projector letters (0 1 + - r l), which "
                    "expand into 2^17 Pauli strings; at most 16 per term are expanded"},
        RefusalCase{{}, 65, "invalid observable: a Pauli sum acts on at most 64 qubits, got 65"}));

TEST(PauliSum, SparseRefusalsNameTheQubit) {
    const std::uint64_t twice[] = {1, 1};
    const std::uint64_t beyond[] = {4};
    const std::uint64_t one[] = {0};
    const SparseTermText terms[] = {{"XZ", twice, 1.0}, {"X", beyond, 1.0}, {"XZ", one, 1.0}};
    const char* messages[] = {
        "invalid observable: term 0 names qubit 1 twice; give each qubit at most one letter",
        "invalid observable: term 0 acts on qubit 4, out of range for 3 qubits",
        "invalid observable: term 0 names 2 letters for 1 qubits; give one qubit per letter"};
    for (std::size_t k = 0; k < 3; ++k) {
        auto sum = PauliSum::from_sparse(std::span(&terms[k], 1), 3);
        ASSERT_FALSE(sum);
        EXPECT_EQ(sum.error().message(), messages[k]);
    }
}
