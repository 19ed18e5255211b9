// Module initialisation: one module object per process, seven types and
// the private reconstructor that pickles of them call.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace kelpa::py {

namespace {

PyModuleDef kelpa_module = {
    PyModuleDef_HEAD_INIT,
    "kelpa",
    "Fast random access to regions of FASTA files through their .fai index.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;  // kept for the life of the process

struct Registration {
    TypeId id;
    const char* name;
};

constexpr Registration REGISTRATIONS[] = {
    {TypeId::Fasta, "Fasta"},
    {TypeId::Faidx, "Faidx"},
    {TypeId::Sequence, "Sequence"},
    {TypeId::FastaRecord, "FastaRecord"},
    {TypeId::FastaIterator, "FastaIterator"},
    {TypeId::SequenceIterator, "SequenceIterator"},
    {TypeId::MutableFastaRecord, "MutableFastaRecord"},
};

bool register_type(PyObject* module, const Registration& registration) {
    PyTypeObject* type = type_object(registration.id);
    if (type == nullptr) return false;
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
    Ref created;
    if (all == nullptr) {
        created.reset(PyList_New(0));
        if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return false;
        all = created.get();
    }
    Ref name(PyUnicode_FromString(registration.name));
    if (!name || PyList_Append(all, name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, registration.name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "kelpa does not support sub-interpreters: it can only be imported by the interpreter "
                        "that imported it first");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    Ref module(PyModule_Create2(&kelpa_module, 1013));
    if (!module) return nullptr;
    for (const Registration& registration : REGISTRATIONS) {
        if (!register_type(module.get(), registration)) return nullptr;
    }
    // The reconstructor pickle stores: private, not in __all__.
    PyObject* restore = restore_function();
    if (restore == nullptr || PyModule_AddObjectRef(module.get(), "_restore", restore) < 0) return nullptr;
    if (!install_network_wait_hooks()) return nullptr;
    the_module = module.release();
    return Py_NewRef(the_module);
}

}  // namespace

}  // namespace kelpa::py

PyMODINIT_FUNC PyInit_kelpa() {
    return kelpa::py::shielded(nullptr, [] { return kelpa::py::initialise(); });
}
