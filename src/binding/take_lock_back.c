// Taking the interpreter lock back, in C: see take_lock_back() in gil.hpp.
//
// When the interpreter has begun to exit, Python (3.11 to 3.13) ends a thread that
// asks for the lock with pthread_exit(), which unwinds the thread's stack
// with libgcc's unwinder. No frame of ours may be unwound: the calling
// methods are noexcept (unwinding them ends the process), and a C++ runtime
// with an unwinder of its own (the release wheel's, zig's libc++ with LLVM's
// libunwind) cannot even read libgcc's unwinding state. So this file is
// compiled without exceptions, where pthread_cleanup_push is glibc's jump
// buffer: the unwinding jumps back here before it reaches a C++ frame, and
// the thread waits for the process to end.
#include <Python.h>
#include <pthread.h>
#include <unistd.h>

#ifdef __EXCEPTIONS
#error "take_lock_back.c must be compiled with -fno-exceptions (pthread_cleanup_push must not unwind)"
#endif

static void wait_for_the_end(void* unused) {
    (void)unused;
    for (;;) pause();
}

void kelpa_take_lock_back(PyThreadState* saved) {
    pthread_cleanup_push(wait_for_the_end, NULL);
    PyEval_RestoreThread(saved);
    pthread_cleanup_pop(0);
}
