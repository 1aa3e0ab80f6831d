#include "support/uuid.hpp"

#include <gtest/gtest.h>

#include <set>

namespace morvane {
namespace {

// Every byte and nibble position of the text must come from the right input
// byte, with only the version and variant bits overridden.
TEST(UuidTest, FormatsBytesWithVersionAndVariantForced) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_EQ(format_uuid_v4(bytes), "00112233-4455-4677-8899-aabbccddeeff");
    bytes.fill(0xFF);
    EXPECT_EQ(format_uuid_v4(bytes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    bytes.fill(0x00);
    EXPECT_EQ(format_uuid_v4(bytes), "00000000-0000-4000-8000-000000000000");
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

TEST(UuidTest, RandomUuidsAreWellFormedAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = uuid_v4();
        ASSERT_EQ(id.size(), 36u);
        for (std::size_t k = 0; k < id.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) {
                EXPECT_EQ(id[k], '-') << id;
            } else {
                EXPECT_TRUE(is_lower_hex(id[k])) << id;
            }
        }
        EXPECT_EQ(id[14], '4') << id;
        EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace morvane
