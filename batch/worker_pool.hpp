// A fixed set of threads that share one job over an index range.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace batch {

// The caller of run() and the pool's threads take chunks of the range from one counter until
// none is left, so a thread the system does not schedule delays nothing: the others take its
// share. Waiting threads spin for a few microseconds, then sleep, so that back-to-back jobs
// start at once and an idle pool costs nothing.
//
// A pool survives fork(): the child has none of the parent's threads, so it never joins or
// wakes them. It leaves them and everything they share alone, and starts threads of its own
// the first time it runs a job.
class WorkerPool {
public:
    // `threads` threads in all, the caller of run() included (at least 1).
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int size() const { return threads_; }

    // Calls job(begin, end) on chunks covering [0, n) once each, and returns when all are
    // done. The first exception a chunk throws is rethrown here once every chunk is done.
    template <class Job>
    void run(int n, Job& job) {
        run_erased(n, [](void* ctx, int b, int e) { (*static_cast<Job*>(ctx))(b, e); }, &job);
    }

private:
    using Erased = void (*)(void* ctx, int begin, int end);
    struct Crew;

    void run_erased(int n, Erased fn, void* ctx);

    int threads_;
    // The helper threads and what they share with the caller; none for a pool of one.
    std::unique_ptr<Crew> crew_;
    // The number of forks this process descends from when crew_ was started.
    std::uint32_t crew_forks_ = 0;
};

// The threads of a pool and what they share: one per process (see WorkerPool).
struct WorkerPool::Crew {
    explicit Crew(int threads);
    ~Crew();
    void run(int n, Erased fn, void* ctx);

    // What a thread knows of the job it helps with.
    struct Job {
        std::uint32_t generation;
        Erased fn;
        void* ctx;
        int n;
        int chunk;
    };

    void worker_loop();
    // Runs chunks of `job` while there are any left; returns once the pool moved on.
    void take_chunks(const Job& job);

    int size;
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable start;
    std::condition_variable done;
    // The current job, written under the mutex.
    Job job{};
    bool stopping = false;
    std::exception_ptr error;
    // Bits 63..32: the job's generation; bits 31..0: the first index not yet taken.
    std::atomic<std::uint64_t> ticket{0};
    // Indices of the current job done so far.
    std::atomic<int> done_count{0};
};

}  // namespace batch
