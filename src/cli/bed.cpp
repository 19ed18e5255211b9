#include "cli/bed.hpp"

#include <array>

namespace kelpa::cli {

namespace {

enum class Number { Ok, Negative, Bad };

Number parse_number(std::string_view text, std::uint64_t& value) {
    bool negative = false;
    if (text.starts_with('-')) {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty()) return Number::Bad;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || __builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value))
            return Number::Bad;
    }
    return negative ? Number::Negative : Number::Ok;
}

// Comma-separated whole numbers, a trailing comma allowed.
bool parse_list(std::string_view text, std::vector<std::uint64_t>& out) {
    out.clear();
    if (text.ends_with(',')) text.remove_suffix(1);
    while (true) {
        const std::size_t comma = text.find(',');
        std::uint64_t value;
        if (parse_number(text.substr(0, comma), value) != Number::Ok) return false;
        out.push_back(value);
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

bool parse_blocks(const std::array<std::string_view, 13>& columns, const BedFeature& feature, BedBlocks& blocks,
                  std::string& problem) {
    std::uint64_t count;
    std::vector<std::uint64_t> sizes, offsets;
    const bool counted = parse_number(columns[9], count) == Number::Ok;
    if (counted && count == 0 && columns[10].empty() && columns[11].empty()) return true;  // the whole feature
    if (!counted || !parse_list(columns[10], sizes) || !parse_list(columns[11], offsets)) {
        problem = "the block columns must be whole numbers";
        return false;
    }
    if (count < 1 || sizes.size() != count || offsets.size() != count) {
        problem = "the block count does not match the block lists";
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t first = feature.start + offsets[i];
        std::uint64_t last;
        if (sizes[i] == 0) {
            problem = "a block has size 0";
            return false;
        }
        if (__builtin_add_overflow(first, sizes[i], &last) || first < feature.start || last > feature.end) {
            problem = "a block lies outside the feature";
            return false;
        }
        blocks.emplace_back(first, last);
    }
    return true;
}

}  // namespace

BedLine parse_bed_line(std::string_view line, BedFeature& feature, BedBlocks* blocks, std::string& problem) {
    if (line.empty() || line.starts_with('#') || line.starts_with("track") || line.starts_with("browser"))
        return BedLine::Skip;
    std::array<std::string_view, 13> columns{};
    const std::size_t wanted = blocks != nullptr ? 13 : 6;
    std::size_t n = 0;
    std::string_view rest = line;
    while (n < wanted) {
        const std::size_t tab = rest.find('\t');
        columns[n++] = rest.substr(0, tab);
        rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
        if (tab == std::string_view::npos) break;
    }
    // Empty columns at the end of a line do not count.
    if (n == 13 && columns[12].empty() && rest.find_first_not_of('\t') == std::string_view::npos) n = 12;
    if (n < 3) {
        if (line.find_first_not_of(" \t") == std::string_view::npos) return BedLine::Skip;
        problem = "expected at least 3 tab-separated columns";
        return BedLine::Bad;
    }
    feature.chrom = columns[0];
    const Number start = parse_number(columns[1], feature.start);
    const Number end = parse_number(columns[2], feature.end);
    if (start == Number::Bad || end == Number::Bad) {
        problem = "the start and end must be whole numbers";
        return BedLine::Bad;
    }
    if (start == Number::Negative || end == Number::Negative) {
        problem = start == Number::Negative ? "the start is negative" : "the end is negative";
        return BedLine::Bad;
    }
    if (feature.start > feature.end) {
        problem = "the start is after the end";
        return BedLine::Bad;
    }
    feature.name = n > 3 ? columns[3] : std::string_view();
    feature.strand = n > 5 ? columns[5] : std::string_view();
    if (blocks != nullptr) {
        blocks->clear();
        if (n == 12 && !parse_blocks(columns, feature, *blocks, problem)) return BedLine::Bad;
    }
    return BedLine::Feature;
}

}  // namespace kelpa::cli
