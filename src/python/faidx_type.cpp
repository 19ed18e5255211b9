// The Faidx type: one indexed FASTA file, fetched by region.
#include <string>

#include "binding/frame.hpp"
#include "python/fetching.hpp"
#include "python/handle.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace kelpa::py {

namespace {

using FaidxObject = HandleObject;

FaidxObject* as_faidx(PyObject* self) { return reinterpret_cast<FaidxObject*>(self); }
const core::Faidx& native(PyObject* self) { return *as_faidx(self)->handle->faidx; }

constexpr OpenOption FAIDX_ORDER[] = {
    OpenOption::filename,
    OpenOption::indexname,
    OpenOption::as_raw,
    OpenOption::strict_bounds,
    OpenOption::sequence_always_upper,
    OpenOption::rebuild,
    OpenOption::build_index,
    OpenOption::one_based_attributes,
    OpenOption::default_seq,
    OpenOption::mutable_file,
    OpenOption::key_function,
    OpenOption::split_char,
    OpenOption::filt_function,
    OpenOption::read_long_names,
    OpenOption::duplicate_action,
    OpenOption::read_ahead,
};
constexpr const char* FAIDX_PARAMS[] = {
    "filename",
    "indexname",
    "as_raw",
    "strict_bounds",
    "sequence_always_upper",
    "rebuild",
    "build_index",
    "one_based_attributes",
    "default_seq",
    "mutable",
    "key_function",
    "split_char",
    "filt_function",
    "read_long_names",
    "duplicate_action",
    "read_ahead",
};
const Signature FAIDX_NEW{"Faidx.__new__()", FAIDX_PARAMS, 1};

PyObject* construct(PyTypeObject* type, PyObject** bound) {
    std::unique_ptr<FaidxHandle> handle = open_handle(FAIDX_ORDER, FAIDX_PARAMS, bound);
    if (!handle) return nullptr;
    auto* self = reinterpret_cast<FaidxObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->handle = handle.release();
    return reinterpret_cast<PyObject*>(self);
}

using FaidxConstructor = Constructor<FAIDX_NEW, 16, construct>;

void Faidx_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    handle_release(self);
    free_instance(self);
}

// ---- methods --------------------------------------------------------------

constexpr const char* FETCH_PARAMS[] = {"name", "start", "end"};
const Signature FETCH{"Faidx.fetch()", FETCH_PARAMS, 3};

PyObject* Faidx_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return read_method<3>(as_faidx(self)->access, FETCH, args, nargs, kwnames, [&](PyObject** bound) -> PyObject* {
        std::string_view name;
        std::uint64_t start;
        std::uint64_t end;
        if (!convert_text(bound[0], "name", name) || !convert_u64(bound[1], "start", start) ||
            !convert_u64(bound[2], "end", end))
            return nullptr;
        return fetch_region(native(self), bound[0], name, start, end);
    });
}

constexpr const char* NAME_PARAM[] = {"name"};
const Signature FETCH_ENTIRE{"Faidx.fetch_entire_sequence()", NAME_PARAM, 1};

PyObject* Faidx_fetch_entire_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return read_method<1>(as_faidx(self)->access, FETCH_ENTIRE, args, nargs, kwnames,
                          [&](PyObject** bound) -> PyObject* {
                              std::string_view name;
                              if (!convert_text(bound[0], "name", name)) return nullptr;
                              return fetch_record(native(self), bound[0], name);
                          });
}

constexpr const char* REGIONS_PARAM[] = {"regions"};
const Signature FETCH_MANY{"Faidx.fetch_many()", REGIONS_PARAM, 1};

PyObject* Faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return read_method<1>(as_faidx(self)->access, FETCH_MANY, args, nargs, kwnames, [&](PyObject** bound) -> PyObject* {
        RegionList regions;
        if (!convert_region_list(bound[0], true, "regions", regions)) return nullptr;
        return fetch_many(native(self), regions, false);
    });
}

constexpr const char* SAME_CHR_PARAMS[] = {"name", "regions"};
const Signature FETCH_MANY_SAME_CHR{"Faidx.fetch_many_same_chr()", SAME_CHR_PARAMS, 2};

PyObject* Faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    return read_method<2>(
        as_faidx(self)->access, FETCH_MANY_SAME_CHR, args, nargs, kwnames, [&](PyObject** bound) -> PyObject* {
            std::string_view name;
            RegionList regions;
            if (!convert_text(bound[0], "name", name) || !convert_region_list(bound[1], false, "regions", regions))
                return nullptr;
            return fetch_many_same_chr(native(self), bound[0], name, regions, false);
        });
}

PyObject* Faidx_get_keys(PyObject* self, void*) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_faidx(self)->access);
        if (!access.ok()) return nullptr;
        return record_names(native(self).entries());
    });
}

PyObject* Faidx_repr(PyObject* self) noexcept {
    return shielded(nullptr, [&]() -> PyObject* {
        ReadAccess access(as_faidx(self)->access);
        if (!access.ok()) return nullptr;
        const std::string text = "Faidx(\"" + native(self).filename() + "\")";
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    });
}

PyObject* Faidx_reduce(PyObject* self, PyObject*) noexcept {
    return shielded(nullptr, [&] { return reduce_handle(self, PickleKind::Faidx); });
}

PyMethodDef Faidx_methods[] = {
    {"fetch", KELPA_FASTCALL(Faidx_fetch), METH_FASTCALL | METH_KEYWORDS, "fetch($self, name, start, end)\n--\n\n"},
    {"fetch_entire_sequence", KELPA_FASTCALL(Faidx_fetch_entire_sequence), METH_FASTCALL | METH_KEYWORDS,
     "fetch_entire_sequence($self, name)\n--\n\n"
     "Ultra-fast method for fetching entire sequences - bypasses all bounds checking"},
    {"fetch_many", KELPA_FASTCALL(Faidx_fetch_many), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions)\n--\n\n"
     "High-performance batch fetch for many sequences\n"
     "\n"
     "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
     "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
     "- Parallel processing for large batches to maximize throughput\n"
     "\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = faidx.fetch_many(regions)"},
    {"fetch_many_same_chr", KELPA_FASTCALL(Faidx_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n"
     "\n"
     "Optimized for BED file processing where many regions come from the same chromosome.\n"
     "Uses smart batching like fetch_many but optimized for single chromosome access.\n"
     "\n"
     "Args:\n"
     "    name: Chromosome/sequence name\n"
     "    regions: List of (start, end) tuples\n"
     "\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n"
     "\n"
     "Example:\n"
     "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = faidx.fetch_many_same_chr(\"chr1\", regions)"},
    {"__reduce__", Faidx_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Faidx_getset[] = {
    {"keys", Faidx_get_keys, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Faidx_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FaidxConstructor::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Faidx_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(handle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handle_clear)},
    {Py_tp_methods, Faidx_methods},
    {Py_tp_getset, Faidx_getset},
    {Py_tp_repr, reinterpret_cast<void*>(Faidx_repr)},
    {Py_tp_str, reinterpret_cast<void*>(Faidx_repr)},
    {Py_sq_contains, reinterpret_cast<void*>(handle_contains)},
    {0, nullptr},
};

}  // namespace

const TypeRecipe FAIDX_TYPE{
    "Faidx",
    "Faidx(filename, indexname=None, as_raw=False, strict_bounds=False, sequence_always_upper=False, rebuild=True, "
    "build_index=True, one_based_attributes=True, default_seq=None, mutable=False, key_function=None, "
    "split_char=None, filt_function=None, read_long_names=False, duplicate_action=..., read_ahead=None)\n--\n\n",
    sizeof(FaidxObject),
    Py_TPFLAGS_HAVE_GC,
    Faidx_slots,
    FaidxConstructor::vectorcall,
};

}  // namespace kelpa::py
