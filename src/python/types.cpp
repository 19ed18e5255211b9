#include "python/types.hpp"

#include <string>
#include <vector>

namespace kelpa::py {

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", _PyType_Name(type));
    return nullptr;
}

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

PyTypeObject* create(const TypeRecipe& recipe, std::string& qualified) {
    std::vector<PyType_Slot> slots;
    bool has_new = false;
    for (PyType_Slot* slot = recipe.slots; slot->slot != 0; ++slot) {
        slots.push_back(*slot);
        has_new = has_new || slot->slot == Py_tp_new;
    }
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
    if (recipe.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(recipe.doc)});
    slots.push_back({0, nullptr});

    qualified = std::string("builtins.") + recipe.name;
    PyType_Spec spec{
        .name = qualified.c_str(),
        .basicsize = recipe.basicsize,
        .itemsize = 0,
        .flags = static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | recipe.extra_flags),
        .slots = slots.data(),
    };
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type != nullptr && recipe.vectorcall != nullptr) type->tp_vectorcall = recipe.vectorcall;
    return type;
}

PyTypeObject* types[static_cast<int>(TypeId::Count)] = {};
// The qualified names outlive their types, which live for the process.
std::string type_names[static_cast<int>(TypeId::Count)];

}  // namespace

PyTypeObject* type_object(TypeId id) {
    PyTypeObject*& type = types[static_cast<int>(id)];
    if (type == nullptr) type = create(recipe_of(id), type_names[static_cast<int>(id)]);
    return type;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace kelpa::py
