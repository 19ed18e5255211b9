// The sequence kernels on aarch64: NEON for those that need a byte shuffle
// (complement, reverse, reverse complement, gc_iupac), where vqtbl2q_u8
// looks sixteen letters up in a 32-entry table at once. The counting and
// case kernels are the portable ones, which the compiler vectorises as
// well as these would be written by hand.
#include "core/kernels/dispatch.hpp"

#if defined(KELPA_NEON_KERNELS)

#include <arm_neon.h>

#include "core/kernels/sequence_paths.hpp"

namespace kelpa::core::sequence_paths {

namespace {

inline uint8x16_t load16(const char* p) { return vld1q_u8(reinterpret_cast<const std::uint8_t*>(p)); }
inline void store16(char* p, uint8x16_t v) { vst1q_u8(reinterpret_cast<std::uint8_t*>(p), v); }

inline uint8x16x2_t table32(const std::array<std::uint8_t, 32>& table) { return vld1q_u8_x2(table.data()); }

inline uint8x16_t reverse_block(uint8x16_t v) {
    const uint8x16_t swapped = vrev64q_u8(v);
    return vextq_u8(swapped, swapped, 8);
}

// 0xFF where the byte is an ASCII letter.
inline uint8x16_t letter_mask(uint8x16_t v) {
    return vcleq_u8(vsubq_u8(vorrq_u8(v, vdupq_n_u8(0x20)), vdupq_n_u8('a')), vdupq_n_u8(25));
}

// Letters give their low five bits (1..26), every other byte 0; a table
// lookup of an index past 31 would give 0 as well, but 0 must mean 'N'.
inline uint8x16_t letter_index(uint8x16_t v, uint8x16_t letters) {
    return vandq_u8(vandq_u8(v, vdupq_n_u8(0x1F)), letters);
}

template <ComplementRule rule>
inline uint8x16_t complement_block(uint8x16_t v, const uint8x16x2_t& table) {
    const uint8x16_t letters = letter_mask(v);
    const uint8x16_t looked_up = vqtbl2q_u8(table, letter_index(v, letters));
    const uint8x16_t cased = vandq_u8(looked_up, vorrq_u8(v, vdupq_n_u8(0xDF)));
    if constexpr (rule == ComplementRule::ToN) return cased;
    else return vbslq_u8(letters, cased, v);  // every other byte stays
}

template <ComplementRule rule>
const std::array<std::uint8_t, 32>& complement_by_index() {
    return rule == ComplementRule::ToN ? COMPLEMENT_BY_INDEX : KEEPING_COMPLEMENT_BY_INDEX;
}

void complement_neon(const char* in, std::size_t n, char* out) {
    const uint8x16x2_t table = table32(COMPLEMENT_BY_INDEX);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) store16(out + i, complement_block<ComplementRule::ToN>(load16(in + i), table));
    complement_portable(in + i, n - i, out + i);
}

void reverse_neon(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) store16(out + i, reverse_block(load16(in + n - 16 - i)));
    reverse_portable(in, n - i, out + i);
}

void reverse_in_place_neon(char* data, std::size_t n) {
    std::size_t i = 0;
    std::size_t j = n;
    for (; j - i >= 32; i += 16, j -= 16) {
        const uint8x16_t front = load16(data + i);
        store16(data + i, reverse_block(load16(data + j - 16)));
        store16(data + j - 16, reverse_block(front));
    }
    reverse_in_place_portable(data + i, j - i);
}

template <ComplementRule rule>
void reverse_complement_neon(const char* in, std::size_t n, char* out) {
    const uint8x16x2_t table = table32(complement_by_index<rule>());
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        store16(out + i, complement_block<rule>(reverse_block(load16(in + n - 16 - i)), table));
    reverse_complement_portable<rule>(in, n - i, out + i);
}

template <ComplementRule rule>
void reverse_complement_in_place_neon(char* data, std::size_t n) {
    const uint8x16x2_t table = table32(complement_by_index<rule>());
    std::size_t i = 0;
    std::size_t j = n;
    for (; j - i >= 32; i += 16, j -= 16) {
        const uint8x16_t front = load16(data + i);
        const uint8x16_t back = load16(data + j - 16);
        store16(data + i, complement_block<rule>(reverse_block(back), table));
        store16(data + j - 16, complement_block<rule>(reverse_block(front), table));
    }
    reverse_complement_in_place_portable<rule>(data + i, j - i);
}

// The quarter-counting part of gc_iupac; stops at the 16-byte block holding
// the first B/V/D/H and leaves that block to the portable code.
std::size_t gc_iupac_quarters_neon(const char* data, std::size_t n, IupacTally& tally) {
    const uint8x16x2_t quarters_of = table32(IUPAC_QUARTERS_BY_INDEX);
    const uint8x16x2_t counted = table32(IUPAC_COUNTED_BY_INDEX);
    std::size_t i = 0;
    bool thirds_seen = false;
    // At most 4 quarters per byte per round: 63 rounds stay below 256.
    constexpr std::size_t rounds_per_fold = 63;
    while (i + 16 <= n && !thirds_seen) {
        uint8x16_t quarters = vdupq_n_u8(0);
        uint8x16_t counts = vdupq_n_u8(0);
        for (std::size_t round = 0; round < rounds_per_fold && i + 16 <= n; ++round, i += 16) {
            const uint8x16_t v = load16(data + i);
            const uint8x16_t index = letter_index(v, letter_mask(v));
            const uint8x16_t block_quarters = vqtbl2q_u8(quarters_of, index);
            if (vmaxvq_u8(block_quarters) & IUPAC_THIRDS) {
                thirds_seen = true;
                break;
            }
            quarters = vaddq_u8(quarters, block_quarters);
            counts = vaddq_u8(counts, vqtbl2q_u8(counted, index));
        }
        tally.quarters += vaddlvq_u8(quarters);
        tally.count += vaddlvq_u8(counts);
    }
    return i + gc_iupac_quarters_portable(data + i, n - i, tally);
}

}  // namespace

const Kernels NEON = {
    complement_neon,
    reverse_neon,
    reverse_in_place_neon,
    {reverse_complement_neon<ComplementRule::ToN>, reverse_complement_neon<ComplementRule::KeepOthers>},
    {reverse_complement_in_place_neon<ComplementRule::ToN>,
     reverse_complement_in_place_neon<ComplementRule::KeepOthers>},
    to_upper_ascii_portable,
    is_ascii_portable,
    count_gc_portable,
    count_bases_portable,
    gc_iupac_quarters_neon,
};

}  // namespace kelpa::core::sequence_paths

#endif  // KELPA_NEON_KERNELS
