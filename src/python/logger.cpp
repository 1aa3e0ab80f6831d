// init_logger: validates its arguments, then installs the process's one log
// sink. The sink itself (log_sink.cpp) never touches Python.

#include <Python.h>

#include <atomic>
#include <optional>
#include <string>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/log_sink.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

// Set by the first call that gets past validation; cleared again only when
// that call fails to create the log directory, so a corrected call may follow.
std::atomic<bool> logger_installed{false};

constexpr const char* ALREADY_INSTALLED =
    "a Morvane logger is already installed; ignoring this init_logger call. The logger can be "
    "configured only once per process \xE2\x80\x94 restart the interpreter/kernel to change its "
    "level, format, or target.";

PyObject* warn_already_installed() {
    if (PyErr_WarnEx(PyExc_UserWarning, ALREADY_INSTALLED, 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

// A path-like argument as the bytes the operating system sees. os.fspath()
// must yield a str; bytes paths are not part of this function's contract.
std::optional<std::string> to_path_bytes(PyObject* value, const char* name) {
    PyRef text = PyRef::steal(PyOS_FSPath(value));
    if (!text) {
        prefix_type_error(name);
        return std::nullopt;
    }
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': '%s' object cannot be converted to 'PyString'", name,
                     Py_TYPE(text.get())->tp_name);
        return std::nullopt;
    }
    PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(text.get()));
    if (!encoded) return std::nullopt;
    return std::string(PyBytes_AS_STRING(encoded.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

bool optional_bool(PyObject* value, const char* name, bool& out) {
    if (value == nullptr) return true;
    auto converted = to_bool(value, name);
    if (!converted) return false;
    out = *converted;
    return true;
}

bool optional_str(PyObject* value, const char* name, std::string& out) {
    if (value == nullptr) return true;
    auto converted = to_str(value, name);
    if (!converted) return false;
    out = std::move(*converted);
    return true;
}

enum class Installed { Yes, DirectoryFailed, OtherSink };

PyObject* init_logger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[8];
        if (!bind_arguments("init_logger", args, nargs, kwnames,
                            {"level", "format", "file", "run_name", "console", "timestamp",
                             "thread_id", "module_path"},
                            0, a)) {
            return nullptr;
        }
        std::string level_text = "info";
        std::string format_text = "text";
        std::optional<std::string> file;
        std::optional<std::string> run_name;
        bool console = false;
        LoggerConfig config;
        if (!optional_str(a[0], "level", level_text)) return nullptr;
        if (!optional_str(a[1], "format", format_text)) return nullptr;
        if (a[2] != nullptr && a[2] != Py_None) {
            file = to_path_bytes(a[2], "file");
            if (!file) return nullptr;
        }
        if (a[3] != nullptr && a[3] != Py_None) {
            run_name = to_str(a[3], "run_name");
            if (!run_name) return nullptr;
        }
        if (!optional_bool(a[4], "console", console)) return nullptr;
        if (!optional_bool(a[5], "timestamp", config.timestamp)) return nullptr;
        if (!optional_bool(a[6], "thread_id", config.thread_id)) return nullptr;
        if (!optional_bool(a[7], "module_path", config.module_path)) return nullptr;

        const auto level = parse_log_level(level_text);
        if (!level) {
            const std::string message =
                concat("unknown log level '", ascii_lower(level_text),
                       "'; expected one of off/error/warn/info/debug/trace");
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return nullptr;
        }
        config.level = *level;
        const auto json = parse_log_format(format_text);
        if (!json) {
            const std::string message = concat("unknown log format '", ascii_lower(format_text),
                                               "'; expected \"text\" or \"json\"");
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return nullptr;
        }
        config.json = *json;

        if (file && console) {
            PyErr_SetString(PyExc_ValueError,
                            "cannot log to both an explicit file and the console; pass either "
                            "`file` or `console`, not both");
            return nullptr;
        }
        if (file && run_name) {
            PyErr_SetString(
                PyExc_ValueError,
                "a base name for the auto-generated log file was given together with an "
                "explicit `file`; the base name only names the default per-run file. Pass "
                "either the base name (to auto-name the file) or `file`, not both");
            return nullptr;
        }
        if (console && run_name) {
            PyErr_SetString(
                PyExc_ValueError,
                "a base name for the auto-generated log file was given together with `console` "
                "output; the base name only names the default per-run file. Pass either the "
                "base name (to auto-name the file) or `console`, not both");
            return nullptr;
        }
        if (file) {
            config.file = std::filesystem::path(*file);
        } else if (!console) {
            config.file = auto_log_file_path(run_name);
        }

        if (logger_installed.exchange(true)) return warn_already_installed();

        Installed outcome = Installed::Yes;
        std::string directory_error;
        {
            ReleaseGil released;
            if (config.file) {
                if (auto error = create_log_directory(*config.file)) {
                    directory_error = std::move(*error);
                    outcome = Installed::DirectoryFailed;
                }
            }
            if (outcome == Installed::Yes &&
                !log::install_sink(make_log_sink(config), config.level)) {
                outcome = Installed::OtherSink;
            }
        }
        switch (outcome) {
            case Installed::DirectoryFailed: {
                logger_installed.store(false);
                const std::string message = concat("failed to create log directory for ",
                                                   config.file->string(), ": ", directory_error);
                PyErr_SetString(PyExc_ValueError, message.c_str());
                return nullptr;
            }
            case Installed::OtherSink:
                return warn_already_installed();
            case Installed::Yes:
                break;
        }
        if (!config.file) Py_RETURN_NONE;
        const std::string path_text = config.file->string();
        return PyUnicode_DecodeFSDefaultAndSize(path_text.data(),
                                                static_cast<Py_ssize_t>(path_text.size()));
    });
}

constexpr const char* INIT_LOGGER_DOC =
    "init_logger(level='info', format='text', file=None, run_name=None, console=False, "
    "timestamp=True, thread_id=False, module_path=False)\n"
    "--\n"
    "\n"
    "Install the Morvane logger. Call it once, early: before train() or\n"
    "run_quantum_circuit(), so that the native diagnostics of those calls (calibration\n"
    "notices, backend messages) are recorded. Until it is called every record is discarded.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "level : str, default 'info'\n"
    "    One of 'off', 'error', 'warn' (or 'warning'), 'info', 'debug', 'trace', in any\n"
    "    case. Records more verbose than this are dropped; 'off' writes nothing. The level\n"
    "    cannot exceed the verbosity compiled into the library (info in a default build),\n"
    "    so 'debug' or 'trace' alone capture nothing more in a default build.\n"
    "format : str, default 'text'\n"
    "    'text' for one line per record, or 'json' for one compact JSON object per line\n"
    "    (members in sorted key order), in any case.\n"
    "file : str or os.PathLike, optional\n"
    "    Explicit log file, used verbatim; missing parent directories are created and the\n"
    "    file is opened for appending.\n"
    "run_name : str, optional\n"
    "    Base name of the default per-run file; valid only without `file` and `console`.\n"
    "console : bool, default False\n"
    "    Write records to standard output instead of a file.\n"
    "timestamp : bool, default True\n"
    "    Annotate records with the local time.\n"
    "thread_id : bool, default False\n"
    "    Annotate records with the identifier of the thread that wrote them.\n"
    "module_path : bool, default False\n"
    "    Annotate records with the module that wrote them.\n"
    "\n"
    "Without `file` and `console`, records go to a per-run file named\n"
    "'{run_name or \"morvane\"}_{%Y%m%d_%H%M%S}_{pid}_{counter}.log' in the directory\n"
    "$MORVANE_LOG_DIR, or 'logs' under the current directory when that is unset or empty.\n"
    "\n"
    "Returns the log file's path as a str when logging to a file, None when logging to\n"
    "the console. The logger can be configured only once per process: a later call is a\n"
    "no-op that emits a UserWarning and returns None.";

}  // namespace

PyMethodDef init_logger_def = {
    "init_logger",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_logger)),
    METH_FASTCALL | METH_KEYWORDS,
    INIT_LOGGER_DOC,
};

}  // namespace morvane::python
