// The Sequence value as a Python object, and helpers that make strs.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "binding/access.hpp"
#include "binding/ref.hpp"

namespace kelpa::py {

// A named piece of sequence text with the coordinates it was cut from.
// The text is kept as one immutable str, made once and handed out as is.
struct SequenceObject {
    PyObject_HEAD
    AccessState access;
    PyObject* name;       // exact str, owned
    PyObject* seq;        // exact str, owned
    std::uint64_t start;  // valid when has_start
    std::uint64_t end;    // valid when has_end
    bool has_start;
    bool has_end;
    bool comp;
};

// A new Sequence taking over `name` and `seq` (exact strs). nullptr with an
// exception set on failure.
PyObject* new_sequence(Ref name, Ref seq, std::optional<std::uint64_t> start, std::optional<std::uint64_t> end,
                       bool comp);

bool is_sequence(PyObject* object);

// The operations behind -s, s.reverse and s[key], for other types to reuse.
PyObject* sequence_reverse_complement(PyObject* sequence);
PyObject* sequence_reverse(PyObject* sequence);
PyObject* sequence_subscript(PyObject* sequence, PyObject* key);

// A new ASCII str of `length` characters whose bytes the caller fills in
// through `data` before anyone else sees it.
PyObject* new_ascii_str(std::size_t length, char*& data);
// A str from bytes: ASCII directly, anything else decoded as strict UTF-8
// (UnicodeDecodeError for bytes that are not valid text).
PyObject* str_from_bytes(std::string_view bytes);

}  // namespace kelpa::py
