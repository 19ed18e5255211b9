// kelpa_arrays: regions of a kelpa.Faidx or kelpa.Fasta as numpy arrays,
// filled straight from the file: the bytes, integer codes, one-hot
// encodings, and regions of any length back to back (Ragged).
//
// Output arrays are allocated by numpy's C API (PyArray_SimpleNew): the
// result is an ordinary array that owns its memory, with numpy's allocator
// and its huge-page advice for large arrays, and no copy is ever made. A
// given `out` is viewed as an array (numpy arrays, or any buffer) and
// filled where it lies.
#include <Python.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>

#define KELPA_ARRAYS_IMPORTS_NUMPY
#include "arrays/numpy_api.hpp"

#include "arrays/encodings.hpp"
#include "arrays/ragged.hpp"
#include "arrays/variants.hpp"
#include "arrays/windows_args.hpp"
#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/frame.hpp"
#include "binding/gil.hpp"
#include "binding/handle_object.hpp"
#include "binding/ref.hpp"
#include "core/batch/array_sinks.hpp"
#include "core/kernels/encoding.hpp"

namespace kelpa::arrays {

using py::Ref;

namespace {
// ---- the fixed-length forms -------------------------------------------------

struct FixedCall {
    PyObject* source = nullptr;
    PyObject* names = nullptr;
    PyObject* starts = nullptr;
    PyObject* ends = nullptr;
    PyObject* length = nullptr;
    PyObject* rc = nullptr;
    PyObject* out = nullptr;
};

// Converts the regions, makes the encoder and the output, fills it and
// returns the array (the given `out` object itself when there is one).
template <class MakeEncoder>
PyObject* fill_fixed(const FixedCall& call, int type_num, bool channels_first, bool one_hot,
                     MakeEncoder&& make_encoder) {
    py::AccessState* access_state = nullptr;
    const core::Faidx* faidx = py::native_source(call.source, access_state);
    if (faidx == nullptr) return nullptr;
    py::ReadAccess access(*access_state);
    if (!access.ok()) return nullptr;

    Windows windows;
    if (!convert_windows(*faidx, call.names, none_to_null(call.starts), none_to_null(call.ends),
                         none_to_null(call.length), true, windows))
        return nullptr;
    const std::size_t rows = windows.requests.size();
    bool rc_all = false;
    std::vector<std::uint8_t> rc_flags;
    if (!convert_rc(none_to_null(call.rc), rows, rc_all, rc_flags)) return nullptr;
    std::optional<core::RowEncoder> encoder = make_encoder();
    if (!encoder) return nullptr;

    std::vector<npy_intp> shape{static_cast<npy_intp>(rows), static_cast<npy_intp>(windows.length)};
    if (one_hot) {
        if (channels_first) shape.insert(shape.begin() + 1, 4);
        else shape.push_back(4);
    }
    Ref array;
    if (!output_array(none_to_null(call.out), type_num, shape, array)) return nullptr;

    const core::RowTarget target{array_data(array), windows.length, &*encoder,
                                 rc_flags.empty() ? nullptr : rc_flags.data(), rc_all};
    const Plan plan = plan_for(rows, std::uint64_t{rows} * windows.length);
    const bool fresh = call.out == nullptr || call.out == Py_None;
    const core::Status filled = py::maybe_unlocked(plan.release_lock, [&] {
        if (fresh) core::fault_in_fresh(array_data(array), array_bytes(array), plan.executor);
        return core::fill_rows(*faidx, windows.requests, target, plan.executor);
    });
    if (!filled) {
        py::raise_core_error(filled.error());
        return nullptr;
    }
    if (call.out != nullptr && call.out != Py_None) return Py_NewRef(call.out);
    return array.release();
}

// fetch(source, names, starts=None, ends=None, *, length=None, upper=False, rc=False, out=None)
constexpr const char* FETCH_PARAMS[] = {"source", "names", "starts", "ends", "length", "upper", "rc", "out"};
const py::Signature FETCH{"fetch()", FETCH_PARAMS, 2, 0, 4};

PyObject* arrays_fetch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[8];
        if (!py::bind(FETCH, args, nargs, kwnames, bound)) return nullptr;
        bool upper = false;
        if (!convert_flag(bound[5], "upper", upper)) return nullptr;
        const FixedCall call{bound[0], bound[1], bound[2], bound[3], bound[4], bound[6], bound[7]};
        return fill_fixed(call, NPY_UINT8, false, false, [&] { return std::optional(core::RowEncoder::bytes(upper)); });
    });
}

// codes(source, names, starts=None, ends=None, *, length=None, table=None, dtype=uint8, rc=False, out=None,
//       soft_mask="ignore")
constexpr const char* CODES_PARAMS[] = {"source", "names", "starts", "ends", "length",
                                        "table",  "dtype", "rc",     "out",  "soft_mask"};
const py::Signature CODES{"codes()", CODES_PARAMS, 2, 0, 4};

PyObject* arrays_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[10];
        if (!py::bind(CODES, args, nargs, kwnames, bound)) return nullptr;
        int type_num = NPY_UINT8;
        if (!convert_dtype(bound[6], {NPY_UINT8, NPY_INT32, NPY_INT64}, "uint8, int32, int64", type_num))
            return nullptr;
        SoftMask soft_mask = SoftMask::Ignore;
        if (!convert_soft_mask(bound[9], soft_mask)) return nullptr;
        const FixedCall call{bound[0], bound[1], bound[2], bound[3], bound[4], bound[7], bound[8]};
        return fill_fixed(call, type_num, false, false, [&] { return codes_encoder(bound[5], type_num, soft_mask); });
    });
}

// one_hot(source, names, starts=None, ends=None, *, length=None, dtype=uint8, channels_first=False, rc=False,
//         n_value=0, out=None, soft_mask="ignore", iupac=False)
constexpr const char* ONE_HOT_PARAMS[] = {"source",         "names", "starts",  "ends", "length",    "dtype",
                                          "channels_first", "rc",    "n_value", "out",  "soft_mask", "iupac"};
const py::Signature ONE_HOT{"one_hot()", ONE_HOT_PARAMS, 2, 0, 4};

PyObject* arrays_one_hot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[12];
        if (!py::bind(ONE_HOT, args, nargs, kwnames, bound)) return nullptr;
        OneHotOptions options;
        if (!convert_one_hot(bound[5], bound[6], bound[8], bound[10], bound[11], options)) return nullptr;
        const FixedCall call{bound[0], bound[1], bound[2], bound[3], bound[4], bound[7], bound[9]};
        return fill_fixed(call, options.type_num, options.channels_first, true,
                          [&] { return one_hot_encoder(options); });
    });
}

// ragged(source, names, starts=None, ends=None)
constexpr const char* RAGGED_PARAMS[] = {"source", "names", "starts", "ends"};
const py::Signature RAGGED{"ragged()", RAGGED_PARAMS, 2};

PyObject* arrays_ragged(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[4];
        if (!py::bind(RAGGED, args, nargs, kwnames, bound)) return nullptr;
        py::AccessState* access_state = nullptr;
        const core::Faidx* faidx = py::native_source(bound[0], access_state);
        if (faidx == nullptr) return nullptr;
        py::ReadAccess access(*access_state);
        if (!access.ok()) return nullptr;
        Windows windows;
        if (!convert_windows(*faidx, bound[1], none_to_null(bound[2]), none_to_null(bound[3]), nullptr, false, windows))
            return nullptr;
        const std::size_t rows = windows.requests.size();
        npy_intp offsets_shape = static_cast<npy_intp>(rows + 1);
        Ref offsets(PyArray_SimpleNew(1, &offsets_shape, NPY_INT64));
        if (!offsets) return nullptr;
        auto* offset_values = reinterpret_cast<std::int64_t*>(array_data(offsets));
        core::ragged_offsets(windows.requests, [&](std::size_t i) { return windows.record_lengths[i]; }, offset_values);
        npy_intp total = static_cast<npy_intp>(offset_values[rows]);
        Ref data(PyArray_SimpleNew(1, &total, NPY_UINT8));
        if (!data) return nullptr;
        const Plan plan = plan_for(rows, static_cast<std::uint64_t>(total));
        const core::Result<std::uint64_t> filled = py::maybe_unlocked(plan.release_lock, [&] {
            core::fault_in_fresh(array_data(data), static_cast<std::size_t>(total), plan.executor);
            return core::fill_ragged(*faidx, windows.requests, array_data(data), offset_values, plan.executor);
        });
        if (!filled) {
            py::raise_core_error(filled.error());
            return nullptr;
        }
        if (static_cast<npy_intp>(filled.value()) != total) {
            // Regions came back short: the text is shorter than planned.
            npy_intp written = static_cast<npy_intp>(filled.value());
            PyArray_Dims dims{&written, 1};
            Ref resized(PyArray_Resize(reinterpret_cast<PyArrayObject*>(data.get()), &dims, 0, NPY_CORDER));
            if (!resized) return nullptr;
        }
        return new_ragged(data.release(), offsets.release());
    });
}

PyMethodDef module_methods[] = {
    {"fetch", KELPA_FASTCALL(arrays_fetch), METH_FASTCALL | METH_KEYWORDS,
     "fetch(source, names, starts=None, ends=None, *, length=None, upper=False, rc=False, out=None)\n--\n\n"
     "The windows' text as uint8 bytes, shape (n, length); 'N' pads the part of a window outside\n"
     "its record. Upper-cased with upper=True. A given out is filled in place and returned; when a\n"
     "read fails during the fill, out is left partly written."},
    {"codes", KELPA_FASTCALL(arrays_codes), METH_FASTCALL | METH_KEYWORDS,
     "codes(source, names, starts=None, ends=None, *, length=None, table=None, dtype=numpy.uint8, rc=False, "
     "out=None, soft_mask='ignore')\n--\n\n"
     "One integer code per base, shape (n, length): by default A/a 0, C/c 1, G/g 2, T/t 3 and every\n"
     "other byte 4 (padding too); table maps each of the 256 byte values to a code of its own. A\n"
     "given out is filled in place and returned; when a read fails during the fill, out is left\n"
     "partly written."},
    {"one_hot", KELPA_FASTCALL(arrays_one_hot), METH_FASTCALL | METH_KEYWORDS,
     "one_hot(source, names, starts=None, ends=None, *, length=None, dtype=numpy.uint8, channels_first=False, "
     "rc=False, n_value=0, out=None, soft_mask='ignore', iupac=False)\n--\n\n"
     "One-hot encoding in A, C, G, T order, shape (n, length, 4), or (n, 4, length) with\n"
     "channels_first. Case is ignored; every other byte, padding included, is n_value in all four\n"
     "channels. A given out is filled in place and returned; when a read fails during the fill, out\n"
     "is left partly written."},
    {"ragged", KELPA_FASTCALL(arrays_ragged), METH_FASTCALL | METH_KEYWORDS,
     "ragged(source, names, starts=None, ends=None)\n--\n\n"
     "Every region's text, of any length, as a Ragged: the part of a region outside its record is\n"
     "left out."},
    {"variant_windows", KELPA_FASTCALL(arrays_variant_windows), METH_FASTCALL | METH_KEYWORDS, VARIANT_WINDOWS_DOC},
    {"haplotype_windows", KELPA_FASTCALL(arrays_haplotype_windows), METH_FASTCALL | METH_KEYWORDS,
     HAPLOTYPE_WINDOWS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef arrays_module = {
    PyModuleDef_HEAD_INIT,
    "kelpa_arrays",
    "Regions of FASTA files as numpy arrays, for machine-learning loaders.\n\n"
    "The source is a kelpa.Faidx or kelpa.Fasta. Windows are 0-based and end-exclusive, as in BED\n"
    "files and numpy: names (str, or record positions in keys order), starts, and ends or one\n"
    "length; or (name, start, end) tuples passed as names. The part of a window outside its record\n"
    "is padded. rc (one bool, or one per row) gives a row's reverse complement.",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() {
    if (_import_array() < 0) return nullptr;
    // kelpa's Faidx and Fasta are the sources (binding/handle_object.hpp):
    // importing kelpa makes them.
    if (Ref kelpa(PyImport_ImportModule("kelpa")); !kelpa) return nullptr;
    Ref module(PyModule_Create(&arrays_module));
    if (!module) return nullptr;
    PyTypeObject* ragged = ragged_type();
    if (ragged == nullptr || PyModule_AddObjectRef(module.get(), "Ragged", reinterpret_cast<PyObject*>(ragged)) < 0)
        return nullptr;
    Ref all(Py_BuildValue("[sssssss]", "fetch", "codes", "one_hot", "ragged", "variant_windows", "haplotype_windows",
                          "Ragged"));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace kelpa::arrays

PyMODINIT_FUNC PyInit_kelpa_arrays() {
    return kelpa::py::shielded(nullptr, [] { return kelpa::arrays::initialise(); });
}
