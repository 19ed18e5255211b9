#include "core/kernels/sequence.hpp"

#include "core/base/utf8.hpp"

#include <algorithm>
#include <cstring>

// The kernels that need a byte shuffle (complement, reverse complement,
// gc_iupac) also have an SSSE3 version (kernels/cpu.hpp). On a 100 MB text they are
// bound by memory, and an AVX2 version was only about 10% faster: not worth a
// second copy of each kernel.
#include "core/kernels/cpu.hpp"

namespace kelpa::core {

namespace {

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

// gc_iupac weights. The fast path counts in quarters, which is exact for every
// weight but 0.67 and 0.33; those letters (B, V, D, H) end it.
struct IupacLetter {
    char letter;
    double weight;
};
constexpr IupacLetter IUPAC_LETTERS[] = {
    {'C', 1.0}, {'G', 1.0}, {'S', 1.0},  {'A', 0.0},  {'T', 0.0},  {'W', 0.0},  {'K', 0.5},  {'M', 0.5},
    {'R', 0.5}, {'Y', 0.5}, {'B', 0.67}, {'V', 0.67}, {'D', 0.33}, {'H', 0.33}, {'N', 0.25},
};

// One byte per byte value: the weight in quarters (bits 0-2), counted (bit 3),
// and a weight that is no whole number of quarters (bit 7).
constexpr std::uint8_t IUPAC_QUARTER_BITS = 0x07;
constexpr std::uint8_t IUPAC_COUNTED = 0x08;
constexpr std::uint8_t IUPAC_THIRDS = 0x80;

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

constexpr std::array<double, 256> make_iupac_weights() {
    std::array<double, 256> table{};
    for (const auto& [letter, weight] : IUPAC_LETTERS) {
        table[static_cast<std::uint8_t>(letter)] = weight;
        table[static_cast<std::uint8_t>(letter | 0x20)] = weight;
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> IUPAC_CLASS = make_iupac_classes();
constexpr std::array<double, 256> IUPAC_WEIGHT = make_iupac_weights();

// The scalar counting loops add one 64-bit word per byte with two 32-bit
// counters in it, low and high, and empty it at least every 2^30 bytes.
constexpr std::size_t PACKED_CHUNK = std::size_t{1} << 30;
constexpr std::uint64_t LOW_HALF = 0xFFFFFFFF;

// gc_iupac: letters counted (low) and quarters (high).
constexpr std::array<std::uint64_t, 256> make_iupac_packed() {
    std::array<std::uint64_t, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        const std::uint8_t value = IUPAC_CLASS[byte];
        if (value & IUPAC_THIRDS) continue;
        table[byte] = ((value & IUPAC_COUNTED) != 0) | static_cast<std::uint64_t>(value & IUPAC_QUARTER_BITS) << 32;
    }
    return table;
}

// gc and gc_strict: A/C/G/T bytes (low) and C/G bytes (high), either case.
constexpr std::array<std::uint64_t, 256> make_base_packed() {
    std::array<std::uint64_t, 256> table{};
    for (const char base : {'A', 'T'}) table[base] = table[base | 0x20] = 1;
    for (const char base : {'C', 'G'}) table[base] = table[base | 0x20] = 1 | std::uint64_t{1} << 32;
    return table;
}

constexpr std::array<std::uint64_t, 256> IUPAC_PACKED = make_iupac_packed();
constexpr std::array<std::uint64_t, 256> BASE_PACKED = make_base_packed();

inline std::uint8_t byte_at(const char* p, std::size_t i) { return static_cast<std::uint8_t>(p[i]); }

}  // namespace

constexpr std::array<std::uint8_t, 256> COMPLEMENT_TABLE = make_complement_table();
constexpr std::array<std::uint8_t, 256> KEEPING_COMPLEMENT_TABLE = make_keeping_complement_table();

namespace {

// The shuffle kernels index letters by their low five bits (A = 1 .. Z = 26,
// either case) and send every other byte to index 0. Entry 0 and 27..31 are
// 'N'; a letter's entry is the complement of its lower-case form, and the
// result is ANDed with (byte | 0xDF) so an upper-case letter gets an upper-case
// complement. 'N' has bit 0x20 clear, so it survives either case.
constexpr std::array<std::uint8_t, 32> make_complement_by_index(const std::array<std::uint8_t, 256>& complement) {
    std::array<std::uint8_t, 32> table{};
    for (int index = 0; index < 32; ++index) table[index] = index >= 1 && index <= 26 ? complement['`' + index] : 'N';
    return table;
}

// Quarter weights by letter index; B, V, D, H keep their high bit so that a
// movemask finds them.
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

alignas(16) constexpr std::array<std::uint8_t, 32> COMPLEMENT_BY_INDEX = make_complement_by_index(COMPLEMENT_TABLE);
alignas(16) constexpr std::array<std::uint8_t, 32> KEEPING_COMPLEMENT_BY_INDEX =
    make_complement_by_index(KEEPING_COMPLEMENT_TABLE);
alignas(16) constexpr std::array<std::uint8_t, 32> IUPAC_QUARTERS_BY_INDEX = make_iupac_quarters_by_index();
alignas(16) constexpr std::array<std::uint8_t, 32> IUPAC_COUNTED_BY_INDEX = make_iupac_counted_by_index();

// ---------------------------------------------------------------------------
// Scalar kernels: the tails of the vector loops and the whole job off x86.

// The scalar kernels move eight bytes at a time as one 64-bit word: through
// char pointers the compiler must assume that each store may change the next
// input byte, and a byte array on the stack stalls store forwarding.
constexpr std::size_t WORD = 8;

inline std::uint64_t load_word(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, WORD);
    return word;
}

inline void store_word(char* p, std::uint64_t word) { std::memcpy(p, &word, WORD); }

template <ComplementRule rule>
constexpr const std::array<std::uint8_t, 256>& complement_table() {
    return rule == ComplementRule::ToN ? COMPLEMENT_TABLE : KEEPING_COMPLEMENT_TABLE;
}

// Complements each byte of the word where it stands, so byte order does not matter.
template <ComplementRule rule = ComplementRule::ToN>
inline std::uint64_t complement_word(std::uint64_t word) {
    std::uint64_t result = 0;
#pragma GCC unroll 8
    for (unsigned shift = 0; shift < 64; shift += 8)
        result |= std::uint64_t{complement_table<rule>()[(word >> shift) & 0xFF]} << shift;
    return result;
}

void complement_scalar(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + WORD <= n; i += WORD) store_word(out + i, complement_word(load_word(in + i)));
    for (; i < n; ++i) out[i] = static_cast<char>(COMPLEMENT_TABLE[byte_at(in, i)]);
}

template <ComplementRule rule>
void reverse_complement_scalar(const char* in, std::size_t n, char* out) {
    constexpr const auto& table = complement_table<rule>();
    std::size_t i = 0;
    for (; i + WORD <= n; i += WORD)
        store_word(out + i, complement_word<rule>(__builtin_bswap64(load_word(in + n - WORD - i))));
    for (; i < n; ++i) out[i] = static_cast<char>(table[byte_at(in, n - 1 - i)]);
}

// Reverse-complements data[i, j) in place.
template <ComplementRule rule>
void reverse_complement_in_place_scalar(char* data, std::size_t i, std::size_t j) {
    constexpr const auto& table = complement_table<rule>();
    for (; j - i >= 2 * WORD; i += WORD, j -= WORD) {
        const std::uint64_t front = load_word(data + i);
        const std::uint64_t back = load_word(data + j - WORD);
        store_word(data + i, complement_word<rule>(__builtin_bswap64(back)));
        store_word(data + j - WORD, complement_word<rule>(__builtin_bswap64(front)));
    }
    for (; i + 1 < j; ++i, --j) {
        const std::uint8_t front = byte_at(data, i);
        data[i] = static_cast<char>(table[byte_at(data, j - 1)]);
        data[j - 1] = static_cast<char>(table[front]);
    }
    if (i < j) data[i] = static_cast<char>(table[byte_at(data, i)]);
}

struct IupacTally {
    std::uint64_t quarters = 0;
    std::uint64_t count = 0;
};

// Counts quarters from `i` until the end or the first B/V/D/H; returns where it stopped.
std::size_t gc_iupac_quarters_scalar(const char* data, std::size_t i, std::size_t n, IupacTally& tally) {
    bool thirds_seen = false;
    while (i + WORD <= n && !thirds_seen) {
        const std::size_t chunk_end = i + std::min(n - i, PACKED_CHUNK);
        std::uint64_t packed = 0;
        for (; i + WORD <= chunk_end; i += WORD) {
            std::uint8_t classes = 0;
            std::uint64_t word_packed = 0;
#pragma GCC unroll 8
            for (std::size_t k = 0; k < WORD; ++k) {
                classes |= IUPAC_CLASS[byte_at(data, i + k)];
                word_packed += IUPAC_PACKED[byte_at(data, i + k)];
            }
            if (classes & IUPAC_THIRDS) {
                thirds_seen = true;
                break;
            }
            packed += word_packed;
        }
        tally.count += packed & LOW_HALF;
        tally.quarters += packed >> 32;
    }
    for (; i < n; ++i) {
        const std::uint8_t value = IUPAC_CLASS[byte_at(data, i)];
        if (value & IUPAC_THIRDS) break;
        tally.quarters += value & IUPAC_QUARTER_BITS;
        tally.count += (value & IUPAC_COUNTED) != 0;
    }
    return i;
}

struct BaseTally {
    std::uint64_t gc = 0;
    std::uint64_t bases = 0;  // A, C, G, T
};

void count_bases_scalar(const char* data, std::size_t n, BaseTally& tally) {
    for (std::size_t i = 0; i < n;) {
        const std::size_t chunk_end = i + std::min(n - i, PACKED_CHUNK);
        std::uint64_t packed = 0;
        for (; i < chunk_end; ++i) packed += BASE_PACKED[byte_at(data, i)];
        tally.bases += packed & LOW_HALF;
        tally.gc += packed >> 32;
    }
}

// ---------------------------------------------------------------------------
// SSE2 kernels (always available on x86-64).

#if defined(__SSE2__)

inline __m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store16(char* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

inline __m128i reverse_block_sse2(__m128i v) {
    v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// 0xFF where the byte is 'C', 'G', 'c' or 'g': (byte - 67) has no bit outside 0x24, i.e. none in 0xDB.
inline __m128i gc_mask(__m128i v) {
    const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(67));
    return _mm_cmpeq_epi8(_mm_and_si128(shifted, _mm_set1_epi8(static_cast<char>(0xDB))), _mm_setzero_si128());
}

// 0xFF where the byte is an ASCII letter; the test works for bytes >= 128 too.
inline __m128i letter_mask(__m128i v) {
    const __m128i offset = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    return _mm_cmpeq_epi8(_mm_subs_epu8(offset, _mm_set1_epi8(25)), _mm_setzero_si128());
}

// Sums the bytes of `v` into the two 64-bit lanes of `total`.
inline __m128i add_byte_sums(__m128i total, __m128i v) {
    return _mm_add_epi64(total, _mm_sad_epu8(v, _mm_setzero_si128()));
}

inline std::uint64_t horizontal_sum(__m128i total) {
    std::uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), total);
    return lanes[0] + lanes[1];
}

// Byte counters are subtracted from (a mask is -1) at most 255 times before they
// are folded into 64-bit sums.
constexpr std::size_t BYTE_COUNTER_ROUNDS = 255;

// Counts C/G bytes (only tally.gc) in whole 16-byte blocks; returns the bytes consumed.
std::size_t count_gc_sse2(const char* data, std::size_t n, BaseTally& tally) {
    std::size_t i = 0;
    __m128i sums = _mm_setzero_si128();
    while (i + 16 <= n) {
        __m128i counts = _mm_setzero_si128();
        for (std::size_t round = 0; round < BYTE_COUNTER_ROUNDS && i + 16 <= n; ++round, i += 16)
            counts = _mm_sub_epi8(counts, gc_mask(load16(data + i)));
        sums = add_byte_sums(sums, counts);
    }
    tally.gc += horizontal_sum(sums);
    return i;
}

// Counts C/G and A/C/G/T bytes in whole 16-byte blocks; returns the bytes consumed.
std::size_t count_bases_sse2(const char* data, std::size_t n, BaseTally& tally) {
    std::size_t i = 0;
    __m128i gc_sums = _mm_setzero_si128();
    __m128i base_sums = _mm_setzero_si128();
    while (i + 16 <= n) {
        __m128i gc_counts = _mm_setzero_si128();
        __m128i base_counts = _mm_setzero_si128();
        for (std::size_t round = 0; round < BYTE_COUNTER_ROUNDS && i + 16 <= n; ++round, i += 16) {
            const __m128i v = load16(data + i);
            const __m128i upper = _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xDF)));
            const __m128i is_gc = gc_mask(v);
            const __m128i is_at =
                _mm_or_si128(_mm_cmpeq_epi8(upper, _mm_set1_epi8('A')), _mm_cmpeq_epi8(upper, _mm_set1_epi8('T')));
            gc_counts = _mm_sub_epi8(gc_counts, is_gc);
            base_counts = _mm_sub_epi8(base_counts, _mm_or_si128(is_gc, is_at));
        }
        gc_sums = add_byte_sums(gc_sums, gc_counts);
        base_sums = add_byte_sums(base_sums, base_counts);
    }
    tally.gc += horizontal_sum(gc_sums);
    tally.bases += horizontal_sum(base_sums);
    return i;
}

#endif  // __SSE2__

// ---------------------------------------------------------------------------
// SSSE3 kernels, used when the CPU has it.

#if defined(KELPA_HAVE_SSSE3_PATH)

// Looks a letter index (0..31) up in a 32-entry table: pshufb reads only the low
// four bits and yields 0 when the high bit is set, so biasing the index by 0x70
// selects the first half and flipping the high bit of that selects the second.
KELPA_SSSE3 inline __m128i lookup32(const std::array<std::uint8_t, 32>& table, __m128i index) {
    const __m128i first = _mm_load_si128(reinterpret_cast<const __m128i*>(table.data()));
    const __m128i second = _mm_load_si128(reinterpret_cast<const __m128i*>(table.data() + 16));
    const __m128i biased = _mm_add_epi8(index, _mm_set1_epi8(0x70));
    return _mm_or_si128(_mm_shuffle_epi8(first, biased),
                        _mm_shuffle_epi8(second, _mm_xor_si128(biased, _mm_set1_epi8(static_cast<char>(0x80)))));
}

// Letters give their low five bits, every other byte 0.
KELPA_SSSE3 inline __m128i letter_index(__m128i v) {
    return _mm_and_si128(_mm_and_si128(v, _mm_set1_epi8(0x1F)), letter_mask(v));
}

template <ComplementRule rule = ComplementRule::ToN>
KELPA_SSSE3 inline __m128i complement_block(__m128i v) {
    if constexpr (rule == ComplementRule::ToN) {
        const __m128i looked_up = lookup32(COMPLEMENT_BY_INDEX, letter_index(v));
        return _mm_and_si128(looked_up, _mm_or_si128(v, _mm_set1_epi8(static_cast<char>(0xDF))));
    } else {
        // Letters as above; every other byte stays.
        const __m128i letters = letter_mask(v);
        const __m128i index = _mm_and_si128(_mm_and_si128(v, _mm_set1_epi8(0x1F)), letters);
        const __m128i looked_up = lookup32(KEEPING_COMPLEMENT_BY_INDEX, index);
        const __m128i cased = _mm_and_si128(looked_up, _mm_or_si128(v, _mm_set1_epi8(static_cast<char>(0xDF))));
        return _mm_or_si128(_mm_and_si128(letters, cased), _mm_andnot_si128(letters, v));
    }
}

KELPA_SSSE3 inline __m128i reverse_block_ssse3(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}

template <ComplementRule rule>
KELPA_SSSE3 inline __m128i reverse_complement_block(__m128i v) {
    return complement_block<rule>(reverse_block_ssse3(v));
}

KELPA_SSSE3 void complement_ssse3(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) store16(out + i, complement_block(load16(in + i)));
    complement_scalar(in + i, n - i, out + i);
}

template <ComplementRule rule>
KELPA_SSSE3 void reverse_complement_ssse3(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) store16(out + i, reverse_complement_block<rule>(load16(in + n - 16 - i)));
    reverse_complement_scalar<rule>(in, n - i, out + i);
}

template <ComplementRule rule>
KELPA_SSSE3 void reverse_complement_in_place_ssse3(char* data, std::size_t n) {
    std::size_t i = 0;
    std::size_t j = n;
    for (; j - i >= 32; i += 16, j -= 16) {
        const __m128i front = load16(data + i);
        const __m128i back = load16(data + j - 16);
        store16(data + i, reverse_complement_block<rule>(back));
        store16(data + j - 16, reverse_complement_block<rule>(front));
    }
    reverse_complement_in_place_scalar<rule>(data, i, j);
}

// The quarter-counting part of gc_iupac; stops at the 16-byte block holding
// the first B/V/D/H and leaves that block to the scalar code.
KELPA_SSSE3 std::size_t gc_iupac_quarters_ssse3(const char* data, std::size_t n, IupacTally& tally) {
    std::size_t i = 0;
    __m128i quarter_sums = _mm_setzero_si128();
    __m128i count_sums = _mm_setzero_si128();
    bool thirds_seen = false;
    // At most 4 quarters per byte per round: 63 rounds stay below 256.
    constexpr std::size_t rounds_per_fold = 63;
    while (i + 16 <= n && !thirds_seen) {
        __m128i quarters = _mm_setzero_si128();
        __m128i counts = _mm_setzero_si128();
        for (std::size_t round = 0; round < rounds_per_fold && i + 16 <= n; ++round, i += 16) {
            const __m128i index = letter_index(load16(data + i));
            const __m128i block_quarters = lookup32(IUPAC_QUARTERS_BY_INDEX, index);
            if (_mm_movemask_epi8(block_quarters) != 0) {
                thirds_seen = true;
                break;
            }
            quarters = _mm_add_epi8(quarters, block_quarters);
            counts = _mm_add_epi8(counts, lookup32(IUPAC_COUNTED_BY_INDEX, index));
        }
        quarter_sums = add_byte_sums(quarter_sums, quarters);
        count_sums = add_byte_sums(count_sums, counts);
    }
    tally.quarters += horizontal_sum(quarter_sums);
    tally.count += horizontal_sum(count_sums);
    return i;
}

#endif  // KELPA_HAVE_SSSE3_PATH

}  // namespace

// ---------------------------------------------------------------------------
// Transforms

void complement(const char* in, std::size_t n, char* out) {
#if defined(KELPA_HAVE_SSSE3_PATH)
    if (cpu_has_ssse3()) return complement_ssse3(in, n, out);
#endif
    complement_scalar(in, n, out);
}

void reverse(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) store16(out + i, reverse_block_sse2(load16(in + n - 16 - i)));
#endif
    for (; i < n; ++i) out[i] = in[n - 1 - i];
}

namespace {

#if defined(KELPA_HAVE_SSSE3_PATH)
// Swaps reversed 16-byte blocks from both ends while 32 bytes are left.
KELPA_SSSE3 void reverse_blocks_ssse3(char* data, std::size_t& i, std::size_t& j) {
    const __m128i backwards = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    for (; j - i >= 32; i += 16, j -= 16) {
        const __m128i front = load16(data + i);
        store16(data + i, _mm_shuffle_epi8(load16(data + j - 16), backwards));
        store16(data + j - 16, _mm_shuffle_epi8(front, backwards));
    }
}
#endif

}  // namespace

void reverse_in_place(char* data, std::size_t n) {
    std::size_t i = 0;
    std::size_t j = n;
#if defined(KELPA_HAVE_SSSE3_PATH)
    if (cpu_has_ssse3()) reverse_blocks_ssse3(data, i, j);
#endif
    std::reverse(data + i, data + j);
}

namespace {

template <ComplementRule rule>
void reverse_complement_by(const char* in, std::size_t n, char* out) {
#if defined(KELPA_HAVE_SSSE3_PATH)
    if (cpu_has_ssse3()) return reverse_complement_ssse3<rule>(in, n, out);
#endif
    reverse_complement_scalar<rule>(in, n, out);
}

template <ComplementRule rule>
void reverse_complement_in_place_by(char* data, std::size_t n) {
#if defined(KELPA_HAVE_SSSE3_PATH)
    if (cpu_has_ssse3()) return reverse_complement_in_place_ssse3<rule>(data, n);
#endif
    reverse_complement_in_place_scalar<rule>(data, 0, n);
}

}  // namespace

void reverse_complement(const char* in, std::size_t n, char* out, ComplementRule rule) {
    if (rule == ComplementRule::ToN) return reverse_complement_by<ComplementRule::ToN>(in, n, out);
    reverse_complement_by<ComplementRule::KeepOthers>(in, n, out);
}

void reverse_complement_in_place(char* data, std::size_t n, ComplementRule rule) {
    if (rule == ComplementRule::ToN) return reverse_complement_in_place_by<ComplementRule::ToN>(data, n);
    reverse_complement_in_place_by<ComplementRule::KeepOthers>(data, n);
}

void to_upper_ascii(char* data, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128i v = load16(data + i);
        const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8('a'));
        const __m128i lower = _mm_cmpeq_epi8(_mm_subs_epu8(offset, _mm_set1_epi8(25)), _mm_setzero_si128());
        store16(data + i, _mm_xor_si128(v, _mm_and_si128(lower, _mm_set1_epi8(0x20))));
    }
#endif
    for (; i < n; ++i)
        if (data[i] >= 'a' && data[i] <= 'z') data[i] = static_cast<char>(data[i] - ('a' - 'A'));
}

bool is_ascii(const char* data, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 64 <= n; i += 64) {
        const __m128i any = _mm_or_si128(_mm_or_si128(load16(data + i), load16(data + i + 16)),
                                         _mm_or_si128(load16(data + i + 32), load16(data + i + 48)));
        if (_mm_movemask_epi8(any) != 0) return false;
    }
    for (; i + 16 <= n; i += 16)
        if (_mm_movemask_epi8(load16(data + i)) != 0) return false;
#endif
    std::uint8_t any = 0;
    for (; i < n; ++i) any |= byte_at(data, i);
    return any < 0x80;
}

bool is_valid_utf8(const char* data, std::size_t n) { return valid_utf8_prefix(std::string_view(data, n)) == n; }

// ---------------------------------------------------------------------------
// GC content

double gc_fraction(const char* data, std::size_t n) {
    if (n == 0) return 0.0;
    BaseTally tally;
    std::size_t i = 0;
#if defined(__SSE2__)
    i = count_gc_sse2(data, n, tally);
#endif
    count_bases_scalar(data + i, n - i, tally);
    return static_cast<double>(tally.gc) / static_cast<double>(n);
}

double gc_strict_fraction(const char* data, std::size_t n) {
    BaseTally tally;
    std::size_t i = 0;
#if defined(__SSE2__)
    i = count_bases_sse2(data, n, tally);
#endif
    count_bases_scalar(data + i, n - i, tally);
    return tally.bases == 0 ? 0.0 : static_cast<double>(tally.gc) / static_cast<double>(tally.bases);
}

double gc_iupac_fraction(const char* data, std::size_t n) {
    IupacTally tally;
    std::size_t i = 0;
#if defined(KELPA_HAVE_SSSE3_PATH)
    if (cpu_has_ssse3()) i = gc_iupac_quarters_ssse3(data, n, tally);
#endif
    i = gc_iupac_quarters_scalar(data, i, n, tally);
    // Every partial sum of quarters is a multiple of 0.25 far below 2^53, so the
    // in-order double sum up to here equals the exact quarter count; from the
    // first 0.67 or 0.33 on, rounding depends on order and the sum goes one by one.
    double sum = static_cast<double>(tally.quarters) * 0.25;
    std::uint64_t count = tally.count;
    for (; i < n; ++i) {
        sum += IUPAC_WEIGHT[byte_at(data, i)];
        count += (IUPAC_CLASS[byte_at(data, i)] & IUPAC_COUNTED) != 0;
    }
    return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

// ---------------------------------------------------------------------------
// Slicing

SlicePlan plan_slice(std::size_t length, std::int64_t a, std::int64_t b, std::int64_t k) {
    const auto L = static_cast<std::int64_t>(length);
    SlicePlan plan{0, k, 0, 0, 0};
    if (k > 0) {
        const std::int64_t lo = std::max<std::int64_t>(a, 0);
        const std::int64_t hx = b < 0 ? L : std::min(b, L);
        plan.lo = static_cast<std::uint64_t>(lo);
        plan.hx = static_cast<std::uint64_t>(hx);
        if (lo < L && hx > lo) {
            plan.first = lo;
            plan.count = (static_cast<std::uint64_t>(hx - lo) - 1) / static_cast<std::uint64_t>(k) + 1;
        }
        return plan;
    }
    if (k == 0) return plan;
    const std::int64_t top = L > 0 ? L - 1 : 0;
    const std::int64_t hi = a < 0 ? top : std::min(a, top);
    if (b > hi) {
        plan.lo = plan.hx = static_cast<std::uint64_t>(hi);
        return plan;
    }
    const std::int64_t lo = b < 0 ? 0 : b + 1;
    plan.lo = static_cast<std::uint64_t>(lo);
    plan.hx = static_cast<std::uint64_t>(hi + 1);
    if (L > 0 && hi >= lo) {
        plan.first = hi;
        plan.count = static_cast<std::uint64_t>(hi - lo) / (0 - static_cast<std::uint64_t>(k)) + 1;
    }
    return plan;
}

void gather_slice(const char* in, const SlicePlan& plan, char* out) {
    if (plan.count == 0) return;
    if (plan.step == 1) {
        std::memcpy(out, in + plan.first, plan.count);
    } else if (plan.step == -1) {
        reverse(in + plan.first - static_cast<std::int64_t>(plan.count - 1), plan.count, out);
    } else {
        // Unsigned, so stepping past the last selected byte never overflows.
        auto position = static_cast<std::uint64_t>(plan.first);
        for (std::size_t i = 0; i < plan.count; ++i, position += static_cast<std::uint64_t>(plan.step))
            out[i] = in[position];
    }
}

}  // namespace kelpa::core
