// Byte-wise sequence kernels: complement, reverse, reverse complement,
// slicing arithmetic and GC content.
//
// Every routine works on raw bytes, one byte per base, and never allocates:
// callers size the output (always the input length for the transforms).
// The Python binding writes the output straight into a new str.
//
// Each kernel runs the path that kernels/dispatch.hpp chose: SSE2 and
// SSSE3 on x86-64, NEON on aarch64 (for the byte shuffles; the counting
// kernels are portable there), or the portable kernels. Every path gives
// the same bytes and bit-identical doubles. Pointers need no alignment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelpa::core {

// Complement of every byte value. A/T, C/G, B/V, D/H, K/M, R/Y pair up,
// S, W, X and n map to themselves, case is kept for those letters, and
// every other byte (N, digits, gaps, E, F, I, ..., bytes >= 128) maps to 'N'.
extern const std::array<std::uint8_t, 256> COMPLEMENT_TABLE;

// out[i] = COMPLEMENT_TABLE[in[i]]. out may equal in.
void complement(const char* in, std::size_t n, char* out);
// out[i] = in[n - 1 - i]. out must not overlap in.
void reverse(const char* in, std::size_t n, char* out);
void reverse_in_place(char* data, std::size_t n);
// The two complements of a reverse complement.
enum class ComplementRule : std::uint8_t {
    ToN,         // COMPLEMENT_TABLE: what the module's values hold
    KeepOthers,  // the same pairs, U and u made A and a, and every other byte
                 // kept as it is: what samtools and bedtools print, and so
                 // what the kelpa program prints
};

// out[i] = complement of in[n - 1 - i] (by `rule`). out must not overlap in.
void reverse_complement(const char* in, std::size_t n, char* out, ComplementRule rule = ComplementRule::ToN);
// Reverse complement in place.
void reverse_complement_in_place(char* data, std::size_t n, ComplementRule rule = ComplementRule::ToN);

// Upper-case 'a'..'z' in place; every other byte stays.
void to_upper_ascii(char* data, std::size_t n);
// True when no byte has its high bit set.
bool is_ascii(const char* data, std::size_t n);
// True when the bytes are valid UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid_utf8(const char* data, std::size_t n);

// GC content. Counts are 64-bit, so texts beyond 2^31 bases are exact.
// Share of all bytes that are G or C (either case); 0.0 for an empty text.
double gc_fraction(const char* data, std::size_t n);
// Share of A/C/G/T bytes (either case) that are G or C; 0.0 without bases.
double gc_strict_fraction(const char* data, std::size_t n);
// Mean IUPAC weight (C/G/S 1, A/T/W 0, K/M/R/Y 0.5, B/V 0.67, D/H 0.33, N 0.25)
// over the letters of that table, case folded. The sum is the in-order double
// sum of the weights, bit for bit; 0.0 when no letter counts. Exact integer
// counting gives that sum until the first B, V, D or H; from there on the sum
// is taken one letter at a time, roughly ten times slower.
double gc_iupac_fraction(const char* data, std::size_t n);

// The bytes and coordinate range a slice selects, for a text of `length`
// bytes and a slice already normalised by the interpreter's slice rules
// (start a, stop b, step k != 0, as slice.indices gives them; k == 0 selects
// nothing, with lo = hx = 0).
//
// The selected bytes are first, first + step, ... (count of them). The
// covered range [lo, hx) is what the coordinates of the result describe:
// start + lo .. start + hx - 1, wrapping modulo 2^64.
// Departures from str slicing, kept for compatibility: with k < 0 a
// normalised start of -1 reads from the last byte, and the coordinates of a
// stepped slice span the whole covered range.
struct SlicePlan {
    std::int64_t first;  // index of the first selected byte (when count > 0)
    std::int64_t step;
    std::size_t count;   // number of selected bytes
    std::uint64_t lo;
    std::uint64_t hx;
};
SlicePlan plan_slice(std::size_t length, std::int64_t a, std::int64_t b, std::int64_t k);

// Copies the bytes a plan selects into out (plan.count bytes).
void gather_slice(const char* in, const SlicePlan& plan, char* out);

}  // namespace kelpa::core
