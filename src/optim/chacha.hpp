#pragma once

#include <array>
#include <cstdint>

namespace morvane::optim {

// One ChaCha block as sixteen 32-bit words: the input state going in (four
// constants, eight key words, four counter/nonce words), the keystream out.
using ChaChaBlock = std::array<std::uint32_t, 16>;
using ChaChaKey = std::array<std::uint32_t, 8>;

// "expand 32-byte k", the first four words of every 256-bit-key input.
inline constexpr std::array<std::uint32_t, 4> CHACHA_CONSTANTS = {0x61707865u, 0x3320646eu,
                                                                  0x79622d32u, 0x6b206574u};

// The ChaCha block function: `rounds` rounds (an even number; 20 for the
// cipher, 12 for the optimisers' generator) over `input`, then the input
// added back word by word. Serialising the result little-endian word by word
// gives the 64 keystream bytes.
ChaChaBlock chacha_block(const ChaChaBlock& input, unsigned rounds);

// The input state for a 256-bit key with a 64-bit block counter in words 12
// (low half) and 13 and a 64-bit nonce in words 14 and 15.
ChaChaBlock chacha_input(const ChaChaKey& key, std::uint64_t counter, std::uint64_t nonce);

}  // namespace morvane::optim
