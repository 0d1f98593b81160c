#include "worker_pool.hpp"

#include <algorithm>
#include <chrono>

namespace batch {

namespace {

// How long a thread spins on a condition before it sleeps.
constexpr std::chrono::microseconds SPIN_TIME{20};
// Chunks per thread and job: small enough to share the work out evenly.
constexpr int CHUNKS_PER_THREAD = 8;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Spins until `ready()` holds or SPIN_TIME has passed; returns whether it holds.
template <class Ready>
bool spin_until(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + SPIN_TIME;
    for (;;) {
        for (int k = 0; k < 64; ++k) {
            if (ready()) return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= until) return ready();
    }
}

constexpr std::uint32_t generation_of(std::uint64_t ticket) {
    return static_cast<std::uint32_t>(ticket >> 32);
}
constexpr int index_of(std::uint64_t ticket) { return static_cast<int>(ticket & 0xFFFFFFFFu); }

}  // namespace

WorkerPool::WorkerPool(int threads) {
    for (int k = 1; k < threads; ++k) workers_.emplace_back([this] { worker_loop(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void WorkerPool::run_erased(int n, Erased fn, void* ctx) {
    if (workers_.empty()) {
        fn(ctx, 0, n);
        return;
    }
    Job job;
    {
        std::lock_guard lock(mutex_);
        job = Job{job_.generation + 1, fn, ctx, n, std::max(1, n / (size() * CHUNKS_PER_THREAD))};
        job_ = job;
        error_ = nullptr;
        done_count_.store(0, std::memory_order_relaxed);
        ticket_.store(static_cast<std::uint64_t>(job.generation) << 32, std::memory_order_release);
    }
    start_.notify_all();

    take_chunks(job);
    const auto finished = [&] { return done_count_.load(std::memory_order_acquire) == n; };
    if (!spin_until(finished)) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, finished);
    }
    std::lock_guard lock(mutex_);
    if (error_) std::rethrow_exception(error_);
}

void WorkerPool::take_chunks(const Job& job) {
    std::uint64_t t = ticket_.load(std::memory_order_acquire);
    for (;;) {
        if (generation_of(t) != job.generation || index_of(t) >= job.n) return;
        const int begin = index_of(t);
        const int end = std::min(job.n, begin + job.chunk);
        if (!ticket_.compare_exchange_weak(t, t + static_cast<std::uint64_t>(end - begin),
                                           std::memory_order_acq_rel))
            continue;
        try {
            job.fn(job.ctx, begin, end);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!error_) error_ = std::current_exception();
        }
        if (done_count_.fetch_add(end - begin, std::memory_order_acq_rel) + (end - begin) ==
            job.n) {
            std::lock_guard lock(mutex_);
            done_.notify_all();
        }
        t = ticket_.load(std::memory_order_acquire);
    }
}

void WorkerPool::worker_loop() {
    std::uint32_t seen = 0;
    for (;;) {
        const auto started = [&] {
            return generation_of(ticket_.load(std::memory_order_acquire)) != seen;
        };
        if (!spin_until(started)) {
            std::unique_lock lock(mutex_);
            start_.wait(lock, [&] { return stopping_ || started(); });
        }
        Job job;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            job = job_;
        }
        seen = job.generation;
        take_chunks(job);
    }
}

}  // namespace batch
