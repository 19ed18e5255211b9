// Native work with the interpreter lock released.
//
// Only work on memory that no other thread can reach or change may run
// without the lock: the core's immutable Faidx, the text of a str made by
// the calling thread and not yet handed to anyone, plain C++ buffers. No
// Python object may be touched, not even its reference count.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <utility>

namespace kelpa::py {

// Copies of at least this many bytes of text run with the lock released
// (about 130 µs of copying here). Releasing costs little by itself, but a
// thread that gives the lock up while another thread runs Python code gets
// it back only when that thread's switch interval (5 ms by default) is
// over, so a fetch that released the lock may wait that long. Two threads
// fetching 64 KiB pieces already run twice as fast together as one alone;
// from 256 KiB on, the copy is long enough that the hand-over is worth it.
inline constexpr std::uint64_t RELEASE_LOCK_BYTES = 256 * 1024;

// Takes the interpreter lock back. When the interpreter has begun to exit
// meanwhile, Python 3.13 ends a thread that asks for the lock with
// pthread_exit(), which unwinds the thread's stack; through the noexcept
// frames of the calling method that would end the whole process. Such a
// thread waits here instead, until the process ends (take_lock_back.c).
extern "C" void kelpa_take_lock_back(PyThreadState* saved);
inline void take_lock_back(PyThreadState* saved) noexcept { kelpa_take_lock_back(saved); }

// The interpreter lock released for the guard's lifetime (and taken back
// on every way out, exceptions included).
class ReleasedLock {
public:
    ReleasedLock() : saved_(PyEval_SaveThread()) {}
    ~ReleasedLock() { take_lock_back(saved_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* saved_;
};

// Gives other threads their turn with the interpreter lock during a long
// loop that holds it, much as the interpreter does between bytecodes. Call
// tick() once per item: about every one and a quarter switch intervals
// (sys.getswitchinterval()) it lets go of the lock for a moment, and a
// thread that has been asking for the lock takes it then. Only between
// items whose state no other thread can reach. False, with the exception
// set, when reading the switch interval raised an exception that must not
// be dropped (args.hpp: replaceable_conversion_error); another that it
// raised leaves the default interval.
class LockSharing {
public:
    [[nodiscard]] bool tick() { return ++items_ % 64 != 0 || share(); }

private:
    bool share();

    std::uint32_t items_ = 0;
    std::chrono::nanoseconds period_{0};  // read at the first share()
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Installs, once at import, what the core does around its network waits:
// the lock is let go of, and Ctrl-C on the main thread stops the wait with
// KeyboardInterrupt set (raise_faidx_error keeps it). False with an exception set.
bool install_network_wait_hooks();

// Runs `work` with the lock released when `release` is set, else with it held.
template <class Work>
decltype(auto) maybe_unlocked(bool release, Work&& work) {
    if (!release) return std::forward<Work>(work)();
    ReleasedLock unlocked;
    return std::forward<Work>(work)();
}

}  // namespace kelpa::py
