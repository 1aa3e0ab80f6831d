#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "support/function_ref.hpp"

namespace morvane {

// The process-wide work-stealing pool that every parallel loop of the system
// shares: gate kernels, per-map observable reductions, concurrent native
// simulations. It starts on first parallel use.
//
// Size: RAYON_NUM_THREADS if it is a positive integer, else RAYON_RS_NUM_CPUS
// likewise, else one worker per logical processor. The count includes the
// thread that starts a loop: that thread always takes part in its own loop,
// so a pool of N threads keeps N - 1 background workers.
//
// Nesting: a parallel loop started from inside a pool task runs on the
// threads that are already there (the task's thread takes part, idle workers
// steal pieces); it never blocks waiting for a worker that will not come and
// never starts extra threads.
//
// Exceptions: if a piece throws, the remaining unstarted pieces of that loop
// are skipped and the first exception is rethrown on the starting thread once
// every piece already running has finished.
class ThreadPool {
public:
    // The shared pool, started on first call.
    static ThreadPool& global();

    // Threads that take part in a loop (background workers + the caller).
    // At least 1: a request for 0 threads, or a system that refuses to start
    // the workers, gives a pool that runs every loop on its caller.
    std::size_t num_threads() const noexcept { return num_threads_; }

    // Calls body(begin, end) on disjoint ranges that together cover [0, n).
    // Ranges are at least `grain` long (except the last) and are split further
    // only while there are idle threads to take them. Returns when all ranges
    // are done. With n == 0 nothing is called; a grain of 0 counts as 1. With
    // one thread, or n <= grain, it is a plain call body(0, n) on the caller.
    // Safe to call from any number of threads at once and from inside a body.
    void parallel_for(std::size_t n, std::size_t grain,
                      FunctionRef<void(std::size_t, std::size_t)> body);

    // True on a background worker of this pool (diagnostics and tests).
    static bool on_worker_thread() noexcept;

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Starts num_threads - 1 background workers. The destructor stops and
    // joins them; no loop may still be running on the pool by then.
    explicit ThreadPool(std::size_t num_threads);
    ~ThreadPool();

private:
    struct Impl;
    std::size_t num_threads_;
    Impl* impl_;
};

// The pool size the environment asks for, without starting the pool: the
// calibration cache is keyed by it.
std::size_t configured_pool_size();

// Parses a thread-count environment value the way the pool does: a decimal
// integer above zero, optionally with a leading '+'; anything else (empty, 0,
// white space, junk, overflow) is absent and the next source of the size
// applies.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// Shorthand for ThreadPool::global().parallel_for.
inline void parallel_for(std::size_t n, std::size_t grain,
                         FunctionRef<void(std::size_t, std::size_t)> body) {
    ThreadPool::global().parallel_for(n, grain, body);
}

}  // namespace morvane
