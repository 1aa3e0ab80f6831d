#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "sim/statevector.hpp"
#include "support/function_ref.hpp"

namespace morvane::sim {

// Kernels run in parallel on registers of at least this many qubits unless a
// calibration for this machine says otherwise.
inline constexpr std::uint64_t DEFAULT_PARALLEL_THRESHOLD = 12;

// The cache file format this build writes. It reads this one and schema 2,
// the format of the builds that calibrated double precision only.
inline constexpr std::uint32_t CALIBRATION_SCHEMA = 3;

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

// One threshold per precision.
struct PrecisionThresholds {
    std::uint64_t double_precision;
    std::uint64_t single_precision;

    std::uint64_t of(Precision precision) const noexcept {
        return precision == Precision::Double ? double_precision : single_precision;
    }
    bool operator==(const PrecisionThresholds&) const = default;
};

// What the cache knows for one thread count. Double precision is always
// there; single precision is absent from an entry carried over from a
// schema-2 file, which predates single-precision states.
struct CachedThresholds {
    std::uint64_t double_precision;
    std::optional<std::uint64_t> single_precision;

    // The thresholds this entry stands for. A single-precision threshold
    // never measured borrows the double one: measured on this machine and
    // pool, it is the nearest estimate there is (a single-precision state is
    // the size of a double one of a qubit fewer), nearer than the default,
    // which would for instance send single-precision states to a pool that
    // was measured never to pay.
    PrecisionThresholds resolved() const noexcept {
        return {double_precision, single_precision.value_or(double_precision)};
    }
    // Whether both precisions were measured: only such an entry spares a
    // calibration its measurement.
    bool complete() const noexcept { return single_precision.has_value(); }
    bool operator==(const CachedThresholds&) const = default;
};

// The content of the calibration cache, whichever schema it was read from:
// the thresholds of each pool thread count.
//
// Schema 3 (written):
//   {"schema": 3, "entries": {"2": {"double": 14, "single": 15}, "8": {"double": 12}}}
// each entry an object with an unsigned "double" and, once measured, an
// unsigned "single"; other members of an entry, like other members of the
// document, are ignored.
// Schema 2 (read only): {"schema": 2, "entries": {"2": 14}}, each number a
// double-precision threshold.
struct CachedCalibration {
    std::map<std::uint64_t, CachedThresholds> entries;
    bool operator==(const CachedCalibration&) const = default;
};

struct CalibrationReport {
    PrecisionThresholds thresholds;
    std::uint64_t num_threads;              // the pool size, the cache key
    std::chrono::nanoseconds duration;      // zero when the cache was reused
    bool reused_cache;                      // nothing measured, cached entry returned
    std::optional<std::string> cache_path;  // absent without a cache location
    bool cache_written;
};

struct CrossoverMeasurement {
    PrecisionThresholds thresholds;
    std::uint64_t num_threads;
    std::chrono::nanoseconds duration;
};

// The process-wide threshold of a precision and its status. Both precisions
// are resolved at once, by the first caller, from the cache entry for this
// pool's thread count (concurrent first callers wait for that one
// resolution); changed later only by calibrate(). The status is the same for
// both precisions.
ThresholdState threshold_state(Precision precision = Precision::Double);
std::uint64_t process_threshold(Precision precision = Precision::Double);
ThresholdStatus threshold_status();

// The pool thread count the cache is keyed by.
std::uint64_t calibration_thread_count();

// $XDG_CACHE_HOME/morvane/parallel_threshold.json if XDG_CACHE_HOME is
// non-empty, else $HOME/.cache/morvane/parallel_threshold.json if HOME is
// non-empty, else absent. Read from the environment on every call.
std::optional<std::filesystem::path> cache_file_path();

// The cache, or absent when there is no location, the file cannot be read,
// or its content is not a cache of schema 2 or 3. Never reports an error.
std::optional<CachedCalibration> load_cache();

// The parsing and writing halves of the cache format.
std::optional<CachedCalibration> parse_cache(std::string_view text);
std::string serialize_cache(const CachedCalibration& cache);

// Median time in nanoseconds of one cycle of five gates (H, Z, Cz, Cx, Swap on
// qubits 0 and 1, each through its raw kernel) on an n-qubit state of the
// given precision, with every kernel in the serial or the parallel form.
double time_cycle(std::uint64_t num_qubits, bool parallel, Precision precision = Precision::Double);

// Times one cycle: (num_qubits, parallel, precision) -> nanoseconds.
using CycleTimer = FunctionRef<double(std::uint64_t, bool, Precision)>;

// Three passes over n = 10, 12, ..., 18, each size timed in both precisions
// in the same pass so that both see the machine as it is at that moment. A
// pass's crossover for a precision is the first n where its parallel cycle
// is at least 1.15 times faster (31 if none); each precision's threshold is
// its median pass. Logs the result at info level.
CrossoverMeasurement measure_crossover();
CrossoverMeasurement measure_crossover(CycleTimer timer);

using CrossoverMeasurer = FunctionRef<CrossoverMeasurement()>;

// Returns the cached thresholds for this thread count unless `force` or the
// entry lacks a precision (a schema-2 entry); otherwise measures both
// precisions, merges the result into a fresh read of the cache, writes it
// (as schema 3, other thread counts' entries kept as they were), and makes
// it the process-wide thresholds. Never fails: problems with the cache
// surface as warn-level log records and cache_written false.
CalibrationReport calibrate(bool force);
CalibrationReport calibrate(bool force, CrossoverMeasurer measure);

namespace testing {
// Forgets the resolved process-wide state so that the next reader resolves
// it again. Tests only: simulators keep the value they copied.
void reset_threshold_state();
}  // namespace testing

}  // namespace morvane::sim
