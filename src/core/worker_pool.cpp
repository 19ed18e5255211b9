#include "worker_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "text.hpp"

namespace kelpa::core {

namespace {

struct Job {
    std::size_t count = 0;
    std::size_t piece = 1;
    const std::function<void(std::size_t, std::size_t)>* body = nullptr;
    std::atomic<std::size_t> next{0};
    std::mutex error_lock;
    std::exception_ptr error;

    void work() {
        try {
            for (;;) {
                const std::size_t begin = next.fetch_add(piece, std::memory_order_relaxed);
                if (begin >= count) return;
                (*body)(begin, std::min(count, begin + piece));
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(error_lock);
            if (!error) error = std::current_exception();
            next.store(count, std::memory_order_relaxed);  // stop handing out pieces
        }
    }
};

// Never destroyed: worker threads wait on it until the process ends, so
// interpreter shutdown neither joins nor frees anything they use.
class Pool {
public:
    explicit Pool(std::size_t size) : size_(size) {
        for (std::size_t i = 0; i < size_; ++i) std::thread([this] { loop(); }).detach();
    }

    std::size_t size() const { return size_; }

    void run(Job& job) {
        std::lock_guard<std::mutex> one_batch(batch_lock_);
        {
            std::lock_guard<std::mutex> hold(lock_);
            job_ = &job;
            running_ = size_;
            ++generation_;
        }
        work_ready_.notify_all();
        std::unique_lock<std::mutex> hold(lock_);
        work_done_.wait(hold, [this] { return running_ == 0; });
        job_ = nullptr;
    }

private:
    void loop() {
        std::uint64_t seen = 0;
        for (;;) {
            Job* job;
            {
                std::unique_lock<std::mutex> hold(lock_);
                work_ready_.wait(hold, [&] { return generation_ != seen; });
                seen = generation_;
                job = job_;
            }
            job->work();
            std::lock_guard<std::mutex> hold(lock_);
            if (--running_ == 0) work_done_.notify_one();
        }
    }

    const std::size_t size_;
    std::mutex batch_lock_;  // one batch at a time
    std::mutex lock_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    Job* job_ = nullptr;
    std::size_t running_ = 0;
    std::uint64_t generation_ = 0;
};

std::mutex pool_lock;
Pool* pool = nullptr;
pid_t pool_owner = 0;

Pool& the_pool() {
    std::lock_guard<std::mutex> hold(pool_lock);
    const pid_t self = ::getpid();
    if (pool == nullptr || pool_owner != self) {
        // After fork() the old pool's threads are gone; its memory is left alone.
        pool = new Pool(pool_size_from_environment());
        pool_owner = self;
    }
    return *pool;
}

std::optional<std::uint64_t> environment_number(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return parse_u64(value);
}

}  // namespace

std::size_t pool_size_from_environment() {
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        const std::optional<std::uint64_t> number = environment_number(name);
        if (!number) continue;
        if (*number > 0) return static_cast<std::size_t>(std::min<std::uint64_t>(*number, 4096));
        break;  // an explicit 0 asks for the default
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
    if (count == 0) return;
    Pool& workers = the_pool();
    Job job;
    job.count = count;
    // A few pieces per worker: idle workers pick up the rest of the range.
    job.piece = std::max<std::size_t>(1, count / (workers.size() * 8));
    job.body = &body;
    workers.run(job);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace kelpa::core
