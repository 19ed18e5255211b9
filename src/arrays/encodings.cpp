#include "arrays/encodings.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "arrays/windows_args.hpp"
#include "binding/args.hpp"
#include "binding/gil.hpp"

namespace kelpa::arrays {

using py::Ref;

namespace {

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

}  // namespace

// Where a call reads, and whether it lets go of the interpreter lock. From
// this many bases of text (all regions together) and two regions on, the
// worker pool pays for itself (bench/bench_arrays.py's "small" rows: below
// it, starting the workers and handing the lock back and forth costs more
// than the fill). A single region is read on the calling thread, which lets
// go of the lock only for a long one, as a fetch does (gil.hpp).
constexpr std::uint64_t POOL_BASES = 64 * 1024;

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

PyObject* none_to_null(PyObject* value) { return value == Py_None ? nullptr : value; }

bool convert_flag(PyObject* value, const char* param, bool& out) {
    out = false;
    return value == nullptr || py::convert_bool(value, param, out);
}

namespace {

// The channels of one byte under IUPAC's rule: the fraction of each base
// the code stands for (N a quarter in each); all zero for a byte that is no
// code.
std::array<double, 4> iupac_channels(unsigned byte) {
    // A, C, G, T
    switch (byte) {
        case 'A': return {1, 0, 0, 0};
        case 'C': return {0, 1, 0, 0};
        case 'G': return {0, 0, 1, 0};
        case 'T': return {0, 0, 0, 1};
        case 'R': return {0.5, 0, 0.5, 0};
        case 'Y': return {0, 0.5, 0, 0.5};
        case 'S': return {0, 0.5, 0.5, 0};
        case 'W': return {0.5, 0, 0, 0.5};
        case 'K': return {0, 0, 0.5, 0.5};
        case 'M': return {0.5, 0.5, 0, 0};
        case 'B': return {0, 1.0 / 3, 1.0 / 3, 1.0 / 3};
        case 'D': return {1.0 / 3, 0, 1.0 / 3, 1.0 / 3};
        case 'H': return {1.0 / 3, 1.0 / 3, 0, 1.0 / 3};
        case 'V': return {1.0 / 3, 1.0 / 3, 1.0 / 3, 0};
        case 'N': return {0.25, 0.25, 0.25, 0.25};
        default: return {0, 0, 0, 0};
    }
}

}  // namespace

std::size_t array_bytes(const Ref& array) {
    return static_cast<std::size_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(array.get())));
}

bool convert_soft_mask(PyObject* value, SoftMask& out) {
    out = SoftMask::Ignore;
    if (value == nullptr) return true;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "ignore") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(value, "n") == 0) {
            out = SoftMask::N;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "soft_mask must be 'ignore' or 'n', got %R", value);
    return false;
}

std::optional<core::RowEncoder> codes_encoder(PyObject* table_value, int type_num, SoftMask soft_mask) {
    const bool given = table_value != nullptr && table_value != Py_None;
    if (given && soft_mask == SoftMask::N) {
        PyErr_SetString(PyExc_ValueError, "soft_mask='n' and table given: the table says what every byte becomes");
        return std::nullopt;
    }
    std::array<std::int64_t, 256> table;
    if (!convert_table(table_value, type_num, table)) return std::nullopt;
    if (soft_mask == SoftMask::N) {
        for (const char letter : {'a', 'c', 'g', 't'}) table[static_cast<unsigned char>(letter)] = table['N'];
    }
    const unsigned width = type_num == NPY_UINT8 ? 1 : type_num == NPY_INT32 ? 4 : 8;
    return core::RowEncoder::codes(table, width);
}

bool convert_one_hot(PyObject* dtype, PyObject* channels_first, PyObject* n_value, PyObject* soft_mask, PyObject* iupac,
                     OneHotOptions& out) {
    if (!convert_dtype(dtype, {NPY_BOOL, NPY_UINT8, NPY_FLOAT16, NPY_FLOAT32, NPY_FLOAT64},
                       "bool, uint8, float16, float32, float64", out.type_num))
        return false;
    if (!convert_flag(channels_first, "channels_first", out.channels_first)) return false;
    if (n_value != nullptr) {
        out.n_value = PyFloat_AsDouble(n_value);
        if (out.n_value == -1 && PyErr_Occurred()) {
            py::prefix_argument_error("n_value");
            return false;
        }
        if (!holds(out.type_num, out.n_value)) {
            Ref name = dtype_name(out.type_num);
            if (name) PyErr_Format(PyExc_ValueError, "n_value %R cannot be held in %S", n_value, name.get());
            return false;
        }
    }
    if (!convert_soft_mask(soft_mask, out.soft_mask) || !convert_flag(iupac, "iupac", out.iupac)) return false;
    const bool is_float = out.type_num == NPY_FLOAT16 || out.type_num == NPY_FLOAT32 || out.type_num == NPY_FLOAT64;
    if (out.iupac && !is_float) {
        Ref name = dtype_name(out.type_num);
        if (name)
            PyErr_Format(PyExc_ValueError, "iupac=True needs a float dtype (float16, float32 or float64), got %S",
                         name.get());
        return false;
    }
    return true;
}

std::optional<core::RowEncoder> one_hot_encoder(const OneHotOptions& options) {
    const int type_num = options.type_num;
    const unsigned width = type_num == NPY_FLOAT64 ? 8 : type_num == NPY_FLOAT32 ? 4 : type_num == NPY_FLOAT16 ? 2 : 1;
    std::array<char, 8> zero;
    std::array<char, 8> one;
    std::array<char, 8> other;
    if (!element_bytes(0, type_num, zero) || !element_bytes(1, type_num, one) ||
        !element_bytes(options.n_value, type_num, other))
        return std::nullopt;
    if (options.soft_mask == SoftMask::Ignore && !options.iupac)
        return core::RowEncoder::one_hot(width, zero.data(), one.data(), other.data(), options.channels_first);
    // Every byte's four channels. Padding is byte 0's element, n_value: no code.
    std::vector<std::uint8_t> elements(std::size_t{256} * 4 * width);
    for (unsigned b = 0; b < 256; ++b) {
        const bool lower = b >= 'a' && b <= 'z';
        unsigned letter = lower ? b - 'a' + 'A' : b;
        // Soft-masked: a lower-case base or code is N.
        if (lower && options.soft_mask == SoftMask::N && iupac_channels(letter) != std::array<double, 4>{})
            letter = 'N';
        std::array<double, 4> channels = iupac_channels(letter);
        const bool base = letter == 'A' || letter == 'C' || letter == 'G' || letter == 'T';
        const bool code = channels[0] + channels[1] + channels[2] + channels[3] > 0;
        for (unsigned c = 0; c < 4; ++c) {
            std::array<char, 8> value = other;
            if (base || (options.iupac && code)) {
                if (channels[c] == 0) value = zero;
                else if (channels[c] == 1) value = one;
                else if (!element_bytes(channels[c], type_num, value)) return std::nullopt;
            }
            std::memcpy(&elements[(std::size_t{b} * 4 + c) * width], value.data(), width);
        }
    }
    return core::RowEncoder::channels(width, elements.data(), options.iupac ? 0 : 'N', options.channels_first);
}

}  // namespace kelpa::arrays
