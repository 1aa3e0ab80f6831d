#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <string>
#include <vector>

#include "observable/expectation_plan.hpp"

using namespace morvane::observable;
using Amplitudes = std::vector<std::complex<double>>;

namespace {

Amplitudes random_state(std::uint64_t n, std::mt19937_64& rng) {
    std::normal_distribution<double> gauss;
    Amplitudes psi(std::size_t{1} << n);
    double norm = 0.0;
    for (auto& a : psi) {
        a = {gauss(rng), gauss(rng)};
        norm += std::norm(a);
    }
    for (auto& a : psi) a /= std::sqrt(norm);
    return psi;
}

// <psi|P|psi> the slow way: apply each letter of the label as its 2x2 matrix.
double reference_pauli(const Amplitudes& psi, const std::string& label) {
    const std::size_t n = label.size();
    Amplitudes out = psi;
    const std::complex<double> I(0.0, 1.0);
    for (std::size_t q = 0; q < n; ++q) {
        const char letter = label[n - 1 - q];
        Amplitudes next(out.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            const bool bit = (i >> q) & 1;
            const std::size_t flipped = i ^ (std::size_t{1} << q);
            // (P v)[i] for one qubit: X swaps, Z signs, Y = [[0,-i],[i,0]].
            switch (letter) {
                case 'I': next[i] = out[i]; break;
                case 'X': next[i] = out[flipped]; break;
                case 'Z': next[i] = bit ? -out[i] : out[i]; break;
                case 'Y': next[i] = bit ? I * out[flipped] : -I * out[flipped]; break;
            }
        }
        out = std::move(next);
    }
    std::complex<double> value = 0.0;
    for (std::size_t i = 0; i < psi.size(); ++i) value += std::conj(psi[i]) * out[i];
    return value.real();
}

std::string random_label(std::uint64_t n, std::mt19937_64& rng) {
    std::string label(n, 'I');
    for (char& c : label) c = "IXYZ"[rng() % 4];
    return label;
}

std::shared_ptr<const PauliSum> pauli(std::vector<std::pair<std::string_view, std::complex<double>>> terms) {
    return std::make_shared<const PauliSum>(PauliSum::from_labels(terms, std::nullopt).value());
}

Readout readout(std::uint64_t n) { return Readout{n, n, {}}; }

std::vector<double> values_of(const ExpectationPlan& plan, const Amplitudes& psi, bool parallel) {
    std::vector<double> out(plan.num_observables());
    plan.evaluate(psi, parallel, out);
    return out;
}

}  // namespace

class RandomPauliSums : public testing::TestWithParam<std::uint64_t> {};

// Widths below, at and above the Walsh block, so that masks reach the block's
// low bits, its high bits and both.
TEST_P(RandomPauliSums, MatchTheDenseReferenceAndDoNotDependOnParallelism) {
    const std::uint64_t n = GetParam();
    std::mt19937_64 rng(n);
    const Amplitudes psi = random_state(n, rng);
    std::vector<std::string> labels;
    std::vector<double> weights;
    for (int t = 0; t < 12; ++t) {
        labels.push_back(random_label(n, rng));
        weights.push_back(std::uniform_real_distribution<double>(-2.0, 2.0)(rng));
    }
    // Strings on the lowest and the highest qubit, which the split treats apart.
    // (Built in place: GCC 12 misreads string concatenation as an overlapping copy.)
    std::string lowest(n, 'I'), highest(n, 'I');
    lowest[n - 1] = 'Y';
    highest[0] = 'X';
    labels.push_back(lowest);
    labels.push_back(highest);
    weights.push_back(0.75);
    weights.push_back(-1.25);
    std::vector<std::pair<std::string_view, std::complex<double>>> terms;
    double expected = 0.0;
    for (std::size_t t = 0; t < labels.size(); ++t) {
        terms.emplace_back(labels[t], weights[t]);
        expected += weights[t] * reference_pauli(psi, labels[t]);
    }
    const ExactObservable observable = pauli(terms);
    auto plan = ExpectationPlan::build(std::span(&observable, 1), readout(n));
    ASSERT_TRUE(plan) << plan.error().message();
    const auto serial = values_of(*plan, psi, false);
    EXPECT_NEAR(serial[0], expected, 1e-12);
    EXPECT_EQ(serial, values_of(*plan, psi, true));
}

INSTANTIATE_TEST_SUITE_P(Widths, RandomPauliSums, testing::Values(1, 2, 3, 9, 10, 11, 13));

// The QUBO value of one outcome, as its counts reduction computes it.
double cost_of(const QuboModel& model, std::uint64_t outcome, std::uint64_t width) {
    std::string key(width, '0');
    for (std::uint64_t k = 0; k < width; ++k) key[width - 1 - k] = (outcome >> k) & 1 ? '1' : '0';
    return model.expectation(CountsMap{{key, 1}}).value();
}

TEST(QuboPlans, GiveTheExactMeanOfTheCountsCostThroughTheMeasurements) {
    const std::uint64_t n = 12;
    std::mt19937_64 rng(7);
    const Amplitudes psi = random_state(n, rng);
    std::vector<LinearTerm> linear;
    std::vector<QuadraticTerm> quadratic;
    for (std::uint64_t i = 0; i < 5; ++i) {
        linear.push_back({i, 0.5 + static_cast<double>(i)});
        for (std::uint64_t j = i + 1; j < 5; ++j) quadratic.push_back({i, j, 1.0 - 0.3 * j});
    }
    auto qubo = std::make_shared<const QuboModel>(
        QuboModel::qubo(5, linear, quadratic, 1.5, -2.0).value());
    auto ising = std::make_shared<const QuboModel>(
        QuboModel::ising(5, linear, quadratic, -0.5, 3.0).value());
    // Qubit 11 into bit 0, qubit 3 into bit 1, ... and qubit 0 into bit 4 twice.
    Readout measured{n, 5, {{11, 0}, {3, 1}, {7, 2}, {0, 3}, {5, 4}, {5, 4}}};
    const ExactObservable both[] = {qubo, ising};
    auto plan = ExpectationPlan::build(both, measured);
    ASSERT_TRUE(plan) << plan.error().message();
    EXPECT_EQ(plan->sweeps(), 1u);
    double expected[2] = {0.0, 0.0};
    for (std::size_t i = 0; i < psi.size(); ++i) {
        std::uint64_t key = 0;
        for (const auto& [q, c] : measured.measurements) key |= ((i >> q) & 1) << c;
        expected[0] += std::norm(psi[i]) * cost_of(*qubo, key, 5);
        expected[1] += std::norm(psi[i]) * cost_of(*ising, key, 5);
    }
    const auto values = values_of(*plan, psi, false);
    EXPECT_NEAR(values[0], expected[0], 1e-11);
    EXPECT_NEAR(values[1], expected[1], 1e-11);
}

TEST(QuboPlans, ABitNoMeasurementWritesReadsZero) {
    // Bit 1 of a 2-bit key is never written: only x0 = qubit 0 counts.
    auto qubo = std::make_shared<const QuboModel>(
        QuboModel::qubo(2, std::vector<LinearTerm>{{0, 2.0}, {1, 5.0}},
                        std::vector<QuadraticTerm>{{0, 1, 7.0}}, 1.0, 1.0)
            .value());
    const ExactObservable observable = qubo;
    auto plan = ExpectationPlan::build(std::span(&observable, 1), Readout{1, 2, {{0, 0}}});
    ASSERT_TRUE(plan);
    const Amplitudes one = {0.0, 1.0};  // |1>: x0 = 1, x1 = 0
    EXPECT_DOUBLE_EQ(values_of(*plan, one, false)[0], 3.0);
}

TEST(SweepCounts, DiagonalStringsShareOnePassAndEachXPatternCostsOne) {
    const std::uint64_t n = 20;
    std::vector<QuadraticTerm> pairs;
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = i + 1; j < n; ++j) pairs.push_back({i, j, 1.0});
    const ExactObservable dense_qubo = std::make_shared<const QuboModel>(
        QuboModel::qubo(n, std::vector<LinearTerm>{{3, 1.0}}, pairs, 0.0, 1.0).value());
    EXPECT_EQ(ExpectationPlan::build(std::span(&dense_qubo, 1), readout(n))->sweeps(), 1u);

    // 100 Z-only strings and 10 X/Y patterns, each pattern in two strings
    // that differ in Z (so they share their pass), spread over two sums.
    std::mt19937_64 rng(3);
    std::vector<std::string> diagonal, patterned;
    for (int t = 0; t < 100; ++t) {
        std::string label(n, 'I');
        for (char& c : label) c = rng() % 2 ? 'Z' : 'I';
        label[t % n] = 'Z';
        diagonal.push_back(label);
    }
    for (std::uint64_t p = 0; p < 10; ++p) {
        std::string x(n, 'I');
        x[p] = 'X';
        x[n - 1 - p] = 'X';
        std::string y = x;
        y[p] = 'Y';
        patterned.push_back(x);
        patterned.push_back(y);
    }
    std::vector<std::pair<std::string_view, std::complex<double>>> first, second;
    for (const auto& l : diagonal) first.emplace_back(l, 1.0);
    for (const auto& l : patterned) second.emplace_back(l, 1.0);
    second.emplace_back(std::string_view(diagonal[0]), 2.0);
    const ExactObservable sums[] = {pauli(first), pauli(second), dense_qubo};
    EXPECT_EQ(ExpectationPlan::build(sums, readout(n))->sweeps(), 11u);

    // Identity and constants cost no pass at all.
    const ExactObservable constant = pauli({{std::string(n, 'I'), 4.0}});
    EXPECT_EQ(ExpectationPlan::build(std::span(&constant, 1), readout(n))->sweeps(), 0u);
}

struct PlanRefusal {
    ExactObservable observable;
    Readout readout;
    const char* message;
};

class PlanRefusals : public testing::TestWithParam<PlanRefusal> {};

TEST_P(PlanRefusals, NameTheObservable) {
    auto plan = ExpectationPlan::build(std::span(&GetParam().observable, 1), GetParam().readout);
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PlanRefusals,
    testing::Values(
        PlanRefusal{pauli({{"ZZ", 1.0}}), Readout{1, 1, {}},
                    "invalid observable: observable 0 acts on 2 qubits, but the circuit has 1"},
        PlanRefusal{pauli({{"Y", std::complex<double>(0.5, -1.0)}}), Readout{1, 1, {}},
                    "invalid observable: observable 0 has the complex coefficient (0.5-1j) on "
                    "\"Y\"; an expectation value needs real coefficients (a Hermitian observable)"},
        PlanRefusal{std::make_shared<const QuboModel>(
                        QuboModel::qubo(2, {}, {}, 0.0, 1.0).value()),
                    Readout{1, 1, {}},
                    "invalid observable: observable 0 is a cost over 2 variables, but the "
                    "circuit's counts keys have 1 bits (one per classical bit, or per qubit when "
                    "it measures nothing); measure into at least 2 classical bits"},
        PlanRefusal{std::make_shared<const QuboModel>(
                        QuboModel::qubo(1, {}, {}, 0.0, 1.0).value()),
                    Readout{2, 1, {{0, 0}, {1, 0}}},
                    "invalid observable: observable 0 reads classical bit 0, which the "
                    "measurements of qubits 0 and 1 both write; an exact expectation needs one "
                    "qubit per bit it reads"}));
