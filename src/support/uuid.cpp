#include "support/uuid.hpp"

#include "support/os_random.hpp"

namespace morvane {

std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes) {
    // Version nibble 4 in byte 6, variant bits 10 (RFC 4122) in byte 8.
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += HEX[bytes[i] >> 4];
        out += HEX[bytes[i] & 0x0F];
    }
    return out;
}

std::string uuid_v4() {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t half = 0; half < 2; ++half) {
        std::uint64_t word = os_random_u64();
        for (std::size_t i = 0; i < 8; ++i, word >>= 8) {
            bytes[half * 8 + i] = static_cast<std::uint8_t>(word);
        }
    }
    return format_uuid_v4(bytes);
}

}  // namespace morvane
