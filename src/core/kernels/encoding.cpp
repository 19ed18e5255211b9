#include "core/kernels/encoding.hpp"

#include <cstring>
#include <type_traits>
#include <utility>

#include "core/kernels/sequence.hpp"

#include "core/kernels/dispatch.hpp"

#if defined(KELPA_X86_KERNELS)
#include <immintrin.h>
#elif defined(KELPA_NEON_KERNELS)
#include <arm_neon.h>
#endif

namespace kelpa::core {

namespace {

// Writes `count` copies of the `W`-byte pattern at `out`.
template <std::size_t W>
void repeat(const std::uint8_t* pattern, std::size_t count, std::uint8_t* out) {
    if constexpr (W == 1) std::memset(out, *pattern, count);
    else
        for (std::size_t k = 0; k < count; ++k) std::memcpy(out + k * W, pattern, W);
}

// out[k] = table[text[k]] for `W`-byte entries. `text` may lie inside the
// output ahead of what is written (at or after out + k * W when element k is
// written): each byte is read before anything overwrites it.
template <std::size_t W>
void look_up(const std::uint8_t* table, const std::uint8_t* text, std::size_t count, std::uint8_t* out) {
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint8_t byte = text[k];
        std::memcpy(out + k * W, table + std::size_t{byte} * W, W);
    }
}

// One plane's run of elements: padding (the element of byte `pad`), text, padding.
template <std::size_t W>
void encode_run(const std::uint8_t* table, unsigned pad_byte, const std::uint8_t* text, std::size_t lead,
                std::size_t count, std::size_t trail, std::uint8_t* out) {
    const std::uint8_t* pad = table + std::size_t{pad_byte} * W;
    repeat<W>(pad, lead, out);
    look_up<W>(table, text, count, out + lead * W);
    repeat<W>(pad, trail, out + (lead + count) * W);
}

using RunFunction = void (*)(const std::uint8_t*, unsigned, const std::uint8_t*, std::size_t, std::size_t, std::size_t,
                             std::uint8_t*);

RunFunction run_for(unsigned width) {
    switch (width) {
        case 1: return encode_run<1>;
        case 2: return encode_run<2>;
        case 4: return encode_run<4>;
        case 8: return encode_run<8>;
        case 16: return encode_run<16>;
        case 32: return encode_run<32>;
        default: return nullptr;
    }
}

#if defined(KELPA_X86_KERNELS)

// Each byte's base: 0 A, 1 C, 2 G, 3 T (either case), 4 anything else.
KELPA_SSSE3 inline __m128i bases_of(__m128i v) {
    const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    const __m128i a = _mm_cmpeq_epi8(folded, _mm_set1_epi8('a'));
    const __m128i c = _mm_cmpeq_epi8(folded, _mm_set1_epi8('c'));
    const __m128i g = _mm_cmpeq_epi8(folded, _mm_set1_epi8('g'));
    const __m128i t = _mm_cmpeq_epi8(folded, _mm_set1_epi8('t'));
    const __m128i any = _mm_or_si128(_mm_or_si128(a, c), _mm_or_si128(g, t));
    __m128i base = _mm_and_si128(c, _mm_set1_epi8(1));
    base = _mm_or_si128(base, _mm_and_si128(g, _mm_set1_epi8(2)));
    base = _mm_or_si128(base, _mm_and_si128(t, _mm_set1_epi8(3)));
    return _mm_or_si128(base, _mm_andnot_si128(any, _mm_set1_epi8(4)));
}

// Elements of E bytes (1, 2 or 4) by base, 16 bases at a time: `table`
// holds the elements of bases 0.. back to back, `other` the element of base
// 4 repeated (only needed for E == 4, where base 4 lies past 16 bytes).
// Text may lie ahead in the output as look_up() allows.
template <std::size_t E>
KELPA_SSSE3 std::size_t look_up_by_base(const std::uint8_t* table16, const std::uint8_t* other16,
                                        const std::uint8_t* text, std::size_t count, std::uint8_t* out) {
    const __m128i table = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table16));
    const __m128i other = _mm_loadu_si128(reinterpret_cast<const __m128i*>(other16));
    if (count < 16) return 0;
    // For part p of a block's output: which of the 16 bases each byte
    // belongs to, and the byte within its element.
    __m128i spread[E];
    __m128i within = _mm_setzero_si128();
    if constexpr (E > 1) {
        alignas(16) std::uint8_t bytes[16];
        for (std::size_t part = 0; part < E; ++part) {
            for (std::size_t b = 0; b < 16; ++b) bytes[b] = static_cast<std::uint8_t>(part * (16 / E) + b / E);
            spread[part] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
        }
        for (std::size_t b = 0; b < 16; ++b) bytes[b] = static_cast<std::uint8_t>(b % E);
        within = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
    }
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const __m128i base = bases_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + k)));
        if constexpr (E == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_shuffle_epi8(table, base));
        } else {
            // Each base repeated E times, times E, plus the byte within its element.
            for (std::size_t part = 0; part < E; ++part) {
                const __m128i repeated = _mm_shuffle_epi8(base, spread[part]);
                __m128i index = repeated;
                for (std::size_t doubling = 1; doubling < E; doubling *= 2) index = _mm_add_epi8(index, index);
                index = _mm_add_epi8(index, within);
                __m128i element = _mm_shuffle_epi8(table, index);
                if constexpr (E == 4) {
                    const __m128i is_other = _mm_cmpeq_epi8(repeated, _mm_set1_epi8(4));
                    element = _mm_or_si128(_mm_andnot_si128(is_other, element), _mm_and_si128(is_other, other));
                }
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k * E + part * 16), element);
            }
        }
    }
    return k;
}

// One-byte elements of 32 bytes at a time: a byte's low four bits name a
// letter (1 A, 3 C, 7 G, 4 T), and the byte is that letter when it equals
// it with case folded; then it gets that base's element, and any other
// byte the element of base 4.
class NibbleLookup {
public:
    KELPA_AVX2 explicit NibbleLookup(const std::uint8_t* table16) {
        alignas(16) std::uint8_t elements[16] = {};
        alignas(16) std::uint8_t letters[16] = {};
        constexpr unsigned char LETTERS[] = {'a', 'c', 'g', 't'};
        for (std::size_t base = 0; base < 4; ++base) {
            elements[LETTERS[base] & 0x0f] = table16[base];
            letters[LETTERS[base] & 0x0f] = LETTERS[base];
        }
        element_of_ = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(elements)));
        letter_of_ = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(letters)));
        other_ = _mm256_set1_epi8(static_cast<char>(table16[4]));
    }

    // The elements of 32 bytes. A byte with its top bit set shuffles to 0,
    // which no folded byte equals.
    KELPA_AVX2 __m256i operator()(__m256i v) const {
        const __m256i is_base =
            _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), _mm256_shuffle_epi8(letter_of_, v));
        return _mm256_blendv_epi8(other_, _mm256_shuffle_epi8(element_of_, v), is_base);
    }

private:
    __m256i element_of_;
    __m256i letter_of_;
    __m256i other_;
};

// One byte per base, 32 bases at a time. Text may lie ahead in the output
// as look_up() allows.
KELPA_AVX2 std::size_t look_up_by_nibble(const std::uint8_t* table16, const std::uint8_t* text, std::size_t count,
                                         std::uint8_t* out) {
    const NibbleLookup element_of(table16);
    std::size_t k = 0;
    for (; k + 32 <= count; k += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + k));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), element_of(v));
    }
    return k;
}

KELPA_AVX2 inline __m256i reversed32(__m256i v) {
    const __m256i backwards = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11,
                                               10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, backwards), 0x4e);
}

// The elements of the 32 bytes at `front` and at `back`, each reversed and
// written over the other.
KELPA_AVX2 inline void swap_looked_up(const NibbleLookup& element_of, std::uint8_t* front, std::uint8_t* back) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(front));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(back));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(front), reversed32(element_of(b)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(back), reversed32(element_of(a)));
}

// The elements of `count` bytes at `data`, written over them in reverse
// order, in one pass: blocks of 32 from both ends change places, and a
// middle of 32 to 63 bytes is two blocks that overlap (each byte of the
// overlap gets the same element from both). Returns how many bytes at the
// start and at the end are done: all but a middle under 32 bytes, or at
// least half of them (so that no middle is left).
KELPA_AVX2 std::size_t look_up_reversed_by_nibble(const std::uint8_t* table16, std::uint8_t* data, std::size_t count) {
    const NibbleLookup element_of(table16);
    std::size_t i = 0;
    std::size_t j = count;
    for (; j - i >= 64; i += 32, j -= 32) swap_looked_up(element_of, data + i, data + j - 32);
    if (j - i >= 32) {
        swap_looked_up(element_of, data + i, data + j - 32);
        return (count + 1) / 2;
    }
    return i;
}

#endif  // KELPA_X86_KERNELS

#if defined(KELPA_NEON_KERNELS)

// One-byte elements, 16 bytes at a time, as NibbleLookup does it.
std::size_t look_up_by_nibble_neon(const std::uint8_t* table16, const std::uint8_t* text, std::size_t count,
                                   std::uint8_t* out) {
    std::uint8_t elements[16] = {};
    std::uint8_t letters[16] = {};
    constexpr unsigned char LETTERS[] = {'a', 'c', 'g', 't'};
    for (std::size_t base = 0; base < 4; ++base) {
        elements[LETTERS[base] & 0x0f] = table16[base];
        letters[LETTERS[base] & 0x0f] = LETTERS[base];
    }
    const uint8x16_t element_of = vld1q_u8(elements);
    const uint8x16_t letter_of = vld1q_u8(letters);
    const uint8x16_t other = vdupq_n_u8(table16[4]);
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const uint8x16_t v = vld1q_u8(text + k);
        const uint8x16_t low = vandq_u8(v, vdupq_n_u8(0x0f));
        const uint8x16_t is_base = vceqq_u8(vorrq_u8(v, vdupq_n_u8(0x20)), vqtbl1q_u8(letter_of, low));
        vst1q_u8(out + k, vbslq_u8(is_base, vqtbl1q_u8(element_of, low), other));
    }
    return k;
}

// Elements of E bytes (2 or 4) by base, 16 bases at a time, as
// look_up_by_base() does it; the element of base 4 is entry 16 of a
// 32-byte table whose second half is `other16`.
template <std::size_t E>
std::size_t look_up_by_base_neon(const std::uint8_t* table16, const std::uint8_t* other16, const std::uint8_t* text,
                                 std::size_t count, std::uint8_t* out) {
    const uint8x16x2_t table = {{vld1q_u8(table16), vld1q_u8(other16)}};
    uint8x16_t spread[E];
    std::uint8_t bytes[16];
    for (std::size_t part = 0; part < E; ++part) {
        for (std::size_t b = 0; b < 16; ++b) bytes[b] = static_cast<std::uint8_t>(part * (16 / E) + b / E);
        spread[part] = vld1q_u8(bytes);
    }
    for (std::size_t b = 0; b < 16; ++b) bytes[b] = static_cast<std::uint8_t>(b % E);
    const uint8x16_t within = vld1q_u8(bytes);
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const uint8x16_t folded = vorrq_u8(vld1q_u8(text + k), vdupq_n_u8(0x20));
        // 0 A, 1 C, 2 G, 3 T, and 4 for any other byte (whose element starts at 16 either way).
        uint8x16_t base = vandq_u8(vceqq_u8(folded, vdupq_n_u8('c')), vdupq_n_u8(1));
        base = vorrq_u8(base, vandq_u8(vceqq_u8(folded, vdupq_n_u8('g')), vdupq_n_u8(2)));
        base = vorrq_u8(base, vandq_u8(vceqq_u8(folded, vdupq_n_u8('t')), vdupq_n_u8(3)));
        const uint8x16_t any = vorrq_u8(vorrq_u8(vceqq_u8(folded, vdupq_n_u8('a')), vceqq_u8(folded, vdupq_n_u8('c'))),
                                        vorrq_u8(vceqq_u8(folded, vdupq_n_u8('g')), vceqq_u8(folded, vdupq_n_u8('t'))));
        base = vbslq_u8(any, base, vdupq_n_u8(16 / E));
        for (std::size_t part = 0; part < E; ++part) {
            const uint8x16_t index = vaddq_u8(vmulq_u8(vqtbl1q_u8(base, spread[part]), vdupq_n_u8(E)), within);
            vst1q_u8(out + k * E + part * 16, vqtbl2q_u8(table, index));
        }
    }
    return k;
}

#endif  // KELPA_NEON_KERNELS

// One-byte elements by base, 16 bases at a time: compares and masks on a
// block, which the compiler vectorises (a chain of selects it does not).
std::size_t look_up_by_base_portable(const std::uint8_t* table16, const std::uint8_t* text, std::size_t count,
                                     std::uint8_t* out) {
    const std::uint8_t a = table16[0], c = table16[1], g = table16[2], t = table16[3], other = table16[4];
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        std::uint8_t block[16];
        std::memcpy(block, text + k, 16);
        for (std::size_t j = 0; j < 16; ++j) {
            const auto folded = static_cast<std::uint8_t>(block[j] | 0x20);
            const auto is_a = static_cast<std::uint8_t>(-(folded == 'a'));
            const auto is_c = static_cast<std::uint8_t>(-(folded == 'c'));
            const auto is_g = static_cast<std::uint8_t>(-(folded == 'g'));
            const auto is_t = static_cast<std::uint8_t>(-(folded == 't'));
            block[j] = static_cast<std::uint8_t>((other & ~(is_a | is_c | is_g | is_t)) | (a & is_a) | (c & is_c) |
                                                 (g & is_g) | (t & is_t));
        }
        std::memcpy(out + k, block, 16);
    }
    return k;
}

int channel_of(unsigned byte) {
    switch (byte) {
        case 'A':
        case 'a': return 0;
        case 'C':
        case 'c': return 1;
        case 'G':
        case 'g': return 2;
        case 'T':
        case 't': return 3;
        default: return -1;
    }
}

}  // namespace

RowEncoder RowEncoder::bytes(bool upper) {
    RowEncoder encoder(Layout::Interleaved, 1, 1);
    for (unsigned b = 0; b < 256; ++b)
        encoder.table_[b] = static_cast<std::uint8_t>(upper && b >= 'a' && b <= 'z' ? b - 'a' + 'A' : b);
    encoder.upper_ = upper;
    encoder.find_shape(true);
    return encoder;
}

RowEncoder RowEncoder::codes(const std::array<std::int64_t, 256>& table, unsigned width) {
    RowEncoder encoder(Layout::Interleaved, width, 1);
    for (unsigned b = 0; b < 256; ++b) {
        // The low `width` bytes, in native byte order.
        if (width == 1) encoder.table_[b] = static_cast<std::uint8_t>(table[b]);
        else if (width == 2) {
            const auto value = static_cast<std::int16_t>(table[b]);
            std::memcpy(&encoder.table_[b * 2], &value, 2);
        } else if (width == 4) {
            const auto value = static_cast<std::int32_t>(table[b]);
            std::memcpy(&encoder.table_[b * 4], &value, 4);
        } else {
            std::memcpy(&encoder.table_[b * 8], &table[b], 8);
        }
    }
    encoder.find_shape(false);
    return encoder;
}

RowEncoder RowEncoder::one_hot(unsigned width, const void* zero, const void* one, const void* other,
                               bool channels_first) {
    RowEncoder encoder =
        channels_first ? RowEncoder(Layout::Planar, width, 4) : RowEncoder(Layout::Interleaved, width * 4, 1);
    for (unsigned b = 0; b < 256; ++b) {
        const int hot = channel_of(b);
        for (unsigned channel = 0; channel < 4; ++channel) {
            const void* value = hot < 0 ? other : static_cast<int>(channel) == hot ? one : zero;
            const std::size_t at =
                channels_first ? (std::size_t{channel} * 256 + b) * width : (std::size_t{b} * 4 + channel) * width;
            std::memcpy(&encoder.table_[at], value, width);
        }
    }
    encoder.find_shape(false);
    return encoder;
}

RowEncoder RowEncoder::channels(unsigned width, const std::uint8_t* elements, unsigned pad, bool channels_first) {
    RowEncoder encoder =
        channels_first ? RowEncoder(Layout::Planar, width, 4) : RowEncoder(Layout::Interleaved, width * 4, 1);
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned channel = 0; channel < 4; ++channel) {
            const std::size_t at =
                channels_first ? (std::size_t{channel} * 256 + b) * width : (std::size_t{b} * 4 + channel) * width;
            std::memcpy(&encoder.table_[at], elements + (std::size_t{b} * 4 + channel) * width, width);
        }
    }
    encoder.pad_ = pad;
    if (pad == 'N') encoder.find_shape(false);
    return encoder;
}

void RowEncoder::find_shape(bool bytes) {
    if (bytes) {
        shape_ = Shape::Bytes;
        return;
    }
    const std::size_t element = width_;
    if (element != 1 && element != 2 && element != 4) return;
    static constexpr unsigned char BASES[] = {'A', 'C', 'G', 'T', 'N'};
    for (unsigned plane = 0; plane < planes_; ++plane) {
        const std::uint8_t* table = table_.data() + std::size_t{plane} * 256 * element;
        for (unsigned b = 0; b < 256; ++b) {
            const int base = channel_of(b);
            const unsigned same = base < 0 ? 'N' : BASES[base];
            if (std::memcmp(table + b * element, table + same * element, element) != 0) return;
        }
        for (std::size_t base = 0; base < 5 && (base + 1) * element <= 16; ++base)
            std::memcpy(&by_base_[plane][base * element], table + BASES[base] * element, element);
        for (std::size_t at = 0; at < 16; at += element)
            std::memcpy(&other_[plane][at], table + std::size_t{'N'} * element, element);
    }
    shape_ = Shape::ByBase;
    if (element == 1 && planes_ == 1) {
        complemented_.resize(256);
        for (unsigned b = 0; b < 256; ++b) complemented_[b] = table_[COMPLEMENT_TABLE[b]];
        by_base_complemented_ = by_base_[0];
        std::swap(by_base_complemented_[0], by_base_complemented_[3]);  // A and T
        std::swap(by_base_complemented_[1], by_base_complemented_[2]);  // C and G
    }
}

void RowEncoder::encode_plane(unsigned plane, const std::uint8_t* text, std::size_t lead, std::size_t count,
                              std::size_t trail, std::uint8_t* out, bool complemented) const {
    const std::uint8_t* table = complemented ? complemented_.data() : table_.data() + std::size_t{plane} * 256 * width_;
    const std::uint8_t* by_base = complemented ? by_base_complemented_.data() : by_base_[plane].data();
    if (shape_ == Shape::Bytes) {
        std::memset(out, 'N', lead);
        if (count > 0 && out + lead != text) std::memmove(out + lead, text, count);
        if (upper_) to_upper_ascii(reinterpret_cast<char*>(out + lead), count);
        std::memset(out + lead + count, 'N', trail);
        return;
    }
    if (shape_ == Shape::ByBase && (width_ == 1 || width_ == 2 || width_ == 4)) {
        const std::uint8_t* pad = table + std::size_t{pad_} * width_;
        [[maybe_unused]] const std::uint8_t* other = other_[plane].data();
        const KernelPath path = kernel_path();
        const auto run = [&](auto element) {
            constexpr std::size_t E = decltype(element)::value;
            repeat<E>(pad, lead, out);
            std::size_t done = 0;
            std::uint8_t* const at = out + lead * E;
#if defined(KELPA_X86_KERNELS)
            if (path == KernelPath::Avx2 || path == KernelPath::Ssse3) {
                if constexpr (E == 1) {
                    if (path == KernelPath::Avx2) done = look_up_by_nibble(by_base, text, count, at);
                }
                done += look_up_by_base<E>(by_base, other, text + done, count - done, at + done * E);
            }
#elif defined(KELPA_NEON_KERNELS)
            if (path == KernelPath::Neon) {
                if constexpr (E == 1) done = look_up_by_nibble_neon(by_base, text, count, at);
                else done = look_up_by_base_neon<E>(by_base, other, text, count, at);
            }
#endif
            if constexpr (E == 1) {
                if (path == KernelPath::Portable) done = look_up_by_base_portable(by_base, text, count, at);
            }
            look_up<E>(table, text + done, count - done, at + done * E);
            repeat<E>(pad, trail, out + (lead + count) * E);
        };
        switch (width_) {
            case 1: run(std::integral_constant<std::size_t, 1>{}); return;
            case 2: run(std::integral_constant<std::size_t, 2>{}); return;
            default: run(std::integral_constant<std::size_t, 4>{}); return;
        }
    }
    run_for(width_)(table, pad_, text, lead, count, trail, out);
}

void RowEncoder::encode_in_place(char* row, std::size_t before, std::size_t count, std::size_t after, bool rc) const {
    const std::size_t length = before + count + after;
    auto* const out = reinterpret_cast<std::uint8_t*>(row);
    std::uint8_t* const text = out + row_bytes(length) - count;
    const std::size_t lead = rc ? after : before;
    const std::size_t trail = rc ? before : after;
    if (rc && !complemented_.empty()) {
#if defined(KELPA_X86_KERNELS)
        if (shape_ == Shape::ByBase && text == out + lead && kernel_path() == KernelPath::Avx2) {
            // The complements' elements, reversed as they are written.
            const std::size_t done = look_up_reversed_by_nibble(by_base_complemented_.data(), text, count);
            for (std::size_t i = done, j = count - done; i < j; ++i, --j) {  // a middle under 32 bytes
                const std::uint8_t front = complemented_[text[i]];
                text[i] = complemented_[text[j - 1]];
                text[j - 1] = front;
            }
            std::memset(out, complemented_[pad_], lead);
            std::memset(text + count, complemented_[pad_], trail);
            return;
        }
#endif
        // The complements' elements, then reversed: one pass less over the text.
        encode_plane(0, text, lead, count, trail, out, true);
        reverse_in_place(reinterpret_cast<char*>(out + lead), count);
        return;
    }
    if (rc) reverse_complement_in_place(reinterpret_cast<char*>(text), count, ComplementRule::ToN);
    // Plane after plane: the last one, which the text lies in, last of all
    // (see look_up for why the text survives until it is read).
    const std::size_t plane_bytes = length * width_;
    for (unsigned plane = 0; plane < planes_; ++plane)
        encode_plane(plane, text, lead, count, trail, out + plane * plane_bytes);
}

void RowEncoder::encode(const char* text, std::size_t count, char* row, std::size_t before, std::size_t after,
                        bool rc) const {
    const std::size_t length = before + count + after;
    if (count > 0) std::memcpy(row + row_bytes(length) - count, text, count);
    encode_in_place(row, before, count, after, rc);
}

}  // namespace kelpa::core
