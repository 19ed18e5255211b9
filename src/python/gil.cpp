#include "gil.hpp"

#include <optional>

#include "args.hpp"
#include "ref.hpp"

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

}  // namespace kelpa::py
