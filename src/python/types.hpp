// The kelpa module's types, each made from its recipe (binding/types.hpp)
// once per process, on first use.
#pragma once

#include <Python.h>

#include "binding/types.hpp"

namespace kelpa::py {

enum class TypeId { Fasta, Faidx, Sequence, FastaRecord, FastaIterator, SequenceIterator, MutableFastaRecord, Count };

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

// Allocates a zeroed instance of the type.
template <class T>
T* allocate(TypeId id) {
    return allocate_instance<T>(type_object(id));
}

}  // namespace kelpa::py
