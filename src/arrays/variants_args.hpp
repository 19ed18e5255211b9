// The variant columns of kelpa_arrays.variant_windows and
// haplotype_windows: positions as in a VCF (1-based, the first base of
// REF) and alleles of A, C, G, T and N, checked and upper-cased, read from
// arrays without a Python object per row.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "core/batch/haplotypes.hpp"

namespace kelpa::arrays {

// Every allele of a column, upper-cased, back to back: allele k is
// bytes[at[k], at[k + 1]).
struct Alleles {
    std::string bytes;
    std::vector<std::uint64_t> at;
    std::size_t size() const { return at.empty() ? 0 : at.size() - 1; }
};

// The column `param` ("refs" or "alts"): str, bytes, or a list or array of
// either. An allele that is not one or more of A, C, G, T and N (either
// case) is refused as "<label> <k>: the <what> allele ...", `what` being
// "reference" or "alternate" and `label` "row" or "variant".
bool convert_alleles(PyObject* column, const char* param, const char* what, const char* label, Alleles& out);

// The variants of positions, refs and alts, every position at least 1 (the
// errors name `label` k); the alleles point into `refs` and `alts`.
bool make_variants(const std::int64_t* positions, const Alleles& refs, const Alleles& alts, const char* label,
                   std::vector<core::Variant>& out);

// check_ref: "raise", "mask" or "skip".
enum class CheckRef : std::uint8_t { Raise, Mask, Skip };
bool convert_check_ref(PyObject* value, CheckRef& out);

// An allele as a str for a message (nullptr with the exception set).
py::Ref allele_text(const char* bytes, std::size_t size);

}  // namespace kelpa::arrays
