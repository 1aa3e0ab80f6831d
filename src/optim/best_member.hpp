#pragma once

#include <cstddef>
#include <span>

namespace morvane::optim {

// The index of the highest value: a scan in order in which every later value
// that is not smaller takes over, so the last of equal values wins. The
// population optimisers all pick their best member this way. `values` must
// not be empty.
std::size_t best_member_index(std::span<const double> values);

}  // namespace morvane::optim
