// The frame every constructor and method runs in: bind the arguments, take
// access to the instance, call the body, and never let a C++ exception out.
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/errors.hpp"

namespace kelpa::py {

// tp_new and tp_vectorcall of a type whose constructor binds its arguments by
// `signature` (N parameters) and makes the object with `construct`.
template <const Signature& signature, std::size_t N, PyObject* (*construct)(PyTypeObject*, PyObject**)>
struct Constructor {
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        return shielded(nullptr, [&]() -> PyObject* {
            PyObject* bound[N];
            if (!bind(signature, args, kwargs, bound)) return nullptr;
            return construct(type, bound);
        });
    }

    static PyObject* vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
        return shielded(nullptr, [&]() -> PyObject* {
            PyObject* bound[N];
            if (!bind(signature, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
            return construct(reinterpret_cast<PyTypeObject*>(type), bound);
        });
    }
};

// A method with read access to its instance: binds N arguments by
// `signature` and hands them to `body`.
template <std::size_t N, class Body>
PyObject* read_method(AccessState& access_state, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Body body) {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(access_state);
        if (!access.ok()) return nullptr;
        PyObject* bound[N > 0 ? N : 1];
        if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
        return body(bound);
    });
}

#define KELPA_FASTCALL(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

}  // namespace kelpa::py
