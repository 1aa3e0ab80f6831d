#include "optim/chacha.hpp"

#include <bit>

#include "support/internal_fault.hpp"

namespace morvane::optim {

namespace {

inline void quarter_round(ChaChaBlock& x, int a, int b, int c, int d) noexcept {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaBlock& input, unsigned rounds) {
    ensure(rounds % 2 == 0, "ChaCha round count must be even");
    ChaChaBlock x = input;
    for (unsigned i = 0; i < rounds; i += 2) {
        // Column round, then diagonal round.
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += input[i];
    return x;
}

ChaChaBlock chacha_input(const ChaChaKey& key, std::uint64_t counter, std::uint64_t nonce) {
    ChaChaBlock input{};
    for (std::size_t i = 0; i < 4; ++i) input[i] = CHACHA_CONSTANTS[i];
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(nonce);
    input[15] = static_cast<std::uint32_t>(nonce >> 32);
    return input;
}

}  // namespace morvane::optim
