// The Fasta type: a read-only mapping from record name (or position) to record.
#include "python/fasta_type.hpp"

#include <string>
#include <vector>

#include "binding/frame.hpp"
#include "core/kernels/sequence.hpp"
#include "python/fetching.hpp"
#include "python/pickling.hpp"
#include "python/sequence_type.hpp"
#include "python/types.hpp"

namespace kelpa::py {

namespace {

FastaObject* as_fasta(PyObject* self) { return reinterpret_cast<FastaObject*>(self); }

constexpr OpenOption FASTA_ORDER[] = {
    OpenOption::filename,
    OpenOption::indexname,
    OpenOption::default_seq,
    OpenOption::key_function,
    OpenOption::as_raw,
    OpenOption::strict_bounds,
    OpenOption::read_ahead,
    OpenOption::mutable_file,
    OpenOption::split_char,
    OpenOption::filt_function,
    OpenOption::one_based_attributes,
    OpenOption::read_long_names,
    OpenOption::duplicate_action,
    OpenOption::sequence_always_upper,
    OpenOption::rebuild,
    OpenOption::build_index,
};
constexpr const char* FASTA_PARAMS[] = {
    "filename",
    "indexname",
    "default_seq",
    "key_function",
    "as_raw",
    "strict_bounds",
    "read_ahead",
    "mutable",
    "split_char",
    "filt_function",
    "one_based_attributes",
    "read_long_names",
    "duplicate_action",
    "sequence_always_upper",
    "rebuild",
    "build_index",
};
const Signature FASTA_NEW{"Fasta.__new__()", FASTA_PARAMS, 1};

PyObject* construct(PyTypeObject* type, PyObject** bound) {
    std::unique_ptr<FaidxHandle> handle = open_handle(FASTA_ORDER, FASTA_PARAMS, bound);
    if (!handle) return nullptr;
    Ref filename(exact_str(bound[0]));
    if (!filename) return nullptr;
    auto* self = reinterpret_cast<FastaObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->base.handle = handle.release();
    self->filename = filename.release();
    return reinterpret_cast<PyObject*>(self);
}

using FastaConstructor = Constructor<FASTA_NEW, 16, construct>;

void Fasta_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    handle_release(self);
    Py_CLEAR(as_fasta(self)->filename);
    free_instance(self);
}

// Runs `body` with read access to the Fasta and the bound arguments.
template <std::size_t N, class Body>
PyObject* with_arguments(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Body body) {
    return read_method<N>(as_fasta(self)->base.access, signature, args, nargs, kwnames, body);
}

// ---- mapping protocol --------------------------------------------------

enum class Listing { Values, Items };

PyObject* records_list(PyObject* self, Listing listing) {
    const core::NameTable& entries = fasta_native(self).entries();
    Ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Ref name(fasta_name_at(self, i));
        if (!name) return nullptr;
        Ref record(new_fasta_record(self, name.get()));
        if (!record) return nullptr;
        PyObject* element = listing == Listing::Values ? record.release() : PyTuple_Pack(2, name.get(), record.get());
        if (element == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element);
    }
    return list.release();
}

const Signature KEYS{"Fasta.keys()", {}, 0};
const Signature VALUES{"Fasta.values()", {}, 0};
const Signature ITEMS{"Fasta.items()", {}, 0};
const Signature CLOSE{"Fasta.close()", {}, 0};
const Signature ENTER{"Fasta.__enter__()", {}, 0};

PyObject* Fasta_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<0>(self, KEYS, args, nargs, kwnames,
                             [&](PyObject**) { return record_names(fasta_native(self).entries()); });
}

PyObject* Fasta_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<0>(self, VALUES, args, nargs, kwnames,
                             [&](PyObject**) { return records_list(self, Listing::Values); });
}

PyObject* Fasta_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<0>(self, ITEMS, args, nargs, kwnames,
                             [&](PyObject**) { return records_list(self, Listing::Items); });
}

PyObject* Fasta_subscript(PyObject* self, PyObject* key) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_fasta(self)->base.access);
        if (!access.ok()) return nullptr;
        const core::NameTable& entries = fasta_native(self).entries();
        if (PyUnicode_Check(key)) {
            const std::optional<std::string_view> name = utf8_of(key);
            if (!name) return nullptr;
            if (entries.contains(*name)) {
                Ref exact(exact_str(key));
                if (!exact) return nullptr;
                return new_fasta_record(self, exact.get());
            }
            Ref message(PyUnicode_FromFormat("%U not in %U.", key, as_fasta(self)->filename));
            if (message) PyErr_SetObject(PyExc_KeyError, message.get());
            return nullptr;
        }
        std::uint64_t position;
        if (!convert_u64_raw(key, position)) {
            if (!replaceable_conversion_error()) return nullptr;
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "Key must be string or integer");
            return nullptr;
        }
        if (position >= entries.size()) {
            PyErr_SetString(PyExc_IndexError, "Index out of range");
            return nullptr;
        }
        Ref name(fasta_name_at(self, static_cast<std::size_t>(position)));
        if (!name) return nullptr;
        return new_fasta_record(self, name.get());
    });
}

Py_ssize_t Fasta_length(PyObject* self) noexcept {
    return shielded(-1, [&]() -> Py_ssize_t {
        ReadAccess access(as_fasta(self)->base.access);
        if (!access.ok()) return -1;
        const core::NameTable& entries = fasta_native(self).entries();
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (__builtin_add_overflow(total, entries.entry_at(i).rlen, &total) || total > PY_SSIZE_T_MAX) {
                PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
                return -1;
            }
        }
        return static_cast<Py_ssize_t>(total);
    });
}

PyObject* Fasta_iter(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_fasta(self)->base.access);
        if (!access.ok()) return nullptr;
        return new_fasta_iterator(self);
    });
}

PyObject* Fasta_repr(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_fasta(self)->base.access);
        if (!access.ok()) return nullptr;
        return PyUnicode_FromFormat("Fasta(\"%U\")", as_fasta(self)->filename);
    });
}

PyObject* Fasta_get_filename(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_fasta(self)->base.access);
        if (!access.ok()) return nullptr;
        return Py_NewRef(as_fasta(self)->filename);
    });
}

// ---- fetches --------------------------------------------------------------

bool convert_rc(PyObject* value, bool& rc) {
    std::optional<bool> flag;
    if (!convert_optional_bool(value, "rc", flag)) return false;
    rc = flag.value_or(false);
    return true;
}

constexpr const char* GET_SEQ_PARAMS[] = {"name", "start", "end", "rc"};
const Signature GET_SEQ{"Fasta.get_seq()", GET_SEQ_PARAMS, 3};

PyObject* Fasta_get_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<4>(self, GET_SEQ, args, nargs, kwnames, [&](PyObject** bound) -> PyObject* {
        std::string_view name;
        std::uint64_t start;
        std::uint64_t end;
        bool rc;
        if (!convert_text(bound[0], "name", name) || !convert_u64(bound[1], "start", start) ||
            !convert_u64(bound[2], "end", end) || !convert_rc(bound[3], rc))
            return nullptr;
        Ref sequence(fetch_region(fasta_native(self), bound[0], name, start, end));
        if (!sequence || !rc) return sequence.release();
        return sequence_reverse_complement(sequence.get());
    });
}

constexpr const char* SPLICED_PARAMS[] = {"name", "intervals", "rc"};
const Signature GET_SPLICED_SEQ{"Fasta.get_spliced_seq()", SPLICED_PARAMS, 2};

PyObject* spliced(PyObject* self, PyObject* name_object, std::string_view name, const std::vector<Region>& intervals,
                  bool rc) {
    const core::Faidx& faidx = fasta_native(self);
    std::string joined;
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
    bool ascii = true;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        Ref piece(fetch_region(faidx, name_object, name, intervals[i].start, intervals[i].end));
        if (!piece) return nullptr;
        const auto* sequence = reinterpret_cast<const SequenceObject*>(piece.get());
        const std::optional<std::string_view> bytes = utf8_of(sequence->seq);
        if (!bytes) return nullptr;
        joined.append(*bytes);
        ascii = ascii && PyUnicode_IS_ASCII(sequence->seq);
        if (i == 0) start = sequence->has_start ? std::optional<std::uint64_t>(sequence->start) : std::nullopt;
        if (i + 1 == intervals.size())
            end = sequence->has_end ? std::optional<std::uint64_t>(sequence->end) : std::nullopt;
    }
    // The reverse complement of each piece, last piece first, is the reverse
    // complement of the joined forward text.
    if (rc)
        (void)core::finish_copy(core::Finishing{false, nullptr, true, core::ComplementRule::ToN, false}, joined,
                                joined.size());
    Ref text(str_from_bytes(joined));
    if (!text) return nullptr;
    Ref name_text(exact_str(name_object));
    return new_sequence(std::move(name_text), std::move(text), start, end, false);
}

PyObject* Fasta_get_spliced_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<3>(self, GET_SPLICED_SEQ, args, nargs, kwnames, [&](PyObject** bound) -> PyObject* {
        std::string_view name;
        RegionList intervals;
        bool rc;
        if (!convert_text(bound[0], "name", name) || !convert_region_list(bound[1], false, "intervals", intervals) ||
            !convert_rc(bound[2], rc))
            return nullptr;
        return spliced(self, bound[0], name, intervals.regions, rc);
    });
}

constexpr const char* FETCH_MANY_PARAMS[] = {"regions", "rc"};
const Signature FETCH_MANY{"Fasta.fetch_many()", FETCH_MANY_PARAMS, 1};

PyObject* Fasta_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<2>(self, FETCH_MANY, args, nargs, kwnames, [&](PyObject** bound) -> PyObject* {
        RegionList regions;
        bool rc;
        if (!convert_region_list(bound[0], true, "regions", regions) || !convert_rc(bound[1], rc)) return nullptr;
        return fetch_many(fasta_native(self), regions, rc);
    });
}

constexpr const char* SAME_CHR_PARAMS[] = {"name", "regions", "rc"};
const Signature FETCH_MANY_SAME_CHR{"Fasta.fetch_many_same_chr()", SAME_CHR_PARAMS, 2};

PyObject* Fasta_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    return with_arguments<3>(self, FETCH_MANY_SAME_CHR, args, nargs, kwnames, [&](PyObject** bound) -> PyObject* {
        std::string_view name;
        RegionList regions;
        bool rc;
        if (!convert_text(bound[0], "name", name) || !convert_region_list(bound[1], false, "regions", regions) ||
            !convert_rc(bound[2], rc))
            return nullptr;
        return fetch_many_same_chr(fasta_native(self), bound[0], name, regions, rc);
    });
}

// ---- context manager ------------------------------------------------------

PyObject* Fasta_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<0>(self, CLOSE, args, nargs, kwnames, [](PyObject**) -> PyObject* { Py_RETURN_NONE; });
}

PyObject* Fasta_enter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<0>(self, ENTER, args, nargs, kwnames, [&](PyObject**) { return Py_NewRef(self); });
}

constexpr const char* EXIT_PARAMS[] = {"_exc_type", "_exc_value", "_traceback"};
const Signature EXIT{"Fasta.__exit__()", EXIT_PARAMS, 0};

PyObject* Fasta_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_arguments<3>(self, EXIT, args, nargs, kwnames, [](PyObject**) -> PyObject* { Py_RETURN_NONE; });
}

PyObject* Fasta_reduce(PyObject* self, PyObject*) noexcept {
    return shielded(nullptr, [&] { return reduce_handle(self, PickleKind::Fasta); });
}

PyMethodDef Fasta_methods[] = {
    {"keys", KELPA_FASTCALL(Fasta_keys), METH_FASTCALL | METH_KEYWORDS, "keys($self)\n--\n\n"},
    {"values", KELPA_FASTCALL(Fasta_values), METH_FASTCALL | METH_KEYWORDS, "values($self)\n--\n\n"},
    {"items", KELPA_FASTCALL(Fasta_items), METH_FASTCALL | METH_KEYWORDS, "items($self)\n--\n\n"},
    {"get_seq", KELPA_FASTCALL(Fasta_get_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_seq($self, name, start, end, rc=None)\n--\n\n"},
    {"get_spliced_seq", KELPA_FASTCALL(Fasta_get_spliced_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_spliced_seq($self, name, intervals, rc=None)\n--\n\n"},
    {"fetch_many", KELPA_FASTCALL(Fasta_fetch_many), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions, rc=None)\n--\n\n"
     "High-performance batch fetch for many sequences\n"
     "\n"
     "This method is optimized for genomics workloads where you need to fetch\n"
     "many sequences at once (e.g., 200,000+ regions). It uses parallel processing\n"
     "and optimized memory access patterns for maximum throughput.\n"
     "\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
     "    rc: Optional boolean to reverse complement all sequences\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = fasta.fetch_many(regions)"},
    {"fetch_many_same_chr", KELPA_FASTCALL(Fasta_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions, rc=None)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n"
     "\n"
     "This method is optimized for BED file processing where many regions\n"
     "come from the same chromosome. It's significantly faster than fetch_many\n"
     "when all regions are from the same chromosome.\n"
     "\n"
     "Args:\n"
     "    name: Chromosome/sequence name\n"
     "    regions: List of (start, end) tuples\n"
     "    rc: Optional boolean to reverse complement all sequences\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = fasta.fetch_many_same_chr(\"chr1\", regions)"},
    {"close", KELPA_FASTCALL(Fasta_close), METH_FASTCALL | METH_KEYWORDS, "close($self)\n--\n\n"},
    {"__enter__", KELPA_FASTCALL(Fasta_enter), METH_FASTCALL | METH_KEYWORDS, "__enter__($self)\n--\n\n"},
    {"__exit__", KELPA_FASTCALL(Fasta_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {"__reduce__", Fasta_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Fasta_getset[] = {
    {"filename", Fasta_get_filename, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Fasta_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FastaConstructor::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Fasta_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(handle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handle_clear)},
    {Py_tp_methods, Fasta_methods},
    {Py_tp_getset, Fasta_getset},
    {Py_tp_repr, reinterpret_cast<void*>(Fasta_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(Fasta_iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(Fasta_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(Fasta_length)},
    {Py_sq_length, reinterpret_cast<void*>(Fasta_length)},
    {Py_sq_contains, reinterpret_cast<void*>(handle_contains)},
    {0, nullptr},
};

}  // namespace

const TypeRecipe FASTA_TYPE{
    "Fasta",
    "Fasta(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, strict_bounds=False, "
    "read_ahead=None, mutable=False, split_char=None, filt_function=None, one_based_attributes=True, "
    "read_long_names=False, duplicate_action=..., sequence_always_upper=False, rebuild=True, build_index=True)"
    "\n--\n\n",
    sizeof(FastaObject),
    Py_TPFLAGS_HAVE_GC,
    Fasta_slots,
    FastaConstructor::vectorcall,
};

}  // namespace kelpa::py
