// Small text helpers shared by the index reader and builder.
//
// "White_Space" below is the Unicode property, exactly this set:
// U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000. The helpers never read outside `text`;
// on text that is not valid UTF-8 they give some answer but do not fail,
// so callers validate first where validity matters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelpa::core {

// What the bytes of a FASTA file, and of its index, are read as.
//   Utf8   text: anything that is not valid UTF-8 is refused, and a name
//          ends at White_Space (the module, whose names and texts are str);
//   Bytes  any bytes, none refused: a name ends at ASCII whitespace
//          (0x09..0x0D, 0x20), the bytes samtools cuts names at (the
//          program, which prints the file's bytes as they are).
enum class Encoding : std::uint8_t { Utf8, Bytes };

// Whether `byte` is ASCII whitespace: 0x09..0x0D or 0x20.
inline bool is_ascii_whitespace(unsigned char byte) { return byte == ' ' || (byte >= 0x09 && byte <= 0x0D); }

// Length in bytes (1, 2 or 3) of a White_Space character at the start of
// `text` (UTF-8), or 0 when it starts with anything else or is empty.
std::size_t whitespace_prefix(std::string_view text);
// Same, for a White_Space character ending `text`.
std::size_t whitespace_suffix(std::string_view text);
// `text` with White_Space characters removed from both ends.
std::string_view trim_whitespace(std::string_view text);
// `text` with ASCII whitespace removed from both ends.
std::string_view trim_ascii_whitespace(std::string_view text);

// An unsigned decimal: an optional '+', then one or more ASCII digits
// (leading zeros allowed), value at most 2^64 - 1. Anything else gives nothing.
std::optional<std::uint64_t> parse_u64(std::string_view text);

// The offset of the first byte of `text` that does not begin a complete,
// valid UTF-8 character, or text.size() when all of it is valid. Valid means
// what Rust's str accepts: shortest forms only, no surrogates (U+D800..U+DFFF),
// nothing above U+10FFFF. A character cut off by the end of `text` counts as
// invalid. Runs of ASCII are checked a word at a time.
std::size_t valid_utf8_prefix(std::string_view text);

}  // namespace kelpa::core
