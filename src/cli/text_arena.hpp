// Room for the texts of one batch: blocks that stay put until reset(), so
// the workers can fill what the calling thread reserved earlier.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/batch/batch.hpp"

namespace kelpa::cli {

class TextArena {
public:
    static constexpr std::uint64_t BLOCK = std::uint64_t{16} << 20;

    TextArena() = default;
    // Not copyable or movable: workers write through the pointers it gave.
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    char* take(std::uint64_t n) {
        if (n > BLOCK) {  // a large region gets a block of its own
            large_.emplace_back(new char[n]);
            return large_.back().get();
        }
        if (blocks_.empty() || BLOCK - used_ < n) {
            if (++current_ >= blocks_.size()) blocks_.emplace_back(new char[BLOCK]);
            used_ = 0;
        }
        char* p = blocks_[current_].get() + used_;
        used_ += n;
        return p;
    }

    // A copy of `text` that stays put until reset().
    std::string_view keep(std::string_view text) {
        char* p = take(text.size());
        std::copy(text.begin(), text.end(), p);
        return std::string_view(p, text.size());
    }

    // Keeps the blocks for the next batch: their pages are mapped already.
    void reset() {
        large_.clear();
        current_ = blocks_.empty() ? SIZE_MAX : 0;
        used_ = 0;
    }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::unique_ptr<char[]>> large_;
    std::size_t current_ = SIZE_MAX;  // block being filled; wraps to 0 on first use
    std::uint64_t used_ = 0;
};

// Below this many records a step of the program runs on the calling
// thread: starting the workers would cost more than it saves.
inline constexpr std::size_t SMALL_BATCH = 1000;

// Where a batch of `regions` regions and `bases` bases is extracted: a few
// short regions on the calling thread, which starts no worker; anything
// larger on the pool.
inline core::Executor executor_for(std::size_t regions, std::uint64_t bases) {
    constexpr std::uint64_t SMALL_BASES = std::uint64_t{1} << 20;
    return regions < SMALL_BATCH && bases < SMALL_BASES ? core::Executor::Caller : core::Executor::Pool;
}

}  // namespace kelpa::cli
