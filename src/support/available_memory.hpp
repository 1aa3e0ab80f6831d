#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// How many more bytes this process can allocate and touch without the kernel
// killing it or an allocation failing: the kernel's estimate of available
// physical memory (MemAvailable), lowered by the room left under a cgroup
// memory limit and under an address-space limit (ulimit -v) when those are
// tighter. Absent when none of them can be read. Read on every call.
std::optional<std::uint64_t> available_memory_bytes();

// The value of one "Key:   123 kB" line of /proc/meminfo text, in bytes.
std::optional<std::uint64_t> meminfo_bytes(std::string_view meminfo, std::string_view key);

// "16.0 GiB", "512.0 MiB", "48 bytes": a byte count for messages, one decimal
// from KiB up.
std::string format_bytes(std::uint64_t bytes);

}  // namespace morvane
