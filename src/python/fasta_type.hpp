// The Fasta object, shared with the record and iterator types that read through it.
#pragma once

#include <Python.h>

#include "binding/access.hpp"
#include "python/handle.hpp"

namespace kelpa::py {

// A HandleObject, and the file name it was given.
struct FastaObject {
    HandleObject base;   // first: a Fasta is read as a HandleObject too
    PyObject* filename;  // str, as passed to the constructor
};

inline const core::Faidx& fasta_native(PyObject* fasta) {
    return *reinterpret_cast<FastaObject*>(fasta)->base.handle->faidx;
}

// A new FastaRecord for `name` (an exact str) of `fasta`.
PyObject* new_fasta_record(PyObject* fasta, PyObject* name);

// A new FastaIterator over the records of `fasta`.
PyObject* new_fasta_iterator(PyObject* fasta);

// A new str of the i-th record name of `fasta`.
inline PyObject* fasta_name_at(PyObject* fasta, std::size_t i) { return record_name(fasta_native(fasta).entries(), i); }

}  // namespace kelpa::py
