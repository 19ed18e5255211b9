#include "fault_guard.hpp"

#include <signal.h>
#include <unistd.h>

#include <mutex>

#include "fork_safety.hpp"

namespace kelpa::core {

namespace {

ForkSafeMutex install_lock;
struct sigaction previous_action;  // what was installed before ours, written under install_lock
std::atomic<bool> have_previous{false};
std::atomic<bool> passed_on{false};  // a SIGBUS went to the previous handler since the install

void put_previous_back() {
    struct sigaction previous = previous_action;
    // The second time round the previous handler has handed the signal back
    // to this one (faulthandler does, once it has reported): end the cycle.
    if (!have_previous.load(std::memory_order_acquire) || passed_on.exchange(true)) {
        sigemptyset(&previous.sa_mask);
        previous.sa_flags = 0;
        previous.sa_handler = SIG_DFL;
    }
    // A previous handler that ignores SIGBUS would let a real fault repeat forever.
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) previous.sa_handler = SIG_DFL;
    ::sigaction(SIGBUS, &previous, nullptr);
}

void on_sigbus(int signal, siginfo_t* info, void*) {
    // An initial-exec slot needs no allocation when the handler reads it,
    // even on a thread that never copied anything.
    detail::FaultGuard* guard = detail::current_fault_guard;
    if (guard != nullptr && info != nullptr) {
        const auto* address = static_cast<const char*>(info->si_addr);
        if (info->si_code > 0 && address >= guard->begin && address < guard->end) siglongjmp(guard->resume, 1);
        // A handler installed after this one (faulthandler, enabled after the
        // file was opened) reports the fault, puts this handler back and
        // raises the signal again, without its address.
        if (info->si_code == SI_TKILL && info->si_pid == ::getpid()) siglongjmp(guard->resume, 1);
    }
    // Not ours: hand it to whoever handled it before. A fault raised by an
    // instruction happens again when this returns, now into that handler; a
    // signal that was sent is sent again.
    put_previous_back();
    if (info == nullptr || info->si_code <= 0) ::raise(signal);
}

}  // namespace

void install_fault_handler() {
    std::lock_guard<ForkSafeMutex> hold(install_lock);
    struct sigaction now;
    if (::sigaction(SIGBUS, nullptr, &now) != 0) return;
    if ((now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_sigbus) return;
    struct sigaction ours {};
    ours.sa_sigaction = on_sigbus;
    sigemptyset(&ours.sa_mask);
    // SA_NODEFER: SIGBUS stays deliverable in the handler, so a fault while
    // putting the previous handler back cannot find it blocked.
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    if (::sigaction(SIGBUS, &ours, nullptr) != 0) return;
    previous_action = now;
    passed_on.store(false);
    have_previous.store(true, std::memory_order_release);
}

namespace detail {

__thread FaultGuard* current_fault_guard __attribute__((tls_model("initial-exec"))) = nullptr;

void after_fault() {
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    ::pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
}

}  // namespace detail

}  // namespace kelpa::core
