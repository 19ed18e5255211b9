#include "arrays/variants.hpp"

#include <optional>
#include <string>
#include <vector>

#include "arrays/encodings.hpp"
#include "arrays/variants_args.hpp"
#include "arrays/windows_args.hpp"
#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/frame.hpp"
#include "binding/gil.hpp"
#include "binding/handle_object.hpp"
#include "core/batch/haplotypes.hpp"

namespace kelpa::arrays {

using py::Ref;

namespace {

// The encoding of a call's rows and its options, each refused where the
// encoding has no use for it.
struct Encoding {
    int type_num = NPY_UINT8;
    bool one_hot = false;
    bool channels_first = false;
    std::optional<core::RowEncoder> encoder;
};

struct EncodingArgs {
    PyObject* encoding;
    PyObject* upper;
    PyObject* table;
    PyObject* dtype;
    PyObject* channels_first;
    PyObject* n_value;
    PyObject* soft_mask;
    PyObject* iupac;
};

bool make_encoding(EncodingArgs args, Encoding& out) {
    // None is an option left out.
    for (PyObject** given : {&args.encoding, &args.upper, &args.table, &args.dtype, &args.channels_first, &args.n_value,
                             &args.soft_mask, &args.iupac})
        *given = none_to_null(*given);
    const char* name = "one_hot";
    if (args.encoding != nullptr) {
        const bool known =
            PyUnicode_Check(args.encoding) && (PyUnicode_CompareWithASCIIString(args.encoding, "bytes") == 0 ||
                                               PyUnicode_CompareWithASCIIString(args.encoding, "codes") == 0 ||
                                               PyUnicode_CompareWithASCIIString(args.encoding, "one_hot") == 0);
        if (!known) {
            PyErr_Format(PyExc_ValueError, "encoding must be 'bytes', 'codes' or 'one_hot', got %R", args.encoding);
            return false;
        }
        name = PyUnicode_AsUTF8(args.encoding);
    }
    const std::string kind = name;
    // Which encodings take each option.
    const struct {
        const char* option;
        PyObject* value;
        const char* takers;
    } takers[] = {{"upper", args.upper, "bytes"},         {"table", args.table, "codes"},
                  {"dtype", args.dtype, "codes one_hot"}, {"channels_first", args.channels_first, "one_hot"},
                  {"n_value", args.n_value, "one_hot"},   {"soft_mask", args.soft_mask, "codes one_hot"},
                  {"iupac", args.iupac, "one_hot"}};
    for (const auto& option : takers) {
        if (option.value == nullptr || std::string(option.takers).find(kind) != std::string::npos) continue;
        PyErr_Format(PyExc_TypeError, "%s is not an option of encoding='%s'", option.option, kind.c_str());
        return false;
    }
    if (kind == "bytes") {
        bool upper = false;
        if (!convert_flag(args.upper, "upper", upper)) return false;
        out.encoder = core::RowEncoder::bytes(upper);
        return true;
    }
    if (kind == "codes") {
        SoftMask soft_mask = SoftMask::Ignore;
        if (!convert_dtype(args.dtype, {NPY_UINT8, NPY_INT32, NPY_INT64}, "uint8, int32, int64", out.type_num) ||
            !convert_soft_mask(args.soft_mask, soft_mask))
            return false;
        out.encoder = codes_encoder(args.table, out.type_num, soft_mask);
        return out.encoder.has_value();
    }
    OneHotOptions options;
    if (!convert_one_hot(args.dtype, args.channels_first, args.n_value, args.soft_mask, args.iupac, options))
        return false;
    out.type_num = options.type_num;
    out.one_hot = true;
    out.channels_first = options.channels_first;
    out.encoder = one_hot_encoder(options);
    return out.encoder.has_value();
}

bool convert_length(PyObject* value, const char* function, long long& length) {
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s missing required keyword-only argument: 'length'", function);
        return false;
    }
    Ref number(PyNumber_Index(value));
    if (!number) {
        py::prefix_argument_error("length");
        return false;
    }
    length = PyLong_AsLongLong(number.get());
    if (length == -1 && PyErr_Occurred()) return false;
    if (length < 1) {
        PyErr_Format(PyExc_ValueError, "length must be at least 1, got %lld", length);
        return false;
    }
    return true;
}

// What the calls share once their columns are converted.
struct VariantCall {
    const core::Faidx* faidx = nullptr;
    Windows windows;
    std::vector<core::Variant> variants;
    std::vector<std::int64_t> offsets;
    PyObject* rc = nullptr;
    PyObject* out = nullptr;
    CheckRef check = CheckRef::Raise;
    bool reference = false;  // variant_windows: the reference windows too
};

// The lowest mismatch as a ValueError naming its row (and its variant, for
// haplotype rows).
void raise_mismatch(const VariantCall& call, const core::AlleleMismatch& mismatch) {
    std::size_t row = 0;
    while (static_cast<std::size_t>(call.offsets[row + 1]) <= mismatch.variant) ++row;
    const core::Variant& variant = call.variants[mismatch.variant];
    const core::RegionRequest& window = call.windows.requests[row];
    Ref given = allele_text(variant.ref, variant.ref_size);
    Ref found = allele_text(mismatch.found.data(), mismatch.found.size());
    Ref name = allele_text(window.name.data(), window.name.size());
    if (!given || !found || !name) return;
    std::string where = "row " + std::to_string(row);
    if (!call.reference) where += ", variant " + std::to_string(mismatch.variant);
    PyErr_Format(PyExc_ValueError, "%s: the reference allele %R does not match %U:%llu, which reads %R%s",
                 where.c_str(), given.get(), name.get(), static_cast<unsigned long long>(variant.position + 1),
                 found.get(), mismatch.found.size() < variant.ref_size ? " (the record ends first)" : "");
}

PyObject* fill_variant_rows(VariantCall& call, Encoding& encoding) {
    const std::size_t rows = call.windows.requests.size();
    const std::size_t length = call.windows.length;
    bool rc_all = false;
    std::vector<std::uint8_t> rc_flags;
    if (!convert_rc(none_to_null(call.rc), rows, rc_all, rc_flags)) return nullptr;

    std::vector<npy_intp> shape{static_cast<npy_intp>(rows), static_cast<npy_intp>(length)};
    if (encoding.one_hot) shape.insert(encoding.channels_first ? shape.begin() + 1 : shape.end(), 4);
    PyObject* out = none_to_null(call.out);
    PyObject* given[2] = {nullptr, nullptr};
    Ref pair;
    if (call.reference && out != nullptr) {
        if (!PyTuple_Check(out) && !PyList_Check(out)) {
            PyErr_Format(PyExc_TypeError, "out must be a pair of arrays (ref, alt), got '%s'", Py_TYPE(out)->tp_name);
            return nullptr;
        }
        pair.reset(PySequence_Tuple(out));
        if (!pair) return nullptr;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "out must be a pair of arrays (ref, alt), got %zd items",
                         PyTuple_GET_SIZE(pair.get()));
            return nullptr;
        }
        given[0] = PyTuple_GET_ITEM(pair.get(), 0);
        given[1] = PyTuple_GET_ITEM(pair.get(), 1);
        if (given[0] == given[1]) {
            PyErr_SetString(PyExc_ValueError, "out must be two different arrays (ref, alt), got one twice");
            return nullptr;
        }
    } else {
        given[1] = out;
    }
    Ref arrays[2];
    for (int k = call.reference ? 0 : 1; k < 2; ++k) {
        if (!output_array(given[k], encoding.type_num, shape, arrays[k])) return nullptr;
    }
    // A mask of each variant: the caller's, or this call's own to raise on.
    // Read with the windows, in the same pass; but before anything is
    // written into a given out, the alleles alone are checked first.
    Ref mask;
    std::vector<std::uint8_t> own_mask;
    std::uint8_t* flags = nullptr;
    const bool check_first = call.check == CheckRef::Raise && out != nullptr;
    if (call.check == CheckRef::Mask) {
        npy_intp count = static_cast<npy_intp>(call.variants.size());
        mask.reset(PyArray_ZEROS(1, &count, NPY_BOOL, 0));
        if (!mask) return nullptr;
        flags = reinterpret_cast<std::uint8_t*>(array_data(mask));
    } else if (call.check == CheckRef::Raise && !check_first) {
        own_mask.resize(call.variants.size());
        flags = own_mask.data();
    }

    const core::HaplotypeRows batch{call.windows.requests, call.variants, call.offsets.data(), length};
    const core::RowTarget targets[2] = {
        {arrays[0] ? array_data(arrays[0]) : nullptr, length, &*encoding.encoder,
         rc_flags.empty() ? nullptr : rc_flags.data(), rc_all},
        {array_data(arrays[1]), length, &*encoding.encoder, rc_flags.empty() ? nullptr : rc_flags.data(), rc_all}};
    const Plan plan = plan_for(rows, std::uint64_t{rows} * length * (call.reference ? 2 : 1));
    std::optional<core::AlleleMismatch> mismatch;
    const core::Status filled = py::maybe_unlocked(plan.release_lock, [&]() -> core::Status {
        if (check_first) {
            core::Result<std::optional<core::AlleleMismatch>> checked =
                core::check_alleles(*call.faidx, batch, nullptr, plan.executor);
            if (!checked) return checked.error();
            mismatch = std::move(checked.value());
            if (mismatch) return {};
        }
        for (int k = call.reference ? 0 : 1; k < 2; ++k) {
            if (given[k] == nullptr) core::fault_in_fresh(array_data(arrays[k]), array_bytes(arrays[k]), plan.executor);
        }
        core::Status status = core::fill_haplotypes(*call.faidx, batch, call.reference ? &targets[0] : nullptr,
                                                    targets[1], flags, plan.executor);
        if (!status || own_mask.empty()) return status;
        // The lowest mismatch, and the bases found there.
        std::size_t v = 0;
        while (v < own_mask.size() && own_mask[v] != 0) ++v;
        if (v == own_mask.size()) return {};
        std::size_t row = 0;
        while (static_cast<std::size_t>(call.offsets[row + 1]) <= v) ++row;
        const std::int64_t one[2] = {0, 1};
        const core::HaplotypeRows alone{std::span(&call.windows.requests[row], 1), std::span(&call.variants[v], 1), one,
                                        length};
        core::Result<std::optional<core::AlleleMismatch>> checked =
            core::check_alleles(*call.faidx, alone, nullptr, core::Executor::Caller);
        if (!checked) return checked.error();
        mismatch = std::move(checked.value());
        if (mismatch) mismatch->variant = v;
        return {};
    });
    if (!filled) {
        py::raise_core_error(filled.error());
        return nullptr;
    }
    if (mismatch && call.check == CheckRef::Raise) {
        raise_mismatch(call, *mismatch);
        return nullptr;
    }
    // The given arrays themselves, or the new ones.
    Ref results[2];
    for (int k = call.reference ? 0 : 1; k < 2; ++k)
        results[k] = given[k] != nullptr ? Ref(Py_NewRef(given[k])) : std::move(arrays[k]);
    if (call.reference)
        return mask ? PyTuple_Pack(3, results[0].get(), results[1].get(), mask.get())
                    : PyTuple_Pack(2, results[0].get(), results[1].get());
    return mask ? PyTuple_Pack(2, results[1].get(), mask.get()) : results[1].release();
}

}  // namespace

// variant_windows(source, names, positions, refs, alts, *, length, anchor=None, encoding="one_hot",
//                 check_ref="raise", rc=False, out=None, upper=False, table=None, dtype=None,
//                 channels_first=False, n_value=0, soft_mask="ignore", iupac=False)
constexpr const char* VARIANT_PARAMS[] = {
    "source", "names", "positions", "refs",  "alts",  "length",  "anchor",         "encoding",  "check_ref",
    "rc",     "out",   "upper",     "table", "dtype", "n_value", "channels_first", "soft_mask", "iupac"};
const py::Signature VARIANT_WINDOWS{"variant_windows()", VARIANT_PARAMS, 5, 0, 5};

PyObject* arrays_variant_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[18];
        if (!py::bind(VARIANT_WINDOWS, args, nargs, kwnames, bound)) return nullptr;
        VariantCall call;
        py::AccessState* access_state = nullptr;
        call.faidx = py::native_source(bound[0], access_state);
        if (call.faidx == nullptr) return nullptr;
        py::ReadAccess access(*access_state);
        if (!access.ok()) return nullptr;
        long long length = 0;
        if (!convert_length(bound[5], "variant_windows()", length)) return nullptr;
        long long anchor = length / 2;
        if (bound[6] != nullptr && bound[6] != Py_None) {
            Ref number(PyNumber_Index(bound[6]));
            if (!number) {
                py::prefix_argument_error("anchor");
                return nullptr;
            }
            anchor = PyLong_AsLongLong(number.get());
            if (anchor == -1 && PyErr_Occurred()) return nullptr;
            if (anchor < 0 || anchor >= length) {
                PyErr_Format(PyExc_ValueError, "anchor must be from 0 to length - 1 (%lld), got %lld", length - 1,
                             anchor);
                return nullptr;
            }
        }
        Encoding encoding;
        if (!make_encoding({bound[7], bound[11], bound[12], bound[13], bound[15], bound[14], bound[16], bound[17]},
                           encoding) ||
            !convert_check_ref(bound[8], call.check))
            return nullptr;

        Ref position_column;
        const std::int64_t* positions = nullptr;
        std::size_t position_count = 0;
        Alleles refs;
        Alleles alts;
        if (!integer_column(bound[2], "positions", position_column, positions, position_count) ||
            !convert_alleles(bound[3], "refs", "reference", "row", refs) ||
            !convert_alleles(bound[4], "alts", "alternate", "row", alts))
            return nullptr;
        const Py_ssize_t name_count = PyObject_Length(bound[1]);
        if (name_count < 0) PyErr_Clear();
        if ((name_count >= 0 && static_cast<std::size_t>(name_count) != position_count) ||
            refs.size() != position_count || alts.size() != position_count) {
            Ref names(name_count >= 0 ? PyUnicode_FromFormat("%zd", name_count) : PyUnicode_FromString("?"));
            if (names)
                PyErr_Format(PyExc_ValueError,
                             "columns of different lengths: names has %U rows, positions %zu, refs %zu, alts %zu",
                             names.get(), position_count, refs.size(), alts.size());
            return nullptr;
        }
        if (!make_variants(positions, refs, alts, "row", call.variants)) return nullptr;
        // Each window starts `anchor` bases before its variant.
        npy_intp rows = static_cast<npy_intp>(position_count);
        Ref starts(PyArray_SimpleNew(1, &rows, NPY_INT64));
        if (!starts) return nullptr;
        auto* start_values = reinterpret_cast<std::int64_t*>(array_data(starts));
        for (std::size_t i = 0; i < position_count; ++i) start_values[i] = positions[i] - 1 - anchor;
        Ref length_object(PyLong_FromLongLong(length));
        if (!length_object ||
            !convert_windows(*call.faidx, bound[1], starts.get(), nullptr, length_object.get(), true, call.windows))
            return nullptr;
        call.offsets.resize(position_count + 1);
        for (std::size_t i = 0; i <= position_count; ++i) call.offsets[i] = static_cast<std::int64_t>(i);
        call.rc = bound[9];
        call.out = bound[10];
        call.reference = true;
        return fill_variant_rows(call, encoding);
    });
}

// haplotype_windows(source, names, starts, offsets, positions, refs, alts, *, length, encoding="one_hot",
//                   check_ref="raise", rc=False, out=None, upper=False, table=None, dtype=None,
//                   channels_first=False, n_value=0, soft_mask="ignore", iupac=False)
constexpr const char* HAPLOTYPE_PARAMS[] = {
    "source", "names",    "starts",         "offsets",   "positions", "refs",  "alts",
    "length", "encoding", "check_ref",      "rc",        "out",       "upper", "table",
    "dtype",  "n_value",  "channels_first", "soft_mask", "iupac"};
const py::Signature HAPLOTYPE_WINDOWS{"haplotype_windows()", HAPLOTYPE_PARAMS, 7, 0, 7};

PyObject* arrays_haplotype_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::shielded(nullptr, [&]() -> PyObject* {
        PyObject* bound[19];
        if (!py::bind(HAPLOTYPE_WINDOWS, args, nargs, kwnames, bound)) return nullptr;
        VariantCall call;
        py::AccessState* access_state = nullptr;
        call.faidx = py::native_source(bound[0], access_state);
        if (call.faidx == nullptr) return nullptr;
        py::ReadAccess access(*access_state);
        if (!access.ok()) return nullptr;
        long long length = 0;
        if (!convert_length(bound[7], "haplotype_windows()", length)) return nullptr;
        Encoding encoding;
        if (!make_encoding({bound[8], bound[12], bound[13], bound[14], bound[16], bound[15], bound[17], bound[18]},
                           encoding) ||
            !convert_check_ref(bound[9], call.check))
            return nullptr;
        Ref length_object(PyLong_FromLongLong(length));
        if (!length_object ||
            !convert_windows(*call.faidx, bound[1], bound[2], nullptr, length_object.get(), true, call.windows))
            return nullptr;
        const std::size_t rows = call.windows.requests.size();

        Ref offset_column;
        const std::int64_t* offsets = nullptr;
        std::size_t offset_count = 0;
        Ref position_column;
        const std::int64_t* positions = nullptr;
        std::size_t position_count = 0;
        Alleles refs;
        Alleles alts;
        if (!integer_column(bound[3], "offsets", offset_column, offsets, offset_count) ||
            !integer_column(bound[4], "positions", position_column, positions, position_count) ||
            !convert_alleles(bound[5], "refs", "reference", "variant", refs) ||
            !convert_alleles(bound[6], "alts", "alternate", "variant", alts))
            return nullptr;
        if (refs.size() != position_count || alts.size() != position_count) {
            PyErr_Format(PyExc_ValueError,
                         "columns of different lengths: positions has %zu variants, refs %zu, alts %zu", position_count,
                         refs.size(), alts.size());
            return nullptr;
        }
        if (offset_count != rows + 1) {
            PyErr_Format(PyExc_ValueError, "offsets must hold one number more than there are rows (%zu), got %zu",
                         rows + 1, offset_count);
            return nullptr;
        }
        if (offsets[0] != 0 || offsets[rows] != static_cast<std::int64_t>(position_count)) {
            PyErr_Format(PyExc_ValueError, "offsets must run from 0 to the number of variants (%zu), got %lld to %lld",
                         position_count, static_cast<long long>(offsets[0]), static_cast<long long>(offsets[rows]));
            return nullptr;
        }
        for (std::size_t i = 0; i < rows; ++i) {
            if (offsets[i + 1] < offsets[i]) {
                PyErr_Format(PyExc_ValueError, "row %zu: offsets go down, from %lld to %lld", i,
                             static_cast<long long>(offsets[i]), static_cast<long long>(offsets[i + 1]));
                return nullptr;
            }
        }
        if (!make_variants(positions, refs, alts, "variant", call.variants)) return nullptr;
        for (std::size_t i = 0; i < rows; ++i) {
            for (auto v = offsets[i] + 1; v < offsets[i + 1]; ++v) {
                const core::Variant& before = call.variants[static_cast<std::size_t>(v - 1)];
                const core::Variant& after = call.variants[static_cast<std::size_t>(v)];
                if (after.position >= before.end()) continue;
                Ref shown = allele_text(before.ref, before.ref_size);
                if (shown)
                    PyErr_Format(PyExc_ValueError,
                                 "row %zu: variant %lld (position %lld) overlaps or comes before variant %lld "
                                 "(position %lld, reference allele %R): give a row's variants in order of position, "
                                 "not overlapping",
                                 i, static_cast<long long>(v), static_cast<long long>(after.position + 1),
                                 static_cast<long long>(v - 1), static_cast<long long>(before.position + 1),
                                 shown.get());
                return nullptr;
            }
        }
        call.offsets.assign(offsets, offsets + offset_count);
        call.rc = bound[10];
        call.out = bound[11];
        return fill_variant_rows(call, encoding);
    });
}

const char* const VARIANT_WINDOWS_DOC =
    "variant_windows(source, names, positions, refs, alts, *, length, anchor=None, encoding='one_hot', "
    "check_ref='raise', rc=False, out=None, upper=False, table=None, dtype=None, n_value=0, channels_first=False, "
    "soft_mask='ignore', iupac=False)\n--\n\n"
    "The reference and alternate windows of a table of variants, as a pair (ref, alt): positions are\n"
    "1-based as in a VCF, alleles of A, C, G, T and N with their padding base. The variant's first\n"
    "base sits at offset anchor (length // 2) of both windows; the alternate window carries the\n"
    "variant, cut or extended at the right end to length. check_ref='mask' adds a boolean per row,\n"
    "true where REF matches the genome; 'skip' checks nothing.";

const char* const HAPLOTYPE_WINDOWS_DOC =
    "haplotype_windows(source, names, starts, offsets, positions, refs, alts, *, length, encoding='one_hot', "
    "check_ref='raise', rc=False, out=None, upper=False, table=None, dtype=None, n_value=0, channels_first=False, "
    "soft_mask='ignore', iupac=False)\n--\n\n"
    "Windows of one length with any number of variants applied: row i starts at starts[i] (0-based)\n"
    "and carries the variants offsets[i]:offsets[i + 1], in order of position and not overlapping.\n"
    "check_ref='mask' returns (array, mask), a boolean per variant.";

}  // namespace kelpa::arrays
