#include "python/log_sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <exception>
#include <mutex>
#include <system_error>

#include "support/env.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

std::atomic<std::uint64_t> log_file_counter{0};
std::atomic<std::uint64_t> next_thread_number{1};

std::string errno_text(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// Writes all of `text` to a descriptor, resuming after partial writes and
// signals. Returns 0 or the errno of the failure.
int write_all(int fd, std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Standard output and standard error are shared with Python and with other
// native writers; a lock per stream keeps our own lines whole.
std::mutex& stream_mutex(int fd) {
    static std::mutex out_mutex;
    static std::mutex err_mutex;
    return fd == STDOUT_FILENO ? out_mutex : err_mutex;
}

void write_stream_line(int fd, std::string_view line) noexcept {
    try {
        std::lock_guard lock(stream_mutex(fd));
        (void)write_all(fd, line);
    } catch (...) {
        // Nowhere left to report to.
    }
}

class LogSink final : public log::Sink {
public:
    LogSink(LoggerConfig config, int fd) : config_(std::move(config)), fd_(fd) {}
    ~LogSink() override {
        if (fd_ >= 0) ::close(fd_);
    }
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    void write(const log::Record& record) override {
        if (config_.level == log::Level::Off || record.level == log::Level::Off ||
            record.level > config_.level) {
            return;
        }
        std::string line = format(record);
        line += '\n';
        if (!config_.file) {
            write_stream_line(STDOUT_FILENO, line);
        } else if (fd_ < 0) {
            write_stream_line(STDERR_FILENO, line);
        } else {
            write_file_line(line);
        }
    }

private:
    std::string format(const log::Record& record) {
        const std::string time_text =
            config_.timestamp ? local_time_text("%Y-%m-%d %H:%M:%S") : std::string();
        const std::string thread_label = config_.thread_id ? current_thread_label() : std::string();
        if (!config_.json) return format_log_line(config_, record, time_text, thread_label);
        try {
            return format_log_line(config_, record, time_text, thread_label);
        } catch (const std::exception& error) {
            if (!json_failure_reported_.exchange(true)) {
                write_stream_line(
                    STDERR_FILENO,
                    concat("morvane-logger: failed to serialize a log record to JSON: ",
                           error.what(),
                           "; falling back to the raw message and suppressing further reports\n"));
            }
            return std::string(record.message);
        }
    }

    void write_file_line(std::string_view line) {
        int error = 0;
        {
            // One lock per logger: O_APPEND alone does not stop two partial
            // writes of different lines from interleaving.
            std::lock_guard lock(file_mutex_);
            error = write_all(fd_, line);
        }
        if (error != 0 && !write_failure_reported_.exchange(true)) {
            write_stream_line(STDERR_FILENO,
                              concat("morvane-logger: failed to write to log file ",
                                     config_.file->string(), ": ", errno_text(error),
                                     "; suppressing further write-error reports\n"));
        }
    }

    const LoggerConfig config_;
    const int fd_;  // -1: the file could not be opened, lines go to stderr
    std::mutex file_mutex_;
    std::atomic<bool> json_failure_reported_{false};
    std::atomic<bool> write_failure_reported_{false};
};

}  // namespace

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::optional<log::Level> parse_log_level(std::string_view text) {
    const std::string lower = ascii_lower(text);
    if (lower == "off") return log::Level::Off;
    if (lower == "error") return log::Level::Error;
    if (lower == "warn" || lower == "warning") return log::Level::Warn;
    if (lower == "info") return log::Level::Info;
    if (lower == "debug") return log::Level::Debug;
    if (lower == "trace") return log::Level::Trace;
    return std::nullopt;
}

std::optional<bool> parse_log_format(std::string_view text) {
    const std::string lower = ascii_lower(text);
    if (lower == "text") return false;
    if (lower == "json") return true;
    return std::nullopt;
}

std::filesystem::path auto_log_file_path(std::optional<std::string_view> run_name) {
    std::filesystem::path directory("logs");
    if (auto configured = env_var_nonempty("MORVANE_LOG_DIR")) directory = *configured;
    const std::uint64_t counter = log_file_counter.fetch_add(1, std::memory_order_relaxed);
    const std::string_view base = run_name ? *run_name : std::string_view("morvane");
    return directory / concat(base, "_", local_time_text("%Y%m%d_%H%M%S"), "_",
                              static_cast<long long>(::getpid()), "_", counter, ".log");
}

std::string local_time_text(const char* strftime_format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return std::string();
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, strftime_format, &local);
    return std::string(buffer, length);
}

std::string current_thread_label() {
    thread_local const std::uint64_t number =
        next_thread_number.fetch_add(1, std::memory_order_relaxed);
    return concat("ThreadId(", number, ")");
}

std::string format_log_line(const LoggerConfig& config, const log::Record& record,
                            std::string_view time_text, std::string_view thread_label) {
    const std::string_view level = log::level_name(record.level);
    const std::string_view module =
        record.module_path.empty() ? std::string_view("unknown") : record.module_path;
    std::string line;
    if (config.json) {
        // Members in sorted key order, so that readers can rely on the layout.
        line += "{\"level\":";
        json::append_quoted(line, level);
        line += ",\"message\":";
        json::append_quoted(line, record.message);
        if (config.module_path) {
            line += ",\"module\":";
            json::append_quoted(line, module);
        }
        if (config.thread_id) {
            line += ",\"thread_id\":";
            json::append_quoted(line, thread_label);
        }
        if (config.timestamp) {
            line += ",\"timestamp\":";
            json::append_quoted(line, time_text);
        }
        line += '}';
        return line;
    }
    auto bracket = [&line](std::string_view piece) {
        line += '[';
        line += piece;
        line += "] ";
    };
    if (config.timestamp) bracket(time_text);
    if (config.thread_id) bracket(thread_label);
    bracket(level);
    if (config.module_path) bracket(module);
    line += ' ';
    line += record.message;
    return line;
}

std::optional<std::string> create_log_directory(const std::filesystem::path& file) {
    const std::filesystem::path parent = file.parent_path();
    if (parent.empty()) return std::nullopt;
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    if (error) return error.message();
    return std::nullopt;
}

std::unique_ptr<log::Sink> make_log_sink(const LoggerConfig& config) {
    int fd = -1;
    if (config.file) {
        // Unbuffered appends: every line reaches the file as soon as it is
        // written, so nothing is lost if the process dies.
        fd = ::open(config.file->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            write_stream_line(STDERR_FILENO, concat("Failed to open log file ",
                                                    config.file->string(), ": ",
                                                    errno_text(error), "\n"));
        }
    }
    return std::make_unique<LogSink>(config, fd);
}

}  // namespace morvane::python
