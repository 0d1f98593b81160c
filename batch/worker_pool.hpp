// A fixed set of threads that share one job over an index range.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace batch {

// The caller of run() and the pool's threads take chunks of the range from one counter until
// none is left, so a thread the system does not schedule delays nothing: the others take its
// share. Waiting threads spin for a few microseconds, then sleep, so that back-to-back jobs
// start at once and an idle pool costs nothing.
class WorkerPool {
public:
    // `threads` threads in all, the caller of run() included (at least 1).
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int size() const { return static_cast<int>(workers_.size()) + 1; }

    // Calls job(begin, end) on chunks covering [0, n) once each, and returns when all are
    // done. The first exception a chunk throws is rethrown here once every chunk is done.
    template <class Job>
    void run(int n, Job& job) {
        run_erased(n, [](void* ctx, int b, int e) { (*static_cast<Job*>(ctx))(b, e); }, &job);
    }

private:
    using Erased = void (*)(void* ctx, int begin, int end);

    // What a thread knows of the job it helps with.
    struct Job {
        std::uint32_t generation;
        Erased fn;
        void* ctx;
        int n;
        int chunk;
    };

    void run_erased(int n, Erased fn, void* ctx);
    void worker_loop();
    // Runs chunks of `job` while there are any left; false once the pool moved on.
    void take_chunks(const Job& job);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    // The current job, written under the mutex.
    Job job_{};
    bool stopping_ = false;
    std::exception_ptr error_;
    // Bits 63..32: the job's generation; bits 31..0: the first index not yet taken.
    std::atomic<std::uint64_t> ticket_{0};
    // Indices of the current job done so far.
    std::atomic<int> done_count_{0};
};

}  // namespace batch
