// The one recipe every Python-visible type of both modules is made from.
//
// Types are heap types named "<module>.<Name>" ("builtins" for the kelpa
// module's, so __module__ is "builtins"), cannot be subclassed, have no
// __dict__ and no weak references, and are made once per process. A type
// with a text signature gets the internal docstring
// "<Name>(<signature>)\n--\n\n" (so __doc__ is "" and __text_signature__
// the signature); a type without a constructor refuses to be called with
// "No constructor defined for <Name>".
#pragma once

#include <Python.h>

namespace kelpa::py {

struct TypeRecipe {
    const char* name;           // class name, e.g. "Sequence"
    const char* doc;            // internal docstring with the text signature, a docstring, or nullptr
    int basicsize;              // sizeof the instance struct
    unsigned long extra_flags;  // e.g. Py_TPFLAGS_HAVE_GC
    PyType_Slot* slots;         // ends with {0, nullptr}; Py_tp_new only for types with a constructor
    vectorcallfunc vectorcall;  // fast constructor call, or nullptr
    const char* module = "builtins";
};

// A new type object made by `recipe`, which lives for the process; nullptr
// with an exception set if making it failed.
PyTypeObject* make_type(const TypeRecipe& recipe);

// Allocates a zeroed instance of a type made by a recipe.
template <class T>
T* allocate_instance(PyTypeObject* type) {
    if (type == nullptr) return nullptr;
    return reinterpret_cast<T*>(type->tp_alloc(type, 0));
}

// Shared dealloc tail: frees the object's memory and drops the reference
// that every heap-type instance holds on its type.
void free_instance(PyObject* self);

}  // namespace kelpa::py
