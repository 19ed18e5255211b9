// The sequence kernels on x86-64: SSE2, and SSSE3 for those that need a
// byte shuffle (complement, reverse complement, gc_iupac). On a 100 MB text
// they are bound by memory, and an AVX2 version was only about 10% faster:
// not worth a second copy of each kernel.
#include "core/kernels/dispatch.hpp"

#if defined(KELPA_X86_KERNELS)

#include <immintrin.h>

#include "core/kernels/sequence_paths.hpp"

namespace kelpa::core::sequence_paths {

namespace {

// ---------------------------------------------------------------------------
// SSE2 (every x86-64 CPU)

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

void count_gc_sse2(const char* data, std::size_t n, BaseTally& tally) {
    std::size_t i = 0;
    __m128i sums = _mm_setzero_si128();
    while (i + 16 <= n) {
        __m128i counts = _mm_setzero_si128();
        for (std::size_t round = 0; round < BYTE_COUNTER_ROUNDS && i + 16 <= n; ++round, i += 16)
            counts = _mm_sub_epi8(counts, gc_mask(load16(data + i)));
        sums = add_byte_sums(sums, counts);
    }
    tally.gc += horizontal_sum(sums);
    count_gc_portable(data + i, n - i, tally);
}

void count_bases_sse2(const char* data, std::size_t n, BaseTally& tally) {
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
    count_bases_portable(data + i, n - i, tally);
}

void reverse_sse2(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) store16(out + i, reverse_block_sse2(load16(in + n - 16 - i)));
    reverse_portable(in, n - i, out + i);
}

void to_upper_ascii_sse2(char* data, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = load16(data + i);
        const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8('a'));
        const __m128i lower = _mm_cmpeq_epi8(_mm_subs_epu8(offset, _mm_set1_epi8(25)), _mm_setzero_si128());
        store16(data + i, _mm_xor_si128(v, _mm_and_si128(lower, _mm_set1_epi8(0x20))));
    }
    to_upper_ascii_portable(data + i, n - i);
}

bool is_ascii_sse2(const char* data, std::size_t n) {
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m128i any = _mm_or_si128(_mm_or_si128(load16(data + i), load16(data + i + 16)),
                                         _mm_or_si128(load16(data + i + 32), load16(data + i + 48)));
        if (_mm_movemask_epi8(any) != 0) return false;
    }
    for (; i + 16 <= n; i += 16)
        if (_mm_movemask_epi8(load16(data + i)) != 0) return false;
    return is_ascii_portable(data + i, n - i);
}

// ---------------------------------------------------------------------------
// SSSE3

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
    complement_portable(in + i, n - i, out + i);
}

template <ComplementRule rule>
KELPA_SSSE3 void reverse_complement_ssse3(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) store16(out + i, reverse_complement_block<rule>(load16(in + n - 16 - i)));
    reverse_complement_portable<rule>(in, n - i, out + i);
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
    reverse_complement_in_place_portable<rule>(data + i, j - i);
}

// Swaps reversed 16-byte blocks from both ends while 32 bytes are left.
KELPA_SSSE3 void reverse_in_place_ssse3(char* data, std::size_t n) {
    const __m128i backwards = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    std::size_t i = 0;
    std::size_t j = n;
    for (; j - i >= 32; i += 16, j -= 16) {
        const __m128i front = load16(data + i);
        store16(data + i, _mm_shuffle_epi8(load16(data + j - 16), backwards));
        store16(data + j - 16, _mm_shuffle_epi8(front, backwards));
    }
    reverse_in_place_portable(data + i, j - i);
}

// The quarter-counting part of gc_iupac; stops at the 16-byte block holding
// the first B/V/D/H and leaves that block to the portable code.
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
    return i + gc_iupac_quarters_portable(data + i, n - i, tally);
}

}  // namespace

const Kernels X86 = {
    complement_ssse3,
    reverse_sse2,
    reverse_in_place_ssse3,
    {reverse_complement_ssse3<ComplementRule::ToN>, reverse_complement_ssse3<ComplementRule::KeepOthers>},
    {reverse_complement_in_place_ssse3<ComplementRule::ToN>,
     reverse_complement_in_place_ssse3<ComplementRule::KeepOthers>},
    to_upper_ascii_sse2,
    is_ascii_sse2,
    count_gc_sse2,
    count_bases_sse2,
    gc_iupac_quarters_ssse3,
};

}  // namespace kelpa::core::sequence_paths

#endif  // KELPA_X86_KERNELS
