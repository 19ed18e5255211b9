// Per-instance access state: free, a number of readers, or one writer.
//
// Conflicting access is refused at once with RuntimeError instead of
// waiting. A conflict comes from a call that re-enters the same instance
// (for example through a user-defined __index__ running while a setter holds
// write access), or from another thread while a call runs with the
// interpreter lock released. Readers never conflict with each other.
//
// The state carries the fork generation it was taken in (its high half): a
// child of fork() does not have the threads of its parent, so readers or a
// writer of an earlier generation are gone, and the instance counts as free
// there.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/base/fork_safety.hpp"

namespace kelpa::py {

using AccessState = std::uint64_t;  // generation << 32 | (0 free, n readers, WRITER one writer)

namespace access_detail {

inline constexpr std::uint64_t HOLDERS = 0xffffffffu;
inline constexpr std::uint64_t WRITER = HOLDERS;

inline std::uint64_t generation_tag() { return std::uint64_t{core::fork_generation()} << 32; }

// The holders a state counts in this process.
inline std::uint64_t holders(AccessState state, std::uint64_t tag) {
    return (state & ~HOLDERS) == tag ? state & HOLDERS : 0;
}

// Gives up one hold taken with `tag`. A hold taken in this process is
// counted in a state of this generation, which nothing resets; one taken
// before a fork (by the thread that forked) is left alone.
inline void give_up(AccessState& state, std::uint64_t tag, bool writer) {
    if (tag != generation_tag()) return;
    if (writer) __atomic_store_n(&state, tag, __ATOMIC_RELEASE);
    else __atomic_fetch_sub(&state, 1, __ATOMIC_RELEASE);
}

}  // namespace access_detail

// Read access for the guard's lifetime; ok() is false (RuntimeError
// "Already mutably borrowed" set) when a writer holds the instance.
class ReadAccess {
public:
    explicit ReadAccess(AccessState& state) : tag_(access_detail::generation_tag()) {
        AccessState current = __atomic_load_n(&state, __ATOMIC_RELAXED);
        AccessState wanted;
        do {
            const std::uint64_t readers = access_detail::holders(current, tag_);
            if (readers == access_detail::WRITER) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
            wanted = tag_ | (readers + 1);
        } while (!__atomic_compare_exchange_n(&state, &current, wanted, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED));
        state_ = &state;
    }
    ~ReadAccess() {
        if (state_ != nullptr) access_detail::give_up(*state_, tag_, false);
    }
    ReadAccess(const ReadAccess&) = delete;
    ReadAccess& operator=(const ReadAccess&) = delete;

    bool ok() const { return state_ != nullptr; }

private:
    AccessState* state_ = nullptr;
    std::uint64_t tag_;
};

// Write access for the guard's lifetime; ok() is false (RuntimeError
// "Already borrowed" set) when anyone else holds the instance.
class WriteAccess {
public:
    explicit WriteAccess(AccessState& state) : tag_(access_detail::generation_tag()) {
        AccessState current = __atomic_load_n(&state, __ATOMIC_RELAXED);
        do {
            if (access_detail::holders(current, tag_) != 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return;
            }
        } while (!__atomic_compare_exchange_n(&state, &current, tag_ | access_detail::WRITER, true, __ATOMIC_ACQUIRE,
                                              __ATOMIC_RELAXED));
        state_ = &state;
    }
    ~WriteAccess() {
        if (state_ != nullptr) access_detail::give_up(*state_, tag_, true);
    }
    WriteAccess(const WriteAccess&) = delete;
    WriteAccess& operator=(const WriteAccess&) = delete;

    bool ok() const { return state_ != nullptr; }

private:
    AccessState* state_ = nullptr;
    std::uint64_t tag_;
};

}  // namespace kelpa::py
