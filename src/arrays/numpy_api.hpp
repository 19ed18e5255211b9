// numpy's C API for the files of kelpa_arrays: module.cpp imports it once
// (KELPA_ARRAYS_IMPORTS_NUMPY), the other files share its table.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL KELPA_ARRAYS_NUMPY_API
#ifndef KELPA_ARRAYS_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
