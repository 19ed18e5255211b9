// Windows with variants applied: the reference and alternate windows of a
// table of variants, and haplotype windows with any number of variants per
// row. Both are rows of one applier, beside the array sinks
// (array_sinks.hpp), whose row targets and encoders they share.
//
// A variant replaces `ref_size` bases of its record from `position` (0-based)
// by its alternate allele: base i of ALT stands for base i of REF; ALT bases
// past REF's length are inserted after the last such base, and REF bases
// past ALT's length are deleted.
//
// A row's window is [start, start + length) in reference coordinates, read
// on the haplotype: it begins at the base that reference position `start`
// becomes (the first base after a deletion that covers it; bases inserted
// between start - 1 and start are not in it), and holds `length` bases, cut
// or extended at the right end. A variant that begins before `start` or runs
// past the window's end is applied and cut at its edges. The parts before
// the record's first base and after its last are padding (RowEncoder); a
// variant that begins past the record's last base is not applied (its
// reference allele never matches).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/base/error.hpp"
#include "core/batch/array_sinks.hpp"
#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"

namespace kelpa::core {

struct Variant {
    std::uint64_t position = 0;  // 0-based, the first base of REF
    const char* ref = nullptr;   // upper-case A, C, G, T or N
    const char* alt = nullptr;
    std::uint32_t ref_size = 0;  // at least 1 each
    std::uint32_t alt_size = 0;
    std::uint64_t end() const { return position + ref_size; }
};

// Rows of windows of one length, on records that exist: row i is
// windows[i] (window_request(name, entry, start, start + length)) with
// variants[offsets[i], offsets[i + 1]) applied, in order of position and
// not overlapping (the caller checked).
struct HaplotypeRows {
    std::span<const RegionRequest> windows;
    std::span<const Variant> variants;
    const std::int64_t* offsets = nullptr;  // windows.size() + 1 numbers, from 0
    std::size_t length = 0;
};

// Where a window begins and how much of it is the record's text.
struct Assembled {
    std::size_t before = 0;  // padding before the record's first base
    std::size_t count = 0;   // bases written; the rest (length - before - count) is padding after
};

// Writes the bases of the window [start, start + length) of a record of
// `rlen` bases with `variants` applied at `out` (room for length - before
// bytes). `text` holds the record's bases from `text_lo`, `text_size` of
// them: all the window reads.
Assembled assemble(const char* text, std::uint64_t text_lo, std::uint64_t text_size, std::int64_t start,
                   std::size_t length, std::uint64_t rlen, std::span<const Variant> variants, char* out);

// A reference allele that is not the genome's: the variant's index, and
// the bases found at its place (fewer than REF's when the record ends first).
struct AlleleMismatch {
    std::size_t variant = 0;
    std::string found;
};

// Compares every variant's reference allele with its record, ignoring case,
// reading only the alleles' places: mask[v] (when not nullptr) is 1 where
// they are equal, 0 where not. Returns the lowest mismatch, if any; an error
// when a read failed.
Result<std::optional<AlleleMismatch>> check_alleles(const Faidx& faidx, const HaplotypeRows& rows, std::uint8_t* mask,
                                                    Executor executor);

// Fills row i of `haplotype` with row i's window, variants applied, and,
// when `reference` is given, row i of it with the same window as the
// reference has it: both from one read of the text. With `mask`, each
// variant's reference allele is compared with that text as check_alleles
// compares it (mask[v] 1 where equal). Each target's length is
// rows.length. An error when a read failed; the rows are then partly
// written.
Status fill_haplotypes(const Faidx& faidx, const HaplotypeRows& rows, const RowTarget* reference,
                       const RowTarget& haplotype, std::uint8_t* mask, Executor executor);

}  // namespace kelpa::core
