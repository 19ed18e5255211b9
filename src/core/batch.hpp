// Extraction of many regions at once on the worker pool.
//
// The calling thread resolves names and coordinates into slots and reserves
// every slot's output bytes; the workers only read the Faidx and its mapping
// and write into their own slots. Whatever needs more than a straight copy
// (padding a short text, non-ASCII text) is left for the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "error.hpp"
#include "faidx.hpp"

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

// Extracts every Pending slot on the worker pool. Complete slots are
// upper-cased as the options say and, with `reverse_complement`, reverse
// complemented in place.
void extract_batch(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement);

// Below this many regions a batch runs on the calling thread.
inline constexpr std::size_t PARALLEL_BATCH_THRESHOLD = 1000;

}  // namespace kelpa::core
