#include "errors.hpp"

#include "ref.hpp"

namespace kelpa::py {

void raise_faidx_error(const core::FaidxError& error) {
    const std::string message = error.python_message();
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_Exception, text.get());
}

PyObject* internal_fault_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("kelpa.InternalFault",
                                         "An internal fault of the kelpa extension; please report it.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_internal_fault(const char* message) {
    PyObject* type = internal_fault_type();
    if (type == nullptr) return;  // creating the type failed and set its own error
    PyErr_SetString(type, message);
}

}  // namespace kelpa::py
