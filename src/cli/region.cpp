#include "region.hpp"

namespace kelpa::cli {

namespace {

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

bool parse_position(std::string_view text, std::string_view region, std::uint64_t& value, std::string& error) {
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    bool ok = !digits.empty() && digits[0] >= '0' && digits[0] <= '9';
    value = 0;
    for (const char c : digits) {
        if (c == ',') continue;
        if (c < '0' || c > '9' || __builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value)) {
            ok = false;
            break;
        }
    }
    if (!ok) error = "bad region " + quoted(region) + ": " + quoted(text) + " is not a position";
    return ok;
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
            region = {text, whole, 1, whole->rlen};
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
    if (!has_span || span.empty()) return true;
    const std::size_t dash = span.find('-');
    const std::string_view first = span.substr(0, dash);
    if (!first.empty() && !parse_position(first, text, region.start, error)) return false;
    if (dash != std::string_view::npos) {
        const std::string_view last = span.substr(dash + 1);
        if (!last.empty() && !parse_position(last, text, region.end, error)) return false;
    }
    if (region.start == 0) {
        error = "bad region " + quoted(text) + ": positions start at 1";
        return false;
    }
    if (region.end < region.start && dash != std::string_view::npos && dash + 1 < span.size()) {
        error = "bad region " + quoted(text) + ": the end is before the start";
        return false;
    }
    return true;
}

}  // namespace kelpa::cli
