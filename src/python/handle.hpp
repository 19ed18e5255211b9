// The native Faidx value behind a Faidx or Fasta object, and the sixteen
// constructor options both types accept (in their own positional orders).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/fetch/faidx.hpp"
#include "python/access.hpp"
#include "python/ref.hpp"

namespace kelpa::py {

enum class OpenOption {
    filename,
    indexname,
    as_raw,
    strict_bounds,
    sequence_always_upper,
    rebuild,
    build_index,
    one_based_attributes,
    default_seq,
    mutable_file,
    key_function,
    split_char,
    filt_function,
    read_long_names,
    duplicate_action,
    read_ahead,
};

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

// The first fields of a Faidx and of a Fasta object: both own one handle.
struct HandleObject {
    PyObject_HEAD
    AccessState access;
    FaidxHandle* handle;  // owned; complete for the object's whole life
};

// `key in obj` for either type: whether a record has that name.
int handle_contains(PyObject* self, PyObject* key) noexcept;

// Garbage-collector hooks and the release of the handle, for either type.
int handle_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int handle_clear(PyObject* self) noexcept;
void handle_release(PyObject* self);

// The record names of a table as a new list of str, and one of them as a new str.
PyObject* record_names(const core::NameTable& entries);
PyObject* record_name(const core::NameTable& entries, std::size_t i);

// Converts the bound constructor arguments (in the caller's parameter order,
// `order[i]` naming what bound[i] is) and opens the FASTA file. nullptr with
// an exception set on failure; nothing is opened unless every argument converts.
std::unique_ptr<FaidxHandle> open_handle(std::span<const OpenOption> order, std::span<const char* const> names,
                                         PyObject** bound);

}  // namespace kelpa::py
