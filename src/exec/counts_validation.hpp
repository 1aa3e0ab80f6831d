#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "observable/counts.hpp"

namespace morvane::exec {

// Checks what every backend result must satisfy before anyone reduces it: one
// map per circuit, no empty map, counts summing to the shots, keys of 0/1
// only. Returns the first violation's message, or nothing.
std::optional<std::string> validate_counts(std::span<const observable::CountsMap> maps,
                                           std::size_t expected_count, std::uint32_t shots);

}  // namespace morvane::exec
