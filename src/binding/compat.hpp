// What differs between the CPython versions kelpa supports (3.11 to 3.13),
// in one place: each function below is the newest version's API, and for
// the older versions the same behaviour built from what they have. The rest
// of the binding calls these and no version test of its own.
//
// Adding a version: its differences go here. For 3.14, expect one: from
// 3.14 on PyEval_RestoreThread hangs a thread that asks for the lock while
// the interpreter exits, where earlier versions end it with pthread_exit()
// (which take_lock_back.c stops before it unwinds a frame of ours); the
// hang needs no guard, but the wait there must then not be relied on.
#pragma once

#include <Python.h>

#include <cstring>

namespace kelpa::py {

// The raised exception, taken out of the error indicator (a new reference,
// or nullptr when none is set), and put back (stealing the reference).
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

inline void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// Whether the str `text` equals the UTF-8 bytes `utf8` (0-terminated).
// Never raises: a str that has no UTF-8 form (a lone surrogate) equals
// nothing.
inline bool str_equals_utf8(PyObject* text, const char* utf8) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyUnicode_EqualToUTF8(text, utf8) != 0;
#else
    Py_ssize_t size = 0;
    const char* own = PyUnicode_AsUTF8AndSize(text, &size);
    if (own == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strlen(utf8) == static_cast<std::size_t>(size) && std::memcmp(own, utf8, size) == 0;
#endif
}

// Whether the interpreter has begun to exit.
inline bool interpreter_is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace kelpa::py
