#include "optim/best_member.hpp"

#include "support/internal_fault.hpp"

namespace morvane::optim {

std::size_t best_member_index(std::span<const double> values) {
    ensure(!values.empty(), "best member of an empty population");
    std::size_t best = 0;
    for (std::size_t i = 1; i < values.size(); ++i) {
        if (!(values[i] < values[best])) best = i;
    }
    return best;
}

}  // namespace morvane::optim
