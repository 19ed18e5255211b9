// The process-wide pool of worker threads behind large batch fetches.
//
// Made on first use and never torn down; its size is read once from the
// environment: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, each a positive
// unsigned decimal ("+" allowed) giving the number of workers; 0 or anything
// else means one worker per online processor. A child process made by fork()
// gets a fresh pool on its first use (the parent's threads do not survive the
// fork; the environment is read again).
//
// Each worker claims contiguous pieces of a batch's index range with an
// atomic counter and runs the body on them; the body writes only its own
// slots, so results stay in input order without any lock per item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace kelpa::core {

// Number of workers the environment asks for, as described above.
std::size_t pool_size_from_environment();

// Number of workers in the pool, which is made if it does not exist yet. A
// worker that cannot be started (no memory for its stack, a thread limit) is
// left out and tried again at the next batch; with no worker at all, a batch
// runs on the calling thread when it finishes. So this may be 0.
std::size_t worker_count();

// A batch the calling thread hands over while it is still preparing it. The
// workers start at once; a piece runs once release() has covered all of it,
// so the calling thread can keep preparing items while the workers process
// the ones before. Only one batch runs on the pool at a time: a second one
// waits in the constructor until the first has finished, unless it is made
// with Start::IfFree. A batch made on a worker, or on a thread that has a
// batch of its own open, never waits (it would wait for itself): it runs on
// the calling thread in finish().
class StagedBatch {
public:
    using Body = std::function<void(std::size_t, std::size_t)>;

    enum class Start : std::uint8_t {
        Wait,    // wait for the pool while another thread's batch holds it
        IfFree,  // run on the calling thread in finish() when the pool is
                 // busy (never waits)
    };

    // Runs body(begin, end) over pieces of at most `piece` items covering
    // [0, count), each once release() reached its end.
    StagedBatch(std::size_t count, std::size_t piece, Body body, Start start = Start::Wait);
    // Releases whatever is left and waits; an exception of the body is dropped.
    ~StagedBatch();

    StagedBatch(const StagedBatch&) = delete;
    StagedBatch& operator=(const StagedBatch&) = delete;

    // Whether workers run the batch; false: it runs on the calling thread in
    // finish() (no worker, on a worker or a thread holding the pool, or
    // Start::IfFree found the pool taken).
    bool on_pool() const;

    // Items [0, ready) are prepared. `ready` never moves backwards.
    void release(std::size_t ready);

    // Releases every item, waits until every piece ran and rethrows the first
    // exception a body threw. Safe to call more than once.
    void finish();

private:
    struct Run;
    std::unique_ptr<Run> run_;
};

}  // namespace kelpa::core
