// Extraction of many regions at once on the worker pool.
//
// The calling thread resolves names and coordinates into slots and reserves
// every slot's output bytes, handing the slots over as it goes; the workers
// only read the Faidx and its mapping and write into their own slots.
// Whatever needs more than a straight copy (padding a short text, non-ASCII
// text) is left for the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "error.hpp"
#include "faidx.hpp"
#include "worker_pool.hpp"

namespace kelpa::core {

struct BatchSlot {
    enum class State : std::uint8_t {
        Idle,      // nothing to extract (an empty result, or failed while planning)
        Pending,   // to be extracted by a worker
        Complete,  // out holds `count` finished ASCII bytes
        Unfinished,  // out holds `written` bytes that still need finishing
        Failed,    // error holds why
    };

    const IndexEntry* entry = nullptr;
    std::uint64_t first = 0;  // first base to extract
    std::uint64_t count = 0;  // bases asked for
    std::uint64_t bound = 0;  // bytes reserved at `out`
    char* out = nullptr;
    std::uint64_t written = 0;
    State state = State::Idle;
    std::unique_ptr<FaidxError> error;
};

// Extracts the Pending slots of `slots` on the worker pool, each once the
// calling thread has published it. Complete slots are upper-cased as the
// options say and, with `reverse_complement`, reverse complemented in place.
// `slots` must not be resized, and a published slot not touched, until
// finish() returned (the destructor finishes too).
class BatchExtraction {
public:
    BatchExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement);

    // Slots [0, planned) are ready for the workers.
    void publish(std::size_t planned) { batch_.release(planned); }

    // Publishes every slot and waits until all were extracted.
    void finish() { batch_.finish(); }

private:
    StagedBatch batch_;
};

// Below this many regions a batch runs on the calling thread.
inline constexpr std::size_t PARALLEL_BATCH_THRESHOLD = 1000;

}  // namespace kelpa::core
