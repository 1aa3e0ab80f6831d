#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace morvane::observable {

// Measurement counts of one circuit: bitstring (characters 0/1, classical bit 0
// rightmost) to the number of shots that gave it. Kept sorted so that every
// reduction over a map sums in the same order on every run and platform.
using CountsMap = std::map<std::string, std::uint64_t, std::less<>>;

}  // namespace morvane::observable
