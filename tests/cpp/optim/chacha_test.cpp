#include <gtest/gtest.h>

#include "optim/chacha.hpp"

using morvane::optim::CHACHA_CONSTANTS;
using morvane::optim::chacha_block;
using morvane::optim::chacha_input;
using morvane::optim::ChaChaBlock;
using morvane::optim::ChaChaKey;

namespace {

ChaChaKey counting_key() {
    // Key bytes 00 01 02 ... 1f, read as little-endian words.
    ChaChaKey key{};
    for (std::uint32_t i = 0; i < 8; ++i) {
        key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
    }
    return key;
}

}  // namespace

// RFC 8439, section 2.3.2: the ChaCha20 block for key 00..1f, block counter 1
// and nonce 00 00 00 09 00 00 00 4a 00 00 00 00.
TEST(ChaChaBlock, MatchesThePublishedTwentyRoundVector) {
    ChaChaBlock input{};
    for (std::size_t i = 0; i < 4; ++i) input[i] = CHACHA_CONSTANTS[i];
    const ChaChaKey key = counting_key();
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = 0x00000001;
    input[13] = 0x09000000;
    input[14] = 0x4a000000;
    input[15] = 0x00000000;

    const ChaChaBlock expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                  0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                  0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(input, 20), expected);
}

TEST(ChaChaBlock, InputPlacesKeyCounterAndNonce) {
    const ChaChaBlock input = chacha_input(counting_key(), 0x1122334455667788ull, 0x99ull << 32);
    EXPECT_EQ(input[0], 0x61707865u);
    EXPECT_EQ(input[4], 0x03020100u);
    EXPECT_EQ(input[11], 0x1f1e1d1cu);
    EXPECT_EQ(input[12], 0x55667788u);
    EXPECT_EQ(input[13], 0x11223344u);
    EXPECT_EQ(input[14], 0u);
    EXPECT_EQ(input[15], 0x99u);
}
