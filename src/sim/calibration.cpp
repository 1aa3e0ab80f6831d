#include "sim/calibration.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <system_error>

#include "circuit/gate.hpp"
#include "sim/gate_matrices.hpp"
#include "sim/kernels.hpp"
#include "sim/statevector.hpp"
#include "support/duration_text.hpp"
#include "support/env.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "support/text.hpp"
#include "support/thread_pool.hpp"

namespace morvane::sim {

namespace {

constexpr const char* LOG_TARGET = "morvane_sim::calibration";
constexpr const char* CACHE_FILE_NAME = "parallel_threshold.json";
// The schema of the builds before single precision: one number per thread
// count, measured on double-precision states. Still read, never written.
constexpr std::uint64_t DOUBLE_ONLY_SCHEMA = 2;

constexpr int PASSES = 3;
constexpr std::array<std::uint64_t, 5> CROSSOVER_SIZES = {10, 12, 14, 16, 18};
constexpr double REQUIRED_SPEEDUP = 1.15;
constexpr int SAMPLES_PER_TIMING = 9;
constexpr auto MIN_SAMPLE_TIME = std::chrono::milliseconds(3);

// ---- process-wide state ----------------------------------------------------------

// Both precisions share one status: they come from one cache entry and one
// calibration.
struct ProcessThresholds {
    ThresholdStatus status;
    PrecisionThresholds thresholds;
};

constexpr ProcessThresholds DEFAULT_PROCESS_THRESHOLDS{
    ThresholdStatus::NotCalibrated, {DEFAULT_PARALLEL_THRESHOLD, DEFAULT_PARALLEL_THRESHOLD}};

struct ProcessThreshold {
    std::mutex mutex;
    bool resolved = false;
    ProcessThresholds state = DEFAULT_PROCESS_THRESHOLDS;
};

ProcessThreshold& process() {
    static ProcessThreshold instance;
    return instance;
}

ProcessThresholds resolve_from_cache() {
    const std::uint64_t threads = calibration_thread_count();
    const std::optional<CachedCalibration> cache = load_cache();
    if (cache && !cache->entries.empty()) {
        if (auto entry = cache->entries.find(threads); entry != cache->entries.end()) {
            return {ThresholdStatus::Ready, entry->second.resolved()};
        }
        MORVANE_LOG(log::Level::Info, LOG_TARGET,
                    concat("no gate-parallel calibration cached for ", threads,
                           " thread(s) (other thread counts are calibrated); using the default "
                           "threshold ",
                           DEFAULT_PARALLEL_THRESHOLD,
                           ". Run morvane.calibrate_parallel_threshold() to tune this thread count "
                           "too (requires morvane.init_logger() to be visible)."));
        return {ThresholdStatus::Ready, DEFAULT_PROCESS_THRESHOLDS.thresholds};
    }
    MORVANE_LOG(log::Level::Warn, LOG_TARGET,
                concat("no gate-parallel calibration cached; using the default threshold ",
                       DEFAULT_PARALLEL_THRESHOLD,
                       ". Run install.sh or morvane.calibrate_parallel_threshold() to tune it for "
                       "this machine (requires morvane.init_logger() to be visible)."));
    return DEFAULT_PROCESS_THRESHOLDS;
}

// Caller holds the mutex.
ProcessThresholds resolved_state(ProcessThreshold& p) {
    if (!p.resolved) {
        p.state = resolve_from_cache();
        p.resolved = true;
    }
    return p.state;
}

// ---- cache file -------------------------------------------------------------------

std::optional<std::string> read_text_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(text).str();
}

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
    std::uint64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

// One entry of a schema-3 cache: {"double": n, "single": m}, "single" optional.
std::optional<CachedThresholds> parse_entry(const json::Value& value) {
    if (value.as_object() == nullptr) return std::nullopt;
    const json::Value* double_member = value.find("double");
    if (double_member == nullptr) return std::nullopt;
    const std::optional<std::uint64_t> double_threshold = double_member->as_uint();
    if (!double_threshold) return std::nullopt;
    CachedThresholds entry{*double_threshold, std::nullopt};
    if (const json::Value* single_member = value.find("single")) {
        entry.single_precision = single_member->as_uint();
        if (!entry.single_precision) return std::nullopt;
    }
    return entry;
}

std::string errno_text(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// Writes through a temporary file in the same directory and renames it over
// the cache, so a concurrent reader sees either the old or the new file,
// never a torn one. Returns the error text on failure.
std::optional<std::string> write_file_replacing(const std::filesystem::path& path,
                                                const std::string& text) {
    std::filesystem::path temporary = path;
    temporary += concat(".tmp.", static_cast<long long>(::getpid()));
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return errno_text(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int write_error = errno;
    const bool closed = std::fclose(file) == 0;
    const int close_error = errno;
    if (!written || !closed) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return errno_text(!written ? write_error : close_error);
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return error.message();
    }
    return std::nullopt;
}

// Creates the directory and writes the cache; the error text on failure.
std::optional<std::string> persist(const std::filesystem::path& path,
                                   const CachedCalibration& cache) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) return error.message();
    return write_file_replacing(path, serialize_cache(cache));
}

// ---- timing -----------------------------------------------------------------------

struct CycleMatrices {
    Matrix2 h;
    Matrix2 x;
    Matrix4 swap;
};

CycleMatrices cycle_matrices() {
    using circuit::Gate;
    return {*one_qubit_matrix(Gate::h(0)), *one_qubit_matrix(Gate::x(0)),
            *two_qubit_matrix(Gate::swap(0, 1))};
}

template <class Real>
double time_cycle_of(std::uint64_t num_qubits, bool parallel) {
    static const CycleMatrices matrices = cycle_matrices();
    // One state for every sample: the cycle is unitary, so its values stay
    // bounded and the timings see the same memory each time.
    BasicStatevector<Real> state(num_qubits, 0);
    const std::span<std::complex<Real>> amplitudes = state.amplitudes();
    const std::array<Amplitude, 4> cz{Amplitude(1, 0), Amplitude(1, 0), Amplitude(1, 0),
                                      Amplitude(-1, 0)};
    auto cycle = [&] {
        apply_dense_1q<Real>(amplitudes, num_qubits, 0, matrices.h, parallel);
        apply_diagonal_1q<Real>(amplitudes, 0, Amplitude(1, 0), Amplitude(-1, 0), parallel);
        apply_diagonal_2q<Real>(amplitudes, 0, 1, cz, parallel);
        apply_controlled_1q<Real>(amplitudes, num_qubits, 1, 0, matrices.x, parallel);
        apply_dense_2q<Real>(amplitudes, num_qubits, 0, 1, matrices.swap, parallel);
    };

    std::array<double, SAMPLES_PER_TIMING> samples{};
    for (double& sample : samples) {
        std::uint32_t repetitions = 1;
        while (true) {
            const auto start = std::chrono::steady_clock::now();
            for (std::uint32_t r = 0; r < repetitions; ++r)
                cycle();
            const auto elapsed = std::chrono::steady_clock::now() - start;
            if (elapsed < MIN_SAMPLE_TIME &&
                repetitions != std::numeric_limits<std::uint32_t>::max()) {
                repetitions = repetitions > std::numeric_limits<std::uint32_t>::max() / 2
                                  ? std::numeric_limits<std::uint32_t>::max()
                                  : repetitions * 2;
                continue;
            }
            sample = static_cast<double>(
                         std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
                     repetitions;
            break;
        }
    }
    std::sort(samples.begin(), samples.end());
    return samples[SAMPLES_PER_TIMING / 2];
}

constexpr std::array<Precision, 2> PRECISIONS = {Precision::Double, Precision::Single};

}  // namespace

// ---- public API -------------------------------------------------------------------

std::uint64_t calibration_thread_count() {
    return ThreadPool::global().num_threads();
}

ThresholdState threshold_state(Precision precision) {
    ProcessThreshold& p = process();
    std::lock_guard lock(p.mutex);
    const ProcessThresholds state = resolved_state(p);
    return {state.status, state.thresholds.of(precision)};
}

std::uint64_t process_threshold(Precision precision) {
    return threshold_state(precision).threshold;
}

ThresholdStatus threshold_status() {
    return threshold_state().status;
}

namespace testing {
void reset_threshold_state() {
    ProcessThreshold& p = process();
    std::lock_guard lock(p.mutex);
    p.resolved = false;
    p.state = DEFAULT_PROCESS_THRESHOLDS;
}
}  // namespace testing

std::optional<std::filesystem::path> cache_file_path() {
    std::filesystem::path directory;
    if (auto xdg = env_var_nonempty("XDG_CACHE_HOME")) {
        directory = std::filesystem::path(*xdg) / "morvane";
    } else if (auto home = env_var_nonempty("HOME")) {
        directory = std::filesystem::path(*home) / ".cache" / "morvane";
    } else {
        return std::nullopt;
    }
    return directory / CACHE_FILE_NAME;
}

std::optional<CachedCalibration> parse_cache(std::string_view text) {
    auto document = json::parse(text);
    if (!document || document->as_object() == nullptr) return std::nullopt;
    const json::Value* schema = document->find("schema");
    const json::Value* entries = document->find("entries");
    if (schema == nullptr || entries == nullptr) return std::nullopt;
    const std::optional<std::uint64_t> version = schema->as_uint();
    if (version != DOUBLE_ONLY_SCHEMA && version != CALIBRATION_SCHEMA) return std::nullopt;
    const json::Object* members = entries->as_object();
    if (members == nullptr) return std::nullopt;

    CachedCalibration cache;
    for (const auto& [key, value] : *members) {
        const std::optional<std::uint64_t> threads = parse_decimal(key);
        if (!threads) return std::nullopt;
        std::optional<CachedThresholds> entry;
        if (version == DOUBLE_ONLY_SCHEMA) {
            // A schema-2 threshold was measured on double-precision states.
            if (auto threshold = value.as_uint()) {
                entry = CachedThresholds{*threshold, std::nullopt};
            }
        } else {
            entry = parse_entry(value);
        }
        if (!entry) return std::nullopt;
        cache.entries[*threads] = *entry;
    }
    return cache;
}

std::string serialize_cache(const CachedCalibration& cache) {
    json::Object entries;
    for (const auto& [threads, thresholds] : cache.entries) {
        json::Object entry;
        entry.emplace_back("double", json::Value(thresholds.double_precision));
        if (thresholds.single_precision) {
            entry.emplace_back("single", json::Value(*thresholds.single_precision));
        }
        entries.emplace_back(concat(threads), json::Value(std::move(entry)));
    }
    json::Object root;
    root.emplace_back("schema", json::Value(static_cast<std::uint64_t>(CALIBRATION_SCHEMA)));
    root.emplace_back("entries", json::Value(std::move(entries)));
    return json::write_pretty(json::Value(std::move(root)), 2);
}

std::optional<CachedCalibration> load_cache() {
    const std::optional<std::filesystem::path> path = cache_file_path();
    if (!path) return std::nullopt;
    const std::optional<std::string> text = read_text_file(*path);
    if (!text) return std::nullopt;
    return parse_cache(*text);
}

double time_cycle(std::uint64_t num_qubits, bool parallel, Precision precision) {
    return precision == Precision::Double ? time_cycle_of<double>(num_qubits, parallel)
                                          : time_cycle_of<float>(num_qubits, parallel);
}

CrossoverMeasurement measure_crossover() {
    return measure_crossover([](std::uint64_t n, bool parallel, Precision precision) {
        return time_cycle(n, parallel, precision);
    });
}

CrossoverMeasurement measure_crossover(CycleTimer timer) {
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t threads = calibration_thread_count();
    // crossovers[precision][pass]
    std::array<std::array<std::uint64_t, PASSES>, PRECISIONS.size()> crossovers{};
    for (int pass = 0; pass < PASSES; ++pass) {
        std::array<bool, PRECISIONS.size()> found{};
        for (auto& of_precision : crossovers)
            of_precision[pass] = NEVER_PARALLEL_THRESHOLD;
        // Every size is timed in every pass, even after the crossover, so
        // that each pass loads the machine the same way.
        for (std::uint64_t n : CROSSOVER_SIZES) {
            for (std::size_t p = 0; p < PRECISIONS.size(); ++p) {
                const double serial = timer(n, false, PRECISIONS[p]);
                const double parallel = timer(n, true, PRECISIONS[p]);
                if (!found[p] && parallel > 0.0 && serial / parallel >= REQUIRED_SPEEDUP) {
                    crossovers[p][pass] = n;
                    found[p] = true;
                }
            }
        }
    }
    auto median = [](std::array<std::uint64_t, PASSES> passes) {
        std::sort(passes.begin(), passes.end());
        return passes[PASSES / 2];
    };
    static_assert(PRECISIONS[0] == Precision::Double && PRECISIONS[1] == Precision::Single);
    const PrecisionThresholds thresholds{median(crossovers[0]), median(crossovers[1])};
    const auto duration = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start);
    // The double-precision part reads as it did before single precision
    // existed; the single-precision threshold follows it.
    MORVANE_LOG(log::Level::Info, LOG_TARGET,
                concat("calibrated gate-parallel threshold = ", thresholds.double_precision,
                       " qubit(s) for ", threads, " thread(s) over ", PASSES, " session(s) in ",
                       format_duration(duration),
                       "; single precision: ", thresholds.single_precision, " qubit(s)"));
    return {thresholds, threads, duration};
}

CalibrationReport calibrate(bool force) {
    return calibrate(force, [] { return measure_crossover(); });
}

CalibrationReport calibrate(bool force, CrossoverMeasurer measure) {
    const std::uint64_t threads = calibration_thread_count();
    const std::optional<std::filesystem::path> path = cache_file_path();
    std::optional<std::string> path_text;
    if (path) path_text = path->string();

    // An entry that lacks single precision (from schema 2) is measured again
    // rather than reused, so that a calibration after an upgrade, like the
    // one install.sh makes, completes it once.
    if (!force) {
        if (auto cache = load_cache()) {
            if (auto entry = cache->entries.find(threads);
                entry != cache->entries.end() && entry->second.complete()) {
                return {entry->second.resolved(),
                        threads,
                        std::chrono::nanoseconds(0),
                        true,
                        path_text,
                        false};
            }
        }
    }

    const CrossoverMeasurement measured = measure();

    // Read again: entries other processes wrote while this one measured
    // survive, those of schema 2 still without single precision.
    CachedCalibration cache = load_cache().value_or(CachedCalibration{});
    cache.entries[threads] = {measured.thresholds.double_precision,
                              measured.thresholds.single_precision};

    bool written = false;
    if (!path) {
        MORVANE_LOG(log::Level::Warn, LOG_TARGET,
                    "no cache directory (set XDG_CACHE_HOME or HOME) to persist gate-parallel "
                    "calibration; this process is calibrated but the result was not saved");
    } else if (auto error = persist(*path, cache)) {
        MORVANE_LOG(
            log::Level::Warn, LOG_TARGET,
            concat("could not persist gate-parallel calibration to ", *path_text, ": ", *error));
    } else {
        written = true;
    }

    {
        ProcessThreshold& p = process();
        std::lock_guard lock(p.mutex);
        resolved_state(p);
        p.state = {ThresholdStatus::Ready, measured.thresholds};
    }
    return {measured.thresholds, threads, measured.duration, false, path_text, written};
}

}  // namespace morvane::sim
