#include "core/io/fault_guard.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "core/base/fork_safety.hpp"

namespace kelpa::core {

namespace {

ForkSafeMutex install_lock;
// What was installed before ours (SIG_DFL until then), written under install_lock.
struct sigaction previous_action;
// Set while this thread is in the previous handler (initial-exec, like current_fault_guard).
__thread bool passing_on __attribute__((tls_model("initial-exec"))) = false;

// Lets SIGBUS end the process as it does by default: a fault raised by an
// instruction happens again when the handler returns, a signal that was
// sent is sent again.
void end_by_default(int signal, const siginfo_t* info) {
    struct sigaction fallback{};
    sigemptyset(&fallback.sa_mask);
    fallback.sa_handler = SIG_DFL;
    ::sigaction(signal, &fallback, nullptr);
    if (info->si_code <= 0) ::raise(signal);
}

// Hands a SIGBUS that is not ours to the handler installed before this one.
// That handler is called from here, under the signal mask the kernel would
// have given it, instead of being put back in place of this one: whether it
// returns or jumps away, the mappings stay guarded.
void pass_on(int signal, siginfo_t* info, void* context) {
    const struct sigaction previous = previous_action;
    const bool with_info = previous.sa_flags & SA_SIGINFO;
    if (!with_info && previous.sa_handler == SIG_DFL) {
        end_by_default(signal, info);
        return;
    }
    if (!with_info && previous.sa_handler == SIG_IGN) {
        // The kernel ignores a sent SIGBUS, but never a fault: that would repeat forever.
        if (info->si_code > 0) end_by_default(signal, info);
        return;
    }
    sigset_t mask = previous.sa_mask;
    if (!(previous.sa_flags & SA_NODEFER)) sigaddset(&mask, signal);
    sigset_t before;
    ::pthread_sigmask(SIG_BLOCK, &mask, &before);
    passing_on = true;
    if (with_info) previous.sa_sigaction(signal, info, context);
    else previous.sa_handler(signal);
    passing_on = false;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
    const bool raised_here = info->si_code == SI_TKILL && info->si_pid == ::getpid();
    // A previous handler that puts this one back and raises the signal again
    // (faulthandler, enabled between two mappings, does once it has reported)
    // would have it handed back and forth forever.
    if (raised_here && passing_on) {
        end_by_default(signal, info);
        return;
    }
    // An initial-exec slot needs no allocation when the handler reads it,
    // even on a thread that never copied anything.
    detail::FaultGuard* guard = detail::current_fault_guard;
    if (guard != nullptr) {
        const auto* address = static_cast<const char*>(info->si_addr);
        if (info->si_code > 0 && address >= guard->begin && address < guard->end) siglongjmp(guard->resume, 1);
        // A handler installed after this one (faulthandler, enabled after the
        // file was opened) reports the fault, puts this handler back and
        // raises the signal again, without its address.
        if (raised_here) siglongjmp(guard->resume, 1);
    }
    pass_on(signal, info, context);
}

}  // namespace

Status install_fault_handler() {
    std::lock_guard<ForkSafeMutex> hold(install_lock);
    struct sigaction now;
    if (::sigaction(SIGBUS, nullptr, &now) != 0) return FaidxError::os(errno);
    if ((now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_sigbus) return {};
    struct sigaction ours{};
    ours.sa_sigaction = on_sigbus;
    sigemptyset(&ours.sa_mask);
    // SA_NODEFER: SIGBUS stays deliverable in the handler, so that a signal
    // sent again (end_by_default, faulthandler) is delivered at once.
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    // Written first: the handler may run as soon as it is installed.
    const struct sigaction replaced = previous_action;
    previous_action = now;
    if (::sigaction(SIGBUS, &ours, nullptr) != 0) {
        const int error = errno;
        previous_action = replaced;
        return FaidxError::os(error);
    }
    return {};
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
