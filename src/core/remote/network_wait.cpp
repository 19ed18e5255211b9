#include "core/remote/network_wait.hpp"

#include <atomic>

namespace kelpa::core {

namespace {
std::atomic<NetworkWaitHooks*> installed{nullptr};
}  // namespace

void set_network_wait_hooks(NetworkWaitHooks* hooks) { installed.store(hooks, std::memory_order_release); }

NetworkWaitHooks* network_wait_hooks() { return installed.load(std::memory_order_acquire); }

}  // namespace kelpa::core
