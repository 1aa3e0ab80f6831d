#pragma once

// The logger that init_logger installs: level filtering, text or JSON lines,
// and their delivery to a file, standard output or standard error. Nothing
// here touches Python, so records can be written from any thread (pool
// workers included) without the interpreter lock.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/log.hpp"

namespace morvane::python {

// The validated arguments of init_logger.
struct LoggerConfig {
    log::Level level = log::Level::Info;
    bool json = false;
    // Absent: standard output. Present: the file to append to.
    std::optional<std::filesystem::path> file;
    bool timestamp = true;
    bool thread_id = false;
    bool module_path = false;
};

// ASCII letters lower-cased, every other byte kept.
std::string ascii_lower(std::string_view text);

// "off", "error", "warn"/"warning", "info", "debug", "trace", any ASCII case.
std::optional<log::Level> parse_log_level(std::string_view text);

// "text" (false) or "json" (true), any ASCII case.
std::optional<bool> parse_log_format(std::string_view text);

// The per-run file "{base}_{%Y%m%d_%H%M%S}_{pid}_{counter}.log" under
// $MORVANE_LOG_DIR (when non-empty) or `logs`. Each call takes the next value
// of the process-wide counter, so names never repeat within a process and the
// pid keeps them apart between processes.
std::filesystem::path auto_log_file_path(std::optional<std::string_view> run_name);

// The local time in strftime form, e.g. "%Y-%m-%d %H:%M:%S".
std::string local_time_text(const char* strftime_format);

// "ThreadId(N)", N a positive number unique to the calling thread within the
// process and stable for its lifetime.
std::string current_thread_label();

// One record as a line without its newline. `time_text` and `thread_label`
// are used only when the configuration asks for them. May throw (allocation).
std::string format_log_line(const LoggerConfig& config, const log::Record& record,
                            std::string_view time_text, std::string_view thread_label);

// Creates the parent directories of a log file; the operating system's error
// text on failure. A path without a parent needs nothing.
std::optional<std::string> create_log_directory(const std::filesystem::path& file);

// Builds the sink for `config`. A file that cannot be opened is reported on
// standard error and the sink then writes its lines to standard error.
std::unique_ptr<log::Sink> make_log_sink(const LoggerConfig& config);

}  // namespace morvane::python
