// kelpa_arrays.variant_windows and haplotype_windows: windows with variants
// applied, in any of the fixed-length encodings (core/batch/haplotypes.hpp).
#pragma once

#include <Python.h>

namespace kelpa::arrays {

PyObject* arrays_variant_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* arrays_haplotype_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

extern const char* const VARIANT_WINDOWS_DOC;
extern const char* const HAPLOTYPE_WINDOWS_DOC;

}  // namespace kelpa::arrays
