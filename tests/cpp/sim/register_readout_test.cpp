#include "sim/register_readout.hpp"

#include <gtest/gtest.h>

#include <random>

namespace morvane::sim {
namespace {

using circuit::Gate;
using Sources = std::vector<std::optional<std::uint64_t>>;

TEST(FinalMeasurements, LastWriteOfEachBitWinsAndUnwrittenBitsHaveNone) {
    struct Case {
        const char* name;
        std::uint64_t num_qubits, num_clbits;
        std::vector<Gate> gates;
        Sources expected;
    };
    const Case cases[] = {
        {"reversed", 3, 3, {Gate::measure(0, 2), Gate::measure(1, 1), Gate::measure(2, 0)},
         {2, 1, 0}},
        {"overwritten", 3, 2, {Gate::measure(0, 1), Gate::measure(2, 1)}, {std::nullopt, 2}},
        {"one_qubit_two_bits", 2, 3, {Gate::measure(1, 0), Gate::measure(1, 2)},
         {1, std::nullopt, 1}},
        {"measure_all_then_overwrite", 2, 3, {Gate::measure_all(), Gate::measure(0, 1)},
         {0, 0, std::nullopt}},
        {"bits_beyond_the_count_ignored", 2, 1, {Gate::measure(0, 5), Gate::measure(1, 0)}, {1}},
        {"nothing_measured", 2, 2, {Gate::h(0)}, {std::nullopt, std::nullopt}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(final_measurements(c.num_qubits, c.num_clbits, c.gates), c.expected);
    }
}

// Bit b of the register set iff its source qubit is set in the outcome, in
// the last byte's least significant bit upwards.
std::vector<std::uint8_t> reference_pack(const Sources& sources,
                                         std::span<const std::uint64_t> outcomes) {
    const std::size_t bytes = (sources.size() + 7) / 8;
    std::vector<std::uint8_t> out(outcomes.size() * bytes, 0);
    for (std::size_t shot = 0; shot < outcomes.size(); ++shot) {
        for (std::size_t b = 0; b < sources.size(); ++b) {
            if (sources[b] && *sources[b] < 64 && ((outcomes[shot] >> *sources[b]) & 1)) {
                out[shot * bytes + bytes - 1 - b / 8] |= static_cast<std::uint8_t>(1u << (b % 8));
            }
        }
    }
    return out;
}

struct PackCase {
    const char* name;
    Sources sources;
};

class RegisterPacking : public testing::TestWithParam<PackCase> {};

TEST_P(RegisterPacking, AgreesWithTheBitByBitLayout) {
    const Sources& sources = GetParam().sources;
    std::mt19937_64 random(11);
    std::vector<std::uint64_t> outcomes(50);
    for (auto& outcome : outcomes) outcome = random() & ((std::uint64_t{1} << 40) - 1);
    outcomes.front() = 0;
    outcomes.back() = (std::uint64_t{1} << 40) - 1;
    const RegisterReadout readout(sources);
    ASSERT_EQ(readout.bytes_per_shot(), (sources.size() + 7) / 8);
    std::vector<std::uint8_t> packed(outcomes.size() * readout.bytes_per_shot(), 0xAA);
    readout.pack(outcomes, packed);
    EXPECT_EQ(packed, reference_pack(sources, outcomes));
}

Sources run(std::uint64_t first, std::size_t count) {
    Sources out;
    for (std::size_t k = 0; k < count; ++k) out.push_back(first + k);
    return out;
}

Sources concat_sources(std::initializer_list<Sources> parts) {
    Sources out;
    for (const Sources& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const PackCase PACK_CASES[] = {
    {"one_bit", {3}},
    {"byte_in_order", run(0, 8)},
    {"byte_shifted", run(5, 8)},
    {"nine_bits", run(0, 9)},
    {"sixteen_bits", run(2, 16)},
    {"seventeen_bits", run(1, 17)},
    {"reversed", {7, 6, 5, 4, 3, 2, 1, 0, 9}},
    {"gaps", {0, std::nullopt, 2, std::nullopt, std::nullopt, 5, 6, 7, 8, std::nullopt}},
    {"repeated_qubit", {4, 4, 4, 1}},
    {"no_source", {std::nullopt, std::nullopt, std::nullopt}},
    {"sixty_five_bits", concat_sources({run(0, 40), run(0, 25)})},
    {"seventy_bits_with_holes",
     concat_sources({run(3, 30), {std::nullopt, 70}, run(10, 20), {std::nullopt}, run(0, 17)})},
    {"partial_top_byte_contiguous", run(30, 12)},
    {"qubit_beyond_word", {63, 64, 100, 0}},
};

INSTANTIATE_TEST_SUITE_P(Layouts, RegisterPacking, testing::ValuesIn(PACK_CASES),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(RegisterReadout, EmptyRegisterHasNoBytes) {
    const RegisterReadout readout(Sources{});
    EXPECT_EQ(readout.bytes_per_shot(), 0u);
    std::vector<std::uint64_t> outcomes{1, 2, 3};
    std::vector<std::uint8_t> none;
    readout.pack(outcomes, none);  // writes nothing
}

TEST(RegisterReadout, MapsRegisterBitsThroughTheCircuitsBits) {
    const Sources finals{5, std::nullopt, 2, 0};
    const std::vector<std::uint64_t> clbits{3, 1, 0, 0};
    auto readout = register_readout(finals, clbits);
    ASSERT_TRUE(readout.has_value());
    EXPECT_EQ(readout->sources(), (Sources{0, std::nullopt, 5, 5}));

    const std::vector<std::uint64_t> outside{0, 4};
    auto refused = register_readout(finals, outside);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "register bit 1 is classical bit 4, but the circuit has 4 classical bit(s)");
}

}  // namespace
}  // namespace morvane::sim
