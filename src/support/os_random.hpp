#pragma once

#include <cstdint>

namespace morvane {

// 64 bits from the operating system's random source (getrandom), for seeds
// that the caller did not fix and for random identifiers.
std::uint64_t os_random_u64();

}  // namespace morvane
