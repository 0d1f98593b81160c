// The worker pool: helper threads that share a job's chunks with its caller, and the fork
// bookkeeping that keeps a forked child off its parent's threads.
#include "worker_pool.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#include <algorithm>
#include <chrono>

namespace batch {

namespace {

// How long a thread spins on a condition before it sleeps.
constexpr std::chrono::microseconds SPIN_TIME{20};
// Chunks per thread and job: small enough to share the work out evenly.
constexpr int CHUNKS_PER_THREAD = 8;

inline void cpu_relax() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
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

// How many forks this process descends from, counted from the first pool's start on: a
// child's count is its parent's plus one.
std::atomic<std::uint32_t> g_forks{0};

std::uint32_t forks() {
#if !defined(_WIN32)  // Windows has no fork: the count stays 0
    static const int registered = pthread_atfork(
        nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
    (void)registered;
#endif
    return g_forks.load(std::memory_order_relaxed);
}

}  // namespace

WorkerPool::WorkerPool(int threads) : threads_(std::max(1, threads)) {
    crew_forks_ = forks();
    if (threads_ > 1) crew_ = std::make_unique<Crew>(threads_);
}

WorkerPool::~WorkerPool() {
    // In a forked child the crew's threads do not exist, and its mutex and condition
    // variables may be held or waited on by them: leave it all as the fork left it.
    if (crew_ && crew_forks_ != forks()) (void)crew_.release();
}

void WorkerPool::run_erased(int n, Erased fn, void* ctx) {
    if (threads_ == 1) {
        fn(ctx, 0, n);
        return;
    }
    if (const std::uint32_t now = forks(); now != crew_forks_) {
        (void)crew_.release();
        crew_ = std::make_unique<Crew>(threads_);
        crew_forks_ = now;
    }
    crew_->run(n, fn, ctx);
}

WorkerPool::Crew::Crew(int threads) : size(threads) {
    for (int k = 1; k < threads; ++k) workers.emplace_back([this] { worker_loop(); });
}

WorkerPool::Crew::~Crew() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    start.notify_all();
    for (std::thread& t : workers) t.join();
}

void WorkerPool::Crew::run(int n, Erased fn, void* ctx) {
    Job next;
    {
        std::lock_guard lock(mutex);
        next = Job{job.generation + 1, fn, ctx, n, std::max(1, n / (size * CHUNKS_PER_THREAD))};
        job = next;
        error = nullptr;
        done_count.store(0, std::memory_order_relaxed);
        ticket.store(static_cast<std::uint64_t>(next.generation) << 32, std::memory_order_release);
    }
    start.notify_all();

    take_chunks(next);
    const auto finished = [&] { return done_count.load(std::memory_order_acquire) == n; };
    if (!spin_until(finished)) {
        std::unique_lock lock(mutex);
        done.wait(lock, finished);
    }
    std::lock_guard lock(mutex);
    if (error) std::rethrow_exception(error);
}

void WorkerPool::Crew::take_chunks(const Job& j) {
    std::uint64_t t = ticket.load(std::memory_order_acquire);
    for (;;) {
        if (generation_of(t) != j.generation || index_of(t) >= j.n) return;
        const int begin = index_of(t);
        const int end = std::min(j.n, begin + j.chunk);
        if (!ticket.compare_exchange_weak(t, t + static_cast<std::uint64_t>(end - begin),
                                          std::memory_order_acq_rel))
            continue;
        try {
            j.fn(j.ctx, begin, end);
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!error) error = std::current_exception();
        }
        if (done_count.fetch_add(end - begin, std::memory_order_acq_rel) + (end - begin) == j.n) {
            std::lock_guard lock(mutex);
            done.notify_all();
        }
        t = ticket.load(std::memory_order_acquire);
    }
}

void WorkerPool::Crew::worker_loop() {
    std::uint32_t seen = 0;
    for (;;) {
        const auto started = [&] {
            return generation_of(ticket.load(std::memory_order_acquire)) != seen;
        };
        if (!spin_until(started)) {
            std::unique_lock lock(mutex);
            start.wait(lock, [&] { return stopping || started(); });
        }
        Job j;
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            j = job;
        }
        seen = j.generation;
        take_chunks(j);
    }
}

}  // namespace batch
