#include "cli/region.hpp"

#include <algorithm>

namespace kelpa::cli {

namespace {

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// A number at the start of `text` and how much of it it takes (0: none).
struct Position {
    std::uint64_t value = 0;
    std::size_t length = 0;
    bool negative = false;  // "-END"
    bool inexact = false;   // a fractional part was dropped
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

Position read_position(std::string_view text, bool may_be_negative) {
    Position number;
    std::size_t at = text.find_first_not_of(" \t");
    if (at == std::string_view::npos) return number;
    bool negative = false;
    if (text[at] == '+' || (may_be_negative && text[at] == '-')) negative = text[at++] == '-';
    std::uint64_t mantissa = 0;
    bool saturated = false, digits = false;
    int scale = 0;  // the power of ten the mantissa is multiplied by
    const auto append = [&mantissa](char c) {
        std::uint64_t next;
        if (__builtin_mul_overflow(mantissa, 10, &next) || __builtin_add_overflow(next, c - '0', &next)) return false;
        mantissa = next;
        return true;
    };
    // Past 64 bits, the whole part saturates and the fraction's digits are dropped.
    for (; at < text.size() && (is_digit(text[at]) || text[at] == ','); ++at) {
        if (text[at] == ',') continue;
        digits = true;
        saturated = saturated || !append(text[at]);
    }
    if (at < text.size() && text[at] == '.') {
        for (++at; at < text.size() && is_digit(text[at]); ++at) {
            digits = true;
            if (saturated) continue;
            if (append(text[at])) {
                --scale;
            } else {
                number.inexact |= text[at] != '0';
            }
        }
    }
    if (!digits) return number;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t e = at + 1;
        const bool down = e < text.size() && text[e] == '-';
        if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
        int exponent = 0;
        const std::size_t first = e;
        for (; e < text.size() && is_digit(text[e]); ++e) exponent = std::min(exponent * 10 + (text[e] - '0'), 1000);
        if (e > first) {
            scale += down ? -exponent : exponent;
            at = e;
        }
    } else if (at < text.size()) {
        switch (text[at]) {
            case 'k':
            case 'K': scale += 3, ++at; break;
            case 'm':
            case 'M': scale += 6, ++at; break;
            case 'g':
            case 'G': scale += 9, ++at; break;
            default: break;
        }
    }
    for (; scale > 0 && mantissa != 0 && !saturated; --scale)
        saturated = __builtin_mul_overflow(mantissa, 10, &mantissa);
    for (; scale < 0 && mantissa != 0 && !saturated; ++scale) {
        number.inexact |= mantissa % 10 != 0;
        mantissa /= 10;
    }
    number.value = saturated ? UINT64_MAX : mantissa;
    number.negative = negative && number.value != 0;
    number.length = at;
    return number;
}

}  // namespace

bool parse_region(std::string_view text, const core::NameTable& table, const std::string& fasta, Region& region,
                  std::string& error) {
    std::string_view span;
    bool has_span = false;
    if (text.starts_with('{')) {
        const std::size_t close = text.find('}');
        if (close == std::string_view::npos) {
            error = "bad region " + quoted(text) + ": no closing brace";
            return false;
        }
        region.name = text.substr(1, close - 1);
        const std::string_view tail = text.substr(close + 1);
        if (!tail.empty() && tail[0] != ':') {
            error = "bad region " + quoted(text) + ": unexpected text after the braces";
            return false;
        }
        has_span = !tail.empty();
        if (has_span) span = tail.substr(1);
        region.entry = table.find(region.name);
    } else {
        const std::size_t colon = text.rfind(':');
        if (const core::IndexEntry* whole = table.find(text); whole != nullptr) {
            if (colon != std::string_view::npos && table.contains(text.substr(0, colon))) {
                error = "region " + quoted(text) + " is ambiguous: write {" + std::string(text) + "} or {" +
                        std::string(text.substr(0, colon)) + "}" + std::string(text.substr(colon));
                return false;
            }
            region = {text, whole, 1, whole->rlen, {}};
            return true;
        }
        if (colon == std::string_view::npos) {
            error = "sequence " + quoted(text) + " is not in " + fasta;
            return false;
        }
        region.name = text.substr(0, colon);
        span = text.substr(colon + 1);
        has_span = true;
        region.entry = table.find(region.name);
    }
    if (region.entry == nullptr) {
        const bool whole = text.starts_with('{') && !has_span;
        error = "sequence " + quoted(region.name) + (whole ? "" : " of region " + quoted(text)) + " is not in " + fasta;
        return false;
    }
    region.start = 1;
    region.end = region.entry->rlen;
    region.inexact = {};
    if (!has_span || span.empty()) return true;
    // Whatever follows a position, up to the next '-', when it is not a region.
    const auto not_a_position = [&](std::string_view rest, std::size_t from) {
        error =
            "bad region " + quoted(text) + ": " + quoted(rest.substr(0, rest.find('-', from))) + " is not a position";
        return false;
    };
    const Position first = read_position(span, true);
    if (first.inexact) region.inexact = span.substr(0, first.length);
    const std::string_view rest = span.substr(first.length);
    if (first.negative) {  // NAME:-END
        if (!rest.empty()) return not_a_position(span, first.length);
        region.end = first.value;
        return true;
    }
    if (rest.empty()) {
        region.start = std::max<std::uint64_t>(first.value, 1);
        return true;
    }
    if (rest[0] != '-') return not_a_position(span, first.length);
    const std::string_view tail = rest.substr(1);
    const Position last = read_position(tail, false);
    if (last.length < tail.size()) return not_a_position(tail, tail.size());
    if (last.inexact) region.inexact = tail;
    region.start = first.value;
    if (last.value == 0) return true;  // to the record's end, as NAME:START
    region.end = last.value;
    if (region.end < region.start) {
        error = "bad region " + quoted(text) + ": the end is before the start";
        return false;
    }
    return true;
}

}  // namespace kelpa::cli
