// What fork() must not break: locks held by threads that the child does not
// have, and state that belongs to the process it was forked from.
//
// A child of fork() has one thread, the one that forked. A std::mutex that
// another thread held at that moment stays locked in the child for ever, so
// the locks that threads of the core take while other threads may fork (a
// fetch with the interpreter lock released, a worker of the pool) are
// ForkSafeMutexes: fork() waits until it can take every one of them and
// the child starts with all of them free.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kelpa::core {

// A std::mutex (Lockable) that fork() takes before it forks and that both
// processes let go of after. Critical sections under one must stay short
// and must never wait for anything that a forking thread may hold (such as
// the interpreter lock). Not copyable or movable.
class ForkSafeMutex {
public:
    ForkSafeMutex();
    ~ForkSafeMutex();
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock() { mutex_.lock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

private:
    friend struct ForkRegistry;
    std::mutex mutex_;
    ForkSafeMutex* previous_ = nullptr;  // the registry's list of every live one
    ForkSafeMutex* next_ = nullptr;
};

namespace detail {
extern std::atomic<std::uint32_t> fork_count;
}

// How many fork()s lie between the first process and this one: 0 there, one
// more in each child. State tagged with it can tell that it was left behind
// by threads of a parent process.
inline std::uint32_t fork_generation() { return detail::fork_count.load(std::memory_order_relaxed); }

}  // namespace kelpa::core
