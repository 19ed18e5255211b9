// The Fasta object, shared with the record and iterator types that read through it.
#pragma once

#include <Python.h>

#include "python/access.hpp"
#include "python/handle.hpp"

namespace kelpa::py {

// Begins with the fields of a HandleObject.
struct FastaObject {
    PyObject_HEAD
    AccessState access;
    FaidxHandle* handle;  // owned; complete for the object's whole life
    PyObject* filename;   // str, as passed to the constructor
};

inline const core::Faidx& fasta_native(PyObject* fasta) {
    return *reinterpret_cast<FastaObject*>(fasta)->handle->faidx;
}

// A new FastaRecord for `name` (an exact str) of `fasta`.
PyObject* new_fasta_record(PyObject* fasta, PyObject* name);

// A new FastaIterator over the records of `fasta`.
PyObject* new_fasta_iterator(PyObject* fasta);

// A new str of the i-th record name of `fasta`.
inline PyObject* fasta_name_at(PyObject* fasta, std::size_t i) { return record_name(fasta_native(fasta).entries(), i); }

}  // namespace kelpa::py
