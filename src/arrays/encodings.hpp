// What the fixed-length forms of kelpa_arrays share: where a call reads,
// the dtypes and the output array, and the encoders of codes and one_hot
// with their options (table, n_value, soft_mask, iupac).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "arrays/numpy_api.hpp"
#include "binding/ref.hpp"
#include "core/batch/batch.hpp"
#include "core/kernels/encoding.hpp"

namespace kelpa::arrays {

// Where a call reads, and whether it lets go of the interpreter lock.
struct Plan {
    core::Executor executor;
    bool release_lock;
};
Plan plan_for(std::size_t regions, std::uint64_t bases);

py::Ref dtype_name(int type_num);
// The dtype argument as one of `allowed` (a type number), or uint8 when not given.
bool convert_dtype(PyObject* value, std::initializer_list<int> allowed, const char* names, int& type_num);
// The array to fill: a new one of `shape`, or `out` when it has exactly
// that shape and type and is C-contiguous and writable.
bool output_array(PyObject* out, int type_num, const std::vector<npy_intp>& shape, py::Ref& array);
char* array_data(const py::Ref& array);
std::size_t array_bytes(const py::Ref& array);

PyObject* none_to_null(PyObject* value);
bool convert_flag(PyObject* value, const char* param, bool& out);

// How lower-case bases encode: as their upper-case ones, or as N.
enum class SoftMask : std::uint8_t { Ignore, N };
bool convert_soft_mask(PyObject* value, SoftMask& out);

// codes' encoder: `table` (nullptr or None for the default one, which
// soft_mask changes; refused together with soft_mask="n").
std::optional<core::RowEncoder> codes_encoder(PyObject* table, int type_num, SoftMask soft_mask);

// one_hot's options converted: n_value held by the dtype, iupac only with
// a float dtype.
struct OneHotOptions {
    int type_num = NPY_UINT8;
    bool channels_first = false;
    double n_value = 0;
    SoftMask soft_mask = SoftMask::Ignore;
    bool iupac = false;
};
bool convert_one_hot(PyObject* dtype, PyObject* channels_first, PyObject* n_value, PyObject* soft_mask, PyObject* iupac,
                     OneHotOptions& out);
std::optional<core::RowEncoder> one_hot_encoder(const OneHotOptions& options);

}  // namespace kelpa::arrays
