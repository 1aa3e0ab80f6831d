#include "support/internal_fault.hpp"

namespace morvane {

void internal_fault(const std::string& message) { throw InternalFault(message); }

}  // namespace morvane
