#include "python/pickling.hpp"

#include <cstdint>
#include <optional>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "python/handle.hpp"
#include "python/sequence_type.hpp"
#include "python/types.hpp"

namespace kelpa::py {

namespace {

constexpr long FORMAT = 1;

constexpr const char* TAGS[] = {"Sequence", "Faidx", "Fasta", "FastaRecord"};
constexpr PickleKind KINDS[] = {PickleKind::Sequence, PickleKind::Faidx, PickleKind::Fasta, PickleKind::FastaRecord};

const char* tag_of(PickleKind kind) { return TAGS[static_cast<int>(kind)]; }

// The interned tag strs and the format number, made once and shared by
// every reduction: a list of values pickles each of them once.
PyObject* tag_objects[std::size(TAGS)] = {};
PyObject* format_object = nullptr;

bool make_constants() {
    if (format_object != nullptr) return true;
    for (std::size_t i = 0; i < std::size(TAGS); ++i) {
        if (tag_objects[i] == nullptr) tag_objects[i] = PyUnicode_InternFromString(TAGS[i]);
        if (tag_objects[i] == nullptr) return false;
    }
    format_object = PyLong_FromLong(FORMAT);
    return format_object != nullptr;
}

PyObject* refuse(const char* what) {
    PyErr_Format(PyExc_TypeError, "kelpa._restore() takes only the pickled state of a %s", what);
    return nullptr;
}

PyObject* refuse(PickleKind kind) { return refuse(tag_of(kind)); }

// ---- the kinds ------------------------------------------------------------

// None or an int in 0 .. 2^64 - 1, as a Sequence coordinate.
bool coordinate(PyObject* value, std::optional<std::uint64_t>& out) {
    if (value == Py_None) return true;
    if (!PyLong_CheckExact(value)) return false;
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = number;
    return true;
}

PyObject* restore_sequence(PyObject* const* fields, Py_ssize_t count) {
    if (count != 5) return refuse(PickleKind::Sequence);
    PyObject* name = fields[0];
    PyObject* seq = fields[1];
    PyObject* comp = fields[4];
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
    if (!PyUnicode_CheckExact(name) || !PyUnicode_CheckExact(seq) || (comp != Py_True && comp != Py_False) ||
        !coordinate(fields[2], start) || !coordinate(fields[3], end))
        return refuse(PickleKind::Sequence);
    return new_sequence(Ref::borrow(name), Ref::borrow(seq), start, end, comp == Py_True);
}

// Calls the type's own constructor with the stored arguments: the receiver
// opens the file as a fresh open would, with the same errors.
PyObject* restore_handle(PickleKind kind, TypeId id, PyObject* const* fields, Py_ssize_t count) {
    if (count != 1 || !PyDict_CheckExact(fields[0])) return refuse(kind);
    PyObject* arguments = fields[0];
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(arguments, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return refuse(kind);
    }
    PyObject* type = reinterpret_cast<PyObject*>(type_object(id));
    if (type == nullptr) return nullptr;
    PyObject* made = PyObject_VectorcallDict(type, nullptr, 0, arguments);
    // Binding and conversion failures are TypeErrors already; a number out
    // of range (a negative read_ahead) cannot come from a real pickle either.
    if (made == nullptr && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        Ref cause(take_raised_exception());
        refuse(kind);
        Ref refusal(take_raised_exception());
        PyException_SetCause(refusal.get(), cause.release());
        restore_raised_exception(refusal.release());
    }
    return made;
}

PyObject* restore_record(PyObject* const* fields, Py_ssize_t count) {
    if (count != 2 || !PyUnicode_CheckExact(fields[1])) return refuse(PickleKind::FastaRecord);
    PyTypeObject* fasta = type_object(TypeId::Fasta);
    if (fasta == nullptr) return nullptr;
    if (!Py_IS_TYPE(fields[0], fasta)) return refuse(PickleKind::FastaRecord);
    return PyObject_GetItem(fields[0], fields[1]);
}

PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        if (nargs < 2 || !PyUnicode_CheckExact(args[0]) || !PyLong_CheckExact(args[1])) return refuse("kelpa object");
        std::optional<PickleKind> kind;
        for (std::size_t i = 0; i < std::size(TAGS); ++i) {
            if (str_equals_utf8(args[0], TAGS[i])) kind = KINDS[i];
        }
        if (!kind) return refuse("kelpa object");
        int overflow = 0;
        if (PyLong_AsLongAndOverflow(args[1], &overflow) != FORMAT || overflow != 0) return refuse(*kind);
        PyObject* const* fields = args + 2;
        const Py_ssize_t count = nargs - 2;
        switch (*kind) {
            case PickleKind::Sequence: return restore_sequence(fields, count);
            case PickleKind::Faidx: return restore_handle(*kind, TypeId::Faidx, fields, count);
            case PickleKind::Fasta: return restore_handle(*kind, TypeId::Fasta, fields, count);
            case PickleKind::FastaRecord: return restore_record(fields, count);
        }
        return refuse("kelpa object");
    });
}

PyMethodDef RESTORE = {
    "_restore",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore)),
    METH_FASTCALL,
    "Rebuilds a kelpa object from its pickled state; used by pickle, not to be called directly.",
};

PyObject* the_restore_function = nullptr;  // kept for the life of the process

}  // namespace

PyObject* restore_function() {
    if (the_restore_function == nullptr) {
        Ref module_name(PyUnicode_InternFromString("kelpa"));
        if (!module_name) return nullptr;
        the_restore_function = PyCFunction_NewEx(&RESTORE, nullptr, module_name.get());
    }
    return the_restore_function;
}

PyObject* reduce_to(PickleKind kind, std::initializer_list<PyObject*> fields) {
    Ref args(PyTuple_New(static_cast<Py_ssize_t>(2 + fields.size())));
    Py_ssize_t i = 2;
    bool complete = static_cast<bool>(args);
    for (PyObject* field : fields) {
        complete = complete && field != nullptr;
        if (args) PyTuple_SET_ITEM(args.get(), i++, field);
        else Py_XDECREF(field);
    }
    if (!complete || !make_constants()) return nullptr;  // the tuple releases what it holds
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(tag_objects[static_cast<int>(kind)]));
    PyTuple_SET_ITEM(args.get(), 1, Py_NewRef(format_object));
    PyObject* function = restore_function();
    if (function == nullptr) return nullptr;
    PyObject* reduction = PyTuple_New(2);
    if (reduction == nullptr) return nullptr;
    PyTuple_SET_ITEM(reduction, 0, Py_NewRef(function));
    PyTuple_SET_ITEM(reduction, 1, args.release());
    return reduction;
}

PyObject* reduce_handle(PyObject* self, PickleKind kind) {
    auto* object = reinterpret_cast<HandleObject*>(self);
    ReadAccess access(object->access);
    if (!access.ok()) return nullptr;
    PyObject* arguments = object->handle != nullptr ? object->handle->arguments.get() : nullptr;
    if (arguments == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "this %s has been cleared and cannot be pickled", tag_of(kind));
        return nullptr;
    }
    return reduce_to(kind, {PyDict_Copy(arguments)});
}

PyObject* refuse_pickling(PyObject* self, const char* advice) {
    Ref name(PyType_GetName(Py_TYPE(self)));
    if (name) PyErr_Format(PyExc_TypeError, "cannot pickle a %U: %s", name.get(), advice);
    return nullptr;
}

}  // namespace kelpa::py
