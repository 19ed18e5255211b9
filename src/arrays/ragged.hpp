// The Ragged type: regions of any length as one array of their text back to
// back and an array of offsets, shared with Arrow as a large_binary array.
#pragma once

#include <Python.h>

namespace kelpa::arrays {

// Creates the type (once); nullptr with an exception set on failure.
PyTypeObject* ragged_type();

// A new Ragged over `data` (uint8, the texts) and `offsets` (int64, one
// more than there are regions, each within data); takes both references and
// makes both arrays read-only.
PyObject* new_ragged(PyObject* data, PyObject* offsets);

}  // namespace kelpa::arrays
