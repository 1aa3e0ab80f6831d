#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "optim/chacha.hpp"

namespace morvane::optim {

// Expands a 64-bit seed into a 256-bit ChaCha key: eight steps of a 64-bit
// linear congruential generator, each output through the PCG XSH-RR
// permutation, one key word per step.
ChaChaKey expand_seed(std::uint64_t seed) noexcept;

// The Bernoulli threshold of probability p in [0, 1): p * 2^64 as an unsigned
// 64-bit integer (exact, since scaling by a power of two only moves the
// exponent). p = 1 has no threshold; bernoulli() answers it separately.
std::uint64_t bernoulli_threshold(double p);

// The single random source of an optimiser run: ChaCha with 12 rounds under a
// fixed key, block counter from 0, zero nonce. Every draw rule is fixed bit for
// bit so that one seed reproduces a whole training run on every platform; the
// optimisers depend on the exact number of words each draw consumes.
class RandomSource {
public:
    static constexpr unsigned ROUNDS = 12;
    // Keystream words generated per refill: four blocks.
    static constexpr std::size_t BUFFER_WORDS = 64;

    explicit RandomSource(const ChaChaKey& key) noexcept : key_(key) {}

    // The generator of a seeded run.
    static RandomSource from_seed(std::uint64_t seed) noexcept {
        return RandomSource(expand_seed(seed));
    }
    // A generator keyed from operating-system entropy, for runs without a
    // seed. Its draws are not reproducible.
    static RandomSource from_entropy();
    static RandomSource from_optional_seed(std::optional<std::uint64_t> seed) {
        return seed ? from_seed(*seed) : from_entropy();
    }

    // The next keystream word.
    std::uint32_t next_u32();
    // Two words, the first as the low half. When a single word is left it is
    // the low half and the first word of the next refill the high half.
    std::uint64_t next_u64();

    // Uniform in [low, high), from the top 52 bits of one 64-bit draw, drawn
    // again whenever rounding lands on `high`. The range must be non-empty
    // with a finite width (an internal fault otherwise: callers validate).
    double uniform_float(double low, double high);
    // (u >> 11) * 2^-53 for one 64-bit draw u: 53 random bits in [0, 1).
    double unit_float();
    // True with probability p in [0, 1], one 64-bit draw in every case.
    bool bernoulli(double p);
    // Uniform integer in [low, high] by widening multiplication with
    // rejection; each attempt takes one 32-bit draw.
    std::uint32_t uniform_u32(std::uint32_t low, std::uint32_t high);
    // k distinct indices from [0, n) by Floyd's method, in the method's own
    // order (not sorted). k > n is an internal fault.
    std::vector<std::uint32_t> sample_distinct(std::uint32_t n, std::uint32_t k);

private:
    void refill();

    ChaChaKey key_;
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, BUFFER_WORDS> buffer_{};
    std::size_t index_ = BUFFER_WORDS;  // starts empty
};

}  // namespace morvane::optim
