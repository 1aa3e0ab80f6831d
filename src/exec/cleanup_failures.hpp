#pragma once

#include <atomic>
#include <cstdint>

namespace morvane::exec {

// Backend teardowns (for example releasing remote QPUs) must never raise, so
// their failures are logged and counted here for diagnostics.
inline std::atomic<std::uint64_t>& cleanup_failures() noexcept {
    static std::atomic<std::uint64_t> count{0};
    return count;
}

}  // namespace morvane::exec
