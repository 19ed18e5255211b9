#include "binding/handle_object.hpp"

namespace kelpa::py {

namespace {

// Registered under the interpreter lock, once each, at the kelpa module's import.
PyTypeObject* source_types[2] = {};

}  // namespace

void register_source_type(PyTypeObject* type) {
    for (PyTypeObject*& slot : source_types) {
        if (slot == nullptr || slot == type) {
            slot = type;
            return;
        }
    }
}

const core::Faidx* native_source(PyObject* source, AccessState*& access) {
    PyTypeObject* type = Py_TYPE(source);
    if (type != source_types[0] && type != source_types[1]) {
        PyErr_Format(PyExc_TypeError, "argument 'source': expected kelpa.Faidx or kelpa.Fasta, got '%s'",
                     type->tp_name);
        return nullptr;
    }
    auto* object = reinterpret_cast<HandleObject*>(source);
    access = &object->access;
    return object->handle->faidx.get();
}

}  // namespace kelpa::py
