// Pickling: how kelpa objects travel to other processes.
//
// The types report __module__ "builtins", where pickle cannot find them, so
// every picklable object reduces to a call of one private module-level
// function, kelpa._restore, with a tuple that starts with the kind's tag and
// the format number:
//
//   Sequence     ("Sequence", 1, name, seq, start, end, comp)
//   Faidx        ("Faidx", 1, {parameter: value, ...})   the arguments the
//   Fasta        ("Fasta", 1, {parameter: value, ...})   constructor was given
//   FastaRecord  ("FastaRecord", 1, fasta, name)
//
// A Sequence travels by value. A Faidx or Fasta travels as what it was built
// from, and the receiver calls the ordinary constructor: it opens and maps
// the file itself (a relative path resolves against the receiver's working
// directory), so no bases go through the pickle. A FastaRecord is its Fasta
// and its name, looked up again as fasta[name]. Iterators refuse to be
// pickled. kelpa._restore refuses with TypeError anything that is not such
// a tuple, field for field.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace kelpa::py {

enum class PickleKind { Sequence, Faidx, Fasta, FastaRecord };

// kelpa._restore (borrowed; lives for the process), created on first use.
PyObject* restore_function();

// A new (kelpa._restore, (tag, format, *fields)). Steals the references in
// `fields`; a nullptr among them (a failed call that set an exception) makes
// the whole call fail and release the others.
PyObject* reduce_to(PickleKind kind, std::initializer_list<PyObject*> fields);

// The reduction of a Faidx or Fasta: its constructor arguments.
PyObject* reduce_handle(PyObject* self, PickleKind kind);

// TypeError for an object that cannot travel, with `advice` on what to send.
PyObject* refuse_pickling(PyObject* self, const char* advice);

}  // namespace kelpa::py
