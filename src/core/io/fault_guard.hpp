// Reading a mapping whose file may shrink under it.
//
// A mapped FASTA file that another program truncates (or rewrites in place
// with `>`) loses the pages past its new end, and touching one of them
// raises SIGBUS, which would end the process. Copies out of the mapping
// therefore run inside `guarded_read`: a SIGBUS handler that finds the
// faulting address inside the guarded range of the faulting thread jumps
// back out of the copy, and the copy reports failure instead.
//
// The handler is installed by install_fault_handler() (each time a mapping
// is made, so it goes on top of handlers installed since, faulthandler's
// among them). A SIGBUS it does not own (outside a guarded copy, or at an
// address outside the guarded range) goes to the handler that was there
// before, called from ours, so crashes elsewhere still crash and are still
// reported as before, and a SIGBUS that handler survives leaves ours in
// place. With no handler before (SIG_DFL), the default action ends the
// process as it would have without ours.
#pragma once

#include <atomic>
#include <csetjmp>
#include <cstddef>

#include "core/base/error.hpp"

namespace kelpa::core {

// Installs the handler unless it is the current one. Thread-safe. An error
// when the system refuses: then no copy out of a mapping is guarded, and a
// mapping of a file that may shrink must not be read.
[[nodiscard]] Status install_fault_handler();

namespace detail {

struct FaultGuard {
    sigjmp_buf resume;
    const char* begin = nullptr;  // the guarded range
    const char* end = nullptr;
};

// The guard of the copy this thread is in, or nullptr. Initial-exec: eight
// bytes of static TLS, read with one instruction here and in the handler.
extern __thread FaultGuard* current_fault_guard __attribute__((tls_model("initial-exec")));

// Makes SIGBUS deliverable again on this thread after a jump out of its handler.
void after_fault();

}  // namespace detail

// Whether this thread is inside a guarded_read() whose range holds [begin, begin + size).
inline bool guarded(const char* begin, std::size_t size) {
    const detail::FaultGuard* guard = detail::current_fault_guard;
    return guard != nullptr && guard->begin <= begin && begin + size <= guard->end;
}

// Runs `read()`, which may read [begin, begin + size) only. True when it
// finished; false when a page of that range had gone from the file. `read`
// must not allocate, lock or leave anything half-done that matters when it is
// cut short: only plain loads and stores into memory the caller owns. Inside
// another guarded_read, a fault in `read()` ends only this one.
template <class Read>
bool guarded_read(const char* begin, std::size_t size, Read&& read) {
    detail::FaultGuard guard;
    detail::FaultGuard* const outer = detail::current_fault_guard;
    // The mask is not saved (that would be a system call per fetch); after a
    // jump, after_fault() unblocks SIGBUS instead.
    if (sigsetjmp(guard.resume, 0) != 0) {
        detail::current_fault_guard = outer;
        detail::after_fault();
        return false;
    }
    guard.begin = begin;
    guard.end = begin + size;
    // Compiler barriers: the handler runs on this thread, so ordering the
    // stores against the copy is all it needs.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    detail::current_fault_guard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    read();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    detail::current_fault_guard = outer;
    return true;
}

}  // namespace kelpa::core
