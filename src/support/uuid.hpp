#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace morvane {

// A random (version 4) UUID in its lowercase hyphenated form, e.g.
// "0f8e2c9a-5b1d-4e7f-9a3c-6d2b8e1f4a70", drawn from the operating system's
// random source. Names runs in logs, temporary files and job names, where two
// runs must never collide.
std::string uuid_v4();

// The text form of 16 bytes with the version and variant bits forced to
// those of a random UUID. Split out so the layout can be checked against
// fixed bytes.
std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes);

}  // namespace morvane
