#include "binding/errors.hpp"

#include "binding/ref.hpp"
#include "frontend/stderr_line.hpp"

namespace kelpa::py {

namespace {

const char* exception_prefix(core::ErrorKind kind) {
    switch (kind) {
        case core::ErrorKind::FastaNotFound: return "FastaNotFoundError: ";
        case core::ErrorKind::IndexNotFound: return "IndexNotFoundError: ";
        case core::ErrorKind::Fetch: return "FetchError: ";
        case core::ErrorKind::FastaIndexing: return "FastaIndexingError: ";
        case core::ErrorKind::IO: return "IOError: ";
        case core::ErrorKind::Region: return "RegionError: ";
        case core::ErrorKind::Internal: return "InternalFault: ";
    }
    return "";
}

const char* inner_prefix(core::ErrorKind kind) {
    switch (kind) {
        case core::ErrorKind::FastaNotFound: return "FASTA file not found: ";
        case core::ErrorKind::IndexNotFound: return "Index file not found: ";
        case core::ErrorKind::Fetch: return "Fetch error: ";
        case core::ErrorKind::FastaIndexing: return "Indexing error: ";
        case core::ErrorKind::IO: return "IO error: ";
        case core::ErrorKind::Region: return "Invalid region: ";
        case core::ErrorKind::Internal: return "Internal fault: ";
    }
    return "";
}

}  // namespace

std::string inner_message(const core::FaidxError& error) { return inner_prefix(error.kind()) + error.payload(); }

void warn(std::string_view text) { frontend::write_stderr_line("WARNING: ", text); }

void raise_faidx_error(const core::FaidxError& error) {
    // Ctrl-C during a network wait: the KeyboardInterrupt is already set.
    if (PyErr_Occurred()) return;
    const std::string message = exception_prefix(error.kind()) + error.payload();
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

void raise_core_error(const core::FaidxError& error) {
    if (error.kind() == core::ErrorKind::Internal) raise_internal_fault(error.payload().c_str());
    else raise_faidx_error(error);
}

}  // namespace kelpa::py
