#include "core/base/fork_safety.hpp"

#include <pthread.h>

namespace kelpa::core {

namespace detail {
std::atomic<std::uint32_t> fork_count{0};
}

// Every live ForkSafeMutex, and the fork handlers that take and free them.
struct ForkRegistry {
    std::mutex lock;  // guards the list; held from before a fork until after it
    ForkSafeMutex* first = nullptr;

    static ForkRegistry& get() {
        // Made on first use and never destroyed: a mutex at namespace scope in
        // another file may be made before this file's objects, and one may
        // still be unlocked by a thread after exit() began.
        static ForkRegistry* registry = [] {
            auto* made = new ForkRegistry;
            ::pthread_atfork(&ForkRegistry::before, &ForkRegistry::after_in_parent, &ForkRegistry::after_in_child);
            return made;
        }();
        return *registry;
    }

    static void before() {
        ForkRegistry& registry = get();
        registry.lock.lock();
        for (ForkSafeMutex* m = registry.first; m != nullptr; m = m->next_) m->mutex_.lock();
    }

    static void release_all() {
        ForkRegistry& registry = get();
        for (ForkSafeMutex* m = registry.first; m != nullptr; m = m->next_) m->mutex_.unlock();
        registry.lock.unlock();
    }

    static void after_in_parent() { release_all(); }

    static void after_in_child() {
        detail::fork_count.fetch_add(1, std::memory_order_relaxed);
        release_all();
    }
};

namespace {
// The handlers are in place from the moment the library is loaded, so the
// fork generation counts every fork, also before the first lock was made.
[[maybe_unused]] const ForkRegistry& registered = ForkRegistry::get();
}  // namespace

ForkSafeMutex::ForkSafeMutex() {
    ForkRegistry& registry = ForkRegistry::get();
    std::lock_guard<std::mutex> hold(registry.lock);
    next_ = registry.first;
    if (next_ != nullptr) next_->previous_ = this;
    registry.first = this;
}

ForkSafeMutex::~ForkSafeMutex() {
    ForkRegistry& registry = ForkRegistry::get();
    std::lock_guard<std::mutex> hold(registry.lock);
    if (previous_ != nullptr) previous_->next_ = next_;
    else registry.first = next_;
    if (next_ != nullptr) next_->previous_ = previous_;
}

}  // namespace kelpa::core
