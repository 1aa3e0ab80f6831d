#include "circuit/qir_bitcode.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "support/text.hpp"
#include "support/utf8.hpp"

extern char** environ;

namespace morvane::circuit {

namespace {

std::string errno_text(int error) {
    char buffer[256];
    // The GNU strerror_r: returns the text, which may or may not be `buffer`.
    return strerror_r(error, buffer, sizeof buffer);
}

CircuitError failed(std::string message) {
    return QirAssemblyFailed{std::string(QIR_ASSEMBLER), std::move(message)};
}

// A file descriptor owned by one scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

// Close-on-exec on both ends, so a process that another thread starts
// meanwhile does not inherit them; in particular an inherited copy of the
// write end of the tool's stdin would keep the tool from ever seeing EOF.
std::optional<Pipe> make_pipe(int& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = errno;
        return std::nullopt;
    }
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

void set_nonblocking(const Fd& fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

// While the tool's stdin is written from this thread, SIGPIPE stays blocked
// here, so a tool that exits without reading turns our write into EPIPE
// instead of killing the host process (a C++ host, unlike the interpreter,
// usually leaves SIGPIPE at its default). A SIGPIPE raised by our own write is
// consumed before the mask is restored; one that was already pending stays.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (raised_ && !was_pending_) {
            const timespec no_wait{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    void note_broken_pipe() { raised_ = true; }

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool was_pending_ = false;
    bool raised_ = false;
};

// Spawn attributes that give the tool a clean signal state: an empty mask
// (the calling thread has SIGPIPE blocked) and default dispositions for the
// signals a Python host ignores, so the tool behaves as from a shell.
class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&attr_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        posix_spawnattr_setsigmask(&attr_, &none);
        posix_spawnattr_setsigdefault(&attr_, &defaults);
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
};

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    // dup2 onto 0, 1, 2 clears close-on-exec on the copies only.
    void redirect(int from, int to) { posix_spawn_file_actions_adddup2(&actions_, from, to); }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Exit status as a shell would describe it: the code, or the signal.
std::string status_text(int status) {
    if (WIFEXITED(status)) return concat(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        std::string text = concat("signal ", signal);
        if (const char* name = sigabbrev_np(signal)) text += concat(" (SIG", name, ")");
        if (WCOREDUMP(status)) text += " (core dumped)";
        return text;
    }
    return concat("wait status ", status);
}

// ---- diagnostics text ---------------------------------------------------

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with
// U+FFFD, the way a lossy decoder does; returns the code points.
std::vector<char32_t> decode_lossy(std::string_view bytes) {
    std::vector<char32_t> out;
    std::size_t i = 0;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i < bytes.size()) {
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        char32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        }
        std::size_t taken = 1;
        while (length != 0 && taken < length && i + taken < bytes.size()) {
            const unsigned char next = byte(i + taken);
            const unsigned char lo = taken == 1 ? low : 0x80;
            const unsigned char hi = taken == 1 ? high : 0xBF;
            if (next < lo || next > hi) break;
            code = (code << 6) | (next & 0x3F);
            ++taken;
        }
        if (length != 0 && taken == length) {
            out.push_back(code);
        } else {
            out.push_back(U'\uFFFD');
        }
        i += taken;
    }
    return out;
}

// The tool's error stream as message text: valid UTF-8 whatever it wrote,
// without the surrounding white space (usually a trailing newline).
std::string diagnostics_text(std::string_view bytes) {
    const std::vector<char32_t> chars = decode_lossy(bytes);
    std::size_t begin = 0, end = chars.size();
    while (begin < end && is_unicode_white_space(chars[begin])) ++begin;
    while (end > begin && is_unicode_white_space(chars[end - 1])) --end;
    std::string out;
    for (std::size_t i = begin; i < end; ++i) append_utf8(out, chars[i]);
    return out;
}

// ---- the exchange with the running tool ---------------------------------

struct Exchange {
    std::vector<std::uint8_t> output;
    std::string diagnostics;
    std::optional<int> write_error;
    std::optional<int> read_error;
};

// Reads whatever is available; closes `fd` at end of stream or on error.
template <class Buffer>
void drain(Fd& fd, Buffer& buffer, std::optional<int>& read_error) {
    std::array<char, 65536> chunk;
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n > 0) {
            buffer.insert(buffer.end(), chunk.data(), chunk.data() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && !read_error) read_error = errno;
        fd.reset();
        return;
    }
}

// Feeds `input` to the tool while collecting both of its output streams, so
// neither side can block the other: the tool may fill its stdout before it
// has read all of its input.
Exchange exchange(std::string_view input, Fd in, Fd out, Fd err) {
    Exchange result;
    SigpipeBlock sigpipe;
    std::size_t written = 0;
    if (input.empty()) in.reset();
    while (in.open() || out.open() || err.open()) {
        pollfd fds[3] = {{in.get(), POLLOUT, 0}, {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            // Closing every stream on return makes the tool see EOF on its
            // input and a broken pipe on its output, so it ends and the
            // caller's wait does not hang.
            result.read_error = errno;
            return result;
        }
        if (in.open() && fds[0].revents != 0) {
            const ssize_t n = ::write(in.get(), input.data() + written, input.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                if (written == input.size()) in.reset();
            } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                if (errno == EPIPE) sigpipe.note_broken_pipe();
                result.write_error = errno;
                in.reset();
            }
        }
        if (out.open() && fds[1].revents != 0) drain(out, result.output, result.read_error);
        if (err.open() && fds[2].revents != 0) drain(err, result.diagnostics, result.read_error);
    }
    return result;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, CircuitError> assemble_qir_bitcode(
    std::string_view module_text) {
    int error = 0;
    std::optional<Pipe> in = make_pipe(error);
    std::optional<Pipe> out = in ? make_pipe(error) : std::nullopt;
    std::optional<Pipe> err = out ? make_pipe(error) : std::nullopt;
    if (!err) return std::unexpected(failed(errno_text(error)));

    FileActions actions;
    actions.redirect(in->read.get(), STDIN_FILENO);
    actions.redirect(out->write.get(), STDOUT_FILENO);
    actions.redirect(err->write.get(), STDERR_FILENO);
    SpawnAttributes attributes;

    const std::string tool(QIR_ASSEMBLER);
    char dash_o[] = "-o", dash[] = "-", dash_in[] = "-";
    char* argv[] = {const_cast<char*>(tool.c_str()), dash_o, dash, dash_in, nullptr};
    pid_t pid = 0;
    const int spawned =
        posix_spawnp(&pid, tool.c_str(), actions.get(), attributes.get(), argv, environ);
    if (spawned == ENOENT) return std::unexpected(QirAssemblyToolNotFound{tool});
    if (spawned != 0) return std::unexpected(failed(errno_text(spawned)));

    // Our copies of the child's ends must go, or the streams never end.
    in->read.reset();
    out->write.reset();
    err->write.reset();
    set_nonblocking(in->write);
    set_nonblocking(out->read);
    set_nonblocking(err->read);

    Exchange result =
        exchange(module_text, std::move(in->write), std::move(out->read), std::move(err->read));

    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) break;
        if (errno == EINTR) continue;
        return std::unexpected(failed(errno_text(errno)));
    }

    // A tool that failed usually explains itself on stderr, which says more
    // than the broken pipe its early exit caused, so the status comes first.
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string message = concat("non-zero exit status ", status_text(status));
        const std::string diagnostics = diagnostics_text(result.diagnostics);
        if (!diagnostics.empty()) message += concat(": ", diagnostics);
        return std::unexpected(failed(std::move(message)));
    }
    if (result.write_error) {
        return std::unexpected(
            failed(concat("failed to write QIR to stdin: ", errno_text(*result.write_error))));
    }
    if (result.read_error) return std::unexpected(failed(errno_text(*result.read_error)));
    return std::move(result.output);
}

}  // namespace morvane::circuit
