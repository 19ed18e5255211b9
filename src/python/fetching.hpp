// Region fetches from Python: one region, a whole record, and batches.
//
// `name_object`, where given, is the caller's str for the record name; the
// results share it (an exact str) instead of making a new one per Sequence.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/ref.hpp"
#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"

namespace kelpa::py {

// Bases start..end (1-based, inclusive) of `name` under the coordinate rules:
// clamped with warnings on standard error, or IndexError under strict bounds.
PyObject* fetch_region(const core::Faidx& faidx, PyObject* name_object, std::string_view name, std::uint64_t start,
                       std::uint64_t end);

// The whole record, without coordinate checks or padding.
PyObject* fetch_record(const core::Faidx& faidx, PyObject* name_object, std::string_view name);

using Region = core::RegionRequest;

// The converted regions of a batch argument; holds the caller's items alive.
struct RegionList {
    Ref items;
    std::vector<Region> regions;
    std::vector<PyObject*> name_objects;  // borrowed from the items (empty for pairs)
};

// Converts a sequence (not a str, not an iterator) of (name, start, end)
// tuples, or of (start, end) tuples when `with_names` is false. TypeErrors are
// prefixed "argument '<param>': "; OverflowError passes unchanged.
bool convert_region_list(PyObject* value, bool with_names, const char* param, RegionList& out);

// A list of Sequences for the regions, in input order, reverse complemented
// when `reverse_complement` is set. Fewer than 1000 regions are fetched one by
// one as fetch_region does; larger batches run on the worker pool and report
// the lowest failing position.
PyObject* fetch_many(const core::Faidx& faidx, RegionList& list, bool reverse_complement);

// The same for (start, end) pairs on the one record `name`.
PyObject* fetch_many_same_chr(const core::Faidx& faidx, PyObject* name_object, std::string_view name, RegionList& list,
                              bool reverse_complement);

}  // namespace kelpa::py
