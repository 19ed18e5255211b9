// The sixteen constructor options that Faidx and Fasta accept (in their own
// positional orders), and what both types do with the handle they own
// (binding/handle_object.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "binding/handle_object.hpp"
#include "binding/ref.hpp"
#include "core/fetch/faidx.hpp"

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
