#include "python/types.hpp"

#include "binding/handle_object.hpp"

namespace kelpa::py {

namespace {

const TypeRecipe& recipe_of(TypeId id) {
    switch (id) {
        case TypeId::Fasta: return FASTA_TYPE;
        case TypeId::Faidx: return FAIDX_TYPE;
        case TypeId::Sequence: return SEQUENCE_TYPE;
        case TypeId::FastaRecord: return FASTA_RECORD_TYPE;
        case TypeId::FastaIterator: return FASTA_ITERATOR_TYPE;
        case TypeId::SequenceIterator: return SEQUENCE_ITERATOR_TYPE;
        case TypeId::MutableFastaRecord:
        case TypeId::Count: break;
    }
    return MUTABLE_FASTA_RECORD_TYPE;
}

PyTypeObject* types[static_cast<int>(TypeId::Count)] = {};

}  // namespace

PyTypeObject* type_object(TypeId id) {
    PyTypeObject*& type = types[static_cast<int>(id)];
    if (type == nullptr) {
        type = make_type(recipe_of(id));
        // Faidx and Fasta objects are what kelpa_arrays reads as a source.
        if (type != nullptr && (id == TypeId::Faidx || id == TypeId::Fasta)) register_source_type(type);
    }
    return type;
}

}  // namespace kelpa::py
