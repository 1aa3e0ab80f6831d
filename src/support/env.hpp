#pragma once

#include <optional>
#include <string>

namespace morvane {

// The value of an environment variable, or absent when it is not set. Read on
// every call: nothing is cached, so tests and callers may change it.
std::optional<std::string> env_var(const char* name);

// Like env_var, but an empty value counts as absent.
std::optional<std::string> env_var_nonempty(const char* name);

}  // namespace morvane
