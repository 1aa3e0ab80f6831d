#include "support/os_random.hpp"

#include <random>

namespace morvane {

std::uint64_t os_random_u64() {
    // libstdc++'s random_device draws from the kernel (getrandom or
    // /dev/urandom), never from a deterministic engine.
    thread_local std::random_device device;
    const std::uint64_t high = device();
    const std::uint64_t low = device();
    return (high << 32) | low;
}

}  // namespace morvane
