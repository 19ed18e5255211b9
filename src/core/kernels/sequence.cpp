#include "core/kernels/sequence.hpp"

#include "core/base/utf8.hpp"

#include <algorithm>
#include <cstring>

#include "core/kernels/dispatch.hpp"
#include "core/kernels/sequence_paths.hpp"

namespace kelpa::core {

using namespace sequence_paths;

constexpr std::array<std::uint8_t, 256> COMPLEMENT_TABLE = make_complement_table();

namespace {

inline std::uint8_t byte_at(const char* p, std::size_t i) { return static_cast<std::uint8_t>(p[i]); }

constexpr std::array<double, 256> make_iupac_weights() {
    std::array<double, 256> table{};
    for (const auto& [letter, weight] : IUPAC_LETTERS) {
        table[static_cast<std::uint8_t>(letter)] = weight;
        table[static_cast<std::uint8_t>(letter | 0x20)] = weight;
    }
    return table;
}

constexpr std::array<double, 256> IUPAC_WEIGHT = make_iupac_weights();

// The table-driven counting loops add one 64-bit word per byte with two
// 32-bit counters in it, low and high, and empty it at least every 2^30 bytes.
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

// The table kernels move eight bytes at a time as one 64-bit word: through
// char pointers the compiler must assume that each store may change the next
// input byte, and a byte array on the stack stalls store forwarding. A table
// lookup per byte is what a byte shuffle does sixteen at a time; no compiler
// makes one from it.
constexpr std::size_t WORD = 8;

inline std::uint64_t load_word(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, WORD);
    return word;
}

inline void store_word(char* p, std::uint64_t word) { std::memcpy(p, &word, WORD); }

// Complements each byte of the word where it stands, so byte order does not matter.
template <ComplementRule rule = ComplementRule::ToN>
inline std::uint64_t complement_word(std::uint64_t word) {
    std::uint64_t result = 0;
#pragma GCC unroll 8
    for (unsigned shift = 0; shift < 64; shift += 8)
        result |= std::uint64_t{complement_table<rule>()[(word >> shift) & 0xFF]} << shift;
    return result;
}

// The blocks of the kernels that the compiler vectorises: a fixed count of
// bytes, copied in and out of a local array so that no store can change the
// input.
constexpr std::size_t BLOCK = 16;

// Byte counters per position of a block, emptied before they can wrap.
constexpr std::size_t BYTE_COUNTER_ROUNDS = 255;

}  // namespace

namespace sequence_paths {

void complement_portable(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + WORD <= n; i += WORD) store_word(out + i, complement_word(load_word(in + i)));
    for (; i < n; ++i) out[i] = static_cast<char>(COMPLEMENT_TABLE[byte_at(in, i)]);
}

// Reversing a word's bytes is the same for either byte order.
void reverse_portable(const char* in, std::size_t n, char* out) {
    std::size_t i = 0;
    for (; i + WORD <= n; i += WORD) store_word(out + i, __builtin_bswap64(load_word(in + n - WORD - i)));
    for (; i < n; ++i) out[i] = in[n - 1 - i];
}

void reverse_in_place_portable(char* data, std::size_t n) {
    std::size_t i = 0;
    std::size_t j = n;
    for (; j - i >= 2 * WORD; i += WORD, j -= WORD) {
        const std::uint64_t front = load_word(data + i);
        store_word(data + i, __builtin_bswap64(load_word(data + j - WORD)));
        store_word(data + j - WORD, __builtin_bswap64(front));
    }
    std::reverse(data + i, data + j);
}

template <ComplementRule rule>
void reverse_complement_portable(const char* in, std::size_t n, char* out) {
    const auto& table = complement_table<rule>();
    std::size_t i = 0;
    for (; i + WORD <= n; i += WORD)
        store_word(out + i, complement_word<rule>(__builtin_bswap64(load_word(in + n - WORD - i))));
    for (; i < n; ++i) out[i] = static_cast<char>(table[byte_at(in, n - 1 - i)]);
}

template <ComplementRule rule>
void reverse_complement_in_place_portable(char* data, std::size_t n) {
    const auto& table = complement_table<rule>();
    std::size_t i = 0;
    std::size_t j = n;
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

template void reverse_complement_portable<ComplementRule::ToN>(const char*, std::size_t, char*);
template void reverse_complement_portable<ComplementRule::KeepOthers>(const char*, std::size_t, char*);
template void reverse_complement_in_place_portable<ComplementRule::ToN>(char*, std::size_t);
template void reverse_complement_in_place_portable<ComplementRule::KeepOthers>(char*, std::size_t);

void to_upper_ascii_portable(char* data, std::size_t n) {
    std::size_t i = 0;
    for (; i + BLOCK <= n; i += BLOCK) {
        std::uint8_t block[BLOCK];
        std::memcpy(block, data + i, BLOCK);
        for (std::size_t k = 0; k < BLOCK; ++k)
            block[k] ^= static_cast<std::uint8_t>(static_cast<std::uint8_t>(block[k] - 'a') < 26 ? 0x20 : 0);
        std::memcpy(data + i, block, BLOCK);
    }
    for (; i < n; ++i)
        if (data[i] >= 'a' && data[i] <= 'z') data[i] = static_cast<char>(data[i] - ('a' - 'A'));
}

bool is_ascii_portable(const char* data, std::size_t n) {
    constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;
    std::size_t i = 0;
    for (; i + 8 * WORD <= n; i += 8 * WORD) {
        std::uint64_t any = 0;
        for (std::size_t k = 0; k < 8; ++k) any |= load_word(data + i + k * WORD);
        if (any & HIGH_BITS) return false;
    }
    std::uint8_t any = 0;
    for (; i < n; ++i) any |= byte_at(data, i);
    return any < 0x80;
}

namespace {

// Adds the table's packed counts of [i, n) to the tally.
void count_bases_by_table(const char* data, std::size_t i, std::size_t n, BaseTally& tally) {
    while (i < n) {
        const std::size_t chunk_end = i + std::min(n - i, PACKED_CHUNK);
        std::uint64_t packed = 0;
        for (; i < chunk_end; ++i) packed += BASE_PACKED[byte_at(data, i)];
        tally.bases += packed & LOW_HALF;
        tally.gc += packed >> 32;
    }
}

inline bool is_gc(std::uint8_t byte) {
    const auto upper = static_cast<std::uint8_t>(byte & 0xDF);
    return upper == 'C' || upper == 'G';
}

inline bool is_at(std::uint8_t byte) {
    const auto upper = static_cast<std::uint8_t>(byte & 0xDF);
    return upper == 'A' || upper == 'T';
}

// Counts blocks of BLOCK bytes with a byte counter per position (what the
// vector kernels do in registers); returns the bytes consumed.
template <bool bases>
std::size_t count_blocks(const char* data, std::size_t n, BaseTally& tally) {
    std::size_t i = 0;
    while (n - i >= BLOCK) {
        std::uint8_t gc[BLOCK] = {};
        std::uint8_t acgt[BLOCK] = {};
        for (std::size_t round = 0; round < BYTE_COUNTER_ROUNDS && n - i >= BLOCK; ++round, i += BLOCK) {
            std::uint8_t block[BLOCK];
            std::memcpy(block, data + i, BLOCK);
            for (std::size_t k = 0; k < BLOCK; ++k) {
                gc[k] += is_gc(block[k]);
                if constexpr (bases) acgt[k] += is_gc(block[k]) + is_at(block[k]);  // one or neither
            }
        }
        std::uint64_t gc_sum = 0;
        std::uint64_t acgt_sum = 0;
        for (std::size_t k = 0; k < BLOCK; ++k) {
            gc_sum += gc[k];
            acgt_sum += acgt[k];
        }
        tally.gc += gc_sum;
        tally.bases += acgt_sum;
    }
    return i;
}

}  // namespace

void count_gc_portable(const char* data, std::size_t n, BaseTally& tally) {
    const std::size_t i = count_blocks<false>(data, n, tally);
    BaseTally tail;
    count_bases_by_table(data, i, n, tail);
    tally.gc += tail.gc;
}

void count_bases_portable(const char* data, std::size_t n, BaseTally& tally) {
    count_bases_by_table(data, count_blocks<true>(data, n, tally), n, tally);
}

std::size_t gc_iupac_quarters_portable(const char* data, std::size_t n, IupacTally& tally) {
    std::size_t i = 0;
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

const Kernels PORTABLE = {
    complement_portable,
    reverse_portable,
    reverse_in_place_portable,
    {reverse_complement_portable<ComplementRule::ToN>, reverse_complement_portable<ComplementRule::KeepOthers>},
    {reverse_complement_in_place_portable<ComplementRule::ToN>,
     reverse_complement_in_place_portable<ComplementRule::KeepOthers>},
    to_upper_ascii_portable,
    is_ascii_portable,
    count_gc_portable,
    count_bases_portable,
    gc_iupac_quarters_portable,
};

}  // namespace sequence_paths

namespace {

const Kernels& pick_kernels() {
    switch (kernel_path()) {
#if defined(KELPA_X86_KERNELS)
        case KernelPath::Ssse3:
        case KernelPath::Avx2: return X86;
#endif
#if defined(KELPA_NEON_KERNELS)
        case KernelPath::Neon: return NEON;
#endif
        default: return PORTABLE;
    }
}

const Kernels& kernels() {
    static const Kernels& chosen = pick_kernels();
    return chosen;
}

std::size_t rule_index(ComplementRule rule) { return rule == ComplementRule::ToN ? 0 : 1; }

}  // namespace

// ---------------------------------------------------------------------------
// Transforms

void complement(const char* in, std::size_t n, char* out) { kernels().complement(in, n, out); }

void reverse(const char* in, std::size_t n, char* out) { kernels().reverse(in, n, out); }

void reverse_in_place(char* data, std::size_t n) { kernels().reverse_in_place(data, n); }

void reverse_complement(const char* in, std::size_t n, char* out, ComplementRule rule) {
    kernels().reverse_complement[rule_index(rule)](in, n, out);
}

void reverse_complement_in_place(char* data, std::size_t n, ComplementRule rule) {
    kernels().reverse_complement_in_place[rule_index(rule)](data, n);
}

void to_upper_ascii(char* data, std::size_t n) { kernels().to_upper_ascii(data, n); }

bool is_ascii(const char* data, std::size_t n) { return kernels().is_ascii(data, n); }

bool is_valid_utf8(const char* data, std::size_t n) { return valid_utf8_prefix(std::string_view(data, n)) == n; }

// ---------------------------------------------------------------------------
// GC content

double gc_fraction(const char* data, std::size_t n) {
    if (n == 0) return 0.0;
    BaseTally tally;
    kernels().count_gc(data, n, tally);
    return static_cast<double>(tally.gc) / static_cast<double>(n);
}

double gc_strict_fraction(const char* data, std::size_t n) {
    BaseTally tally;
    kernels().count_bases(data, n, tally);
    return tally.bases == 0 ? 0.0 : static_cast<double>(tally.gc) / static_cast<double>(tally.bases);
}

double gc_iupac_fraction(const char* data, std::size_t n) {
    IupacTally tally;
    std::size_t i = kernels().gc_iupac_quarters(data, n, tally);
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
