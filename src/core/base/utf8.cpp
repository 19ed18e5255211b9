#include "core/base/utf8.hpp"

#include <cstring>

namespace kelpa::core {

namespace {

using u8 = unsigned char;

// The multi-byte White_Space characters are U+0085 and U+00A0 (two bytes,
// lead 0xC2) and nine code points or ranges of three bytes (leads 0xE1..0xE3).
bool is_whitespace2(u8 b0, u8 b1) { return b0 == 0xC2 && (b1 == 0x85 || b1 == 0xA0); }

bool is_whitespace3(u8 b0, u8 b1, u8 b2) {
    switch (b0) {
        case 0xE1: return b1 == 0x9A && b2 == 0x80;  // U+1680
        case 0xE2:
            if (b1 == 0x80) return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
            return b1 == 0x81 && b2 == 0x9F;  // U+205F
        case 0xE3: return b1 == 0x80 && b2 == 0x80;  // U+3000
        default: return false;
    }
}

bool is_continuation(u8 b) { return (b & 0xC0) == 0x80; }

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;

std::uint64_t load_word(const u8* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

}  // namespace

std::size_t whitespace_prefix(std::string_view text) {
    const auto* p = reinterpret_cast<const u8*>(text.data());
    const std::size_t n = text.size();
    if (n == 0) return 0;
    if (p[0] < 0x80) return is_ascii_whitespace(p[0]) ? 1 : 0;
    if (n >= 2 && is_whitespace2(p[0], p[1])) return 2;
    if (n >= 3 && is_whitespace3(p[0], p[1], p[2])) return 3;
    return 0;
}

std::size_t whitespace_suffix(std::string_view text) {
    const auto* p = reinterpret_cast<const u8*>(text.data());
    const std::size_t n = text.size();
    if (n == 0) return 0;
    if (p[n - 1] < 0x80) return is_ascii_whitespace(p[n - 1]) ? 1 : 0;
    if (n >= 2 && is_whitespace2(p[n - 2], p[n - 1])) return 2;
    if (n >= 3 && is_whitespace3(p[n - 3], p[n - 2], p[n - 1])) return 3;
    return 0;
}

std::string_view trim_whitespace(std::string_view text) {
    while (std::size_t w = whitespace_prefix(text)) text.remove_prefix(w);
    while (std::size_t w = whitespace_suffix(text)) text.remove_suffix(w);
    return text;
}

std::string_view trim_ascii_whitespace(std::string_view text) {
    while (!text.empty() && is_ascii_whitespace(static_cast<u8>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && is_ascii_whitespace(static_cast<u8>(text.back()))) text.remove_suffix(1);
    return text;
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    // Up to 19 digits cannot overflow; only longer fields need the checks.
    const std::size_t unchecked = text.size() < 19 ? text.size() : 19;
    for (std::size_t i = 0; i < unchecked; ++i) {
        const unsigned digit = static_cast<u8>(text[i]) - static_cast<unsigned>('0');
        if (digit > 9) return std::nullopt;
        value = value * 10 + digit;
    }
    for (std::size_t i = unchecked; i < text.size(); ++i) {
        const unsigned digit = static_cast<u8>(text[i]) - static_cast<unsigned>('0');
        if (digit > 9) return std::nullopt;
        if (__builtin_mul_overflow(value, 10u, &value) || __builtin_add_overflow(value, digit, &value)) {
            return std::nullopt;
        }
    }
    return value;
}

std::size_t valid_utf8_prefix(std::string_view text) {
    const auto* p = reinterpret_cast<const u8*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            // Sequence text is ASCII: skip it 32, then 8 bytes at a time.
            while (i + 32 <= n &&
                   ((load_word(p + i) | load_word(p + i + 8) | load_word(p + i + 16) | load_word(p + i + 24)) &
                    HIGH_BITS) == 0) {
                i += 32;
            }
            while (i + 8 <= n && (load_word(p + i) & HIGH_BITS) == 0) i += 8;
            while (i < n && p[i] < 0x80) ++i;
            continue;
        }
        // The table of well-formed sequences (Unicode 15, table 3-7): the
        // second byte's range depends on the lead, which rules out overlong
        // forms, surrogates and code points above U+10FFFF.
        const u8 lead = p[i];
        std::size_t length;
        u8 low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        if (n - i < length) return i;
        if (p[i + 1] < low || p[i + 1] > high) return i;
        for (std::size_t k = 2; k < length; ++k) {
            if (!is_continuation(p[i + k])) return i;
        }
        i += length;
    }
    return n;
}

}  // namespace kelpa::core
