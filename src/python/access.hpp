// Per-instance access state: free, a number of readers, or one writer.
//
// Conflicting access is refused at once with RuntimeError instead of
// waiting. Under the interpreter lock a conflict can only come from a call
// that re-enters the same instance (for example through a user-defined
// __index__ running while a setter holds write access).
#pragma once

#include <Python.h>

#include <cstdint>

namespace kelpa::py {

using AccessState = std::uint32_t;  // 0 free, n readers, WRITER one writer
inline constexpr AccessState WRITER = UINT32_MAX;

// Read access for the guard's lifetime; ok() is false (RuntimeError
// "Already mutably borrowed" set) when a writer holds the instance.
class ReadAccess {
public:
    explicit ReadAccess(AccessState& state) {
        AccessState current = __atomic_load_n(&state, __ATOMIC_RELAXED);
        do {
            if (current == WRITER) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
        } while (!__atomic_compare_exchange_n(&state, &current, current + 1, true, __ATOMIC_ACQUIRE,
                                              __ATOMIC_RELAXED));
        state_ = &state;
    }
    ~ReadAccess() {
        if (state_ != nullptr) __atomic_fetch_sub(state_, 1, __ATOMIC_RELEASE);
    }
    ReadAccess(const ReadAccess&) = delete;
    ReadAccess& operator=(const ReadAccess&) = delete;

    bool ok() const { return state_ != nullptr; }

private:
    AccessState* state_ = nullptr;
};

// Write access for the guard's lifetime; ok() is false (RuntimeError
// "Already borrowed" set) when anyone else holds the instance.
class WriteAccess {
public:
    explicit WriteAccess(AccessState& state) {
        AccessState expected = 0;
        if (!__atomic_compare_exchange_n(&state, &expected, WRITER, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        state_ = &state;
    }
    ~WriteAccess() {
        if (state_ != nullptr) __atomic_store_n(state_, 0, __ATOMIC_RELEASE);
    }
    WriteAccess(const WriteAccess&) = delete;
    WriteAccess& operator=(const WriteAccess&) = delete;

    bool ok() const { return state_ != nullptr; }

private:
    AccessState* state_ = nullptr;
};

}  // namespace kelpa::py
