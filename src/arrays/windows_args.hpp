// The regions of a kelpa_arrays call: the source, and the names, starts and
// ends (or one length) converted into a batch of windows, with every check
// made before anything is written.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "binding/access.hpp"
#include "binding/ref.hpp"
#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"

namespace kelpa::arrays {

struct Windows {
    // One request per row: the window's bounds (batch/array_sinks.hpp) and its
    // record's name as the index names it.
    std::vector<core::RegionRequest> requests;
    std::vector<std::uint64_t> record_lengths;  // of each row's record
    std::size_t length = 0;                      // every window's length (fixed forms)
};

// Converts names/starts/ends/length into `out`. With `fixed`, every window
// must have one length: `length`, or else all end - start alike. False with
// the exception set.
bool convert_windows(const core::Faidx& faidx, PyObject* names, PyObject* starts, PyObject* ends, PyObject* length,
                     bool fixed, Windows& out);

// `value` as a one-dimensional array whose dtype kind is one of `kinds`
// (e.g. "iu"), the error naming `param` and `what` it expected otherwise.
py::Ref typed_column(PyObject* value, const char* param, const char* kinds, const char* what);

// `value` as a one-dimensional int64 column (`param` in the errors), held
// by `keep`: its numbers at `data`, `size` of them.
bool integer_column(PyObject* value, const char* param, py::Ref& keep, const std::int64_t*& data, std::size_t& size);

// `rc`: one bool, or one per row. `flags` empty for one bool.
bool convert_rc(PyObject* rc, std::size_t rows, bool& all, std::vector<std::uint8_t>& flags);

}  // namespace kelpa::arrays
