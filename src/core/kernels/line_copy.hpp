// Copying a record's bases out of the FASTA file's lines: the kernels that
// drop the line breaks. Each takes the path kernels/dispatch.hpp chose (AVX2
// or SSE2 on x86-64, NEON on aarch64, else portable 64-bit words) once, when
// the library is loaded.
#pragma once

#include <cstdint>

namespace kelpa::core {

inline bool is_line_break(int byte) { return byte == '\n' || byte == '\r'; }

// Copies bytes of [in, in_end), dropping CR and LF, until `count` bytes are
// out or the input ends; returns the number copied and leaves `in` just past
// the last byte it used. The vector loops store a whole block and then
// advance the output only past the bytes that belong to it, so a line break
// costs one compare-and-skip instead of a call to memcpy.
std::uint64_t copy_breakless(const char*& in, const char* in_end, char* out, std::uint64_t count);

// Copies `count` bases from `in`, `column` bases into a line of `lenc` bases
// followed by `gap` bytes (1 or 2) of line break, line by line: each line's
// bases go out in wide moves, checked to hold no line break, and the bytes
// between two lines are checked to be breaks. Every byte read lies before
// the last base. True when the lines were as laid out: then `out` holds what
// copy_breakless() gives. Otherwise (a stray break, a line of another
// length) `out` holds a part, and the general copy finds out what the file
// holds.
bool copy_lines(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap, std::uint64_t count,
                char* out);

}  // namespace kelpa::core
