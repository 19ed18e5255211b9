#include "binding/gil.hpp"

#include <optional>

#include "binding/args.hpp"
#include "binding/ref.hpp"
#include "core/remote/network_wait.hpp"

namespace kelpa::py {

namespace {

// sys.getswitchinterval(), or its default when it cannot be read; nothing,
// with the exception set, when reading it raised one that must go on.
std::optional<std::chrono::nanoseconds> switch_interval() {
    double seconds = 0.005;
    if (PyObject* get = PySys_GetObject("getswitchinterval")) {  // borrowed
        Ref value(PyObject_CallNoArgs(get));
        const double read = value ? PyFloat_AsDouble(value.get()) : -1;
        if (PyErr_Occurred()) {
            if (!replaceable_conversion_error()) return std::nullopt;
            PyErr_Clear();
        } else if (read > 0) {
            seconds = read;
        }
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

}  // namespace

bool LockSharing::share() {
    // A waiting thread asks for the lock once it has waited a whole switch
    // interval since the lock last changed hands; letting go of the lock
    // sooner, with nobody asking, would only start its wait again.
    if (period_.count() == 0) {
        const std::optional<std::chrono::nanoseconds> interval = switch_interval();
        if (!interval) return false;
        period_ = *interval * 5 / 4;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < period_) return true;
    { ReleasedLock unlocked; }
    last_ = std::chrono::steady_clock::now();
    return true;
}

namespace {

// The module's part in the core's network waits: the lock is let go of
// while a thread that holds it waits (however short the wait), and the
// main thread looks for Ctrl-C every tenth of a second, as the interpreter
// would between bytecodes.
class LockFreeWaits final : public core::NetworkWaitHooks {
public:
    void begin() override {
        if (PyGILState_Check()) released_here = PyEval_SaveThread();
    }

    bool interrupted() override {
        if (main_thread == 0 || PyThread_get_thread_ident() != main_thread) return false;
        PyThreadState* state = released_here != nullptr ? released_here : PyGILState_GetThisThreadState();
        if (state == nullptr) return false;
        take_lock_back(state);
        // A KeyboardInterrupt stays set for the caller to raise: the core
        // gives up its wait and the module keeps the exception it finds set.
        const bool stop = PyErr_CheckSignals() < 0;
        PyThreadState* again = PyEval_SaveThread();
        if (released_here != nullptr) released_here = again;
        return stop;
    }

    void end() override {
        if (released_here == nullptr) return;
        PyThreadState* state = released_here;
        released_here = nullptr;
        take_lock_back(state);
    }

    unsigned long main_thread = 0;

private:
    static thread_local PyThreadState* released_here;
};

thread_local PyThreadState* LockFreeWaits::released_here = nullptr;

LockFreeWaits waits;

}  // namespace

bool install_network_wait_hooks() {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return false;
    waits.main_thread = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    core::set_network_wait_hooks(&waits);
    return true;
}

}  // namespace kelpa::py
