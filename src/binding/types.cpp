#include "binding/types.hpp"

#include <deque>
#include <string>
#include <vector>

#include "binding/ref.hpp"

namespace kelpa::py {

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name(PyType_GetName(type));
    if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

// The qualified names outlive their types, which live for the process.
std::deque<std::string> qualified_names;

}  // namespace

PyTypeObject* make_type(const TypeRecipe& recipe) {
    std::vector<PyType_Slot> slots;
    bool has_new = false;
    for (PyType_Slot* slot = recipe.slots; slot->slot != 0; ++slot) {
        slots.push_back(*slot);
        has_new = has_new || slot->slot == Py_tp_new;
    }
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
    if (recipe.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(recipe.doc)});
    slots.push_back({0, nullptr});

    const std::string& qualified = qualified_names.emplace_back(std::string(recipe.module) + "." + recipe.name);
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

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace kelpa::py
