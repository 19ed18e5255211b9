#include "core/base/worker_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/base/fork_safety.hpp"
#include "core/base/utf8.hpp"

namespace kelpa::core {

namespace {

struct Job {
    std::size_t count = 0;
    std::size_t piece = 1;
    StagedBatch::Body body;
    std::atomic<std::size_t> next{0};   // first item not yet claimed
    std::atomic<std::size_t> ready{0};  // items [0, ready) are released
    std::mutex error_lock;
    std::exception_ptr error;

    void release(std::size_t items) {
        ready.store(items, std::memory_order_release);
        ready.notify_all();
    }

    void wait_for(std::size_t end) {
        for (std::size_t seen = ready.load(std::memory_order_acquire); seen < end;
             seen = ready.load(std::memory_order_acquire)) {
            ready.wait(seen, std::memory_order_acquire);
        }
    }

    void work() {
        try {
            for (;;) {
                const std::size_t begin = next.fetch_add(piece, std::memory_order_relaxed);
                if (begin >= count) return;
                const std::size_t end = std::min(count, begin + piece);
                wait_for(end);
                body(begin, end);
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(error_lock);
            if (!error) error = std::current_exception();
            next.store(count, std::memory_order_relaxed);  // stop handing out pieces
        }
    }
};

// Whether this thread is a worker of the pool, and how many batches it has
// open on the pool: a batch that must not wait is never started from either.
thread_local bool on_worker = false;
thread_local std::size_t turns_held = 0;

// Never destroyed: worker threads wait on it until the process ends, so
// interpreter shutdown neither joins nor frees anything they use.
class Pool {
public:
    explicit Pool(std::size_t wanted) : wanted_(wanted) {}

    std::size_t size() const { return size_.load(std::memory_order_acquire); }

    // Hands `job` to every worker; `turn` holds the pool until wait() returns.
    // False, with nothing held, when the pool has no worker at all: then the
    // caller runs the job itself.
    // Also false on a worker, or on a thread that holds the pool already
    // (a callback into Python while it plans its batch), which would wait
    // for itself; with `wait` false, also when another batch holds the pool.
    bool start(Job& job, std::unique_lock<std::mutex>& turn, bool wait) {
        if (on_worker || turns_held > 0) return false;
        if (wait) {
            turn = std::unique_lock<std::mutex>(batch_lock_);
        } else {
            turn = std::unique_lock<std::mutex>(batch_lock_, std::try_to_lock);
            if (!turn.owns_lock()) return false;
        }
        start_missing_workers();
        const std::size_t workers = size();
        if (workers == 0) {
            turn.unlock();
            return false;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            job_ = &job;
            running_ = workers;
            ++generation_;
        }
        work_ready_.notify_all();
        ++turns_held;
        return true;
    }

    // Returns once every worker is done with the job started last.
    void wait(std::unique_lock<std::mutex>& turn) {
        {
            std::unique_lock<std::mutex> hold(lock_);
            work_done_.wait(hold, [this] { return running_ == 0; });
            job_ = nullptr;
        }
        --turns_held;
        turn.unlock();
    }

    // Starts workers until there are as many as wanted or one fails to start
    // (no memory for its stack, a thread limit); those that started stay, and
    // the next batch tries again. Runs between batches: when the pool is made,
    // and at each start() with batch_lock_ held.
    void start_missing_workers() {
        std::uint64_t generation;
        {
            std::lock_guard<std::mutex> hold(lock_);
            generation = generation_;
        }
        for (std::size_t started = size(); started < wanted_; ++started) {
            try {
                std::thread([this, generation] { loop(generation); }).detach();
            } catch (...) {
                return;
            }
            size_.store(started + 1, std::memory_order_release);
        }
    }

private:
    void loop(std::uint64_t seen) {
        on_worker = true;
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

    const std::size_t wanted_;
    std::atomic<std::size_t> size_{0};  // workers started
    std::mutex batch_lock_;  // one batch at a time
    std::mutex lock_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    Job* job_ = nullptr;
    std::size_t running_ = 0;
    std::uint64_t generation_ = 0;
};

ForkSafeMutex pool_lock;
Pool* pool = nullptr;
pid_t pool_owner = 0;

Pool& the_pool() {
    std::lock_guard<ForkSafeMutex> hold(pool_lock);
    const pid_t self = ::getpid();
    if (pool == nullptr || pool_owner != self) {
        // After fork() the old pool's threads are gone; its memory is left alone.
        pool = new Pool(pool_size_from_environment());
        pool->start_missing_workers();
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

std::size_t worker_count() { return the_pool().size(); }

struct StagedBatch::Run {
    Job job;
    Pool* pool = nullptr;  // nullptr: the calling thread runs the job in finish()
    std::unique_lock<std::mutex> turn;  // held while the workers run the job
    bool finished = false;
};

StagedBatch::StagedBatch(std::size_t count, std::size_t piece, Body body, Start start) : run_(std::make_unique<Run>()) {
    Job& job = run_->job;
    job.count = count;
    job.piece = std::max<std::size_t>(1, piece);
    job.body = std::move(body);
    if (count == 0) {
        run_->finished = true;
        return;
    }
    Pool& pool = the_pool();
    if (pool.start(job, run_->turn, start == Start::Wait)) run_->pool = &pool;
}

StagedBatch::~StagedBatch() {
    try {
        finish();
    } catch (...) {  // the owner is unwinding already, or chose not to finish()
    }
}

bool StagedBatch::on_pool() const { return run_->pool != nullptr; }

void StagedBatch::release(std::size_t ready) {
    if (!run_->finished) run_->job.release(std::min(ready, run_->job.count));
}

void StagedBatch::finish() {
    Run& run = *run_;
    if (!run.finished) {
        run.job.release(run.job.count);
        if (run.pool != nullptr) run.pool->wait(run.turn);
        else run.job.work();
        run.finished = true;
    }
    if (run.job.error) std::rethrow_exception(std::exchange(run.job.error, nullptr));
}

}  // namespace kelpa::core
