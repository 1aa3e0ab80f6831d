#include "exec/replica_groups.hpp"

namespace morvane::exec {

std::expected<std::vector<CountsMap>, RunError> run_replicas_in_groups(
    Backend& backend, const CircuitInput& circuit, std::span<const std::uint32_t> shot_counts,
    const RunRequest& request) {
    std::vector<CountsMap> maps;
    maps.reserve(shot_counts.size());
    std::size_t start = 0;
    while (start < shot_counts.size()) {
        const std::uint32_t shots = shot_counts[start];
        std::size_t end = start + 1;
        while (end < shot_counts.size() && shot_counts[end] == shots) ++end;
        const std::size_t copies = end - start;
        if (shots == 0) {
            maps.resize(maps.size() + copies);
        } else {
            const std::vector<CircuitJob> jobs(copies, CircuitJob{&circuit, shots});
            RunRequest group = request;
            group.shots = shots;
            if (group.seed) group.seed = *group.seed + start;  // wraps mod 2^64 by design
            auto counts = backend.run_jobs(jobs, group);
            if (!counts) return std::unexpected(std::move(counts.error()));
            for (CountsMap& map : *counts) maps.push_back(std::move(map));
        }
        start = end;
    }
    return maps;
}

}  // namespace morvane::exec
