#include "support/env.hpp"

#include <cstdlib>

namespace morvane {

std::optional<std::string> env_var(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> env_var_nonempty(const char* name) {
    auto value = env_var(name);
    if (value && value->empty()) return std::nullopt;
    return value;
}

}  // namespace morvane
