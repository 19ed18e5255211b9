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

#include "arrays/ragged.hpp"
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

// Where a call reads, and whether it lets go of the interpreter lock. From
// this many bases of text (all regions together) and two regions on, the
// worker pool pays for itself (bench/bench_arrays.py's "small" rows: below
// it, starting the workers and handing the lock back and forth costs more
// than the fill). A single region is read on the calling thread, which lets
// go of the lock only for a long one, as a fetch does (gil.hpp).
constexpr std::uint64_t POOL_BASES = 64 * 1024;

struct Plan {
    core::Executor executor;
    bool release_lock;
};

Plan plan_for(std::size_t regions, std::uint64_t bases) {
    if (regions >= 2 && bases >= POOL_BASES) return {core::Executor::Pool, true};
    return {core::Executor::Caller, bases >= py::RELEASE_LOCK_BYTES};
}

// ---- dtypes and out ---------------------------------------------------------

Ref dtype_name(int type_num) {
    Ref descr(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
    if (!descr) return Ref();
    return Ref(PyObject_Str(descr.get()));
}

// The dtype argument as one of `allowed` (a type number), or uint8 when not given.
bool convert_dtype(PyObject* value, std::initializer_list<int> allowed, const char* names, int& type_num) {
    type_num = NPY_UINT8;
    if (value == nullptr) return true;
    PyArray_Descr* descr = nullptr;
    if (!PyArray_DescrConverter(value, &descr)) {
        py::prefix_argument_error("dtype");
        return false;
    }
    Ref owned(reinterpret_cast<PyObject*>(descr));
    for (const int candidate : allowed) {
        if (PyArray_EquivTypenums(descr->type_num, candidate) && PyArray_ISNBO(descr->byteorder)) {
            type_num = candidate;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "dtype must be one of %s, got %S", names, owned.get());
    return false;
}

// The array to fill: a new one of `shape`, or `out` when it has exactly
// that shape and type and is C-contiguous and writable.
bool output_array(PyObject* out, int type_num, const std::vector<npy_intp>& shape, Ref& array) {
    const int ndim = static_cast<int>(shape.size());
    if (out == nullptr || out == Py_None) {
        array.reset(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(shape.data()), type_num));
        return static_cast<bool>(array);
    }
    std::string expected = "(";
    for (std::size_t d = 0; d < shape.size(); ++d)
        expected += std::to_string(shape[d]) + (d + 1 < shape.size() || shape.size() == 1 ? ", " : "");
    if (shape.size() == 1) expected.pop_back();
    expected += ")";
    Ref name = dtype_name(type_num);
    if (!name) return false;
    auto refuse = [&](PyObject* got) {
        PyErr_Format(PyExc_ValueError, "out must be a C-contiguous, writable array of dtype %S and shape %s; got %S",
                     name.get(), expected.c_str(), got);
        return false;
    };
    if (!PyArray_Check(out) && !PyObject_CheckBuffer(out)) {
        Ref got(PyUnicode_FromFormat("'%s'", Py_TYPE(out)->tp_name));
        return got && refuse(got.get());
    }
    // Any other buffer through a memoryview: numpy views its items.
    Ref memory(PyArray_Check(out) ? Py_NewRef(out) : PyMemoryView_FromObject(out));
    if (!memory) return false;
    Ref viewed(PyArray_FromAny(memory.get(), nullptr, 0, 0, 0, nullptr));
    if (!viewed) return false;
    auto* candidate = reinterpret_cast<PyArrayObject*>(viewed.get());
    PyArray_Descr* descr = PyArray_DESCR(candidate);
    if (!PyArray_EquivTypenums(descr->type_num, type_num) || !PyArray_ISNBO(descr->byteorder)) {
        Ref got(PyUnicode_FromFormat("dtype %S", reinterpret_cast<PyObject*>(descr)));
        return got && refuse(got.get());
    }
    bool same_shape = PyArray_NDIM(candidate) == ndim;
    for (int d = 0; same_shape && d < ndim; ++d)
        same_shape = PyArray_DIM(candidate, d) == shape[static_cast<std::size_t>(d)];
    if (!same_shape) {
        Ref got_shape(PyObject_GetAttrString(viewed.get(), "shape"));
        if (!got_shape) return false;
        Ref got(PyUnicode_FromFormat("shape %S", got_shape.get()));
        return got && refuse(got.get());
    }
    if (!PyArray_IS_C_CONTIGUOUS(candidate)) {
        Ref got(PyUnicode_FromString("an array that is not C-contiguous"));
        return got && refuse(got.get());
    }
    if (!PyArray_ISWRITEABLE(candidate)) {
        Ref got(PyUnicode_FromString("a read-only array"));
        return got && refuse(got.get());
    }
    array = std::move(viewed);
    return true;
}

char* array_data(const Ref& array) {
    return static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

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

PyObject* none_to_null(PyObject* value) { return value == Py_None ? nullptr : value; }

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
        if (fresh)
            core::fault_in_fresh(
                array_data(array),
                static_cast<std::size_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(array.get()))), plan.executor);
        return core::fill_rows(*faidx, windows.requests, target, plan.executor);
    });
    if (!filled) {
        py::raise_core_error(filled.error());
        return nullptr;
    }
    if (call.out != nullptr && call.out != Py_None) return Py_NewRef(call.out);
    return array.release();
}

bool convert_flag(PyObject* value, const char* param, bool& out) {
    out = false;
    return value == nullptr || py::convert_bool(value, param, out);
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

// The default table: A/a 0, C/c 1, G/g 2, T/t 3, every other byte 4.
std::array<std::int64_t, 256> default_table() {
    std::array<std::int64_t, 256> table;
    table.fill(4);
    const char* letters = "ACGT";
    for (int code = 0; code < 4; ++code) {
        table[static_cast<unsigned char>(letters[code])] = code;
        table[static_cast<unsigned char>(letters[code] - 'A' + 'a')] = code;
    }
    return table;
}

bool refuse_code(int byte, Ref code, int type_num) {
    Ref name = dtype_name(type_num);
    if (code && name)
        PyErr_Format(PyExc_ValueError, "table[%d] is %S, which %S cannot hold", byte, code.get(), name.get());
    return false;
}

bool convert_table(PyObject* value, int type_num, std::array<std::int64_t, 256>& table) {
    const std::int64_t lowest = type_num == NPY_UINT8 ? 0 : type_num == NPY_INT32 ? INT32_MIN : INT64_MIN;
    const std::int64_t highest = type_num == NPY_UINT8 ? 255 : type_num == NPY_INT32 ? INT32_MAX : INT64_MAX;
    if (value == nullptr || value == Py_None) {
        table = default_table();
        return true;
    }
    if (PyBytes_Check(value) || PyByteArray_Check(value)) {
        const Py_ssize_t size = PyBytes_Check(value) ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value);
        const char* bytes = PyBytes_Check(value) ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value);
        if (size != 256) {
            PyErr_Format(PyExc_ValueError, "table must have 256 entries, got %zd", size);
            return false;
        }
        for (int b = 0; b < 256; ++b) table[static_cast<std::size_t>(b)] = static_cast<unsigned char>(bytes[b]);
    } else {
        Ref given(typed_column(value, "table", "iu", "integers"));
        if (!given) return false;
        // Unsigned numbers are read as uint64: an int64 cast wraps those above 2**63 - 1.
        const bool is_unsigned = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(given.get()))->kind == 'u';
        Ref column(PyArray_FROMANY(given.get(), is_unsigned ? NPY_UINT64 : NPY_INT64, 1, 1,
                                   NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
        if (!column) return false;
        auto* array = reinterpret_cast<PyArrayObject*>(column.get());
        if (PyArray_NDIM(array) != 1 || PyArray_SIZE(array) != 256) {
            PyErr_Format(PyExc_ValueError, "table must have 256 entries, got %zd", PyArray_SIZE(array));
            return false;
        }
        if (is_unsigned) {
            const auto* codes = static_cast<const std::uint64_t*>(PyArray_DATA(array));
            for (int b = 0; b < 256; ++b) {
                if (codes[b] > static_cast<std::uint64_t>(highest))
                    return refuse_code(b, Ref(PyLong_FromUnsignedLongLong(codes[b])), type_num);
                table[static_cast<std::size_t>(b)] = static_cast<std::int64_t>(codes[b]);
            }
            return true;
        }
        std::memcpy(table.data(), PyArray_DATA(array), sizeof table);
    }
    for (int b = 0; b < 256; ++b) {
        const std::int64_t code = table[static_cast<std::size_t>(b)];
        if (code < lowest || code > highest) return refuse_code(b, Ref(PyLong_FromLongLong(code)), type_num);
    }
    return true;
}

// codes(source, names, starts=None, ends=None, *, length=None, table=None, dtype=uint8, rc=False, out=None)
constexpr const char* CODES_PARAMS[] = {"source", "names", "starts", "ends", "length", "table", "dtype", "rc", "out"};
const py::Signature CODES{"codes()", CODES_PARAMS, 2, 0, 4};

PyObject* arrays_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[9];
        if (!py::bind(CODES, args, nargs, kwnames, bound)) return nullptr;
        int type_num = NPY_UINT8;
        if (!convert_dtype(bound[6], {NPY_UINT8, NPY_INT32, NPY_INT64}, "uint8, int32, int64", type_num))
            return nullptr;
        const FixedCall call{bound[0], bound[1], bound[2], bound[3], bound[4], bound[7], bound[8]};
        return fill_fixed(call, type_num, false, false, [&]() -> std::optional<core::RowEncoder> {
            std::array<std::int64_t, 256> table;
            if (!convert_table(bound[5], type_num, table)) return std::nullopt;
            const unsigned width = type_num == NPY_UINT8 ? 1 : type_num == NPY_INT32 ? 4 : 8;
            return core::RowEncoder::codes(table, width);
        });
    });
}

// The bytes of `value` as an element of `type_num`.
bool element_bytes(double value, int type_num, std::array<char, 8>& out) {
    Ref number(PyFloat_FromDouble(value));
    if (!number) return false;
    Ref array(PyArray_FromAny(number.get(), PyArray_DescrFromType(type_num), 0, 0, NPY_ARRAY_FORCECAST, nullptr));
    if (!array) return false;
    out.fill(0);
    std::memcpy(out.data(), PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())),
                static_cast<std::size_t>(PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject*>(array.get()))));
    return true;
}

// Whether an element of `type_num` holds `value`: bool and uint8 only their
// whole numbers, float16 and float32 what does not round to infinity (an
// infinity or NaN is held as it is).
bool holds(int type_num, double value) {
    switch (type_num) {
        case NPY_BOOL:
        case NPY_UINT8: return value >= 0 && value <= (type_num == NPY_BOOL ? 1 : 255) && std::floor(value) == value;
        case NPY_FLOAT16:
            // Halfway between float16's largest, 65504, and the next step, 65536: from there on it rounds to infinity.
            return !std::isfinite(value) || std::fabs(value) < 65520.0;
        case NPY_FLOAT32:
            // Halfway between float32's largest and 2**128, likewise.
            return !std::isfinite(value) || std::fabs(value) < 0x1.ffffffp127;
        default: return true;
    }
}

// one_hot(source, names, starts=None, ends=None, *, length=None, dtype=uint8, channels_first=False, rc=False,
//         n_value=0, out=None)
constexpr const char* ONE_HOT_PARAMS[] = {"source", "names",          "starts", "ends",    "length",
                                          "dtype",  "channels_first", "rc",     "n_value", "out"};
const py::Signature ONE_HOT{"one_hot()", ONE_HOT_PARAMS, 2, 0, 4};

PyObject* arrays_one_hot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[10];
        if (!py::bind(ONE_HOT, args, nargs, kwnames, bound)) return nullptr;
        int type_num = NPY_UINT8;
        if (!convert_dtype(bound[5], {NPY_BOOL, NPY_UINT8, NPY_FLOAT16, NPY_FLOAT32, NPY_FLOAT64},
                           "bool, uint8, float16, float32, float64", type_num))
            return nullptr;
        bool channels_first = false;
        if (!convert_flag(bound[6], "channels_first", channels_first)) return nullptr;
        double n_value = 0;
        if (bound[8] != nullptr) {
            n_value = PyFloat_AsDouble(bound[8]);
            if (n_value == -1 && PyErr_Occurred()) {
                py::prefix_argument_error("n_value");
                return nullptr;
            }
            if (!holds(type_num, n_value)) {
                Ref name = dtype_name(type_num);
                if (name) PyErr_Format(PyExc_ValueError, "n_value %R cannot be held in %S", bound[8], name.get());
                return nullptr;
            }
        }
        const FixedCall call{bound[0], bound[1], bound[2], bound[3], bound[4], bound[7], bound[9]};
        return fill_fixed(call, type_num, channels_first, true, [&]() -> std::optional<core::RowEncoder> {
            std::array<char, 8> zero;
            std::array<char, 8> one;
            std::array<char, 8> other;
            if (!element_bytes(0, type_num, zero) || !element_bytes(1, type_num, one) ||
                !element_bytes(n_value, type_num, other))
                return std::nullopt;
            const unsigned width = type_num == NPY_FLOAT64   ? 8
                                   : type_num == NPY_FLOAT32 ? 4
                                   : type_num == NPY_FLOAT16 ? 2
                                                             : 1;
            return core::RowEncoder::one_hot(width, zero.data(), one.data(), other.data(), channels_first);
        });
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
     "out=None)\n--\n\n"
     "One integer code per base, shape (n, length): by default A/a 0, C/c 1, G/g 2, T/t 3 and every\n"
     "other byte 4 (padding too); table maps each of the 256 byte values to a code of its own. A\n"
     "given out is filled in place and returned; when a read fails during the fill, out is left\n"
     "partly written."},
    {"one_hot", KELPA_FASTCALL(arrays_one_hot), METH_FASTCALL | METH_KEYWORDS,
     "one_hot(source, names, starts=None, ends=None, *, length=None, dtype=numpy.uint8, channels_first=False, "
     "rc=False, n_value=0, out=None)\n--\n\n"
     "One-hot encoding in A, C, G, T order, shape (n, length, 4), or (n, 4, length) with\n"
     "channels_first. Case is ignored; every other byte, padding included, is n_value in all four\n"
     "channels. A given out is filled in place and returned; when a read fails during the fill, out\n"
     "is left partly written."},
    {"ragged", KELPA_FASTCALL(arrays_ragged), METH_FASTCALL | METH_KEYWORDS,
     "ragged(source, names, starts=None, ends=None)\n--\n\n"
     "Every region's text, of any length, as a Ragged: the part of a region outside its record is\n"
     "left out."},
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
    Ref all(Py_BuildValue("[sssss]", "fetch", "codes", "one_hot", "ragged", "Ragged"));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace kelpa::arrays

PyMODINIT_FUNC PyInit_kelpa_arrays() {
    return kelpa::py::shielded(nullptr, [] { return kelpa::arrays::initialise(); });
}
