// FastaRecord, its iterators and MutableFastaRecord: views that read through a Fasta.
#include <unistd.h>

#include <algorithm>
#include <string>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/frame.hpp"
#include "python/fasta_type.hpp"
#include "python/fetching.hpp"
#include "python/pickling.hpp"
#include "python/sequence_type.hpp"
#include "python/types.hpp"

namespace kelpa::py {

namespace {

// ---- FastaRecord -----------------------------------------------------------

struct RecordObject {
    PyObject_HEAD
    AccessState access;
    PyObject* name;    // exact str
    PyObject* parent;  // the Fasta, kept alive by this reference
};

RecordObject* as_record(PyObject* self) { return reinterpret_cast<RecordObject*>(self); }

// What an operation on a record needs: the parent's Faidx, the name and its
// entry (nullptr when the name is not in the table).
struct RecordView {
    const core::Faidx& faidx;
    std::string_view name;
    const core::IndexEntry* entry;

    std::uint64_t length() const { return entry != nullptr ? entry->rlen : 0; }
};

std::optional<RecordView> view_of(PyObject* self) {
    RecordObject* record = as_record(self);
    const std::optional<std::string_view> name = utf8_of(record->name);
    if (!name) return std::nullopt;
    const core::Faidx& faidx = fasta_native(record->parent);
    return RecordView{faidx, *name, faidx.entries().find(*name)};
}

PyObject* fetch(PyObject* self, const RecordView& view, std::uint64_t start, std::uint64_t end) {
    return fetch_region(view.faidx, as_record(self)->name, view.name, start, end);
}

int Record_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_record(self)->parent);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int Record_clear(PyObject* self) noexcept {
    Py_CLEAR(as_record(self)->parent);
    return 0;
}

void Record_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_record(self)->name);
    Py_CLEAR(as_record(self)->parent);
    free_instance(self);
}

// Every record operation runs with read access and a live parent.
template <class Body>
auto with_record(PyObject* self, Body body, decltype(body(std::declval<const RecordView&>())) on_error) {
    return shielded(on_error, [&] {
        ReadAccess access(as_record(self)->access);
        if (!access.ok()) return on_error;
        if (as_record(self)->parent == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "record is detached from its Fasta");
            return on_error;
        }
        const std::optional<RecordView> view = view_of(self);
        if (!view) return on_error;
        return body(*view);
    });
}

PyObject* Record_get_name(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_record(self)->access);
        if (!access.ok()) return nullptr;
        return Py_NewRef(as_record(self)->name);
    });
}

PyObject* Record_get_long_name(PyObject* self, void*) noexcept {
    return with_record(
        self,
        [&](const RecordView& view) -> PyObject* {
            if (view.entry == nullptr) {
                raise_faidx_error(core::FaidxError::not_found(view.name));
                return nullptr;
            }
            return PyUnicode_FromObject(as_record(self)->name);
        },
        nullptr);
}

PyObject* Record_get_unpadded_len(PyObject* self, void*) noexcept {
    return with_record(
        self,
        [&](const RecordView& view) -> PyObject* {
            Ref whole(fetch(self, view, 1, view.length()));
            if (!whole) return nullptr;
            const std::optional<std::string_view> text = utf8_of(reinterpret_cast<SequenceObject*>(whole.get())->seq);
            if (!text) return nullptr;
            auto is_n = [](char c) { return c == 'N' || c == 'n'; };
            const std::size_t leading =
                static_cast<std::size_t>(std::find_if_not(text->begin(), text->end(), is_n) - text->begin());
            std::size_t trailing = 0;
            if (leading < text->size())
                trailing =
                    static_cast<std::size_t>(std::find_if_not(text->rbegin(), text->rend(), is_n) - text->rbegin());
            return PyLong_FromSize_t(text->size() - leading - trailing);
        },
        nullptr);
}

Py_ssize_t Record_length(PyObject* self) noexcept {
    return with_record(
        self,
        [&](const RecordView& view) -> Py_ssize_t {
            if (view.length() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
                PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
                return -1;
            }
            return static_cast<Py_ssize_t>(view.length());
        },
        -1);
}

PyObject* Record_str(PyObject* self) noexcept {
    return with_record(
        self,
        [&](const RecordView& view) -> PyObject* {
            Ref whole(fetch(self, view, 1, view.length()));
            if (!whole) return nullptr;
            return Py_NewRef(reinterpret_cast<SequenceObject*>(whole.get())->seq);
        },
        nullptr);
}

PyObject* Record_repr(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_record(self)->access);
        if (!access.ok()) return nullptr;
        return PyUnicode_FromFormat("FastaRecord(\"%U\")", as_record(self)->name);
    });
}

// A stepped slice with a start or a stop: fetch the region that covers the
// selected bases and apply the slice, re-based to that region, with the
// Sequence slicing rules, so the bases are exactly those str slicing selects.
PyObject* stepped_slice(PyObject* self, const RecordView& view, Py_ssize_t s, Py_ssize_t e, Py_ssize_t k,
                        Py_ssize_t selected) {
    const auto [first, last] = view.faidx.slice_cover(view.length(), s, e, k);
    Ref region(fetch(self, view, static_cast<std::uint64_t>(first), static_cast<std::uint64_t>(last)));
    if (!region) return nullptr;
    const std::int64_t offset = first - 1;
    Ref start;
    Ref stop;
    if (selected == 0) {
        start.reset(PyLong_FromLong(0));
        stop.reset(PyLong_FromLong(0));
        k = 1;
    } else {
        start.reset(PyLong_FromLongLong(s - offset));
        stop.reset(e - offset < 0 ? Py_NewRef(Py_None) : PyLong_FromLongLong(e - offset));
    }
    Ref step(PyLong_FromSsize_t(k));
    if (!start || !stop || !step) return nullptr;
    Ref rebased(PySlice_New(start.get(), stop.get(), step.get()));
    if (!rebased) return nullptr;
    return sequence_subscript(region.get(), rebased.get());
}

bool is_int_equal(PyObject* value, long expected) {
    if (!PyLong_Check(value)) return false;
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value, &overflow);
    return overflow == 0 && number == expected;
}

PyObject* record_slice(PyObject* self, const RecordView& view, PyObject* key) {
    auto* slice = reinterpret_cast<PySliceObject*>(key);
    const bool no_bounds = slice->start == Py_None && slice->stop == Py_None;
    const bool unit_step = slice->step == Py_None || is_int_equal(slice->step, 1) || !PyLong_Check(slice->step);
    if (no_bounds && unit_step) return fetch_record(view.faidx, as_record(self)->name, view.name);
    if (PyLong_Check(slice->start) && PyLong_Check(slice->stop) && PyLong_Check(slice->step) &&
        is_int_equal(slice->start, 0) && is_int_equal(slice->step, 1)) {
        Ref length(PyLong_FromUnsignedLongLong(view.length()));
        if (!length) return nullptr;
        const int same = PyObject_RichCompareBool(slice->stop, length.get(), Py_EQ);
        if (same < 0) return nullptr;
        if (same == 1) return fetch_record(view.faidx, as_record(self)->name, view.name);
    }
    Py_ssize_t s;
    Py_ssize_t e;
    Py_ssize_t k;
    if (PySlice_Unpack(key, &s, &e, &k) < 0) return nullptr;
    if (view.length() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        return nullptr;
    }
    const Py_ssize_t selected = PySlice_AdjustIndices(static_cast<Py_ssize_t>(view.length()), &s, &e, k);
    if (k == 1) return fetch(self, view, static_cast<std::uint64_t>(s) + 1, static_cast<std::uint64_t>(e));
    if (no_bounds) {
        Ref whole(fetch(self, view, 1, view.length()));
        if (!whole) return nullptr;
        return sequence_subscript(whole.get(), key);
    }
    return stepped_slice(self, view, s, e, k, selected);
}

PyObject* Record_subscript(PyObject* self, PyObject* key) noexcept {
    return with_record(
        self,
        [&](const RecordView& view) -> PyObject* {
            if (PySlice_Check(key)) return record_slice(self, view, key);
            Ref number(PyNumber_Index(key));
            long long index = number ? PyLong_AsLongLong(number.get()) : -1;
            if (!number || (index == -1 && PyErr_Occurred())) {
                if (!replaceable_conversion_error()) return nullptr;
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "Invalid index type");
                return nullptr;
            }
        // Unsigned and wrapping: a position outside the record reaches the
        // fetch rules, which warn or refuse.
            std::uint64_t position = static_cast<std::uint64_t>(index);
            if (index < 0) position += view.length();
            return fetch(self, view, position + 1, position + 1);
        },
        nullptr);
}

// The line-sized chunks of a record: bases 1..lenc, lenc+1..2*lenc, ...; a
// record without a line width is one chunk.
std::uint64_t chunk_width(const core::IndexEntry& entry) { return entry.lenc != 0 ? entry.lenc : entry.rlen; }

const Signature REVERSED{"FastaRecord.__reversed__()", {}, 0};

// Bytes a chunk of the reversed listing costs beyond its text: the Sequence,
// its str and the list slot.
constexpr long double CHUNK_OVERHEAD = 160;

long double physical_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return static_cast<long double>(UINT64_MAX);
    return static_cast<long double>(pages) * static_cast<long double>(page_size);
}

PyObject* Record_reversed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_record(
        self,
        [&](const RecordView& view) -> PyObject* {
            if (!bind(REVERSED, args, nargs, kwnames, nullptr)) return nullptr;
            Ref list(PyList_New(0));
            if (!list || view.entry == nullptr || view.length() == 0) return list.release();
            const std::uint64_t length = view.length();
            const std::uint64_t width = chunk_width(*view.entry);
        // The listing holds every chunk at once: refuse at the start what
        // could never fit, such as an index entry claiming 2^64 - 1 bases.
            const std::uint64_t chunks = length / width + (length % width != 0);
            const long double needed =
                static_cast<long double>(chunks) * CHUNK_OVERHEAD + static_cast<long double>(length);
            if (needed > physical_memory()) return PyErr_NoMemory();
            for (std::uint64_t p = 1; p <= length;) {
                const std::uint64_t end = width - 1 >= length - p ? length : p + width - 1;
                Ref chunk(fetch(self, view, p, end));
                if (!chunk || PyList_Append(list.get(), chunk.get()) < 0) return nullptr;
                if (end == length) break;
                p = end + 1;
            }
            if (PyList_Reverse(list.get()) < 0) return nullptr;
            const Py_ssize_t count = PyList_GET_SIZE(list.get());
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyObject* reversed = sequence_reverse(PyList_GET_ITEM(list.get(), i));
                if (reversed == nullptr) return nullptr;
                PyList_SetItem(list.get(), i, reversed);
            }
            return list.release();
        },
        nullptr);
}

PyObject* Record_iter(PyObject* self) noexcept;

// A record travels as its Fasta and its name.
PyObject* Record_reduce(PyObject* self, PyObject*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        RecordObject* record = as_record(self);
        ReadAccess access(record->access);
        if (!access.ok()) return nullptr;
        if (record->parent == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "record is detached from its Fasta");
            return nullptr;
        }
        return reduce_to(PickleKind::FastaRecord, {Py_NewRef(record->parent), Py_NewRef(record->name)});
    });
}

PyMethodDef Record_methods[] = {
    {"__reduce__", Record_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__reversed__", KELPA_FASTCALL(Record_reversed), METH_FASTCALL | METH_KEYWORDS, "__reversed__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Record_getset[] = {
    {"name", Record_get_name, nullptr, nullptr, nullptr},
    {"long_name", Record_get_long_name, nullptr, nullptr, nullptr},
    {"unpadded_len", Record_get_unpadded_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Record_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Record_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Record_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Record_clear)},
    {Py_tp_methods, Record_methods},
    {Py_tp_getset, Record_getset},
    {Py_tp_repr, reinterpret_cast<void*>(Record_repr)},
    {Py_tp_str, reinterpret_cast<void*>(Record_str)},
    {Py_tp_iter, reinterpret_cast<void*>(Record_iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(Record_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(Record_length)},
    {Py_sq_length, reinterpret_cast<void*>(Record_length)},
    {0, nullptr},
};

// ---- FastaIterator ---------------------------------------------------------

struct FastaIteratorObject {
    PyObject_HEAD
    AccessState access;
    PyObject* names;   // list of str, taken when the iterator was made
    std::uint64_t position;
    PyObject* parent;  // the Fasta
};

FastaIteratorObject* as_fasta_iterator(PyObject* self) { return reinterpret_cast<FastaIteratorObject*>(self); }

int FastaIterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_fasta_iterator(self)->parent);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int FastaIterator_clear(PyObject* self) noexcept {
    Py_CLEAR(as_fasta_iterator(self)->parent);
    return 0;
}

void FastaIterator_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_fasta_iterator(self)->names);
    Py_CLEAR(as_fasta_iterator(self)->parent);
    free_instance(self);
}

PyObject* iterator_self(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* { return Py_NewRef(self); });
}

PyObject* FastaIterator_next(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        FastaIteratorObject* it = as_fasta_iterator(self);
        WriteAccess access(it->access);
        if (!access.ok()) return nullptr;
        if (it->parent == nullptr || it->position >= static_cast<std::uint64_t>(PyList_GET_SIZE(it->names)))
            return nullptr;  // StopIteration
        PyObject* name = PyList_GET_ITEM(it->names, static_cast<Py_ssize_t>(it->position));
        PyObject* record = new_fasta_record(it->parent, name);
        if (record != nullptr) ++it->position;
        return record;
    });
}

// An iteration belongs to the process that runs it.
PyObject* FastaIterator_reduce(PyObject* self, PyObject*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        return refuse_pickling(self, "an iterator is a position in this process; pickle its Fasta instead");
    });
}

PyMethodDef FastaIterator_methods[] = {
    {"__reduce__", FastaIterator_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FastaIterator_slots[] = {
    {Py_tp_methods, FastaIterator_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(FastaIterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(FastaIterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(FastaIterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(FastaIterator_next)},
    {0, nullptr},
};

// ---- SequenceIterator ------------------------------------------------------

struct SequenceIteratorObject {
    PyObject_HEAD
    AccessState access;
    PyObject* name;    // exact str
    PyObject* parent;  // the Fasta
    std::uint64_t line_length;
    std::uint64_t length;
    std::uint64_t next_start;
    bool exhausted;  // the last chunk was returned
};

SequenceIteratorObject* as_sequence_iterator(PyObject* self) { return reinterpret_cast<SequenceIteratorObject*>(self); }

int SequenceIterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_sequence_iterator(self)->parent);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int SequenceIterator_clear(PyObject* self) noexcept {
    Py_CLEAR(as_sequence_iterator(self)->parent);
    return 0;
}

void SequenceIterator_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_sequence_iterator(self)->name);
    Py_CLEAR(as_sequence_iterator(self)->parent);
    free_instance(self);
}

PyObject* SequenceIterator_next(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        SequenceIteratorObject* it = as_sequence_iterator(self);
        WriteAccess access(it->access);
        if (!access.ok()) return nullptr;
        if (it->parent == nullptr || it->exhausted || it->next_start > it->length) return nullptr;  // StopIteration
        const std::optional<std::string_view> name = utf8_of(it->name);
        if (!name) return nullptr;
        const std::uint64_t width = it->line_length != 0 ? it->line_length : it->length;
        // No wrapping, also for a record that claims 2^64 - 1 bases.
        const std::uint64_t end = width - 1 >= it->length - it->next_start ? it->length : it->next_start + width - 1;
        PyObject* chunk = fetch_region(fasta_native(it->parent), it->name, *name, it->next_start, end);
        if (chunk != nullptr) {
            if (end == it->length) it->exhausted = true;
            else it->next_start = end + 1;
        }
        return chunk;
    });
}

PyObject* SequenceIterator_reduce(PyObject* self, PyObject*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        return refuse_pickling(self, "an iterator is a position in this process; pickle its FastaRecord instead");
    });
}

PyMethodDef SequenceIterator_methods[] = {
    {"__reduce__", SequenceIterator_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SequenceIterator_slots[] = {
    {Py_tp_methods, SequenceIterator_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(SequenceIterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(SequenceIterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(SequenceIterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(SequenceIterator_next)},
    {0, nullptr},
};

PyObject* Record_iter(PyObject* self) noexcept {
    return with_record(
        self,
        [&](const RecordView& view) -> PyObject* {
            auto* it = allocate<SequenceIteratorObject>(TypeId::SequenceIterator);
            if (it == nullptr) return nullptr;
            it->name = Py_NewRef(as_record(self)->name);
            it->parent = Py_NewRef(as_record(self)->parent);
            it->line_length = view.entry != nullptr ? view.entry->lenc : 70;
            it->length = view.length();
            it->next_start = 1;
            it->exhausted = false;
            return reinterpret_cast<PyObject*>(it);
        },
        nullptr);
}

// ---- MutableFastaRecord ----------------------------------------------------

struct MutableRecordObject {
    PyObject_HEAD
    AccessState access;
};

void MutableRecord_dealloc(PyObject* self) noexcept { free_instance(self); }

int MutableRecord_assign(PyObject* self, PyObject*, PyObject* value) noexcept {
    return shielded(-1, [&]() -> int {
        WriteAccess access(reinterpret_cast<MutableRecordObject*>(self)->access);
        if (!access.ok()) return -1;
        if (value == nullptr) {
            PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
            return -1;
        }
        std::string_view text;
        if (!convert_text(value, "_value", text)) return -1;
        PyErr_SetString(PyExc_NotImplementedError, "Mutable FASTA records not yet implemented");
        return -1;
    });
}

PyType_Slot MutableRecord_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(MutableRecord_dealloc)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(MutableRecord_assign)},
    {0, nullptr},
};

}  // namespace

const TypeRecipe FASTA_RECORD_TYPE{"FastaRecord",      nullptr,      sizeof(RecordObject),
                                   Py_TPFLAGS_HAVE_GC, Record_slots, nullptr};
const TypeRecipe FASTA_ITERATOR_TYPE{"FastaIterator",     nullptr, sizeof(FastaIteratorObject), Py_TPFLAGS_HAVE_GC,
                                     FastaIterator_slots, nullptr};
const TypeRecipe SEQUENCE_ITERATOR_TYPE{
    "SequenceIterator", nullptr, sizeof(SequenceIteratorObject), Py_TPFLAGS_HAVE_GC, SequenceIterator_slots, nullptr};
const TypeRecipe MUTABLE_FASTA_RECORD_TYPE{"MutableFastaRecord", nullptr, sizeof(MutableRecordObject), 0,
                                           MutableRecord_slots,  nullptr};

PyObject* new_fasta_record(PyObject* fasta, PyObject* name) {
    auto* record = allocate<RecordObject>(TypeId::FastaRecord);
    if (record == nullptr) return nullptr;
    record->name = Py_NewRef(name);
    record->parent = Py_NewRef(fasta);
    return reinterpret_cast<PyObject*>(record);
}

PyObject* new_fasta_iterator(PyObject* fasta) {
    const std::size_t count = fasta_native(fasta).entries().size();
    Ref names(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* name = fasta_name_at(fasta, i);
        if (name == nullptr) return nullptr;
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    auto* it = allocate<FastaIteratorObject>(TypeId::FastaIterator);
    if (it == nullptr) return nullptr;
    it->names = names.release();
    it->parent = Py_NewRef(fasta);
    it->position = 0;
    return reinterpret_cast<PyObject*>(it);
}

}  // namespace kelpa::py
