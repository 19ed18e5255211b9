// The Sequence type: fields, text forms, equality, transforms, GC content.
#include "python/sequence_type.hpp"

#include <cstring>
#include <string>

#include "binding/frame.hpp"
#include "core/io/mapped_file.hpp"
#include "core/kernels/sequence.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace kelpa::py {

namespace {

SequenceObject* as_sequence(PyObject* self) { return reinterpret_cast<SequenceObject*>(self); }

std::optional<std::uint64_t> start_of(const SequenceObject* s) {
    return s->has_start ? std::optional<std::uint64_t>(s->start) : std::nullopt;
}
std::optional<std::uint64_t> end_of(const SequenceObject* s) {
    return s->has_end ? std::optional<std::uint64_t>(s->end) : std::nullopt;
}

PyObject* optional_int(bool present, std::uint64_t value) {
    if (!present) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(value);
}

// The text a Sequence shows as its name: name[:start-end][ (complement)].
std::optional<std::string> fancy_name_of(const SequenceObject* s) {
    const std::optional<std::string_view> name = utf8_of(s->name);
    if (!name) return std::nullopt;
    std::string text(*name);
    if (s->has_start && s->has_end)
        text.append(":").append(std::to_string(s->start)).append("-").append(std::to_string(s->end));
    if (s->comp) text.append(" (complement)");
    return text;
}

// Builds a result str from the operand's text: when the operand is ASCII the
// result is too and is written in place; otherwise it goes through bytes.
template <class Fill>
PyObject* derived_text(PyObject* seq, std::size_t length, bool always_ascii, Fill fill) {
    if (always_ascii || PyUnicode_IS_ASCII(seq)) {
        char* data;
        Ref text(new_ascii_str(length, data));
        if (!text) return nullptr;
        fill(data);
        return text.release();
    }
    std::string bytes(length, '\0');
    fill(bytes.data());
    return str_from_bytes(bytes);
}

// ---- construction -------------------------------------------------------

void set_fields(SequenceObject* self, Ref name, Ref seq, std::optional<std::uint64_t> start,
                std::optional<std::uint64_t> end, bool comp) {
    self->name = name.release();
    self->seq = seq.release();
    self->has_start = start.has_value();
    self->start = start.value_or(0);
    self->has_end = end.has_value();
    self->end = end.value_or(0);
    self->comp = comp;
}

constexpr const char* SEQUENCE_PARAMS[] = {"name", "seq", "start", "end", "comp"};
const Signature SEQUENCE_NEW{"Sequence.__new__()", SEQUENCE_PARAMS, 0};

bool convert_field_text(PyObject* value, const char* param, Ref& out) {
    std::string_view ignored;
    if (!convert_text(value, param, ignored)) return false;
    out.reset(exact_str(value));
    return static_cast<bool>(out);
}

PyObject* construct(PyTypeObject* type, PyObject** bound) {
    Ref name;
    Ref seq;
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
    bool comp = false;
    if (bound[0] != nullptr) {
        if (!convert_field_text(bound[0], "name", name)) return nullptr;
    } else {
        name.reset(PyUnicode_New(0, 0));
    }
    if (bound[1] != nullptr) {
        if (!convert_field_text(bound[1], "seq", seq)) return nullptr;
    } else {
        seq.reset(PyUnicode_New(0, 0));
    }
    if (!convert_optional_u64(bound[2], "start", start)) return nullptr;
    if (!convert_optional_u64(bound[3], "end", end)) return nullptr;
    if (bound[4] != nullptr && !convert_bool(bound[4], "comp", comp)) return nullptr;
    if (!name || !seq) return nullptr;

    auto* self = reinterpret_cast<SequenceObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    set_fields(self, std::move(name), std::move(seq), start, end, comp);
    return reinterpret_cast<PyObject*>(self);
}

using SequenceConstructor = Constructor<SEQUENCE_NEW, 5, construct>;

void Sequence_dealloc(PyObject* self) noexcept {
    SequenceObject* s = as_sequence(self);
    Py_XDECREF(s->name);
    Py_XDECREF(s->seq);
    free_instance(self);
}

// ---- fields ---------------------------------------------------------------

bool refuse_delete(PyObject* value) {
    if (value != nullptr) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

PyObject* Sequence_get_name(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_sequence(self)->access);
        if (!access.ok()) return nullptr;
        return Py_NewRef(as_sequence(self)->name);
    });
}

PyObject* Sequence_get_seq(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_sequence(self)->access);
        if (!access.ok()) return nullptr;
        return Py_NewRef(as_sequence(self)->seq);
    });
}

PyObject* Sequence_get_start(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_sequence(self)->access);
        if (!access.ok()) return nullptr;
        return optional_int(as_sequence(self)->has_start, as_sequence(self)->start);
    });
}

PyObject* Sequence_get_end(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_sequence(self)->access);
        if (!access.ok()) return nullptr;
        return optional_int(as_sequence(self)->has_end, as_sequence(self)->end);
    });
}

PyObject* Sequence_get_comp(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_sequence(self)->access);
        if (!access.ok()) return nullptr;
        return PyBool_FromLong(as_sequence(self)->comp);
    });
}

int set_text_field(PyObject* self, PyObject* value, const char* param, PyObject* SequenceObject::* field) {
    if (refuse_delete(value)) return -1;
    SequenceObject* s = as_sequence(self);
    WriteAccess access(s->access);
    if (!access.ok()) return -1;
    Ref text;
    if (!convert_field_text(value, param, text)) return -1;
    Py_SETREF(s->*field, text.release());
    return 0;
}

int Sequence_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return shielded(-1, [&] { return set_text_field(self, value, "name", &SequenceObject::name); });
}

int Sequence_set_seq(PyObject* self, PyObject* value, void*) noexcept {
    return shielded(-1, [&] { return set_text_field(self, value, "seq", &SequenceObject::seq); });
}

int set_coordinate(PyObject* self, PyObject* value, const char* param, bool SequenceObject::* present,
                   std::uint64_t SequenceObject::* field) {
    if (refuse_delete(value)) return -1;
    SequenceObject* s = as_sequence(self);
    WriteAccess access(s->access);
    if (!access.ok()) return -1;
    std::optional<std::uint64_t> number;
    if (!convert_optional_u64(value, param, number)) return -1;
    s->*present = number.has_value();
    s->*field = number.value_or(0);
    return 0;
}

int Sequence_set_start(PyObject* self, PyObject* value, void*) noexcept {
    return shielded(
        -1, [&] { return set_coordinate(self, value, "start", &SequenceObject::has_start, &SequenceObject::start); });
}

int Sequence_set_end(PyObject* self, PyObject* value, void*) noexcept {
    return shielded(-1,
                    [&] { return set_coordinate(self, value, "end", &SequenceObject::has_end, &SequenceObject::end); });
}

int Sequence_set_comp(PyObject* self, PyObject* value, void*) noexcept {
    return shielded(-1, [&]() -> int {
        if (refuse_delete(value)) return -1;
        SequenceObject* s = as_sequence(self);
        WriteAccess access(s->access);
        if (!access.ok()) return -1;
        bool flag;
        if (!convert_bool(value, "comp", flag)) return -1;
        s->comp = flag;
        return 0;
    });
}

// ---- derived properties ------------------------------------------------

PyObject* Sequence_get_fancy_name(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_sequence(self)->access);
        if (!access.ok()) return nullptr;
        const std::optional<std::string> text = fancy_name_of(as_sequence(self));
        if (!text) return nullptr;
        return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
    });
}

PyObject* Sequence_get_orientation(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        ReadAccess access(s->access);
        if (!access.ok()) return nullptr;
        if (!s->has_start || !s->has_end) Py_RETURN_NONE;
        if (s->start < s->end && !s->comp) return PyLong_FromLong(1);
        if (s->start > s->end && s->comp) return PyLong_FromLong(-1);
        Py_RETURN_NONE;
    });
}

template <class Measure>
PyObject* gc_property(PyObject* self, Measure measure) {
    SequenceObject* s = as_sequence(self);
    ReadAccess access(s->access);
    if (!access.ok()) return nullptr;
    const std::optional<std::string_view> bytes = utf8_of(s->seq);
    if (!bytes) return nullptr;
    return PyFloat_FromDouble(measure(bytes->data(), bytes->size()));
}

PyObject* Sequence_get_gc(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* { return gc_property(self, core::gc_fraction); });
}
PyObject* Sequence_get_gc_strict(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* { return gc_property(self, core::gc_strict_fraction); });
}
PyObject* Sequence_get_gc_iupac(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* { return gc_property(self, core::gc_iupac_fraction); });
}

// ---- transforms -----------------------------------------------------------

enum class Transform { Complement, Reverse, ReverseComplement };

PyObject* transform(PyObject* self, Transform kind) {
    SequenceObject* s = as_sequence(self);
    ReadAccess access(s->access);
    if (!access.ok()) return nullptr;
    const std::optional<std::string_view> bytes = utf8_of(s->seq);
    if (!bytes) return nullptr;
    const char* in = bytes->data();
    const std::size_t n = bytes->size();
    Ref text(derived_text(s->seq, n, kind != Transform::Reverse, [&](char* out) {
        switch (kind) {
            case Transform::Complement: core::complement(in, n, out); break;
            case Transform::Reverse: core::reverse(in, n, out); break;
            case Transform::ReverseComplement: core::reverse_complement(in, n, out); break;
        }
    }));
    if (!text) return nullptr;
    std::optional<std::uint64_t> start = start_of(s);
    std::optional<std::uint64_t> end = end_of(s);
    if (kind != Transform::Complement && start && end) std::swap(start, end);
    const bool comp = kind == Transform::Reverse ? s->comp : !s->comp;
    return new_sequence(Ref::borrow(s->name), std::move(text), start, end, comp);
}

PyObject* Sequence_get_complement(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&] { return transform(self, Transform::Complement); });
}

PyObject* Sequence_get_reverse(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&] { return transform(self, Transform::Reverse); });
}

PyObject* Sequence_negative(PyObject* self) noexcept {
    return shielded(nullptr, [&] { return transform(self, Transform::ReverseComplement); });
}

PyObject* index(SequenceObject* s, PyObject* key, std::string_view bytes) {
    Ref number(PyNumber_Index(key));
    long long position = number ? PyLong_AsLongLong(number.get()) : -1;
    if (!number || (position == -1 && PyErr_Occurred())) {
        if (!replaceable_conversion_error()) return nullptr;
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Invalid index type");
        return nullptr;
    }
    const auto length = static_cast<long long>(bytes.size());
    if (position < 0) position += length;
    if (static_cast<unsigned long long>(position) >= static_cast<unsigned long long>(length)) {
        PyErr_SetString(PyExc_IndexError, "Index out of range");
        return nullptr;
    }
    Ref text(PyUnicode_FromOrdinal(static_cast<unsigned char>(bytes[static_cast<std::size_t>(position)])));
    if (!text) return nullptr;
    std::optional<std::uint64_t> at;
    if (s->has_start) at = s->start + static_cast<std::uint64_t>(position);
    return new_sequence(Ref::borrow(s->name), std::move(text), at, at, s->comp);
}

PyObject* slice(SequenceObject* s, PyObject* key, std::string_view bytes) {
    Py_ssize_t a;
    Py_ssize_t b;
    Py_ssize_t k;
    if (PySlice_Unpack(key, &a, &b, &k) < 0) return nullptr;
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(bytes.size()), &a, &b, k);
    const core::SlicePlan plan = core::plan_slice(bytes.size(), a, b, k);
    Ref text(derived_text(s->seq, plan.count, false, [&](char* out) { core::gather_slice(bytes.data(), plan, out); }));
    if (!text) return nullptr;
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
    if (s->has_start && s->has_end) {
        start = s->start + plan.lo;
        end = s->start + plan.hx - 1;
    }
    return new_sequence(Ref::borrow(s->name), std::move(text), start, end, s->comp);
}

PyObject* Sequence_subscript(PyObject* self, PyObject* key) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        ReadAccess access(s->access);
        if (!access.ok()) return nullptr;
        const std::optional<std::string_view> bytes = utf8_of(s->seq);
        if (!bytes) return nullptr;
        if (PySlice_Check(key)) return slice(s, key, *bytes);
        return index(s, key, *bytes);
    });
}

// ---- protocols --------------------------------------------------------

PyObject* Sequence_str(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_sequence(self)->access);
        if (!access.ok()) return nullptr;
        return Py_NewRef(as_sequence(self)->seq);
    });
}

PyObject* Sequence_repr(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        ReadAccess access(s->access);
        if (!access.ok()) return nullptr;
        const std::optional<std::string> name = fancy_name_of(s);
        if (!name) return nullptr;
        return PyUnicode_FromFormat(">%s\n%U", name->c_str(), s->seq);
    });
}

Py_ssize_t Sequence_length(PyObject* self) noexcept {
    return shielded(-1, [&]() -> Py_ssize_t {
        SequenceObject* s = as_sequence(self);
        ReadAccess access(s->access);
        if (!access.ok()) return -1;
        if (PyUnicode_IS_ASCII(s->seq)) return PyUnicode_GET_LENGTH(s->seq);
        const std::optional<std::string_view> bytes = utf8_of(s->seq);
        if (!bytes) return -1;
        return static_cast<Py_ssize_t>(bytes->size());
    });
}

PyObject* Sequence_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        if (op == Py_NE) {
            Ref equal(PyObject_RichCompare(self, other, Py_EQ));
            if (!equal) {
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
                return nullptr;
            }
            const int truth = PyObject_IsTrue(equal.get());
            if (truth < 0) return nullptr;
            return PyBool_FromLong(!truth);
        }
        if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
        SequenceObject* s = as_sequence(self);
        ReadAccess access(s->access);
        if (!access.ok()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (PyUnicode_Check(other)) return PyBool_FromLong(PyUnicode_Compare(s->seq, other) == 0);
        if (is_sequence(other)) {
            SequenceObject* o = as_sequence(other);
            ReadAccess other_access(o->access);
            if (other_access.ok()) return PyBool_FromLong(PyUnicode_Compare(s->seq, o->seq) == 0);
            PyErr_Clear();
        }
        Py_RETURN_FALSE;
    });
}

// ---- pickling ---------------------------------------------------------------

// By value: the five fields. Pickling a list of values calls this once per
// value, so it builds the tuples directly.
PyObject* Sequence_reduce(PyObject* self, PyObject*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        ReadAccess access(s->access);
        if (!access.ok()) return nullptr;
        return reduce_to(PickleKind::Sequence,
                         {Py_NewRef(s->name), Py_NewRef(s->seq), optional_int(s->has_start, s->start),
                          optional_int(s->has_end, s->end), PyBool_FromLong(s->comp)});
    });
}

// pickle and copy ask for __reduce_ex__ first; answering it directly saves
// object's detour through __reduce__. Every protocol gets the same answer.
PyObject* Sequence_reduce_ex(PyObject* self, PyObject*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* { return Sequence_reduce(self, nullptr); });
}

PyMethodDef Sequence_methods[] = {
    {"__reduce__", Sequence_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__reduce_ex__", Sequence_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Sequence_getset[] = {
    {"name", Sequence_get_name, Sequence_set_name, nullptr, nullptr},
    {"seq", Sequence_get_seq, Sequence_set_seq, nullptr, nullptr},
    {"start", Sequence_get_start, Sequence_set_start, nullptr, nullptr},
    {"end", Sequence_get_end, Sequence_set_end, nullptr, nullptr},
    {"comp", Sequence_get_comp, Sequence_set_comp, nullptr, nullptr},
    {"fancy_name", Sequence_get_fancy_name, nullptr, nullptr, nullptr},
    {"long_name", Sequence_get_fancy_name, nullptr, nullptr, nullptr},
    {"orientation", Sequence_get_orientation, nullptr, nullptr, nullptr},
    {"complement", Sequence_get_complement, nullptr, nullptr, nullptr},
    {"reverse", Sequence_get_reverse, nullptr, nullptr, nullptr},
    {"gc", Sequence_get_gc, nullptr, nullptr, nullptr},
    {"gc_strict", Sequence_get_gc_strict, nullptr, nullptr, nullptr},
    {"gc_iupac", Sequence_get_gc_iupac, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Sequence_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(SequenceConstructor::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Sequence_dealloc)},
    {Py_tp_methods, Sequence_methods},
    {Py_tp_getset, Sequence_getset},
    {Py_tp_str, reinterpret_cast<void*>(Sequence_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Sequence_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Sequence_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_sq_length, reinterpret_cast<void*>(Sequence_length)},
    {Py_mp_length, reinterpret_cast<void*>(Sequence_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(Sequence_subscript)},
    {Py_nb_negative, reinterpret_cast<void*>(Sequence_negative)},
    {0, nullptr},
};

}  // namespace

const TypeRecipe SEQUENCE_TYPE{
    "Sequence",
    "Sequence(name=..., seq=..., start=None, end=None, comp=False)\n--\n\n",
    sizeof(SequenceObject),
    0,
    Sequence_slots,
    SequenceConstructor::vectorcall,
};

PyObject* new_sequence(Ref name, Ref seq, std::optional<std::uint64_t> start, std::optional<std::uint64_t> end,
                       bool comp) {
    if (!name || !seq) return nullptr;
    PyTypeObject* type = type_object(TypeId::Sequence);
    if (type == nullptr) return nullptr;
    // Not garbage collected (it refers only to strs): a plain allocation.
    auto* self = reinterpret_cast<SequenceObject*>(PyObject_Malloc(sizeof(SequenceObject)));
    if (self == nullptr) return PyErr_NoMemory();
    PyObject_Init(reinterpret_cast<PyObject*>(self), type);
    self->access = 0;
    set_fields(self, std::move(name), std::move(seq), start, end, comp);
    return reinterpret_cast<PyObject*>(self);
}

bool is_sequence(PyObject* object) {
    PyTypeObject* type = type_object(TypeId::Sequence);
    if (type == nullptr) {
        PyErr_Clear();
        return false;
    }
    return Py_IS_TYPE(object, type);
}

PyObject* sequence_reverse_complement(PyObject* sequence) { return Sequence_negative(sequence); }

PyObject* sequence_reverse(PyObject* sequence) { return Sequence_get_reverse(sequence, nullptr); }

PyObject* sequence_subscript(PyObject* sequence, PyObject* key) { return Sequence_subscript(sequence, key); }

// Texts from this size on are written into memory backed by huge pages.
constexpr std::size_t HUGE_TEXT = std::size_t{8} << 20;

PyObject* new_ascii_str(std::size_t length, char*& data) {
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (text == nullptr) return nullptr;
    data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
    if (length >= HUGE_TEXT) core::advise_huge_pages(data, length);
    return text;
}

PyObject* str_from_bytes(std::string_view bytes) {
    if (core::is_ascii(bytes.data(), bytes.size())) {
        char* data;
        PyObject* text = new_ascii_str(bytes.size(), data);
        if (text != nullptr && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
        return text;
    }
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
}

}  // namespace kelpa::py
