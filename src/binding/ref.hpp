// Ownership of Python references.
//
// A `Ref` owns one strong reference and releases it when destroyed; a raw
// `PyObject*` anywhere in the binding is borrowed. Py_DECREF by hand appears
// only in dealloc functions.
#pragma once

#include <Python.h>

#include <utility>

namespace kelpa::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (nullptr allowed, e.g. from a failed call).
    explicit Ref(PyObject* owned) : object_(owned) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    // A new strong reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) { return Ref(Py_XNewRef(borrowed)); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* owned = nullptr) {
        Py_XDECREF(object_);
        object_ = owned;
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace kelpa::py
