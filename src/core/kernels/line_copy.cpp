#include "core/kernels/line_copy.hpp"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
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

#if defined(__x86_64__)
__attribute__((target("avx2"))) inline std::uint32_t breaks_avx2(__m256i v) {
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr))));
}

__attribute__((target("avx2"))) inline void move32_avx2(const char* from, char* to) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
}

// 64 bytes a step, read from addresses that do not depend on where the line
// breaks were: the loads of one step never wait for the last step's breaks,
// which a walk that moves past each break would make them do. Each step
// stores the whole 64 bytes, then moves every run of bytes after a break
// down into place with two 32-byte moves; the bytes each store writes past
// its run are overwritten by the next run or the next step, and never reach
// past 128 bytes from where the step began.
__attribute__((target("avx2,popcnt"))) std::uint64_t copy_wide_avx2(const char*& in, const char* in_end, char*& out,
                                                                    std::uint64_t left) {
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

__attribute__((target("avx2"))) std::uint64_t copy_blocks_avx2(const char*& in, const char* in_end, char*& out,
                                                               std::uint64_t left) {
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
#endif

#if defined(__SSE2__)
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
#endif

using CopyBlocks = std::uint64_t (*)(const char*&, const char*, char*&, std::uint64_t);

CopyBlocks pick_copy_blocks() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return copy_blocks_avx2;
#endif
#if defined(__SSE2__)
    return copy_blocks_sse2;
#else
    return nullptr;
#endif
}

const CopyBlocks copy_blocks = pick_copy_blocks();

// Copying a region laid out as its entry says, line by line (copy_lines).
//
// A run of `n` bases (no break among them) from `in` to `out`.
bool copy_run_plain(const char* in, std::uint64_t n, char* out) {
    bool breaks = false;
    for (std::uint64_t k = 0; k < n; ++k) {
        const char c = in[k];
        out[k] = c;
        breaks |= (c == '\n') | (c == '\r');
    }
    return !breaks;
}

#if defined(__SSE2__)
// Runs of 16 bytes or more: whole blocks, and a last one that overlaps the one before.
inline bool copy_run_sse2(const char* in, std::uint64_t n, char* out) {
    if (n < 16) return copy_run_plain(in, n, out);
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    __m128i breaks = _mm_setzero_si128();
    const auto move = [&](std::uint64_t at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), v);
        breaks = _mm_or_si128(breaks, _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    };
    std::uint64_t k = 0;
    for (; k + 16 <= n; k += 16) move(k);
    if (k < n) move(n - 16);
    return _mm_movemask_epi8(breaks) == 0;
}
#endif

#if defined(__x86_64__)
// 32 bytes moved; the mask of the line breaks among them.
__attribute__((target("avx2"))) inline std::uint32_t move32_checked_avx2(const char* in, char* out) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    return breaks_avx2(v);
}

__attribute__((target("avx2"))) inline bool copy_run_avx2(const char* in, std::uint64_t n, char* out) {
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

bool copy_lines_sse2(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap, std::uint64_t count,
                     char* out) {
#if defined(__SSE2__)
    return copy_lines_with<copy_run_sse2>(in, column, lenc, gap, count, out);
#else
    return copy_lines_with<copy_run_plain>(in, column, lenc, gap, count, out);
#endif
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) bool copy_lines_avx2(const char* in, std::uint64_t column, std::uint64_t lenc,
                                                     std::uint64_t gap, std::uint64_t count, char* out) {
    return copy_lines_with<copy_run_avx2>(in, column, lenc, gap, count, out);
}
#endif

using CopyLines = bool (*)(const char*, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, char*);

CopyLines pick_copy_lines() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return copy_lines_avx2;
#endif
    return copy_lines_sse2;
}

const CopyLines copy_lines_kernel = pick_copy_lines();

}  // namespace

std::uint64_t copy_breakless(const char*& in, const char* in_end, char* out, std::uint64_t count) {
    std::uint64_t written = copy_blocks != nullptr ? copy_blocks(in, in_end, out, count) : 0;
#if defined(__SSE2__)
    // What the wide blocks leave (under 32 bytes) goes 16 at a time before
    // the byte loop: a short region is mostly tail. Each step moves `out`.
    written += copy_blocks_sse2(in, in_end, out, count - written);
#endif
    written += copy_tail(in, in_end, out, count - written);
    return written;
}

bool copy_lines(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap, std::uint64_t count,
                char* out) {
    return copy_lines_kernel(in, column, lenc, gap, count, out);
}

}  // namespace kelpa::core
