#include "arrays/variants_args.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "arrays/numpy_api.hpp"
#include "arrays/windows_args.hpp"
#include "binding/args.hpp"

namespace kelpa::arrays {

using py::Ref;

namespace {

// The length in bytes of the UTF-8 character that starts with `lead`.
std::size_t utf8_width(unsigned char lead) {
    if (lead >= 0xf0) return 4;
    if (lead >= 0xe0) return 3;
    if (lead >= 0xc0) return 2;
    return 1;
}

// Each base's upper-case letter, 0 for any other byte.
constexpr std::array<char, 256> BASES = [] {
    std::array<char, 256> table{};
    for (const char base : {'A', 'C', 'G', 'T', 'N'}) {
        table[static_cast<unsigned char>(base)] = base;
        table[static_cast<unsigned char>(base | 0x20)] = base;
    }
    return table;
}();

// Appends an allele of characters (bytes, or UCS-4 points) upper-cased
// when it is one or more bases; false, with nothing appended, otherwise.
template <class Char>
bool add_bases(const Char* allele, std::size_t size, Alleles& out) {
    if (size == 0) return false;
    const std::size_t at = out.bytes.size();
    out.bytes.resize(at + size);
    char* to = out.bytes.data() + at;
    for (std::size_t b = 0; b < size; ++b) {
        const auto point = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(allele[b]));
        const char base = point < 256 ? BASES[point] : 0;
        if (base == 0) {
            out.bytes.resize(at);
            return false;
        }
        to[b] = base;
    }
    out.at.push_back(out.bytes.size());
    return true;
}

// Checks one allele (UTF-8) and appends it upper-cased; the refusal names what is wrong.
bool add_allele(std::string_view allele, std::size_t k, const char* what, const char* label, Alleles& out) {
    if (add_bases(allele.data(), allele.size(), out)) return true;
    const auto refuse = [&](const char* format, PyObject* detail) {
        Ref shown = allele_text(allele.data(), allele.size());
        if (!shown) return false;
        std::string message = std::string(label) + " %zu: the " + what + " allele " + format;
        if (detail != nullptr) PyErr_Format(PyExc_ValueError, message.c_str(), k, shown.get(), detail);
        else PyErr_Format(PyExc_ValueError, message.c_str(), k, shown.get());
        return false;
    };
    if (allele.empty() || allele == "-")
        return refuse("%R is empty (give alleles as a VCF does, with their padding base)", nullptr);
    if (allele.front() == '<' || allele == "*" || allele == "." || allele.find_first_of("[]") != std::string_view::npos)
        return refuse("%R is symbolic (only alleles of A, C, G, T and N are applied)", nullptr);
    if (allele.find(',') != std::string_view::npos)
        return refuse("%R holds several alleles (split multi-allelic sites first)", nullptr);
    std::size_t b = 0;
    while (BASES[static_cast<unsigned char>(allele[b])] != 0) ++b;  // add_bases found a byte that is not
    const std::size_t width = std::min(utf8_width(static_cast<unsigned char>(allele[b])), allele.size() - b);
    Ref bad(PyUnicode_DecodeUTF8(allele.data() + b, static_cast<Py_ssize_t>(width), "replace"));
    if (!bad) return false;
    return refuse("%R has %R, which is not A, C, G, T or N", bad.get());
}

// Whether `size` bytes at `data` are all zero: compared with a block of
// zeros, by the C library's vector code.
bool all_zero(const char* data, std::size_t size) {
    static constexpr char ZEROS[256] = {};
    for (std::size_t at = 0; at < size; at += sizeof ZEROS) {
        if (std::memcmp(data + at, ZEROS, std::min(sizeof ZEROS, size - at)) != 0) return false;
    }
    return true;
}

bool add_object(PyObject* item, std::size_t k, const char* param, const char* what, const char* label, Alleles& out) {
    if (PyUnicode_Check(item)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        return utf8 != nullptr &&
               add_allele(std::string_view(utf8, static_cast<std::size_t>(size)), k, what, label, out);
    }
    if (PyBytes_Check(item))
        return add_allele(std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))),
                          k, what, label, out);
    PyErr_Format(PyExc_TypeError, "argument '%s': %s %zu: expected str or bytes, got '%s'", param, label, k,
                 Py_TYPE(item)->tp_name);
    return false;
}

}  // namespace

Ref allele_text(const char* bytes, std::size_t size) {
    return Ref(PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(size), "replace"));
}

bool convert_alleles(PyObject* column, const char* param, const char* what, const char* label, Alleles& out) {
    out.bytes.clear();
    out.at.assign(1, 0);
    if (PyUnicode_Check(column) || PyBytes_Check(column)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of alleles, got '%s'", param,
                     Py_TYPE(column)->tp_name);
        return false;
    }
    if (PyList_Check(column) || PyTuple_Check(column)) {
        Ref snapshot = py::item_snapshot(column);
        if (!snapshot) return false;
        const Py_ssize_t count = PyTuple_GET_SIZE(snapshot.get());
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (!add_object(PyTuple_GET_ITEM(snapshot.get(), k), static_cast<std::size_t>(k), param, what, label, out))
                return false;
        }
        return true;
    }
    Ref array_ref(typed_column(column, param, "USO", "str or bytes alleles"));
    if (!array_ref) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(array_ref.get());
    const std::size_t count = static_cast<std::size_t>(PyArray_SIZE(array));
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const std::size_t itemsize = static_cast<std::size_t>(PyArray_ITEMSIZE(array));
    const char kind = PyArray_DESCR(array)->kind;
    out.bytes.reserve(count * 2);
    out.at.reserve(count + 1);
    std::string narrow;
    for (std::size_t k = 0; k < count; ++k) {
        const char* item = data + k * itemsize;
        if (kind == 'O') {
            if (!add_object(*reinterpret_cast<PyObject* const*>(item), k, param, what, label, out)) return false;
        } else if (kind == 'S') {
            std::string_view allele(item, itemsize);
            const std::size_t nul = allele.find('\0');
            if (nul != std::string_view::npos) {
                if (all_zero(item + nul, itemsize - nul)) allele = allele.substr(0, nul);
                while (!allele.empty() && allele.back() == '\0') allele.remove_suffix(1);
            }
            if (!add_allele(allele, k, what, label, out)) return false;
        } else if (kind == 'U') {
            // Fixed-width UCS-4: an ASCII allele is narrowed here; any other
            // is refused, through a str of its own for the message.
            // Alleles are short beside the column's width: up to the first
            // NUL, and the rest compared with zeros for a NUL inside one.
            auto* points = reinterpret_cast<const Py_UCS4*>(item);
            const std::size_t width = itemsize / 4;
            std::size_t size = 0;
            while (size < width && points[size] != 0) ++size;
            const bool rest = !all_zero(item + size * 4, (width - size) * 4);
            if (rest) {
                size = width;
                while (points[size - 1] == 0) --size;
            }
            if (!rest && add_bases(points, size, out)) continue;
            narrow.clear();
            bool ascii = !rest;
            for (std::size_t p = 0; p < size && ascii; ++p) {
                ascii = points[p] < 128;
                narrow.push_back(static_cast<char>(points[p]));
            }
            if (!ascii) {
                Ref text(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points, static_cast<Py_ssize_t>(size)));
                if (!text || !add_object(text.get(), k, param, what, label, out)) return false;
                continue;
            }
            if (!add_allele(narrow, k, what, label, out)) return false;
        }
    }
    return true;
}

bool make_variants(const std::int64_t* positions, const Alleles& refs, const Alleles& alts, const char* label,
                   std::vector<core::Variant>& out) {
    const std::size_t count = refs.size();
    out.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (positions[k] < 1) {
            PyErr_Format(PyExc_ValueError, "%s %zu: position %lld is below 1 (positions are 1-based, as in a VCF)",
                         label, k, static_cast<long long>(positions[k]));
            return false;
        }
        core::Variant& variant = out[k];
        variant.position = static_cast<std::uint64_t>(positions[k] - 1);
        variant.ref = refs.bytes.data() + refs.at[k];
        variant.alt = alts.bytes.data() + alts.at[k];
        const std::uint64_t ref_size = refs.at[k + 1] - refs.at[k];
        const std::uint64_t alt_size = alts.at[k + 1] - alts.at[k];
        if (ref_size > UINT32_MAX || alt_size > UINT32_MAX) {
            PyErr_Format(PyExc_ValueError, "%s %zu: an allele of more than %u bases", label, k, UINT32_MAX);
            return false;
        }
        variant.ref_size = static_cast<std::uint32_t>(ref_size);
        variant.alt_size = static_cast<std::uint32_t>(alt_size);
    }
    return true;
}

bool convert_check_ref(PyObject* value, CheckRef& out) {
    out = CheckRef::Raise;
    if (value == nullptr) return true;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "raise") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(value, "mask") == 0) {
            out = CheckRef::Mask;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(value, "skip") == 0) {
            out = CheckRef::Skip;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "check_ref must be 'raise', 'mask' or 'skip', got %R", value);
    return false;
}

}  // namespace kelpa::arrays
