#include "optim/random_source.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "support/internal_fault.hpp"
#include "support/os_random.hpp"

namespace morvane::optim {

ChaChaKey expand_seed(std::uint64_t seed) noexcept {
    constexpr std::uint64_t MULTIPLIER = 6364136223846793005ull;
    constexpr std::uint64_t INCREMENT = 11634580027462260723ull;
    ChaChaKey key{};
    std::uint64_t state = seed;
    for (std::uint32_t& word : key) {
        state = state * MULTIPLIER + INCREMENT;
        const auto xorshifted = static_cast<std::uint32_t>((state >> 45) ^ (state >> 27));
        word = std::rotr(xorshifted, static_cast<int>(state >> 59));
    }
    return key;
}

std::uint64_t bernoulli_threshold(double p) {
    ensure(p >= 0.0 && p < 1.0, "Bernoulli threshold needs a probability in [0, 1)");
    return static_cast<std::uint64_t>(p * 0x1.0p64);
}

RandomSource RandomSource::from_entropy() {
    ChaChaKey key{};
    for (std::size_t i = 0; i < key.size(); i += 2) {
        const std::uint64_t bits = os_random_u64();
        key[i] = static_cast<std::uint32_t>(bits);
        key[i + 1] = static_cast<std::uint32_t>(bits >> 32);
    }
    return RandomSource(key);
}

void RandomSource::refill() {
    constexpr std::size_t BLOCK_WORDS = std::tuple_size_v<ChaChaBlock>;
    for (std::size_t block = 0; block < BUFFER_WORDS / BLOCK_WORDS; ++block) {
        const ChaChaBlock words = chacha_block(chacha_input(key_, counter_++, 0), ROUNDS);
        std::copy(words.begin(), words.end(), buffer_.begin() + block * BLOCK_WORDS);
    }
    index_ = 0;
}

std::uint32_t RandomSource::next_u32() {
    if (index_ >= BUFFER_WORDS) refill();
    return buffer_[index_++];
}

std::uint64_t RandomSource::next_u64() {
    // Two next_u32() calls give exactly the straddling rule: a lone last word
    // becomes the low half and the refill supplies the high half.
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return (high << 32) | low;
}

double RandomSource::uniform_float(double low, double high) {
    const double width = high - low;
    ensure(low < high && std::isfinite(width), "uniform range must be non-empty and finite");
    for (;;) {
        const std::uint64_t bits = (next_u64() >> 12) | 0x3FF0000000000000ull;
        const double v = std::bit_cast<double>(bits) - 1.0;
        const double value = v * width + low;
        if (value < high) return value;
    }
}

double RandomSource::unit_float() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

bool RandomSource::bernoulli(double p) {
    ensure(p >= 0.0 && p <= 1.0, "Bernoulli probability must lie in [0, 1]");
    const std::uint64_t u = next_u64();
    // p * 2^64 does not fit 64 bits for p = 1; that event is certain, and the
    // draw is still taken so every Bernoulli consumes the same two words.
    if (p == 1.0) return true;
    return u < bernoulli_threshold(p);
}

std::uint32_t RandomSource::uniform_u32(std::uint32_t low, std::uint32_t high) {
    ensure(low <= high, "uniform integer range must not be empty");
    const std::uint32_t range = high - low + 1;
    // The whole 32-bit range wraps to 0: every word is already uniform.
    if (range == 0) return next_u32();
    const std::uint32_t zone = (range << std::countl_zero(range)) - 1;
    for (;;) {
        const std::uint64_t product = static_cast<std::uint64_t>(range) * next_u32();
        if (static_cast<std::uint32_t>(product) <= zone) {
            return low + static_cast<std::uint32_t>(product >> 32);
        }
    }
}

std::vector<std::uint32_t> RandomSource::sample_distinct(std::uint32_t n, std::uint32_t k) {
    if (k > n) internal_fault("`amount` of samples must be less than or equal to `length`");
    std::vector<std::uint32_t> picked;
    picked.reserve(k);
    for (std::uint32_t j = n - k; j < n; ++j) {
        const std::uint32_t t = uniform_u32(0, j);
        const auto found = std::find(picked.begin(), picked.end(), t);
        // j itself cannot be in the list yet (every earlier pick is < j), so
        // putting it where t was keeps the picks distinct and the order
        // uniformly random.
        if (found != picked.end()) {
            picked.insert(found, j);
        } else {
            picked.push_back(t);
        }
    }
    return picked;
}

}  // namespace morvane::optim
