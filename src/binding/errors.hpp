// The boundary between native errors and Python exceptions.
//
// Every function CPython calls is noexcept, and every one but the dealloc,
// traverse and clear hooks runs its body through `shielded`, so that a C++
// exception never crosses into the interpreter. Those three only release
// and visit references and run destructors, which do not throw; if one did,
// the process would end rather than the exception reach the interpreter.
// Inside `shielded`, running out of memory becomes MemoryError, and any
// other escaped exception is an internal fault, raised as
// kelpa.InternalFault (derived from BaseException, so ordinary `except
// Exception` handlers do not swallow it): one type for the process, made
// on first use, whichever module raises it.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/base/error.hpp"

namespace kelpa::py {

// Raises a FaidxError as Python's Exception with "<Kind>Error: <payload>".
void raise_faidx_error(const core::FaidxError& error);

// Raises what the core reported: a fault of ours (ErrorKind::Internal) as
// the internal-fault exception, anything else by raise_faidx_error.
void raise_core_error(const core::FaidxError& error);

// A FaidxError as it is told inside another message, e.g. "Fetch error:
// Sequence 'x' not found" in a batch's RuntimeError.
std::string inner_message(const core::FaidxError& error);

// Writes one whole line ("WARNING: " + text + "\n") to standard error.
void warn(std::string_view text);

// Raises the internal-fault exception with `message`.
void raise_internal_fault(const char* message);

// The internal-fault exception type, created on first use.
PyObject* internal_fault_type();

// Runs body() and returns what it returns, or `on_error` when a C++
// exception escaped it (with the Python exception set).
template <class Body>
auto shielded(std::invoke_result_t<Body&> on_error, Body&& body) noexcept -> std::invoke_result_t<Body&> {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
    } catch (...) {
        raise_internal_fault("unknown internal error");
    }
    return on_error;
}

}  // namespace kelpa::py
