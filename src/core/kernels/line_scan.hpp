// Finding line breaks in 64-byte blocks, for the index builder's scan of a
// whole file: one bit per "\n" and whether a "\r" is among them. The path
// is the one kernel_path() chose (kernels/dispatch.hpp), fixed when the
// scanner is made; the kernels are inline, as they run once per 64 bytes.
// Also the word helpers of the line-dropping copy's portable kernels: a
// compare of eight bytes at once, with carries that cannot cross a byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/kernels/dispatch.hpp"

#if defined(KELPA_X86_KERNELS)
#include <emmintrin.h>
#elif defined(KELPA_NEON_KERNELS)
#include <arm_neon.h>
#endif

namespace kelpa::core {

// Eight bytes from `p`, the first in the lowest bits on any byte order.
inline std::uint64_t load_bytes_first_low(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// 0x80 in each byte of `word` that is `byte`, 0 in the others; no carry
// crosses from one byte to the next, so every byte's answer is exact.
inline std::uint64_t bytes_equal(std::uint64_t word, std::uint8_t byte) {
    constexpr std::uint64_t LOW_SEVEN = 0x7F7F7F7F7F7F7F7F;
    const std::uint64_t x = word ^ (0x0101010101010101 * byte);
    return ~(((x & LOW_SEVEN) + LOW_SEVEN) | x | LOW_SEVEN);
}

// Eight bytes of 0 or 1 (the first lowest) as eight bits, bit k for byte k:
// the multiply adds each byte's bit into the top byte, at its own place.
inline std::uint64_t byte_bits(std::uint64_t ones) { return (ones * 0x0102040810204080) >> 56; }

class NewlineScanner {
public:
    NewlineScanner() : vector_(kernel_path() != KernelPath::Portable) {}

    // The "\n" bits of the 64 bytes at p (bit k for byte k); `cr` tells
    // whether they hold a "\r".
    std::uint64_t operator()(const char* p, bool& cr) const {
#if defined(KELPA_X86_KERNELS)
        if (vector_) return scan_sse2(p, cr);
#elif defined(KELPA_NEON_KERNELS)
        if (vector_) return scan_neon(p, cr);
#endif
        return scan_portable(p, cr);
    }

    // Compares into a block of 0/1 bytes, which the compiler vectorises;
    // then eight of them at a time make eight bits with one multiply.
    static std::uint64_t scan_portable(const char* p, bool& cr) {
        unsigned char bytes[64];
        std::memcpy(bytes, p, sizeof bytes);
        char newlines[64];
        std::uint8_t crs = 0;
        for (std::size_t k = 0; k < 64; ++k) {
            newlines[k] = bytes[k] == '\n';
            crs |= bytes[k] == '\r';
        }
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= byte_bits(load_bytes_first_low(newlines + 8 * i)) << (8 * i);
        cr = crs != 0;
        return bits;
    }

private:
#if defined(KELPA_X86_KERNELS)
    static std::uint64_t scan_sse2(const char* p, bool& cr) {
        const __m128i newline = _mm_set1_epi8('\n');
        const __m128i carriage = _mm_set1_epi8('\r');
        std::uint64_t bits = 0;
        __m128i crs = _mm_setzero_si128();
        for (int i = 0; i < 4; ++i) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            bits |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)))}
                    << (16 * i);
            crs = _mm_or_si128(crs, _mm_cmpeq_epi8(bytes, carriage));
        }
        cr = _mm_movemask_epi8(crs) != 0;
        return bits;
    }
#elif defined(KELPA_NEON_KERNELS)
    // Each byte's mark keeps one bit of its position in eight; three
    // pairwise adds gather the 64 bytes' bits into one word.
    static std::uint64_t scan_neon(const char* p, bool& cr) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
        const uint8x16_t newline = vdupq_n_u8('\n');
        const uint8x16_t carriage = vdupq_n_u8('\r');
        constexpr std::uint8_t POSITIONS[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        const uint8x16_t position = vld1q_u8(POSITIONS);
        uint8x16_t marks[4];
        uint8x16_t crs = vdupq_n_u8(0);
        for (int i = 0; i < 4; ++i) {
            const uint8x16_t v = vld1q_u8(bytes + 16 * i);
            marks[i] = vandq_u8(vceqq_u8(v, newline), position);
            crs = vorrq_u8(crs, vceqq_u8(v, carriage));
        }
        uint8x16_t sum = vpaddq_u8(vpaddq_u8(marks[0], marks[1]), vpaddq_u8(marks[2], marks[3]));
        sum = vpaddq_u8(sum, sum);
        cr = vmaxvq_u8(crs) != 0;
        return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
    }
#endif

    bool vector_;
};

}  // namespace kelpa::core
