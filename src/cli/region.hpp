// Regions as samtools writes them, resolved against the index's names:
//
//   NAME              the whole record
//   NAME:START        from START to the record's end
//   NAME:START-END    1-based, inclusive
//   NAME:-END         from the first base
//   NAME:START-       from START to the record's end, as is an END of 0
//
// A START of 0 (or none, as in "NAME:-") with a '-' after it makes an empty
// region, which samtools prints as an empty record; "NAME:0" alone is the
// whole record. Positions are decimal, with an optional '+' and blanks
// before them, and may hold thousands separators ("chr1:1,000-2,000"), a
// fraction, an exponent and a k, M or G suffix ("1.5k" is 1500, "2e6" and
// "2M" are 2000000); a fractional part left over is dropped. A position
// larger than 2**64 - 1 is taken as that, past the end of any record.
//
// A name may itself contain ':': the whole text is a name when the index
// holds it (and the part before its last ':' is not a name too, which makes
// it ambiguous), else the text after the last ':' is the range. Braces
// quote a name: "{HLA:01}:5-9".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/index/index_file.hpp"

namespace kelpa::cli {

struct Region {
    std::string_view name;
    const core::IndexEntry* entry = nullptr;
    std::uint64_t start = 1;  // 0: an empty region
    std::uint64_t end = 0;    // inclusive; the record's length when not given
    std::string_view inexact;  // a position whose fractional part was dropped, for a warning
};

// False, with `error` set to the one-line reason, when `text` names no
// record of `table` or is not a region. `fasta` names the file in messages.
bool parse_region(std::string_view text, const core::NameTable& table, const std::string& fasta, Region& region,
                  std::string& error);

}  // namespace kelpa::cli
