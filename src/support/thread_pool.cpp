// PLACEHOLDER: serial stand-in so the tree links while the real pool is written.
#include "support/thread_pool.hpp"

#include <thread>

namespace morvane {

struct ThreadPool::Impl {};

ThreadPool& ThreadPool::global() {
    static ThreadPool pool(configured_pool_size());
    return pool;
}

ThreadPool::ThreadPool(std::size_t num_threads) : num_threads_(num_threads), impl_(nullptr) {}
ThreadPool::~ThreadPool() = default;

void ThreadPool::parallel_for(std::size_t n, std::size_t,
                              FunctionRef<void(std::size_t, std::size_t)> body) {
    if (n) body(0, n);
}

bool ThreadPool::on_worker_thread() noexcept { return false; }

std::size_t configured_pool_size() {
    auto n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

std::optional<std::size_t> parse_thread_count(std::string_view) { return std::nullopt; }

}  // namespace morvane
