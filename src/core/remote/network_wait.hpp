// What a front end does while the core waits on the network.
//
// The core never learns who called it: a front end that must do something
// around a wait (the module lets go of the interpreter lock, and learns of
// Ctrl-C) installs its hooks once, and every wait of the remote reader
// (http.hpp) calls them on the waiting thread. The program installs none.
#pragma once

namespace kelpa::core {

class NetworkWaitHooks {
public:
    virtual ~NetworkWaitHooks() = default;
    // The thread is about to wait on the network.
    virtual void begin() = 0;
    // Asked about every 100 ms while it waits (between begin() and end()):
    // true ends the wait, which then fails as interrupted.
    virtual bool interrupted() = 0;
    // The wait is over.
    virtual void end() = 0;
};

// Installs the hooks (nullptr: none) for every thread; set before any wait.
void set_network_wait_hooks(NetworkWaitHooks* hooks);
NetworkWaitHooks* network_wait_hooks();

// begin() and end() of the installed hooks around a scope.
class NetworkWait {
public:
    NetworkWait() : hooks_(network_wait_hooks()) {
        if (hooks_ != nullptr) hooks_->begin();
    }
    ~NetworkWait() {
        if (hooks_ != nullptr) hooks_->end();
    }
    NetworkWait(const NetworkWait&) = delete;
    NetworkWait& operator=(const NetworkWait&) = delete;
    bool interrupted() { return hooks_ != nullptr && hooks_->interrupted(); }

private:
    NetworkWaitHooks* hooks_;
};

}  // namespace kelpa::core
