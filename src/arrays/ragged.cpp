#include "arrays/ragged.hpp"

#include <cstdint>
#include <cstring>

#include "arrays/numpy_api.hpp"
#include "binding/args.hpp"
#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "binding/frame.hpp"
#include "binding/ref.hpp"
#include "binding/types.hpp"

namespace kelpa::arrays {

using py::allocate_instance;
using py::free_instance;
using py::make_type;
using py::Ref;
using py::TypeRecipe;

namespace {

// The Arrow C data interface: its two published structures, a stable ABI
// (no Arrow library is needed).
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

// `data` and `offsets` are read-only, yet numpy lets their owner make them
// writable again: r[i], repr() and the Arrow export take the regions' bounds
// from `bounds` instead, which no caller can reach.
struct RaggedObject {
    PyObject_HEAD
    PyObject* data;     // uint8 array, read-only
    PyObject* offsets;  // int64 array of len + 1, read-only
    PyObject* bounds;   // the object's own copy of offsets, never handed out
};

RaggedObject* as_ragged(PyObject* self) { return reinterpret_cast<RaggedObject*>(self); }
PyArrayObject* as_array(PyObject* array) { return reinterpret_cast<PyArrayObject*>(array); }

Py_ssize_t region_count(PyObject* self) { return PyArray_SIZE(as_array(as_ragged(self)->bounds)) - 1; }
const std::int64_t* offsets_of(PyObject* self) {
    return static_cast<const std::int64_t*>(PyArray_DATA(as_array(as_ragged(self)->bounds)));
}
const char* data_of(PyObject* self) { return static_cast<const char*>(PyArray_DATA(as_array(as_ragged(self)->data))); }

void Ragged_dealloc(PyObject* self) noexcept {
    Py_XDECREF(as_ragged(self)->data);
    Py_XDECREF(as_ragged(self)->offsets);
    Py_XDECREF(as_ragged(self)->bounds);
    free_instance(self);
}

Py_ssize_t Ragged_length(PyObject* self) noexcept { return region_count(self); }

PyObject* Ragged_item(PyObject* self, Py_ssize_t i) noexcept {
    if (i < 0 || i >= region_count(self)) {
        PyErr_SetString(PyExc_IndexError, "Ragged index out of range");
        return nullptr;
    }
    const std::int64_t* offsets = offsets_of(self);
    return PyBytes_FromStringAndSize(data_of(self) + offsets[i], static_cast<Py_ssize_t>(offsets[i + 1] - offsets[i]));
}

PyObject* Ragged_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<Ragged: %zd regions, %lld bytes>", region_count(self),
                                static_cast<long long>(offsets_of(self)[region_count(self)]));
}

PyObject* Ragged_get_data(PyObject* self, void*) noexcept { return Py_NewRef(as_ragged(self)->data); }
PyObject* Ragged_get_offsets(PyObject* self, void*) noexcept { return Py_NewRef(as_ragged(self)->offsets); }

// ---- the Arrow export -----------------------------------------------------

void release_schema(ArrowSchema* schema) { schema->release = nullptr; }

// What an exported array keeps alive: the Ragged, whose arrays hold the
// buffers (its own copy of the offsets, and data), and the list of buffer
// addresses.
struct ExportedArray {
    PyObject* owner;
    const void* buffers[3];
};

void release_array(ArrowArray* array) {
    auto* exported = static_cast<ExportedArray*>(array->private_data);
    // The consumer may release on any thread, with or without the lock.
    if (!py::interpreter_is_finalizing()) {
        const PyGILState_STATE state = PyGILState_Ensure();
        Py_DECREF(exported->owner);
        PyGILState_Release(state);
    }
    delete exported;
    array->release = nullptr;
}

void schema_capsule_destructor(PyObject* capsule) noexcept {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void array_capsule_destructor(PyObject* capsule) noexcept {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) {
        PyErr_Clear();
        return;
    }
    if (array->release != nullptr) array->release(array);
    delete array;
}

constexpr const char LARGE_BINARY[] = "Z";

constexpr const char* ARROW_PARAMS[] = {"requested_schema"};
const py::Signature ARROW_C_ARRAY{"Ragged.__arrow_c_array__()", ARROW_PARAMS, 0};

PyObject* Ragged_arrow_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(ARROW_C_ARRAY, args, nargs, kwnames, bound)) return nullptr;
        if (bound[0] != nullptr && bound[0] != Py_None) {
            auto* requested = static_cast<ArrowSchema*>(PyCapsule_GetPointer(bound[0], "arrow_schema"));
            if (requested == nullptr) return nullptr;
            if (requested->format == nullptr || std::strcmp(requested->format, LARGE_BINARY) != 0) {
                PyErr_SetString(PyExc_NotImplementedError, "a Ragged is exported as large_binary only");
                return nullptr;
            }
        }
        auto* schema = new ArrowSchema{LARGE_BINARY, "", nullptr, 0, 0, nullptr, nullptr, release_schema, nullptr};
        Ref schema_capsule(PyCapsule_New(schema, "arrow_schema", schema_capsule_destructor));
        if (!schema_capsule) {
            delete schema;
            return nullptr;
        }
        auto* exported = new ExportedArray{Py_NewRef(self), {nullptr, offsets_of(self), data_of(self)}};
        auto* array = new ArrowArray{region_count(self), 0,       0, 3, 0, exported->buffers, nullptr, nullptr,
                                     release_array,      exported};
        Ref array_capsule(PyCapsule_New(array, "arrow_array", array_capsule_destructor));
        if (!array_capsule) {
            release_array(array);
            delete array;
            return nullptr;
        }
        return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
    });
}

PyGetSetDef Ragged_getset[] = {
    {"data", Ragged_get_data, nullptr, "The text of every region, back to back (uint8).", nullptr},
    {"offsets", Ragged_get_offsets, nullptr,
     "Where each region's text starts in data, and where the last ends (int64, len + 1 numbers).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Ragged_methods[] = {
    {"__arrow_c_array__", KELPA_FASTCALL(Ragged_arrow_c_array), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The regions as an Arrow large_binary array, through the Arrow C data interface: a pair of\n"
     "PyCapsules (schema, array) sharing data and offsets without a copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Ragged_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Ragged_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Ragged_repr)},
    {Py_tp_getset, Ragged_getset},
    {Py_tp_methods, Ragged_methods},
    {Py_sq_length, reinterpret_cast<void*>(Ragged_length)},
    {Py_sq_item, reinterpret_cast<void*>(Ragged_item)},
    {0, nullptr},
};

const TypeRecipe RAGGED_TYPE{
    "Ragged",
    "Regions of any length: data holds their text back to back and offsets where each begins.\n"
    "len() counts the regions and r[i] is region i's text as bytes.",
    sizeof(RaggedObject),
    0,
    Ragged_slots,
    nullptr,
    "kelpa_arrays",
};

}  // namespace

PyTypeObject* ragged_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = make_type(RAGGED_TYPE);
    return type;
}

PyObject* new_ragged(PyObject* data, PyObject* offsets) {
    Ref data_ref(data);
    Ref offsets_ref(offsets);
    PyTypeObject* type = ragged_type();
    if (type == nullptr) return nullptr;
    Ref bounds(PyArray_NewCopy(as_array(offsets), NPY_CORDER));
    if (!bounds) return nullptr;
    PyArray_CLEARFLAGS(as_array(data), NPY_ARRAY_WRITEABLE);
    PyArray_CLEARFLAGS(as_array(offsets), NPY_ARRAY_WRITEABLE);
    auto* self = allocate_instance<RaggedObject>(type);
    if (self == nullptr) return nullptr;
    self->data = data_ref.release();
    self->offsets = offsets_ref.release();
    self->bounds = bounds.release();
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace kelpa::arrays
