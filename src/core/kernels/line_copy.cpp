#include "core/kernels/line_copy.hpp"

#include <algorithm>
#include <cstring>

#include "core/kernels/dispatch.hpp"
#include "core/kernels/line_scan.hpp"

#if defined(KELPA_X86_KERNELS)
#include <immintrin.h>
#elif defined(KELPA_NEON_KERNELS)
#include <arm_neon.h>
#endif

namespace kelpa::core {

namespace {

// Copying without line breaks (copy_breakless): the vector loops stop while
// a whole block still fits into the output, and plain bytes finish the rest.
std::uint64_t copy_tail(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    std::uint64_t written = 0;
    while (written < left && in < in_end) {
        const char c = *in++;
        if (c != '\n' && c != '\r') out[written++] = c;
    }
    out += written;
    return written;
}

#if defined(KELPA_X86_KERNELS)
KELPA_AVX2 inline std::uint32_t breaks_avx2(__m256i v) {
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr))));
}

KELPA_AVX2 inline void move32_avx2(const char* from, char* to) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
}

// 64 bytes a step, read from addresses that do not depend on where the line
// breaks were: the loads of one step never wait for the last step's breaks,
// which a walk that moves past each break would make them do. Each step
// stores the whole 64 bytes, then moves every run of bytes after a break
// down into place with two 32-byte moves; the bytes each store writes past
// its run are overwritten by the next run or the next step, and never reach
// past 128 bytes from where the step began.
KELPA_AVX2_POPCNT std::uint64_t copy_wide_avx2(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    const char* from = in;
    char* to = out;
    while (left >= 128 && in_end - from >= 128) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), high);
        std::uint64_t breaks = breaks_avx2(low) | std::uint64_t{breaks_avx2(high)} << 32;
        std::uint64_t kept = 64;
        if (breaks != 0) {
            kept = static_cast<std::uint64_t>(__builtin_ctzll(breaks));  // the run before the first break is in place
            for (;;) {
                const std::uint64_t begin = static_cast<std::uint64_t>(__builtin_ctzll(breaks)) + 1;
                breaks &= breaks - 1;
                const std::uint64_t end = breaks != 0 ? static_cast<std::uint64_t>(__builtin_ctzll(breaks)) : 64;
                if (end > begin) {
                    move32_avx2(from + begin, to + kept);
                    if (end - begin > 32) move32_avx2(from + begin + 32, to + kept + 32);
                    kept += end - begin;
                }
                if (breaks == 0) break;
            }
        }
        from += 64;
        to += kept;
        left -= kept;
    }
    const std::uint64_t written = static_cast<std::uint64_t>(to - out);
    in = from;
    out = to;
    return written;
}

KELPA_AVX2 std::uint64_t copy_blocks_avx2(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    const char* start = out;
    if (left >= 128 && in_end - in >= 128) left -= copy_wide_avx2(in, in_end, out, left);
    while (left >= 32 && in_end - in >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
        const std::uint32_t mask = breaks_avx2(v);
        if (mask == 0) {
            in += 32;
            out += 32;
            left -= 32;
        } else {
            const unsigned kept = static_cast<unsigned>(__builtin_ctz(mask));
            in += kept + 1;
            out += kept;
            left -= kept;
        }
    }
    return static_cast<std::uint64_t>(out - start);
}

std::uint64_t copy_blocks_sse2(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const char* start = out;
    while (left >= 16 && in_end - in >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        const auto mask =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        if (mask == 0) {
            in += 16;
            out += 16;
            left -= 16;
        } else {
            const unsigned kept = static_cast<unsigned>(__builtin_ctz(mask));
            in += kept + 1;
            out += kept;
            left -= kept;
        }
    }
    return static_cast<std::uint64_t>(out - start);
}
#endif  // KELPA_X86_KERNELS

#if defined(KELPA_NEON_KERNELS)
// The compare's 16 bytes narrowed to four bits each: a 64-bit mask whose
// lowest set bit, over four, is the first break.
inline std::uint64_t breaks_neon(uint8x16_t v) {
    const uint8x16_t breaks = vorrq_u8(vceqq_u8(v, vdupq_n_u8('\n')), vceqq_u8(v, vdupq_n_u8('\r')));
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(breaks), 4)), 0);
}

std::uint64_t copy_blocks_neon(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    const char* start = out;
    while (left >= 16 && in_end - in >= 16) {
        const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(in));
        vst1q_u8(reinterpret_cast<std::uint8_t*>(out), v);
        const std::uint64_t mask = breaks_neon(v);
        if (mask == 0) {
            in += 16;
            out += 16;
            left -= 16;
        } else {
            const unsigned kept = static_cast<unsigned>(__builtin_ctzll(mask)) / 4;
            in += kept + 1;
            out += kept;
            left -= kept;
        }
    }
    return static_cast<std::uint64_t>(out - start);
}
#endif  // KELPA_NEON_KERNELS

// 0x80 in each byte of the word that is a line break.
inline std::uint64_t break_marks(std::uint64_t word) { return bytes_equal(word, '\n') | bytes_equal(word, '\r'); }

// The portable blocks: 16 bytes as two words, the first break found from
// their marks.
std::uint64_t copy_blocks_portable(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    const char* start = out;
    while (left >= 16 && in_end - in >= 16) {
        char block[16];
        std::memcpy(block, in, 16);
        std::memcpy(out, block, 16);
        const std::uint64_t low = break_marks(load_bytes_first_low(block));
        const std::uint64_t high = break_marks(load_bytes_first_low(block + 8));
        if ((low | high) == 0) {
            in += 16;
            out += 16;
            left -= 16;
        } else {
            const unsigned kept = low != 0 ? static_cast<unsigned>(__builtin_ctzll(low)) / 8
                                           : 8 + static_cast<unsigned>(__builtin_ctzll(high)) / 8;
            in += kept + 1;
            out += kept;
            left -= kept;
        }
    }
    return static_cast<std::uint64_t>(out - start);
}

// Copying a region laid out as its entry says, line by line (copy_lines).
//
// A run of `n` bases (no break among them) from `in` to `out`, byte by byte.
bool copy_run_plain(const char* in, std::uint64_t n, char* out) {
    bool breaks = false;
    for (std::uint64_t k = 0; k < n; ++k) {
        const char c = in[k];
        out[k] = c;
        breaks |= (c == '\n') | (c == '\r');
    }
    return !breaks;
}

// Runs of 16 bytes or more: whole blocks, and a last one that overlaps the
// one before. Each kernel gives `Move16` (16 bytes copied; nonzero when a
// break is among them).
template <class Move16>
__attribute__((always_inline)) inline bool copy_run_by_16(const char* in, std::uint64_t n, char* out, Move16 move) {
    if (n < 16) return copy_run_plain(in, n, out);
    std::uint64_t breaks = 0;
    std::uint64_t k = 0;
    for (; k + 16 <= n; k += 16) breaks |= move(in + k, out + k);
    if (k < n) breaks |= move(in + n - 16, out + n - 16);
    return breaks == 0;
}

inline bool copy_run_portable(const char* in, std::uint64_t n, char* out) {
    return copy_run_by_16(in, n, out, [](const char* from, char* to) {
        char block[16];
        std::memcpy(block, from, 16);
        std::memcpy(to, block, 16);
        return break_marks(load_bytes_first_low(block)) | break_marks(load_bytes_first_low(block + 8));
    });
}

#if defined(KELPA_NEON_KERNELS)
inline bool copy_run_neon(const char* in, std::uint64_t n, char* out) {
    return copy_run_by_16(in, n, out, [](const char* from, char* to) {
        const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(from));
        vst1q_u8(reinterpret_cast<std::uint8_t*>(to), v);
        return breaks_neon(v);
    });
}
#endif

#if defined(KELPA_X86_KERNELS)
inline bool copy_run_sse2(const char* in, std::uint64_t n, char* out) {
    return copy_run_by_16(in, n, out, [](const char* from, char* to) -> std::uint64_t {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), v);
        const __m128i breaks =
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
        return static_cast<std::uint32_t>(_mm_movemask_epi8(breaks));
    });
}

// 32 bytes moved; the mask of the line breaks among them.
KELPA_AVX2 inline std::uint32_t move32_checked_avx2(const char* in, char* out) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    return breaks_avx2(v);
}

KELPA_AVX2 inline bool copy_run_avx2(const char* in, std::uint64_t n, char* out) {
    if (n < 32) return copy_run_sse2(in, n, out);
    std::uint32_t breaks = 0;
    std::uint64_t k = 0;
    for (; k + 32 <= n; k += 32) breaks |= move32_checked_avx2(in + k, out + k);
    if (k < n) breaks |= move32_checked_avx2(in + n - 32, out + n - 32);
    return breaks == 0;
}
#endif

// Whether the `gap` bytes (1 or 2) after a line's bases are line breaks.
inline bool breaks_after_line(const char* in, std::uint64_t gap) {
    return gap != 0 && is_line_break(in[0]) && (gap == 1 || is_line_break(in[1]));
}

// `count` bases from `in`, `column` bases into a line of `lenc` bases
// followed by `gap` bytes of line break; every byte read lies before the
// last base. Whether the lines were as laid out (else `out` holds a part).
// Inlined into a kernel per instruction set, which inlines its Run.
template <bool (*Run)(const char*, std::uint64_t, char*)>
__attribute__((always_inline)) inline bool copy_lines_with(const char* in, std::uint64_t column, std::uint64_t lenc,
                                                           std::uint64_t gap, std::uint64_t count, char* out) {
    std::uint64_t n = std::min(lenc - column, count);
    for (;;) {
        if (!Run(in, n, out)) return false;
        count -= n;
        if (count == 0) return true;
        in += n;
        out += n;
        if (!breaks_after_line(in, gap)) return false;
        in += gap;
        n = std::min(lenc, count);
    }
}

bool copy_lines_portable(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap,
                         std::uint64_t count, char* out) {
    return copy_lines_with<copy_run_portable>(in, column, lenc, gap, count, out);
}

#if defined(KELPA_NEON_KERNELS)
bool copy_lines_neon(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap, std::uint64_t count,
                     char* out) {
    return copy_lines_with<copy_run_neon>(in, column, lenc, gap, count, out);
}
#endif

#if defined(KELPA_X86_KERNELS)
bool copy_lines_sse2(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap, std::uint64_t count,
                     char* out) {
    return copy_lines_with<copy_run_sse2>(in, column, lenc, gap, count, out);
}

KELPA_AVX2 bool copy_lines_avx2(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap,
                                std::uint64_t count, char* out) {
    return copy_lines_with<copy_run_avx2>(in, column, lenc, gap, count, out);
}
#endif

using CopyBlocks = std::uint64_t (*)(const char*&, const char*, char*&, std::uint64_t);
using CopyLines = bool (*)(const char*, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, char*);

// Each path's kernels: the wide blocks (or none), the 16-byte blocks that
// finish what they leave (a short region is mostly such a tail), the lines.
struct LineKernels {
    CopyBlocks wide;
    CopyBlocks blocks;
    CopyLines lines;
};

LineKernels pick_kernels() {
    switch (kernel_path()) {
#if defined(KELPA_X86_KERNELS)
        case KernelPath::Avx2: return {copy_blocks_avx2, copy_blocks_sse2, copy_lines_avx2};
        case KernelPath::Ssse3: return {nullptr, copy_blocks_sse2, copy_lines_sse2};
#endif
#if defined(KELPA_NEON_KERNELS)
        case KernelPath::Neon: return {nullptr, copy_blocks_neon, copy_lines_neon};
#endif
        default: return {nullptr, copy_blocks_portable, copy_lines_portable};
    }
}

const LineKernels kernels = pick_kernels();

}  // namespace

std::uint64_t copy_breakless(const char*& in, const char* in_end, char* out, std::uint64_t count) {
    std::uint64_t written = kernels.wide != nullptr ? kernels.wide(in, in_end, out, count) : 0;
    written += kernels.blocks(in, in_end, out, count - written);
    written += copy_tail(in, in_end, out, count - written);
    return written;
}

bool copy_lines(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap, std::uint64_t count,
                char* out) {
    return kernels.lines(in, column, lenc, gap, count, out);
}

}  // namespace kelpa::core
