// Python access to the gate-parallel threshold calibration and to the count of
// failed backend teardowns, plus the start-up notice of the simulating entry
// points.

#include "python/calibration_entry.hpp"

#include <Python.h>

#include <chrono>

#include "exec/cleanup_failures.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"
#include "sim/calibration.hpp"
#include "support/log.hpp"

namespace morvane::python {

namespace {

constexpr const char* LOG_TARGET = "morvane::bindings::calibration";

// Sets dict[key] = value, taking over the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    if (!owned) return false;
    return PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* optional_path(const std::optional<std::string>& path) {
    if (!path) Py_RETURN_NONE;
    return PyUnicode_DecodeFSDefaultAndSize(path->data(), static_cast<Py_ssize_t>(path->size()));
}

double seconds(std::chrono::nanoseconds duration) {
    const auto count = duration.count();
    return static_cast<double>(count / 1'000'000'000) +
           static_cast<double>(count % 1'000'000'000) / 1e9;
}

PyObject* report_dict(const sim::CalibrationReport& report) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    // "threshold" stays the double-precision one it was before single
    // precision existed; the single-precision one comes last, so the keys
    // that were there keep their order.
    const sim::PrecisionThresholds& thresholds = report.thresholds;
    if (!set_item(d, "threshold", PyLong_FromUnsignedLongLong(thresholds.double_precision)) ||
        !set_item(d, "num_threads", PyLong_FromUnsignedLongLong(report.num_threads)) ||
        !set_item(d, "duration_secs", PyFloat_FromDouble(seconds(report.duration))) ||
        !set_item(d, "reused_cache", PyBool_FromLong(report.reused_cache)) ||
        !set_item(d, "cache_path", optional_path(report.cache_path)) ||
        !set_item(d, "cache_written", PyBool_FromLong(report.cache_written)) ||
        !set_item(d, "single_threshold",
                  PyLong_FromUnsignedLongLong(thresholds.single_precision))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* calibrate_parallel_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_arguments("calibrate_parallel_threshold", args, nargs, kwnames, {"force"}, 0,
                            a)) {
            return nullptr;
        }
        bool force = false;
        if (a[0] != nullptr) {
            auto converted = to_bool(a[0], "force");
            if (!converted) return nullptr;
            force = *converted;
        }
        std::optional<sim::CalibrationReport> report;
        {
            // Measuring takes about a second on the whole pool; other Python
            // threads keep running meanwhile.
            ReleaseGil released;
            report = sim::calibrate(force);
        }
        return report_dict(*report);
    });
}

PyObject* backend_cleanup_failures(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        return PyLong_FromUnsignedLongLong(
            exec::cleanup_failures().load(std::memory_order_relaxed));
    });
}

constexpr const char* CALIBRATE_DOC =
    "calibrate_parallel_threshold(force=False)\n"
    "--\n"
    "\n"
    "Calibrate (or reuse) the gate-parallelism thresholds for this machine: the register\n"
    "size from which the statevector simulator runs its gate kernels on the thread pool,\n"
    "one for double-precision and one for single-precision states.\n"
    "\n"
    "With force=False a cached result for the current thread count is reused and nothing\n"
    "is measured; with force=True, or when the cached result predates single precision,\n"
    "the crossovers are measured again (about two seconds) and the cache entry\n"
    "overwritten. The measured thresholds are used by this process from now on. A cache\n"
    "that cannot be written is not an error, so the call is safe to run unconditionally,\n"
    "for example from an installer.\n"
    "\n"
    "Returns a dict with the keys:\n"
    "    threshold      int   qubit count at or above which gates run in parallel\n"
    "                         (double precision)\n"
    "    num_threads    int   the thread pool's thread count (the cache key)\n"
    "    duration_secs  float measurement time in seconds; 0.0 when the cache was reused\n"
    "    reused_cache   bool  a valid cache entry was returned unchanged\n"
    "    cache_path     str or None  where the cache file lives or would live; None\n"
    "                         without a cache location (neither XDG_CACHE_HOME nor HOME)\n"
    "    cache_written  bool  this call persisted a fresh result\n"
    "    single_threshold  int  the threshold of single-precision states\n"
    "\n"
    "Diagnostics (for example why the cache could not be written) appear only in the\n"
    "log, and require morvane.init_logger() to be called first.";

constexpr const char* CLEANUP_DOC =
    "backend_cleanup_failures()\n"
    "--\n"
    "\n"
    "Number of backend resource-cleanup (close or drop) failures recorded in this\n"
    "process. Tearing a backend down must never raise, so such failures (for example\n"
    "releasing a CUNQA SLURM allocation) are logged and counted instead; the count is\n"
    "exposed for diagnostics and monitoring.";

}  // namespace

PyMethodDef calibrate_parallel_threshold_def = {
    "calibrate_parallel_threshold",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calibrate_parallel_threshold)),
    METH_FASTCALL | METH_KEYWORDS,
    CALIBRATE_DOC,
};

PyMethodDef backend_cleanup_failures_def = {
    "backend_cleanup_failures",
    backend_cleanup_failures,
    METH_NOARGS,
    CLEANUP_DOC,
};

void calibration_notice() noexcept {
    try {
        // Reading the status resolves the process-wide threshold on first use,
        // which logs on its own when no cache is found.
        if (sim::threshold_status() != sim::ThresholdStatus::NotCalibrated) return;
        MORVANE_LOG(log::Level::Info, LOG_TARGET,
                    "morvane is using the default gate-parallel threshold (not calibrated on this "
                    "machine, e.g. a read-only cache dir). Results are unaffected; call "
                    "morvane.calibrate_parallel_threshold() to tune performance.");
    } catch (...) {
        // A notice must never fail the call that shows it.
    }
}

}  // namespace morvane::python
