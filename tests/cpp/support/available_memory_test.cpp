#include "support/available_memory.hpp"

#include <gtest/gtest.h>

#include <string>

namespace morvane {
namespace {

constexpr std::string_view MEMINFO =
    "MemTotal:       24590420 kB\n"
    "MemFree:         1000000 kB\n"
    "MemAvailable:   22000000 kB\n"
    "MemAvailableX:        7 kB\n"
    "HugePages_Total:       3\n"
    "Broken:          12 MB\n"
    "VmSize:\t   16772 kB\n";

struct MeminfoCase {
    std::string_view key;
    std::optional<std::uint64_t> bytes;
};

class Meminfo : public testing::TestWithParam<MeminfoCase> {};

TEST_P(Meminfo, ReadsTheKeyedLineOnly) {
    EXPECT_EQ(meminfo_bytes(MEMINFO, GetParam().key), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Meminfo,
    testing::Values(MeminfoCase{"MemAvailable", 22000000ull * 1024},
                    MeminfoCase{"MemTotal", 24590420ull * 1024},
                    // A unitless count is taken as it is; an unknown unit is refused.
                    MeminfoCase{"HugePages_Total", 3}, MeminfoCase{"Broken", std::nullopt},
                    // /proc/self/status separates with a tab.
                    MeminfoCase{"VmSize", 16772ull * 1024},
                    // A key that is only the prefix of a line's key does not match it.
                    MeminfoCase{"MemAvail", std::nullopt}, MeminfoCase{"Missing", std::nullopt}));

TEST(AvailableMemory, IsReadFromThisMachineAndBelowItsTotal) {
    const auto available = available_memory_bytes();
    ASSERT_TRUE(available.has_value());
    EXPECT_GT(*available, 0u);
}

TEST(FormatBytes, OneDecimalFromKibibytesUp) {
    EXPECT_EQ(format_bytes(1), "1 byte");
    EXPECT_EQ(format_bytes(1023), "1023 bytes");
    EXPECT_EQ(format_bytes(1024), "1.0 KiB");
    EXPECT_EQ(format_bytes(std::uint64_t{16} << 30), "16.0 GiB");
    EXPECT_EQ(format_bytes(std::uint64_t{3} << 29), "1.5 GiB");
    EXPECT_EQ(format_bytes(UINT64_MAX), "16.0 EiB");
}

}  // namespace
}  // namespace morvane
