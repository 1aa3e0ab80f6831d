#include "support/available_memory.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/resource.h>

namespace morvane {

namespace {

std::optional<std::string> read_text(const char* path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Room under this process's cgroup v2 memory limit ("max" is no limit).
std::optional<std::uint64_t> cgroup_room() {
    auto cgroup = read_text("/proc/self/cgroup");
    if (!cgroup || !cgroup->starts_with("0::")) return std::nullopt;
    std::string path = cgroup->substr(3);
    while (!path.empty() && path.back() == '\n') path.pop_back();
    const std::string dir = "/sys/fs/cgroup" + (path == "/" ? std::string() : path);
    auto limit_text = read_text((dir + "/memory.max").c_str());
    auto current_text = read_text((dir + "/memory.current").c_str());
    if (!limit_text || !current_text) return std::nullopt;
    auto limit = parse_u64(*limit_text);
    auto current = parse_u64(*current_text);
    if (!limit || !current) return std::nullopt;
    return *limit > *current ? *limit - *current : 0;
}

// Room under RLIMIT_AS: the limit less the address space already mapped.
std::optional<std::uint64_t> address_space_room() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    auto status = read_text("/proc/self/status");
    if (!status) return std::nullopt;
    auto mapped = meminfo_bytes(*status, "VmSize");
    if (!mapped) return std::nullopt;
    const std::uint64_t cap = limit.rlim_cur;
    return cap > *mapped ? cap - *mapped : 0;
}

}  // namespace

std::optional<std::uint64_t> meminfo_bytes(std::string_view meminfo, std::string_view key) {
    std::size_t at = 0;
    while (at < meminfo.size()) {
        std::size_t end = meminfo.find('\n', at);
        if (end == std::string_view::npos) end = meminfo.size();
        std::string_view line = meminfo.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != ':') {
            continue;
        }
        line.remove_prefix(key.size() + 1);
        // /proc/meminfo pads with spaces, /proc/self/status with a tab.
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        std::uint64_t value = 0;
        auto [rest, error] = std::from_chars(line.data(), line.data() + line.size(), value);
        if (error != std::errc()) return std::nullopt;
        std::string_view unit(rest, static_cast<std::size_t>(line.data() + line.size() - rest));
        while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
        if (unit.empty()) return value;
        if (unit == "kB" && value <= UINT64_MAX / 1024) return value * 1024;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> available_memory_bytes() {
    std::optional<std::uint64_t> room;
    const auto lower = [&room](std::optional<std::uint64_t> other) {
        if (other) room = room ? std::min(*room, *other) : *other;
    };
    if (auto meminfo = read_text("/proc/meminfo")) lower(meminfo_bytes(*meminfo, "MemAvailable"));
    lower(cgroup_room());
    lower(address_space_room());
    return room;
}

std::string format_bytes(std::uint64_t bytes) {
    static constexpr const char* UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(UNITS)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
    return text;
}

}  // namespace morvane
