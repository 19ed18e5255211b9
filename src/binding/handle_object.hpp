// The native value behind a kelpa.Faidx or kelpa.Fasta object: the shared
// start of both objects (HandleObject), which the kelpa module fills and
// every module of the process reads through native_source().
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "binding/access.hpp"
#include "binding/ref.hpp"
#include "core/fetch/faidx.hpp"

namespace kelpa::py {

// An opened FASTA file, the arguments it was opened with, and the options
// that are accepted and kept but do not change what is read.
struct FaidxHandle {
    std::unique_ptr<core::Faidx> faidx;
    // The constructor's arguments as given, {parameter name: object}, only
    // those passed: what a pickle of the object carries. It also keeps
    // key_function and filt_function, which are never called.
    Ref arguments;
    std::optional<std::string> split_char;
    std::string duplicate_action = "stop";
    bool read_long_names = false;
    std::optional<std::uint64_t> read_ahead;

    // Garbage-collector hooks for the stored arguments.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(arguments.get());
        return 0;
    }
    void clear() { arguments.reset(); }
};

// What a Faidx object is, and what a Fasta object begins with (as its
// first member): its access state and the one handle it owns.
struct HandleObject {
    PyObject_HEAD
    AccessState access;
    FaidxHandle* handle;  // owned; complete for the object's whole life
};

// Marks `type` as one whose instances are HandleObjects (kelpa.Faidx and
// kelpa.Fasta, which cannot be subclassed): the kelpa module does so as it
// makes them.
void register_source_type(PyTypeObject* type);

// The native value of a kelpa.Faidx or kelpa.Fasta `source`, and its access
// state in `access`; nullptr with TypeError "argument 'source': expected
// kelpa.Faidx or kelpa.Fasta, got '<type>'" for anything else.
const core::Faidx* native_source(PyObject* source, AccessState*& access);

}  // namespace kelpa::py
