// Fuzz target: the program's parsers of the text it is handed (src/cli):
// region strings, parse_region(); BED lines, parse_bed_line(); and the
// arguments of a command, parse_args(). Every text is a heap block of
// exactly its size (and every argument list a vector of exactly its
// length), so ASan reports a read past it; the parsers are built with the
// library's bounds checks as well (fuzz/build.sh).
//
// Regions, against a small name table made from the input:
//   - the name is found as region.hpp says: "{NAME}" quotes it (no '}':
//     refused; text after the '}' other than ":..." refused); else the whole
//     text, when the table holds it, is the whole record (refused when the
//     part before its last ':' is a name too); else the part before the last
//     ':' (no ':': refused). A name the table lacks is refused;
//   - a range of plain digits ("S", "S-E", "-E", "S-", "-", or none) gives
//     exactly: S (0 taken as 1) to the record's end; S to E (an E of 0 is no
//     E; an E before S refused); 1 to E (E of 0: the record's end); S to the
//     record's end, as "S" does (S past the end is no error: samtools prints
//     an empty record); an empty region (start 0); the whole record. Digits
//     past 64 bits give 2**64 - 1;
//   - the input may instead write a region of a table name and two numbers,
//     each position in one of the forms the header lists (thousands
//     separators, blanks and '+', k/M/G, an exponent, a fraction of zeros,
//     a fraction dropped), which must come to the same numbers, with
//     `inexact` set exactly when a fraction was dropped;
//   - whatever the text: success gives an entry of the table under the name
//     found, a name (and `inexact`) inside the text, and a start of 0, a
//     start up to the end, or an end that is the record's (START past it);
//     failure gives a problem on one line (unless the text holds a line break).
// BED lines, against the rules of bed.hpp restated: blank, "#", "track" and
// "browser" lines are skipped; at least three tab-separated columns; start
// and end whole numbers in 64 bits, neither negative, start <= end; name and
// strand from columns 4 and 6; with blocks, a line of exactly 12 columns
// (empty columns at the end do not count) has its blocks read from columns
// 10-12 (a count of 0 with empty lists: none), each of size > 0 and inside
// the feature. A bad line gives a one-line problem.
// Arguments, for faidx's options (getopt spelling), getfasta's (whole
// spellings) and none, each read both ways:
//   - with whole spellings, the result is the rules of options.hpp restated;
//   - with the getopt spelling, a list that whole spellings read is read the
//     same; anything read has its spelling among the option's names, no
//     value for an option that takes none, and positionals that are
//     arguments in their order;
//   - failure gives a problem on one line (unless an argument holds a line
//     break) that names the option.
//
// Input format: a byte choosing the parser (modulo 3), then
//   region: a count of names (a byte, modulo 8), each an rlen
//     (fuzz::Input::number), a length (a byte, modulo 24) and that many
//     bytes; a byte whose bit 0 asks for a written region, then the rest is
//     the text; a written region is a name's index (a byte), the form and
//     the positions' styles (a byte each), then two numbers;
//   BED: a byte whose bit 0 asks for blocks, then the line;
//   arguments: a byte choosing the options (modulo 3), then the arguments,
//     separated by NUL bytes.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/bed.hpp"
#include "cli/option_tables.hpp"
#include "cli/options.hpp"
#include "cli/region.hpp"
#include "common.hpp"
#include "core/index/index_file.hpp"

using kelpa::cli::BedBlocks;
using kelpa::cli::BedFeature;
using kelpa::cli::BedLine;
using kelpa::cli::OptionSpec;
using kelpa::cli::ParsedArgs;
using kelpa::cli::Region;
using kelpa::cli::Spelling;
using kelpa::core::IndexEntry;
using kelpa::core::NameTable;

namespace {

// A copy of `text` in a heap block of exactly its size.
class ExactText {
public:
    explicit ExactText(std::string_view text) : bytes_(new char[text.size()]), size_(text.size()) {
        std::copy(text.begin(), text.end(), bytes_.get());
    }
    std::string_view view() const { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

bool one_line(std::string_view problem, bool may_break) {
    return !problem.empty() && (may_break || problem.find_first_of("\r\n") == std::string_view::npos);
}

// --- regions ------------------------------------------------------------

const std::string FASTA = "ref.fa";

// A range of the region grammar, with its numbers.
struct Range {
    enum class Form { None, Start, StartEnd, MinusEnd, StartMinus } form = Form::None;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

struct Outcome {
    bool refused = false;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

Outcome range_by_hand(const Range& range, std::uint64_t rlen) {
    switch (range.form) {
        case Range::Form::None: return {false, 1, rlen};
        case Range::Form::Start: return {false, std::max<std::uint64_t>(range.start, 1), rlen};
        // Only an END that is given can be before the START: without one
        // the region runs to the record's end, as "NAME:START" does, and
        // one that starts past it is empty.
        case Range::Form::StartEnd:
            if (range.end == 0) return {false, range.start, rlen};
            return {range.end < range.start, range.start, range.end};
        case Range::Form::MinusEnd: return {false, 1, range.end != 0 ? range.end : rlen};
        case Range::Form::StartMinus: return {false, range.start, rlen};
    }
    return {};
}

// Decimal digits, 2**64 - 1 past 64 bits; nothing when `text` holds another byte.
std::optional<std::uint64_t> digits(std::string_view text) {
    std::uint64_t value = 0;
    bool saturated = false;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        saturated = saturated || __builtin_mul_overflow(value, 10, &value) ||
                    __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value);
    }
    return saturated ? UINT64_MAX : value;
}

// The range of plain digits `span` spells, or nothing for any other text.
std::optional<Range> plain_range(std::string_view span) {
    if (span.empty()) return Range{};
    if (span == "-") return Range{Range::Form::StartMinus, 0, 0};
    if (span[0] == '-') {
        const auto end = digits(span.substr(1));
        if (!end) return std::nullopt;
        return Range{Range::Form::MinusEnd, 0, *end};
    }
    const std::size_t dash = span.find('-');
    const auto start = digits(span.substr(0, dash));
    if (!start) return std::nullopt;
    if (dash == std::string_view::npos) return Range{Range::Form::Start, *start, 0};
    const std::string_view tail = span.substr(dash + 1);
    if (tail.empty()) return Range{Range::Form::StartMinus, *start, 0};
    const auto end = digits(tail);
    if (!end) return std::nullopt;
    return Range{Range::Form::StartEnd, *start, *end};
}

// Where the text's name is and what follows it (region.hpp).
struct Found {
    bool refused = false;
    std::string_view name;
    const IndexEntry* entry = nullptr;
    bool whole_text = false;  // the whole text is the name
    std::string_view span;    // the text after "NAME:", when there is one
};

Found find_by_hand(std::string_view text, const NameTable& table) {
    const Found refused{.refused = true};
    Found found;
    if (!text.empty() && text[0] == '{') {
        const std::size_t close = text.find('}');
        if (close == std::string_view::npos) return refused;
        found.name = text.substr(1, close - 1);
        const std::string_view tail = text.substr(close + 1);
        if (!tail.empty() && tail[0] != ':') return refused;
        if (!tail.empty()) found.span = tail.substr(1);
    } else {
        const std::size_t colon = text.rfind(':');
        if (table.find(text) != nullptr) {
            if (colon != std::string_view::npos && table.find(text.substr(0, colon)) != nullptr) return refused;
            found.name = text;
            found.whole_text = true;
        } else {
            if (colon == std::string_view::npos) return refused;
            found.name = text.substr(0, colon);
            found.span = text.substr(colon + 1);
        }
    }
    found.entry = table.find(found.name);
    if (found.entry == nullptr) return refused;
    return found;
}

// A position written in one of the forms read_position() reads; `inexact`
// is set when the form drops a fraction.
std::string write_position(std::uint64_t value, int style, bool& inexact) {
    const std::string decimal = std::to_string(value);
    switch (style % 7) {
        case 1: {  // thousands separators
            std::string out;
            for (std::size_t i = 0; i < decimal.size(); ++i) {
                if (i > 0 && (decimal.size() - i) % 3 == 0) out.push_back(',');
                out.push_back(decimal[i]);
            }
            return out;
        }
        case 2: return " \t+" + decimal;
        case 3:
            if (value != 0 && value % 1000000000 == 0) return std::to_string(value / 1000000000) + "G";
            if (value != 0 && value % 1000000 == 0) return std::to_string(value / 1000000) + "M";
            if (value != 0 && value % 1000 == 0) return std::to_string(value / 1000) + "k";
            return decimal + "e0";
        case 4:  // one digit before the point, and an exponent
            return decimal.substr(0, 1) + "." + decimal.substr(1) + "E+" + std::to_string(decimal.size() - 1);
        case 5: return decimal + ".000";
        case 6: inexact = true; return decimal + ".5";
        default: return decimal;
    }
}

void check_region(fuzz::Input& input) {
    NameTable table;
    std::vector<std::string> names;
    const int count = input.byte() % 8;
    for (int i = 0; i < count; ++i) {
        IndexEntry entry;
        entry.rlen = input.number();
        std::string name(input.byte() % 24, '\0');
        for (char& c : name) c = static_cast<char>(input.byte());
        table.insert_or_assign(name, entry);
        names.push_back(std::move(name));
    }
    const bool written = (input.byte() & 1) != 0 && !names.empty();
    std::string text_bytes;
    std::optional<Range> range;
    std::string_view chosen;
    bool inexact = false;
    if (written) {
        chosen = names[input.byte() % names.size()];
        const int form = input.byte();
        const int styles = input.byte();
        const std::uint64_t a = input.number();
        const std::uint64_t b = input.number();
        const bool braces = (form & 4) != 0 && chosen.find('}') == std::string_view::npos;
        text_bytes = braces ? "{" + std::string(chosen) + "}:" : std::string(chosen) + ":";
        switch (form % 4) {
            case 0:
                text_bytes += write_position(a, styles, inexact);
                range = Range{Range::Form::Start, a, 0};
                break;
            case 1:
                text_bytes += write_position(a, styles, inexact) + "-" + write_position(b, styles >> 4, inexact);
                range = Range{Range::Form::StartEnd, a, b};
                break;
            case 2:
                // Blanks go before the '-', the rest of a form after it.
                text_bytes += styles % 7 == 2 ? " -" + std::to_string(b) : "-" + write_position(b, styles, inexact);
                range = Range{Range::Form::MinusEnd, 0, b};
                break;
            default:
                text_bytes += write_position(a, styles, inexact) + "-";
                range = Range{Range::Form::StartMinus, a, 0};
                break;
        }
    } else {
        text_bytes = std::string(input.rest());
    }
    const ExactText exact(text_bytes);
    const std::string_view text = exact.view();

    Region region;
    std::string problem;
    const bool parsed = kelpa::cli::parse_region(text, table, FASTA, region, problem);
    const std::string context = "region " + fuzz::hex_preview(text);

    if (parsed) {
        FUZZ_CHECK(region.entry != nullptr && region.entry == table.find(region.name), context);
        FUZZ_CHECK(inside(region.name, text) && inside(region.inexact, text), context);
        FUZZ_CHECK(region.start == 0 || region.start <= region.end || region.end == region.entry->rlen,
                   context + ": " + std::to_string(region.start) + "-" + std::to_string(region.end));
    } else {
        FUZZ_CHECK(one_line(problem, text.find_first_of("\r\n") != std::string_view::npos), context + ": " + problem);
    }

    const Found found = find_by_hand(text, table);
    if (found.refused) {
        FUZZ_CHECK(!parsed, context + " was read");
        return;
    }
    if (found.whole_text) {
        FUZZ_CHECK(parsed && region.name == text && region.start == 1 && region.end == found.entry->rlen &&
                       region.inexact.empty(),
                   context + ": the whole text names a record; " + problem);
        return;
    }
    // A written region whose name the text does not come back to (a name
    // that begins with '{', a text that is a name itself) is another text.
    if (written && found.name != chosen) range.reset();
    if (!written) range = plain_range(found.span);
    if (!range) return;
    const Outcome expected = range_by_hand(*range, found.entry->rlen);
    if (expected.refused) {
        FUZZ_CHECK(!parsed,
                   context + " was read as " + std::to_string(region.start) + "-" + std::to_string(region.end));
        return;
    }
    FUZZ_CHECK(parsed, context + ": " + problem);
    FUZZ_CHECK(region.name == found.name && region.start == expected.start && region.end == expected.end,
               context + " was read as " + std::to_string(region.start) + "-" + std::to_string(region.end) +
                   ", expected " + std::to_string(expected.start) + "-" + std::to_string(expected.end));
    FUZZ_CHECK(region.inexact.empty() != inexact, context + ": inexact " + fuzz::hex_preview(region.inexact));
}

// --- BED lines ------------------------------------------------------------

enum class Number { Ok, Negative, Bad };

// Optional '-', then one or more digits, in 64 bits.
Number number_by_hand(std::string_view text, std::uint64_t& value) {
    // By the standard library's reading of digits, not the parser's loop.
    const bool negative = text.starts_with('-');
    if (negative) text.remove_prefix(1);
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return Number::Bad;
    return negative ? Number::Negative : Number::Ok;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// Comma-separated whole numbers, one trailing comma allowed.
std::optional<std::vector<std::uint64_t>> list_by_hand(std::string_view text) {
    if (!text.empty() && text.back() == ',') text.remove_suffix(1);
    std::vector<std::uint64_t> values;
    for (const std::string_view part : split(text, ',')) {
        std::uint64_t value;
        if (number_by_hand(part, value) != Number::Ok) return std::nullopt;
        values.push_back(value);
    }
    return values;
}

struct BedByHand {
    BedLine kind = BedLine::Skip;
    BedFeature feature;
    BedBlocks blocks;
};

BedByHand bed_by_hand(std::string_view line, bool with_blocks) {
    BedByHand out;
    if (line.empty() || line.starts_with('#') || line.starts_with("track") || line.starts_with("browser")) return out;
    const std::vector<std::string_view> columns = split(line, '\t');
    if (columns.size() < 3) {
        out.kind = line.find_first_not_of(" \t") == std::string_view::npos ? BedLine::Skip : BedLine::Bad;
        return out;
    }
    out.kind = BedLine::Bad;
    BedFeature& f = out.feature;
    const Number start = number_by_hand(columns[1], f.start);
    const Number end = number_by_hand(columns[2], f.end);
    if (start != Number::Ok || end != Number::Ok || f.start > f.end) return out;
    f.chrom = columns[0];
    f.name = columns.size() > 3 ? columns[3] : std::string_view();
    f.strand = columns.size() > 5 ? columns[5] : std::string_view();
    const bool twelve = columns.size() >= 12 &&
                        std::all_of(columns.begin() + 12, columns.end(), [](std::string_view c) { return c.empty(); });
    if (with_blocks && twelve) {
        std::uint64_t count;
        const bool counted = number_by_hand(columns[9], count) == Number::Ok;
        if (!(counted && count == 0 && columns[10].empty() && columns[11].empty())) {
            const auto sizes = list_by_hand(columns[10]);
            const auto offsets = list_by_hand(columns[11]);
            if (!counted || !sizes || !offsets || count == 0 || sizes->size() != count || offsets->size() != count)
                return out;
            for (std::size_t i = 0; i < count; ++i) {
                const unsigned __int128 first = static_cast<unsigned __int128>(f.start) + (*offsets)[i];
                const unsigned __int128 last = first + (*sizes)[i];
                if ((*sizes)[i] == 0 || last > f.end) return out;
                out.blocks.emplace_back(static_cast<std::uint64_t>(first), static_cast<std::uint64_t>(last));
            }
        }
    }
    out.kind = BedLine::Feature;
    return out;
}

const char* kind_name(BedLine kind) {
    switch (kind) {
        case BedLine::Feature: return "Feature";
        case BedLine::Skip: return "Skip";
        case BedLine::Bad: return "Bad";
    }
    return "?";
}

void check_bed(fuzz::Input& input) {
    const bool with_blocks = (input.byte() & 1) != 0;
    const ExactText exact(input.rest());
    const std::string_view line = exact.view();
    const std::string context = "BED line " + fuzz::hex_preview(line) + (with_blocks ? " with blocks" : "");

    BedFeature feature;
    BedBlocks blocks;
    std::string problem;
    const BedLine kind = kelpa::cli::parse_bed_line(line, feature, with_blocks ? &blocks : nullptr, problem);
    const BedByHand expected = bed_by_hand(line, with_blocks);
    FUZZ_CHECK(kind == expected.kind,
               context + ": " + kind_name(kind) + ", expected " + kind_name(expected.kind) + "; " + problem);
    if (kind == BedLine::Bad) {
        FUZZ_CHECK(one_line(problem, false), context + ": " + problem);
        return;
    }
    if (kind != BedLine::Feature) return;
    FUZZ_CHECK(feature.start <= feature.end, context);
    FUZZ_CHECK(inside(feature.chrom, line) && inside(feature.name, line) && inside(feature.strand, line), context);
    const BedFeature& f = expected.feature;
    FUZZ_CHECK(feature.chrom == f.chrom && feature.start == f.start && feature.end == f.end && feature.name == f.name &&
                   feature.strand == f.strand,
               context + ": " + std::to_string(feature.start) + "-" + std::to_string(feature.end));
    for (const auto& [first, last] : blocks)
        FUZZ_CHECK(feature.start <= first && first < last && last <= feature.end, context);
    FUZZ_CHECK(blocks == expected.blocks, context + ": " + std::to_string(blocks.size()) + " blocks, expected " +
                                              std::to_string(expected.blocks.size()));
}

// --- arguments --------------------------------------------------------------

// Runs body(options, spelling) with the option table of a command.
template <class Body>
void with_options(int which, Body&& body) {
    switch (which % 3) {
        case 0: kelpa::cli::with_faidx_options(body); break;
        case 1: kelpa::cli::with_getfasta_options(body); break;
        default: kelpa::cli::with_index_options(body); break;
    }
}

// What parse_args gives, in plain values.
struct Args {
    bool ok = false;
    std::map<std::string, std::vector<std::string>> values;
    std::map<std::string, std::string> spellings;
    std::vector<std::string> positionals;
    bool help = false;

    bool operator==(const Args&) const = default;
};

Args flatten(const std::optional<ParsedArgs>& parsed, std::initializer_list<OptionSpec> specs) {
    Args out;
    if (!parsed) return out;
    out.ok = true;
    for (const OptionSpec& spec : specs) {
        if (!parsed->has(spec.key)) continue;
        out.values[std::string(spec.key)] = parsed->values(spec.key);
        out.spellings[std::string(spec.key)] = parsed->spelling(spec.key);
    }
    out.positionals = parsed->positionals();
    out.help = parsed->help();
    return out;
}

const OptionSpec* spec_named(std::initializer_list<OptionSpec> specs, std::string_view name) {
    for (const OptionSpec& spec : specs)
        if (std::find(spec.names.begin(), spec.names.end(), name) != spec.names.end()) return &spec;
    return nullptr;
}

// Whole spellings: options.hpp restated.
Args whole_by_hand(const std::vector<std::string>& args, std::initializer_list<OptionSpec> specs) {
    Args out;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg == "-" || !arg.starts_with('-')) {
            out.positionals.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-h" || arg == "--help") {
            out.help = true;
        } else {
            std::string name = arg;
            std::optional<std::string> attached;
            if (arg.starts_with("--") && arg.find('=') != std::string::npos) {
                name = arg.substr(0, arg.find('='));
                attached = arg.substr(arg.find('=') + 1);
            }
            const OptionSpec* spec = spec_named(specs, name);
            if (spec == nullptr || (!spec->takes_value && attached)) return {};
            std::string value;
            if (spec->takes_value) {
                if (attached) {
                    value = *attached;
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return {};
                }
            }
            out.values[std::string(spec->key)].push_back(value);
            out.spellings[std::string(spec->key)] = name;
        }
    }
    out.ok = true;
    return out;
}

// Whether `part` is `whole` with elements left out.
bool subsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    std::size_t at = 0;
    for (const std::string& s : whole)
        if (at < part.size() && part[at] == s) ++at;
    return at == part.size();
}

void check_args(fuzz::Input& input) {
    const int which = input.byte();
    const std::string_view rest = input.rest();
    std::vector<std::string_view> pieces;
    if (!rest.empty()) pieces = split(rest, '\0');
    std::vector<std::string> args;
    args.reserve(pieces.size());  // exactly: ASan sees a read past the last
    for (const std::string_view piece : pieces) args.emplace_back(piece);
    const bool breaks = std::any_of(args.begin(), args.end(),
                                    [](const std::string& a) { return a.find_first_of("\r\n") != std::string::npos; });

    with_options(which, [&](std::initializer_list<OptionSpec> specs) {
        std::string whole_problem, getopt_problem;
        const auto whole_parsed = kelpa::cli::parse_args(args, specs, whole_problem, Spelling::Whole);
        const auto getopt_parsed = kelpa::cli::parse_args(args, specs, getopt_problem, Spelling::Getopt);
        const Args whole = flatten(whole_parsed, specs);
        const Args getopt = flatten(getopt_parsed, specs);
        const std::string context = "arguments " + fuzz::hex_preview(rest) + ", options " + std::to_string(which % 3);

        FUZZ_CHECK(whole == whole_by_hand(args, specs), context + ": whole spellings; " + whole_problem);
        if (whole.ok) FUZZ_CHECK(getopt == whole, context + ": getopt reads otherwise what whole spellings read");
        for (const auto& [problem, ok] : {std::pair{whole_problem, whole.ok}, std::pair{getopt_problem, getopt.ok}}) {
            if (ok) continue;
            FUZZ_CHECK(one_line(problem, breaks) &&
                           (problem.starts_with("unrecognized option '") || problem.starts_with("option ")),
                       context + ": " + problem);
        }
        if (!getopt.ok) return;
        FUZZ_CHECK(subsequence(getopt.positionals, args), context + ": positionals");
        for (const OptionSpec& spec : specs) {
            const auto values = getopt.values.find(std::string(spec.key));
            if (values == getopt.values.end()) continue;
            const std::string& spelling = getopt.spellings.at(std::string(spec.key));
            FUZZ_CHECK(std::find(spec.names.begin(), spec.names.end(), spelling) != spec.names.end(),
                       context + ": spelling " + spelling);
            FUZZ_CHECK(!values->second.empty(), context);
            if (!spec.takes_value) {
                for (const std::string& value : values->second) FUZZ_CHECK(value.empty(), context + ": " + value);
            }
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    switch (input.byte() % 3) {
        case 0: check_region(input); break;
        case 1: check_bed(input); break;
        default: check_args(input); break;
    }
    return 0;
}
