#include "support/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "support/env.hpp"

// How the pool works
//
// Every thread that takes part in loops owns a slot: a deque of pending
// ranges and a parker to sleep on. Background workers own one slot each for
// their lifetime; a thread from outside borrows a free "external" slot for the
// duration of its outermost parallel_for, so many outside threads can start
// loops at once.
//
// A loop is a Job on the starting thread's stack. The starting thread splits
// its range by halving: it pushes the upper half onto the back of its own
// deque (where idle threads can steal it from the front) and continues with
// the lower half. When it comes back it pops the upper half again if nobody
// took it, and runs it itself. How often a range may still be split is a
// budget that halves with every split and is refilled when a piece is stolen,
// so with no idle thread around a loop costs a handful of uncontended pushes
// and pops, and with idle threads the work spreads out quickly.
//
// Completion is counted in iterations: the job knows how many of its indices
// are still undone, each piece subtracts its length when it finishes (or is
// skipped after a failure), and the starting thread returns once the count is
// zero. While it waits it runs other pending pieces, its own outer ones or
// anybody's, so nested loops never block a thread that could be working and
// never need an extra thread.
//
// A piece touches its job only while it still holds undone iterations; its
// final subtraction is its last access to the job, since the starting thread
// may return (and the job go away) the moment the count reaches zero. The
// wake-up that follows goes to the starting thread's parker, which belongs to
// the pool and outlives every job.

namespace morvane {

namespace {

// Spinning keeps an idle thread responsive to the next loop (a gate kernel on
// a 12-qubit state is about 10 us of work, less than a futex wake-up costs);
// parking afterwards keeps an idle pool off the CPU.
constexpr int SPIN_ROUNDS = 96;
constexpr int PAUSE_ROUNDS = 32;
// Outside threads that may run loops on one pool at the same moment; beyond
// that, a loop runs serially on its caller rather than waiting for a slot.
constexpr std::size_t MAX_EXTERNAL_SLOTS = 256;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Backs off a little more on every idle round: short pauses first, then
// giving the core away so that an oversubscribed machine still progresses.
inline void idle_round(int round) noexcept {
    if (round < PAUSE_ROUNDS) {
        int pauses = 1 << std::min(round / 4, 6);
        for (int i = 0; i < pauses; ++i) cpu_relax();
    } else {
        std::this_thread::yield();
    }
}

// A binary semaphore with a single permit. unpark() before park() makes the
// next park() return at once, so a wake-up cannot be lost between a check
// and the wait; spurious returns are fine because every caller re-checks.
class Parker {
public:
    void reset() {
        std::lock_guard lock(mutex_);
        permit_ = false;
    }
    void park() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return permit_; });
        permit_ = false;
    }
    void unpark() {
        {
            std::lock_guard lock(mutex_);
            permit_ = true;
        }
        cv_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool permit_ = false;
};

struct Job {
    FunctionRef<void(std::size_t, std::size_t)> body;
    std::size_t grain;
    Parker* waiter;  // the starting thread's parker
    std::atomic<std::size_t> remaining;
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written once, by whoever set `failed`

    Job(FunctionRef<void(std::size_t, std::size_t)> b, std::size_t g, Parker* w, std::size_t n)
        : body(b), grain(g), waiter(w), remaining(n) {}
};

struct Task {
    Job* job = nullptr;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t splits = 0;
    std::uint64_t seq = 0;
};

// A deque under its own mutex. The owner pushes and pops at the back, thieves
// take from the front, so the oldest (and largest) pieces are the ones that
// migrate. `size_` lets a thief skip an empty deque without touching the lock.
class TaskDeque {
public:
    TaskDeque() : ring_(64) {}

    // Returns the sequence number that identifies the task for pop_if, or 0
    // when the task could not be stored (out of memory).
    std::uint64_t push(Task task) noexcept {
        std::lock_guard lock(mutex_);
        std::size_t count = tail_ - head_;
        if (count == ring_.size()) {
            try {
                std::vector<Task> bigger(ring_.size() * 2);
                for (std::size_t i = 0; i < count; ++i) bigger[i] = ring_[(head_ + i) & mask()];
                ring_ = std::move(bigger);
                head_ = 0;
                tail_ = count;
            } catch (...) {
                return 0;
            }
        }
        task.seq = ++next_seq_;
        ring_[tail_ & mask()] = task;
        ++tail_;
        size_.store(tail_ - head_, std::memory_order_seq_cst);
        return task.seq;
    }

    // Takes back the task pushed with `seq` if it is still here. The owner's
    // pushes and pops nest like its call stack and thieves take the oldest
    // first, so a task of ours that is still present is always at the back.
    bool pop_if(std::uint64_t seq, Task& out) noexcept {
        if (size_.load(std::memory_order_relaxed) == 0) return false;
        std::lock_guard lock(mutex_);
        if (tail_ == head_ || ring_[(tail_ - 1) & mask()].seq != seq) return false;
        --tail_;
        out = ring_[tail_ & mask()];
        size_.store(tail_ - head_, std::memory_order_relaxed);
        return true;
    }

    bool pop_back(Task& out) noexcept {
        if (size_.load(std::memory_order_relaxed) == 0) return false;
        std::lock_guard lock(mutex_);
        if (tail_ == head_) return false;
        --tail_;
        out = ring_[tail_ & mask()];
        size_.store(tail_ - head_, std::memory_order_relaxed);
        return true;
    }

    bool steal(Task& out) noexcept {
        if (size_.load(std::memory_order_seq_cst) == 0) return false;
        std::lock_guard lock(mutex_);
        if (tail_ == head_) return false;
        out = ring_[head_ & mask()];
        ++head_;
        size_.store(tail_ - head_, std::memory_order_relaxed);
        return true;
    }

private:
    std::size_t mask() const noexcept { return ring_.size() - 1; }

    std::mutex mutex_;
    std::vector<Task> ring_;  // capacity is a power of two
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::uint64_t next_seq_ = 0;
    std::atomic<std::size_t> size_{0};
};

struct alignas(64) Slot {
    TaskDeque deque;
    Parker parker;
    std::atomic<bool> in_use{false};  // external slots only
};

// Which slot of which pool the current thread is using, if any.
struct ThreadContext {
    const void* pool = nullptr;  // the pool's Impl
    Slot* slot = nullptr;
    std::uint64_t rng = 0;
};

thread_local ThreadContext* tls_context = nullptr;
thread_local bool tls_is_worker = false;

std::uint64_t next_random(std::uint64_t& state) noexcept {
    // xorshift64: only used to spread thieves over victims.
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

std::uint64_t seed_for(const void* p) noexcept {
    auto v = reinterpret_cast<std::uintptr_t>(p) | 1u;
    return static_cast<std::uint64_t>(v) * 0x9E3779B97F4A7C15ull;
}

}  // namespace

struct ThreadPool::Impl {
    explicit Impl(std::size_t n) : num_threads(n), workers(n - 1) {
        for (std::size_t i = 0; i + 1 < n; ++i) worker_slots.push_back(std::make_unique<Slot>());
        external_slots = std::make_unique<std::atomic<Slot*>[]>(MAX_EXTERNAL_SLOTS);
        for (std::size_t i = 0; i < MAX_EXTERNAL_SLOTS; ++i) external_slots[i].store(nullptr);
    }

    ~Impl() {
        for (std::size_t i = 0; i < MAX_EXTERNAL_SLOTS; ++i) delete external_slots[i].load();
    }

    // False if the system refused a thread; the ones already started are
    // stopped again.
    bool start() noexcept {
        try {
            for (std::size_t i = 0; i < workers.size(); ++i) {
                workers[i] = std::thread([this, i] { worker_main(i); });
            }
        } catch (...) {
            stop_and_join();
            return false;
        }
        return true;
    }

    void stop_and_join() {
        {
            std::lock_guard lock(sleep_mutex);
            stopping.store(true);
        }
        sleep_cv.notify_all();
        for (auto& t : workers) {
            if (t.joinable()) t.join();
        }
    }

    // ----- slots ---------------------------------------------------------

    Slot* acquire_external_slot() noexcept {
        std::size_t limit = external_high_water.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < limit; ++i) {
            Slot* s = external_slots[i].load(std::memory_order_acquire);
            bool expected = false;
            if (s != nullptr && s->in_use.compare_exchange_strong(expected, true)) return s;
        }
        // All slots in use: create a new one under the lock.
        std::lock_guard lock(grow_mutex);
        std::size_t hw = external_high_water.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < hw; ++i) {
            Slot* s = external_slots[i].load(std::memory_order_acquire);
            bool expected = false;
            if (s->in_use.compare_exchange_strong(expected, true)) return s;
        }
        if (hw == MAX_EXTERNAL_SLOTS) return nullptr;
        Slot* s = new (std::nothrow) Slot;
        if (s == nullptr) return nullptr;
        s->in_use.store(true);
        external_slots[hw].store(s, std::memory_order_release);
        external_high_water.store(hw + 1, std::memory_order_release);
        return s;
    }

    // The slot with index i among all slots (workers first).
    Slot* slot_at(std::size_t i) const noexcept {
        if (i < worker_slots.size()) return worker_slots[i].get();
        return external_slots[i - worker_slots.size()].load(std::memory_order_acquire);
    }

    // ----- finding work --------------------------------------------------

    bool steal_any(ThreadContext& ctx, Task& out) noexcept {
        std::size_t total =
            worker_slots.size() + external_high_water.load(std::memory_order_acquire);
        if (total == 0) return false;
        std::size_t start = static_cast<std::size_t>(next_random(ctx.rng) % total);
        for (std::size_t k = 0; k < total; ++k) {
            std::size_t i = start + k;
            if (i >= total) i -= total;
            Slot* s = slot_at(i);
            if (s == nullptr || s == ctx.slot) continue;
            if (s->deque.steal(out)) return true;
        }
        return false;
    }

    // Own pending pieces first (they are the freshest in cache), then others'.
    bool find_task(ThreadContext& ctx, Task& out, bool& migrated) noexcept {
        if (ctx.slot->deque.pop_back(out)) {
            migrated = false;
            return true;
        }
        migrated = true;
        return steal_any(ctx, out);
    }

    void announce_work() noexcept {
        epoch.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) > 0) {
            { std::lock_guard lock(sleep_mutex); }
            sleep_cv.notify_one();
        }
    }

    // ----- running pieces ------------------------------------------------

    static void run_leaf(Job& job, std::size_t begin, std::size_t end) noexcept {
        Parker* waiter = job.waiter;
        if (!job.failed.load(std::memory_order_relaxed)) {
            try {
                job.body(begin, end);
            } catch (...) {
                if (!job.failed.exchange(true, std::memory_order_acq_rel)) {
                    job.error = std::current_exception();
                }
            }
        }
        std::size_t len = end - begin;
        // Last access to the job: once the count reaches zero the starting
        // thread may return and the job is gone.
        if (job.remaining.fetch_sub(len, std::memory_order_acq_rel) == len) waiter->unpark();
    }

    void run_range(ThreadContext& ctx, Job& job, std::size_t begin, std::size_t end,
                   std::size_t splits) noexcept {
        for (;;) {
            std::size_t grain = job.grain;
            std::size_t chunks = (end - begin) / grain + ((end - begin) % grain != 0);
            if (chunks < 2 || splits == 0 || job.failed.load(std::memory_order_relaxed)) break;
            splits /= 2;
            // Cut on a grain boundary so every piece but the last is a whole
            // number of grains.
            std::size_t mid = begin + (chunks / 2) * grain;
            std::uint64_t seq = ctx.slot->deque.push(Task{&job, mid, end, splits, 0});
            if (seq == 0) break;
            announce_work();
            run_range(ctx, job, begin, mid, splits);
            Task back;
            if (!ctx.slot->deque.pop_if(seq, back)) return;  // stolen: the thief finishes it
            begin = mid;
        }
        run_leaf(job, begin, end);
    }

    void run_task(ThreadContext& ctx, const Task& task, bool migrated) noexcept {
        std::size_t splits = task.splits;
        if (migrated) splits = std::max(splits / 2, num_threads);
        run_range(ctx, *task.job, task.begin, task.end, splits);
    }

    // ----- the two roles -------------------------------------------------

    void run_loop(ThreadContext& ctx, std::size_t n, std::size_t grain,
                  FunctionRef<void(std::size_t, std::size_t)> body) {
        Job job(body, grain, &ctx.slot->parker, n);
        run_range(ctx, job, 0, n, num_threads);
        int round = 0;
        while (job.remaining.load(std::memory_order_acquire) != 0) {
            Task task;
            bool migrated = false;
            if (find_task(ctx, task, migrated)) {
                run_task(ctx, task, migrated);
                round = 0;
                continue;
            }
            if (round < SPIN_ROUNDS) {
                idle_round(round++);
                continue;
            }
            // Everything still undone is being run by other threads; sleep
            // until the last of them reports.
            ctx.slot->parker.reset();
            if (job.remaining.load(std::memory_order_acquire) != 0) ctx.slot->parker.park();
            round = 0;
        }
        if (job.error) std::rethrow_exception(job.error);
    }

    void worker_main(std::size_t index) {
        tls_is_worker = true;
        ThreadContext ctx{this, worker_slots[index].get(), seed_for(worker_slots[index].get())};
        tls_context = &ctx;
        Task task;
        bool migrated = false;
        for (;;) {
            if (find_task(ctx, task, migrated)) {
                run_task(ctx, task, migrated);
                continue;
            }
            bool found = false;
            for (int round = 0; round < SPIN_ROUNDS && !found; ++round) {
                idle_round(round);
                found = find_task(ctx, task, migrated);
            }
            if (found) {
                run_task(ctx, task, migrated);
                continue;
            }
            // Park. Reading the epoch before the last look for work closes
            // the window in which a push could slip by unnoticed: either that
            // look sees the task, or the pusher sees us among the sleepers.
            std::uint64_t seen = epoch.load(std::memory_order_seq_cst);
            if (find_task(ctx, task, migrated)) {
                run_task(ctx, task, migrated);
                continue;
            }
            if (stopping.load()) break;
            sleepers.fetch_add(1, std::memory_order_seq_cst);
            {
                std::unique_lock lock(sleep_mutex);
                sleep_cv.wait(lock, [&] {
                    return stopping.load() || epoch.load(std::memory_order_seq_cst) != seen;
                });
            }
            sleepers.fetch_sub(1, std::memory_order_seq_cst);
            if (stopping.load()) break;
        }
        tls_context = nullptr;
    }

    std::size_t num_threads;
    std::vector<std::thread> workers;
    std::vector<std::unique_ptr<Slot>> worker_slots;
    std::unique_ptr<std::atomic<Slot*>[]> external_slots;
    std::atomic<std::size_t> external_high_water{0};
    std::mutex grow_mutex;

    alignas(64) std::atomic<std::uint64_t> epoch{0};
    alignas(64) std::atomic<std::size_t> sleepers{0};
    std::mutex sleep_mutex;
    std::condition_variable sleep_cv;
    std::atomic<bool> stopping{false};
};

ThreadPool& ThreadPool::global() {
    // Deliberately leaked: workers must never race with static destruction
    // at process exit.
    static ThreadPool* pool = new ThreadPool(configured_pool_size());
    return *pool;
}

ThreadPool::ThreadPool(std::size_t num_threads)
    : num_threads_(std::max<std::size_t>(num_threads, 1)), impl_(nullptr) {
    if (num_threads_ > 1) {
        auto impl = std::make_unique<Impl>(num_threads_);
        if (impl->start()) {
            impl_ = impl.release();
        } else {
            // Without workers every loop runs on its caller; say so, since
            // the thread count keys the calibration cache.
            num_threads_ = 1;
        }
    }
}

ThreadPool::~ThreadPool() {
    if (impl_ != nullptr) {
        impl_->stop_and_join();
        delete impl_;
    }
}

void ThreadPool::parallel_for(std::size_t n, std::size_t grain,
                              FunctionRef<void(std::size_t, std::size_t)> body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    if (impl_ == nullptr || n <= grain) {
        body(0, n);
        return;
    }
    ThreadContext* current = tls_context;
    if (current != nullptr && current->pool == impl_) {
        impl_->run_loop(*current, n, grain, body);
        return;
    }
    // An outside thread (or a worker of another pool): borrow a slot for the
    // duration of this loop, including whatever it nests.
    Slot* slot = impl_->acquire_external_slot();
    if (slot == nullptr) {
        body(0, n);
        return;
    }
    ThreadContext ctx{impl_, slot, seed_for(slot)};
    tls_context = &ctx;
    struct Restore {
        ThreadContext* previous;
        Slot* slot;
        ~Restore() {
            tls_context = previous;
            slot->in_use.store(false, std::memory_order_release);
        }
    } restore{current, slot};
    impl_->run_loop(ctx, n, grain, body);
}

bool ThreadPool::on_worker_thread() noexcept { return tls_is_worker; }

std::optional<std::size_t> parse_thread_count(std::string_view text) {
    // The variables are the ones the Rust rayon pool reads, so values are
    // read the way Rust parses an unsigned integer: decimal digits with an
    // optional leading '+', no white space, no other prefix.
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::size_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

std::size_t configured_pool_size() {
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        if (auto text = env_var(name)) {
            if (auto n = parse_thread_count(*text)) return *n;
        }
    }
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

}  // namespace morvane
