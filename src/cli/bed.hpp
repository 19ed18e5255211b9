// Lines of a BED file as bedtools reads them: tab-separated, 0-based
// half-open coordinates, chrom start end [name [score [strand ... [blocks]]]].
// Empty lines and "#", "track" and "browser" lines are passed over.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelpa::cli {

struct BedFeature {
    std::string_view chrom;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::string_view name;    // column 4, empty when missing
    std::string_view strand;  // column 6, empty when missing
};

// A BED12 feature's blocks as 0-based half-open spans.
using BedBlocks = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

enum class BedLine { Feature, Skip, Bad };

// Reads one line. With `blocks`, the blocks of a line of exactly 12 columns
// are put there (cleared first). They are left empty, as bedtools leaves
// the feature whole, for other lines and for a block count of 0 with empty
// lists; a block of size 0 makes the line Bad.
// Bad: `problem` says why ("expected at least 3 tab-separated columns", ...).
BedLine parse_bed_line(std::string_view line, BedFeature& feature, BedBlocks* blocks, std::string& problem);

}  // namespace kelpa::cli
