// Inside the sequence kernels (sequence.cpp): the tables they share and
// the kernels of each path, which sequence.cpp picks from once by
// kernel_path() (kernels/dispatch.hpp). The portable kernels take any
// length; the vector ones finish with them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/kernels/sequence.hpp"

namespace kelpa::core::sequence_paths {

constexpr std::array<std::uint8_t, 256> make_complement_table() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = 'N';
    constexpr char pairs[] = "ATBVCGDHKMRYSSWWXX";
    for (int i = 0; pairs[i] != '\0'; i += 2) {
        const auto x = static_cast<std::uint8_t>(pairs[i]);
        const auto y = static_cast<std::uint8_t>(pairs[i + 1]);
        table[x] = y;
        table[y] = x;
        table[x | 0x20] = static_cast<std::uint8_t>(y | 0x20);
        table[y | 0x20] = static_cast<std::uint8_t>(x | 0x20);
    }
    table['n'] = 'n';
    return table;
}

// The pairs of COMPLEMENT_TABLE, U (u) made A (a) as well, and every other
// byte kept as it is.
constexpr std::array<std::uint8_t, 256> make_keeping_complement_table() {
    constexpr std::array<std::uint8_t, 256> to_n = make_complement_table();
    std::array<std::uint8_t, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        const bool paired = to_n[byte] != 'N' && to_n[byte] != byte;
        table[byte] = static_cast<std::uint8_t>(paired ? to_n[byte] : byte);
    }
    table['U'] = 'A';
    table['u'] = 'a';
    return table;
}

inline constexpr std::array<std::uint8_t, 256> KEEPING_COMPLEMENT_TABLE = make_keeping_complement_table();

template <ComplementRule rule>
constexpr const std::array<std::uint8_t, 256>& complement_table() {
    return rule == ComplementRule::ToN ? COMPLEMENT_TABLE : KEEPING_COMPLEMENT_TABLE;
}

// gc_iupac weights. The fast path counts in quarters, which is exact for every
// weight but 0.67 and 0.33; those letters (B, V, D, H) end it.
struct IupacLetter {
    char letter;
    double weight;
};
inline constexpr IupacLetter IUPAC_LETTERS[] = {
    {'C', 1.0}, {'G', 1.0}, {'S', 1.0},  {'A', 0.0},  {'T', 0.0},  {'W', 0.0},  {'K', 0.5},  {'M', 0.5},
    {'R', 0.5}, {'Y', 0.5}, {'B', 0.67}, {'V', 0.67}, {'D', 0.33}, {'H', 0.33}, {'N', 0.25},
};

// One byte per byte value: the weight in quarters (bits 0-2), counted (bit 3),
// and a weight that is no whole number of quarters (bit 7).
inline constexpr std::uint8_t IUPAC_QUARTER_BITS = 0x07;
inline constexpr std::uint8_t IUPAC_COUNTED = 0x08;
inline constexpr std::uint8_t IUPAC_THIRDS = 0x80;

constexpr std::array<std::uint8_t, 256> make_iupac_classes() {
    std::array<std::uint8_t, 256> table{};
    for (const auto& [letter, weight] : IUPAC_LETTERS) {
        const double quarters = weight * 4.0;
        const auto whole = static_cast<std::uint8_t>(quarters);
        const auto value = static_cast<std::uint8_t>(IUPAC_COUNTED | (quarters == whole ? whole : IUPAC_THIRDS));
        table[static_cast<std::uint8_t>(letter)] = value;
        table[static_cast<std::uint8_t>(letter | 0x20)] = value;
    }
    return table;
}

inline constexpr std::array<std::uint8_t, 256> IUPAC_CLASS = make_iupac_classes();

// The vector kernels index letters by their low five bits (A = 1 .. Z = 26,
// either case) and send every other byte to index 0. Entry 0 and 27..31 are
// 'N'; a letter's entry is the complement of its lower-case form, and the
// result is ANDed with (byte | 0xDF) so an upper-case letter gets an upper-case
// complement. 'N' has bit 0x20 clear, so it survives either case.
constexpr std::array<std::uint8_t, 32> make_complement_by_index(const std::array<std::uint8_t, 256>& complement) {
    std::array<std::uint8_t, 32> table{};
    for (int index = 0; index < 32; ++index) table[index] = index >= 1 && index <= 26 ? complement['`' + index] : 'N';
    return table;
}

// Quarter weights by letter index; B, V, D, H keep their high bit, which
// the vector kernels test for.
constexpr std::array<std::uint8_t, 32> make_iupac_quarters_by_index() {
    std::array<std::uint8_t, 32> table{};
    for (int index = 1; index <= 26; ++index)
        table[index] = IUPAC_CLASS['@' + index] & (IUPAC_QUARTER_BITS | IUPAC_THIRDS);
    return table;
}

constexpr std::array<std::uint8_t, 32> make_iupac_counted_by_index() {
    std::array<std::uint8_t, 32> table{};
    for (int index = 1; index <= 26; ++index) table[index] = (IUPAC_CLASS['@' + index] & IUPAC_COUNTED) != 0;
    return table;
}

alignas(16) inline constexpr std::array<std::uint8_t, 32> COMPLEMENT_BY_INDEX =
    make_complement_by_index(make_complement_table());
alignas(16) inline constexpr std::array<std::uint8_t, 32> KEEPING_COMPLEMENT_BY_INDEX =
    make_complement_by_index(KEEPING_COMPLEMENT_TABLE);
alignas(16) inline constexpr std::array<std::uint8_t, 32> IUPAC_QUARTERS_BY_INDEX = make_iupac_quarters_by_index();
alignas(16) inline constexpr std::array<std::uint8_t, 32> IUPAC_COUNTED_BY_INDEX = make_iupac_counted_by_index();

struct IupacTally {
    std::uint64_t quarters = 0;
    std::uint64_t count = 0;
};

struct BaseTally {
    std::uint64_t gc = 0;
    std::uint64_t bases = 0;  // A, C, G, T
};

// One path's kernels; each takes any length.
struct Kernels {
    void (*complement)(const char* in, std::size_t n, char* out);
    void (*reverse)(const char* in, std::size_t n, char* out);
    void (*reverse_in_place)(char* data, std::size_t n);
    // By ComplementRule: [ToN], [KeepOthers].
    void (*reverse_complement[2])(const char* in, std::size_t n, char* out);
    void (*reverse_complement_in_place[2])(char* data, std::size_t n);
    void (*to_upper_ascii)(char* data, std::size_t n);
    bool (*is_ascii)(const char* data, std::size_t n);
    void (*count_gc)(const char* data, std::size_t n, BaseTally& tally);     // tally.gc only
    void (*count_bases)(const char* data, std::size_t n, BaseTally& tally);  // both
    // Counts quarters until the end or the first B/V/D/H; returns where it
    // stopped (at or before that letter).
    std::size_t (*gc_iupac_quarters)(const char* data, std::size_t n, IupacTally& tally);
};

// The portable kernels one by one, for the vector paths' tails.
void complement_portable(const char* in, std::size_t n, char* out);
void reverse_portable(const char* in, std::size_t n, char* out);
void reverse_in_place_portable(char* data, std::size_t n);
template <ComplementRule rule>
void reverse_complement_portable(const char* in, std::size_t n, char* out);
template <ComplementRule rule>
void reverse_complement_in_place_portable(char* data, std::size_t n);
void to_upper_ascii_portable(char* data, std::size_t n);
bool is_ascii_portable(const char* data, std::size_t n);
void count_gc_portable(const char* data, std::size_t n, BaseTally& tally);
void count_bases_portable(const char* data, std::size_t n, BaseTally& tally);
std::size_t gc_iupac_quarters_portable(const char* data, std::size_t n, IupacTally& tally);

extern const Kernels PORTABLE;
extern const Kernels X86;   // SSE2 and SSSE3 (sequence_x86.cpp), where built
extern const Kernels NEON;  // sequence_neon.cpp, where built

}  // namespace kelpa::core::sequence_paths
