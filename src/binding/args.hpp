// Argument binding and conversion, shared by every constructor and method.
//
// Binding maps positional and keyword arguments onto a parameter list and
// refuses bad calls with TypeError, checking in this order: too many
// positional arguments; then each keyword in the caller's order (an unknown
// name, a parameter already filled); keywords naming positional-only
// parameters; then missing required parameters. Messages name the function
// as "<Class>.<method>()", e.g.
//
//   Sequence.__new__() takes from 0 to 5 positional arguments but 6 were given
//   Faidx.fetch() missing 2 required positional arguments: 'start' and 'end'
//
// Conversion turns one bound value into a native one. When it raises
// TypeError the error is re-raised as "argument '<param>': <message>" with
// the original cause kept; other exceptions (OverflowError for a negative
// unsigned value) pass unchanged.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "binding/ref.hpp"

namespace kelpa::py {

struct Signature {
    const char* full_name;              // "Faidx.fetch()"
    std::span<const char* const> names;  // parameters, in order
    std::size_t required = 0;           // the first `required` have no default
    std::size_t positional_only = 0;    // the first ones that refuse keywords
    std::size_t positional = SIZE_MAX;  // the first ones that may be given by position (the rest are keyword-only)
};

// Binds a vectorcall-style argument list into out[names.size()] (borrowed
// references, nullptr where not given). False with TypeError set on failure.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict (tp_new, tp_call).
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// Re-raises a pending TypeError as "argument '<param>': <message>", keeping
// its cause; any other pending exception is left as it is.
void prefix_argument_error(const char* param);

// "'<type>' object cannot be converted to '<target>'" as a plain TypeError.
void raise_cannot_convert(PyObject* value, const char* target);

// After a caller's object failed to convert (its __index__ may run any
// code): whether the pending exception may give way to the converter's own
// TypeError. An interruption (KeyboardInterrupt, SystemExit: anything that
// is no Exception) and MemoryError may not; they go on as they are.
bool replaceable_conversion_error();

// A snapshot of a caller's sequence (a list, any sequence or iterable), as a
// tuple that holds every item; a tuple is its own. Converting an item may run
// the caller's code (an __index__, or a finalizer run by the collector) that
// empties or refills the caller's list, while the conversion reads its items
// and points into them. Empty with the exception set on failure.
Ref item_snapshot(PyObject* sequence);

// Converters: true on success; false with an exception set (already
// prefixed with the parameter's name where the rules say so).
//
// Text: str and its subclasses; the view borrows the object's UTF-8 data.
bool convert_text(PyObject* value, const char* param, std::string_view& out);
// Boolean: True/False or a NumPy bool scalar.
bool convert_bool(PyObject* value, const char* param, bool& out);
// Unsigned 64-bit through __index__; OverflowError for negative or too large.
bool convert_u64(PyObject* value, const char* param, std::uint64_t& out);
// Same without any prefix: for values inside a container argument.
bool convert_u64_raw(PyObject* value, std::uint64_t& out);
bool convert_text_raw(PyObject* value, std::string_view& out);
// Optional forms: a missing argument or None leaves `out` empty.
bool convert_optional_text(PyObject* value, const char* param, std::optional<std::string_view>& out);
bool convert_optional_bool(PyObject* value, const char* param, std::optional<bool>& out);
bool convert_optional_u64(PyObject* value, const char* param, std::optional<std::uint64_t>& out);

// The UTF-8 bytes of a str (nullopt with an exception set for strings that
// cannot be encoded, such as lone surrogates).
std::optional<std::string_view> utf8_of(PyObject* text);

// A new exact str for `text` (str subclasses are copied; exact strs shared).
PyObject* exact_str(PyObject* text);

}  // namespace kelpa::py
