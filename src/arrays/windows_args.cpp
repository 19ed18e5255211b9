#include "arrays/windows_args.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "arrays/numpy_api.hpp"
#include "binding/args.hpp"
#include "binding/ref.hpp"
#include "core/batch/array_sinks.hpp"

namespace kelpa::arrays {

using py::Ref;

Ref typed_column(PyObject* value, const char* param, const char* kinds, const char* what) {
    Ref array(PyArray_FromAny(value, nullptr, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
    if (!array) {
        py::prefix_argument_error(param);
        return Ref();
    }
    auto* column = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(column) != 1) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected one column of %s, got %d dimensions", param, what,
                     PyArray_NDIM(column));
        return Ref();
    }
    // An empty list makes an array of float64: no value of the wrong kind.
    if (PyArray_SIZE(column) > 0 && std::strchr(kinds, PyArray_DESCR(column)->kind) == nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got an array of %S", param, what,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(column)));
        return Ref();
    }
    return array;
}

namespace {

// Every row's record, found by name or by position in the index's order.
// A repeated name is answered from the last one: its bytes are kept, and the
// last str is held, so that no other object can take its address.
class NameResolver {
public:
    explicit NameResolver(const core::NameTable& table) : table_(table) {}

    // How a name whose bytes find no record is shown when `shown` is nullptr.
    enum class Given { Str, Bytes };

    // By the bytes of a name; `shown` (may be nullptr) is the caller's object for the error.
    bool by_text(std::size_t row, std::string_view name, PyObject* shown, Given given, std::size_t& index) {
        if (have_last_ && name == last_text_) {
            index = last_index_;
            return true;
        }
        const core::IndexEntry* entry = table_.find(name);
        if (entry == nullptr) {
            const auto size = static_cast<Py_ssize_t>(name.size());
            Ref text(shown != nullptr      ? Py_NewRef(shown)
                     : given == Given::Str ? PyUnicode_DecodeUTF8(name.data(), size, "strict")
                                           : PyBytes_FromStringAndSize(name.data(), size));
            if (text) PyErr_Format(PyExc_KeyError, "row %zu: no record named %R", row, text.get());
            return false;
        }
        index = table_.index_of(entry);
        last_text_.assign(name);
        have_last_ = true;
        last_index_ = index;
        return true;
    }

    bool by_position(std::size_t row, std::int64_t position, std::size_t& index) {
        if (position < 0) {
            PyErr_Format(PyExc_IndexError, "row %zu: record position %lld is out of range for %zu records", row,
                         static_cast<long long>(position), table_.size());
            return false;
        }
        return by_position(row, static_cast<std::uint64_t>(position), index);
    }

    bool by_position(std::size_t row, std::uint64_t position, std::size_t& index) {
        if (position >= table_.size()) {
            PyErr_Format(PyExc_IndexError, "row %zu: record position %llu is out of range for %zu records", row,
                         static_cast<unsigned long long>(position), table_.size());
            return false;
        }
        index = static_cast<std::size_t>(position);
        return true;
    }

    // A name as a Python object: a str, or an integer (not a bool).
    bool by_object(std::size_t row, PyObject* item, std::size_t& index) {
        if (item == last_str_.get()) {
            index = last_index_;
            return true;
        }
        if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (utf8 == nullptr) return false;
            if (!by_text(row, std::string_view(utf8, static_cast<std::size_t>(size)), item, Given::Str, index))
                return false;
            last_str_ = Ref::borrow(item);
            return true;
        }
        if (PyBool_Check(item) || !PyIndex_Check(item)) {
            PyErr_Format(PyExc_TypeError, "row %zu: a name must be a str or an int, not '%s'", row,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        Ref number(PyNumber_Index(item));
        if (!number) return false;
        int overflow = 0;
        const long long position = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (position == -1 && PyErr_Occurred()) return false;
        if (overflow != 0) {
            PyErr_Format(PyExc_IndexError, "row %zu: record position %R is out of range for %zu records", row,
                         number.get(), table_.size());
            return false;
        }
        return by_position(row, static_cast<std::int64_t>(position), index);
    }

private:
    const core::NameTable& table_;
    Ref last_str_;  // the last str name, held
    std::string last_text_;
    bool have_last_ = false;
    std::size_t last_index_ = 0;
};

// A one-dimensional int64 column of `param`, C-contiguous, in `keep`.
bool int64_column(PyObject* value, const char* param, Ref& keep) {
    Ref array(typed_column(value, param, "iu", "integers"));
    if (!array) return false;
    auto* numbers = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_DESCR(numbers)->kind == 'u' && PyArray_ITEMSIZE(numbers) == 8) {
        // Unsigned 64-bit numbers above the signed range do not convert.
        Ref as_unsigned(PyArray_FROMANY(array.get(), NPY_UINT64, 1, 1, NPY_ARRAY_CARRAY_RO));
        if (!as_unsigned) return false;
        auto* values =
            static_cast<const std::uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(as_unsigned.get())));
        const npy_intp count = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(as_unsigned.get()));
        for (npy_intp i = 0; i < count; ++i) {
            if (values[i] > static_cast<std::uint64_t>(INT64_MAX)) {
                PyErr_Format(PyExc_ValueError, "row %zd: %s %llu is too large", i, param,
                             static_cast<unsigned long long>(values[i]));
                return false;
            }
        }
    }
    keep.reset(PyArray_FROMANY(array.get(), NPY_INT64, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    return static_cast<bool>(keep);
}

const std::int64_t* column_data(const Ref& column) {
    return static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(column.get())));
}
std::size_t column_size(const Ref& column) {
    return static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(column.get())));
}

// The records of a column of record positions, read as `T` (`type_num`):
// each number is checked in its own type, so a uint64 above 2**63 - 1 is not
// wrapped to a negative one.
template <class T>
bool resolve_positions(NameResolver& resolver, PyObject* column, int type_num, std::vector<std::size_t>& records) {
    Ref positions(PyArray_FROMANY(column, type_num, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!positions) return false;
    const T* numbers = static_cast<const T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(positions.get())));
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!resolver.by_position(i, numbers[i], records[i])) return false;
    }
    return true;
}

bool refuse_names(PyObject* names) {
    PyErr_Format(PyExc_TypeError, "argument 'names': expected a sequence of names, got '%s'", Py_TYPE(names)->tp_name);
    return false;
}

// The records of a column of names: a list or tuple of str or int, or an
// array (of integers, of str, of bytes, or of objects).
bool resolve_names(const core::NameTable& table, PyObject* names, std::vector<std::size_t>& records) {
    NameResolver resolver(table);
    if (PyList_Check(names) || PyTuple_Check(names)) {
        Ref snapshot = py::item_snapshot(names);
        if (!snapshot) return false;
        const Py_ssize_t count = PyTuple_GET_SIZE(snapshot.get());
        PyObject** items = &PyTuple_GET_ITEM(snapshot.get(), 0);
        records.resize(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!resolver.by_object(static_cast<std::size_t>(i), items[i], records[static_cast<std::size_t>(i)]))
                return false;
        }
        return true;
    }
    if (PyUnicode_Check(names) || PyBytes_Check(names)) return refuse_names(names);
    Ref array_ref(PyArray_FromAny(names, nullptr, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
    if (!array_ref) {
        py::prefix_argument_error("names");
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(array_ref.get());
    // No sequence at all (a generator, a dict, one name) makes an array of no dimensions.
    if (PyArray_NDIM(array) == 0) return refuse_names(names);
    if (PyArray_NDIM(array) != 1) {
        PyErr_Format(PyExc_ValueError, "argument 'names': expected one column of names, got %d dimensions",
                     PyArray_NDIM(array));
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(PyArray_SIZE(array));
    records.resize(count);
    const char kind = PyArray_DESCR(array)->kind;
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const std::size_t itemsize = static_cast<std::size_t>(PyArray_ITEMSIZE(array));
    switch (kind) {
        case 'i': return resolve_positions<std::int64_t>(resolver, array_ref.get(), NPY_INT64, records);
        case 'u': return resolve_positions<std::uint64_t>(resolver, array_ref.get(), NPY_UINT64, records);
        case 'O': {
            auto* items = reinterpret_cast<PyObject* const*>(data);
            for (std::size_t i = 0; i < count; ++i) {
                if (!resolver.by_object(i, items[i], records[i])) return false;
            }
            return true;
        }
        case 'S': {
            for (std::size_t i = 0; i < count; ++i) {
                std::string_view name(data + i * itemsize, itemsize);
                while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
                if (!resolver.by_text(i, name, nullptr, NameResolver::Given::Bytes, records[i])) return false;
            }
            return true;
        }
        case 'U': {
            // Fixed-width UCS-4: ASCII names are narrowed here; others are
            // encoded by a str of their own.
            const std::size_t width = itemsize / 4;
            std::string narrow;
            for (std::size_t i = 0; i < count; ++i) {
                auto* points = reinterpret_cast<const Py_UCS4*>(data + i * itemsize);
                std::size_t size = width;
                while (size > 0 && points[size - 1] == 0) --size;
                bool ascii = true;
                narrow.clear();
                for (std::size_t k = 0; k < size && ascii; ++k) {
                    ascii = points[k] < 128;
                    narrow.push_back(static_cast<char>(points[k]));
                }
                if (ascii) {
                    if (!resolver.by_text(i, narrow, nullptr, NameResolver::Given::Str, records[i])) return false;
                    continue;
                }
                Ref text(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points, static_cast<Py_ssize_t>(size)));
                if (!text) return false;
                Py_ssize_t utf8_size = 0;
                const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &utf8_size);
                if (utf8 == nullptr || !resolver.by_text(i, std::string_view(utf8, static_cast<std::size_t>(utf8_size)),
                                                         text.get(), NameResolver::Given::Str, records[i]))
                    return false;
            }
            return true;
        }
        default:
            PyErr_Format(PyExc_TypeError, "argument 'names': expected str or int names, got an array of %R",
                         reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
            return false;
    }
}

// An integer through __index__, as an int64. One outside int64 is refused
// as "<row: ><what> <number> is too large" (or too small), the number as given;
// `row` is SIZE_MAX for an argument that is not a row's.
bool index_number(PyObject* value, std::size_t row, const char* what, long long& out) {
    Ref number(PyNumber_Index(value));
    if (!number) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) return true;
    const char* beyond = overflow > 0 ? "large" : "small";
    if (row == SIZE_MAX) PyErr_Format(PyExc_ValueError, "%s %R is too %s", what, number.get(), beyond);
    else PyErr_Format(PyExc_ValueError, "row %zu: %s %R is too %s", row, what, number.get(), beyond);
    return false;
}

// (name, start, end) tuples.
bool resolve_tuples(const core::NameTable& table, PyObject* regions, std::vector<std::size_t>& records,
                    std::vector<std::int64_t>& starts, std::vector<std::int64_t>& ends) {
    if (PyUnicode_Check(regions) || PyBytes_Check(regions)) return refuse_names(regions);
    // A list is read from a snapshot; any other iterable becomes a list of this call's own.
    Ref items;
    if (PyList_Check(regions) || PyTuple_Check(regions)) items = py::item_snapshot(regions);
    else items.reset(PySequence_Fast(regions, "argument 'names': expected a sequence of (name, start, end) tuples"));
    if (!items) return false;
    const std::size_t count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    records.resize(count);
    starts.resize(count);
    ends.resize(count);
    NameResolver resolver(table);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
            PyErr_Format(PyExc_TypeError,
                         "row %zu: expected a (name, start, end) tuple, got '%s' (give starts and ends as columns, "
                         "or regions as tuples)",
                         i, Py_TYPE(item)->tp_name);
            return false;
        }
        long long start = 0;
        long long end = 0;
        if (!resolver.by_object(i, PyTuple_GET_ITEM(item, 0), records[i]) ||
            !index_number(PyTuple_GET_ITEM(item, 1), i, "start", start) ||
            !index_number(PyTuple_GET_ITEM(item, 2), i, "end", end))
            return false;
        starts[i] = start;
        ends[i] = end;
    }
    return true;
}

}  // namespace

bool integer_column(PyObject* value, const char* param, Ref& keep, const std::int64_t*& data, std::size_t& size) {
    if (!int64_column(value, param, keep)) return false;
    data = column_data(keep);
    size = column_size(keep);
    return true;
}

bool convert_windows(const core::Faidx& faidx, PyObject* names, PyObject* starts, PyObject* ends, PyObject* length,
                     bool fixed, Windows& out) {
    const bool tuples = starts == nullptr;
    if (tuples && ends != nullptr) {
        PyErr_SetString(PyExc_TypeError, "ends given without starts");
        return false;
    }
    std::optional<long long> fixed_length;
    if (length != nullptr) {
        long long value = 0;
        if (!index_number(length, SIZE_MAX, "length", value)) {
            py::prefix_argument_error("length");
            return false;
        }
        if (value < 0) {
            PyErr_Format(PyExc_ValueError, "length must be at least 0, got %lld", value);
            return false;
        }
        if (ends != nullptr || tuples) {
            PyErr_SetString(PyExc_ValueError, tuples ? "both ends (in the region tuples) and length given"
                                                     : "both ends and length given");
            return false;
        }
        fixed_length = value;
    } else if (!tuples && ends == nullptr) {
        PyErr_SetString(PyExc_TypeError, "give ends or length");
        return false;
    }

    const core::NameTable& table = faidx.entries();
    std::vector<std::size_t> records;
    std::vector<std::int64_t> tuple_starts;
    std::vector<std::int64_t> tuple_ends;
    Ref start_column;
    Ref end_column;
    const std::int64_t* start_values = nullptr;
    const std::int64_t* end_values = nullptr;
    if (tuples) {
        if (!resolve_tuples(table, names, records, tuple_starts, tuple_ends)) return false;
        start_values = tuple_starts.data();
        end_values = tuple_ends.data();
    } else {
        // The columns' types first, then the names (whose errors name rows).
        if (!int64_column(starts, "starts", start_column)) return false;
        if (ends != nullptr && !int64_column(ends, "ends", end_column)) return false;
        if (!resolve_names(table, names, records)) return false;
        const std::size_t start_count = column_size(start_column);
        const std::size_t end_count = end_column ? column_size(end_column) : start_count;
        if (start_count != records.size() || end_count != records.size()) {
            if (end_column)
                PyErr_Format(PyExc_ValueError, "columns of different lengths: names has %zu rows, starts %zu, ends %zu",
                             records.size(), start_count, end_count);
            else
                PyErr_Format(PyExc_ValueError, "columns of different lengths: names has %zu rows, starts %zu",
                             records.size(), start_count);
            return false;
        }
        start_values = column_data(start_column);
        if (end_column) end_values = column_data(end_column);
    }

    const std::size_t count = records.size();
    out.requests.resize(count);
    out.record_lengths.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t start = start_values[i];
        std::int64_t end = 0;
        if (fixed_length) {
            if (start > INT64_MAX - *fixed_length) {
                PyErr_Format(PyExc_ValueError, "row %zu: start %lld + length %lld is too large", i,
                             static_cast<long long>(start), *fixed_length);
                return false;
            }
            end = start + *fixed_length;
        } else {
            end = end_values[i];
        }
        if (start > end) {
            PyErr_Format(PyExc_ValueError, "row %zu: start %lld is greater than end %lld", i,
                         static_cast<long long>(start), static_cast<long long>(end));
            return false;
        }
        if (start < 0 && end > INT64_MAX + start) {
            PyErr_Format(PyExc_ValueError, "row %zu: the window %lld..%lld is too long", i,
                         static_cast<long long>(start), static_cast<long long>(end));
            return false;
        }
        const std::size_t width = static_cast<std::size_t>(end - start);
        if (fixed && i == 0) out.length = width;
        if (fixed && width != out.length) {
            PyErr_Format(PyExc_ValueError,
                         "row %zu: window length %zu differs from row 0's %zu (every window needs the same length; "
                         "pass length= for windows of one size)",
                         i, width, out.length);
            return false;
        }
        const std::size_t record = records[i];
        const core::IndexEntry& entry = table.entry_at(record);
        out.requests[i] = core::window_request(table.name_at(record), entry, start, end);
        out.record_lengths[i] = entry.rlen;
    }
    if (fixed && count == 0 && fixed_length) out.length = static_cast<std::size_t>(*fixed_length);
    return true;
}

bool convert_rc(PyObject* rc, std::size_t rows, bool& all, std::vector<std::uint8_t>& flags) {
    flags.clear();
    all = false;
    if (rc == nullptr) return true;
    if (rc == Py_True || rc == Py_False || PyArray_IsScalar(rc, Bool)) {
        const int truth = PyObject_IsTrue(rc);
        if (truth < 0) return false;
        all = truth == 1;
        return true;
    }
    Ref given(typed_column(rc, "rc", "b", "bools"));
    if (!given) return false;
    Ref column(PyArray_FROMANY(given.get(), NPY_BOOL, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!column) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(column.get());
    if (static_cast<std::size_t>(PyArray_SIZE(array)) != rows) {
        PyErr_Format(PyExc_ValueError, "columns of different lengths: rc has %zd values for %zu rows",
                     PyArray_SIZE(array), rows);
        return false;
    }
    const auto* values = static_cast<const std::uint8_t*>(PyArray_DATA(array));
    flags.assign(values, values + rows);
    return true;
}

}  // namespace kelpa::arrays
