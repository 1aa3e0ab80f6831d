#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "support/function_ref.hpp"

namespace morvane::sim {

// Kernels run in parallel on registers of at least this many qubits unless a
// calibration for this machine says otherwise.
inline constexpr std::uint64_t DEFAULT_PARALLEL_THRESHOLD = 12;

// The cache file format this build reads and writes.
inline constexpr std::uint32_t CALIBRATION_SCHEMA = 2;

// A crossover that no measured size reached: above MAX_QUBITS, so kernels
// never go parallel.
inline constexpr std::uint64_t NEVER_PARALLEL_THRESHOLD = 31;

enum class ThresholdStatus : std::uint8_t {
    NotCalibrated,  // no usable cache: the default is in use
    Ready,          // from the cache (or the cache knows only other thread counts)
};

struct ThresholdState {
    ThresholdStatus status;
    std::uint64_t threshold;
    bool operator==(const ThresholdState&) const = default;
};

// The content of the calibration cache: one threshold per pool thread count.
struct CachedCalibration {
    std::uint32_t schema = CALIBRATION_SCHEMA;
    std::map<std::uint64_t, std::uint64_t> entries;
    bool operator==(const CachedCalibration&) const = default;
};

struct CalibrationReport {
    std::uint64_t threshold;
    std::uint64_t num_threads;              // the pool size, the cache key
    std::chrono::nanoseconds duration;      // zero when the cache was reused
    bool reused_cache;                      // nothing measured, cached entry returned
    std::optional<std::string> cache_path;  // absent without a cache location
    bool cache_written;
};

struct CrossoverMeasurement {
    std::uint64_t threshold;
    std::uint64_t num_threads;
    std::chrono::nanoseconds duration;
};

// The process-wide threshold and its status. Resolved once, by the first
// caller, from the cache entry for this pool's thread count (concurrent first
// callers wait for that one resolution); changed later only by calibrate().
ThresholdState threshold_state();
std::uint64_t process_threshold();
ThresholdStatus threshold_status();

// The pool thread count the cache is keyed by.
std::uint64_t calibration_thread_count();

// $XDG_CACHE_HOME/morvane/parallel_threshold.json if XDG_CACHE_HOME is
// non-empty, else $HOME/.cache/morvane/parallel_threshold.json if HOME is
// non-empty, else absent. Read from the environment on every call.
std::optional<std::filesystem::path> cache_file_path();

// The cache, or absent when there is no location, the file cannot be read,
// its content is not a cache of this schema. Never reports an error.
std::optional<CachedCalibration> load_cache();

// The parsing and writing halves of the cache format.
std::optional<CachedCalibration> parse_cache(std::string_view text);
std::string serialize_cache(const CachedCalibration& cache);

// Median time in nanoseconds of one cycle of five gates (H, Z, Cz, Cx, Swap on
// qubits 0 and 1, each through its raw kernel) on an n-qubit state, with every
// kernel in the serial or the parallel form.
double time_cycle(std::uint64_t num_qubits, bool parallel);

// Times one cycle: (num_qubits, parallel) -> nanoseconds.
using CycleTimer = FunctionRef<double(std::uint64_t, bool)>;

// Three passes over n = 10, 12, ..., 18; a pass's crossover is the first n
// where the parallel cycle is at least 1.15 times faster (31 if none); the
// threshold is the median pass. Logs the result at info level.
CrossoverMeasurement measure_crossover();
CrossoverMeasurement measure_crossover(CycleTimer timer);

using CrossoverMeasurer = FunctionRef<CrossoverMeasurement()>;

// Returns the cached threshold for this thread count unless `force`;
// otherwise measures, merges the result into a fresh read of the cache,
// writes it, and makes it the process-wide threshold. Never fails: problems
// with the cache surface as warn-level log records and cache_written false.
CalibrationReport calibrate(bool force);
CalibrationReport calibrate(bool force, CrossoverMeasurer measure);

namespace testing {
// Forgets the resolved process-wide state so that the next reader resolves
// it again. Tests only: simulators keep the value they copied.
void reset_threshold_state();
}  // namespace testing

}  // namespace morvane::sim
