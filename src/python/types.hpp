// The one recipe every Python-visible type is made from.
//
// Types are heap types named "builtins.<Name>" (so __module__ is "builtins"),
// cannot be subclassed, have no __dict__ and no weak references, and are
// created once per process on first use. A type with a text signature gets
// the internal docstring "<Name>(<signature>)\n--\n\n" (so __doc__ is "" and
// __text_signature__ the signature); a type without a constructor refuses to
// be called with "No constructor defined for <Name>".
#pragma once

#include <Python.h>

namespace kelpa::py {

enum class TypeId { Fasta, Faidx, Sequence, FastaRecord, FastaIterator, SequenceIterator, MutableFastaRecord, Count };

struct TypeRecipe {
    const char* name;           // class name, e.g. "Sequence"
    const char* doc;            // internal docstring with the text signature, or nullptr
    int basicsize;              // sizeof the instance struct
    unsigned long extra_flags;  // e.g. Py_TPFLAGS_HAVE_GC
    PyType_Slot* slots;         // ends with {0, nullptr}; Py_tp_new only for types with a constructor
    vectorcallfunc vectorcall;  // fast constructor call, or nullptr
};

extern const TypeRecipe FASTA_TYPE;
extern const TypeRecipe FAIDX_TYPE;
extern const TypeRecipe SEQUENCE_TYPE;
extern const TypeRecipe FASTA_RECORD_TYPE;
extern const TypeRecipe FASTA_ITERATOR_TYPE;
extern const TypeRecipe SEQUENCE_ITERATOR_TYPE;
extern const TypeRecipe MUTABLE_FASTA_RECORD_TYPE;

// The type object (borrowed; lives for the process), created on first use.
// nullptr with an exception set if creating it failed.
PyTypeObject* type_object(TypeId id);

// Allocates a zeroed instance of a type made by this recipe.
template <class T>
T* allocate(TypeId id) {
    PyTypeObject* type = type_object(id);
    if (type == nullptr) return nullptr;
    return reinterpret_cast<T*>(type->tp_alloc(type, 0));
}

// Shared dealloc tail: frees the object's memory and drops the reference
// that every heap-type instance holds on its type.
void free_instance(PyObject* self);

}  // namespace kelpa::py
