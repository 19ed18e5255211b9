// Fuzz target: the index builder's scan, scan_fasta(path, encoding), on
// arbitrary bytes, as UTF-8 and as bytes.
//
// The bytes become a file (a memfd, opened by path). The records the scan
// returns are compared with the builder's rules applied here line by line:
//
//   - as UTF-8, a file that is not valid UTF-8 fails with IO "stream did not
//     contain valid UTF-8" (and gives no records); as bytes, none does;
//   - a line is everything up to and including "\n"; the last may lack it;
//   - a line whose first byte is '>' is a header: the name is the text after
//     the '>' trimmed of whitespace, up to its first whitespace (White_Space
//     characters as UTF-8, the bytes 0x09..0x0D and 0x20 as bytes); the
//     record's offset is the file position just after the header line;
//   - any other line has as bases its bytes less every trailing CR/LF; the
//     first such line after a header gives lenc (its bases) and lenb (all its
//     bytes, terminator included); rlen adds up the bases of all of them;
//   - records with an empty name, and lines before the first header, are
//     left out; duplicates stay, in file order;
//   - in a named record, let k be its last line with bases: a line before k
//     that differs from the first in bases or bytes, line k with more bases
//     than the first, or a blank first line when k is not the first, fail
//     the scan with IO naming the earliest such line ("line N (in record
//     'name')").
//
// Input format: the bytes are the file. An input whose first byte is 0xFF
// (invalid UTF-8, so otherwise only the error case) is instead a two-byte
// shift k and the rest: the file is then a record of one long line of filler,
// about the size of the builder's 1 MiB read buffer, followed by the rest, so
// that lines, headers and multi-byte characters cross the buffer's end.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "core/index/index_builder.hpp"

using kelpa::core::Encoding;
using kelpa::core::IndexEntry;
using kelpa::core::NamedEntry;

namespace {

constexpr std::size_t BUILDER_BUFFER = std::size_t{1} << 20;

struct Line {
    std::uint64_t number;  // 1-based in the file
    std::size_t bases;
    std::size_t bytes;
};

// The scan state between lines.
struct State {
    std::string name;        // of the current record; empty: none
    IndexEntry entry;        // of the current record
    bool first_line = true;  // no sequence line since the header yet
    std::vector<Line> lines; // the current record's sequence lines
    std::uint64_t number = 1;  // of the next line
};

struct Scan {
    std::vector<NamedEntry> records;
    std::optional<std::uint64_t> broken_line;  // the first line that breaks the layout
    std::string broken_record;
};

// The earliest line of a record's lines that breaks the layout rule.
std::optional<std::uint64_t> layout_break(const std::vector<Line>& lines) {
    if (lines.empty()) return std::nullopt;
    std::size_t last = 0;  // the last line with bases
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].bases > 0) last = i;
    }
    const Line& first = lines[0];
    if (first.bases == 0) return last > 0 ? std::optional(first.number) : std::nullopt;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const bool differs = lines[i].bases != first.bases || lines[i].bytes != first.bytes;
        if (!differs) continue;
        if (i < last || lines[i].bases > first.bases) return lines[i].number;
        return std::nullopt;  // the last line, shorter, then only blank lines
    }
    return std::nullopt;
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The name of a header line, the text after its '>'.
std::string_view name_of(std::string_view rest, Encoding encoding) {
    if (encoding == Encoding::Bytes) {
        while (!rest.empty() && is_ascii_space(rest.front())) rest.remove_prefix(1);
        std::size_t end = 0;
        while (end < rest.size() && !is_ascii_space(rest[end])) ++end;
        return rest.substr(0, end);
    }
    // Trimmed, then up to the first White_Space character.
    rest = fuzz::trim(rest);
    std::size_t end = 0;
    while (end < rest.size()) {
        const auto c = fuzz::decode_utf8(rest.substr(end));
        if (!c) fuzz::fail("invalid UTF-8 in a file that was checked");
        if (fuzz::is_white_space(c->code_point)) break;
        end += c->length;
    }
    return rest.substr(0, end);
}

// Scans `file`, whose first byte lies at file position `at`, from `state`.
Scan scan_by_hand(Encoding encoding, std::string_view file, std::uint64_t at = 0, State state = {}) {
    Scan scan;
    std::string& name = state.name;
    IndexEntry& entry = state.entry;
    bool& first_line = state.first_line;
    auto close = [&] {
        if (name.empty()) return true;
        if (const auto line = layout_break(state.lines)) {
            scan.broken_line = line;
            scan.broken_record = name;
            return false;
        }
        scan.records.emplace_back(name, entry);
        return true;
    };
    std::size_t start = 0;
    while (start < file.size()) {
        std::size_t stop = file.find('\n', start);
        stop = stop == std::string_view::npos ? file.size() : stop + 1;  // one past the terminator
        const std::string_view line = file.substr(start, stop - start);
        start = stop;
        const std::uint64_t number = state.number++;
        if (line[0] == '>') {
            if (!close()) return scan;
            name.assign(name_of(line.substr(1), encoding));
            entry = IndexEntry{0, at + stop, 0, 0};
            first_line = true;
            state.lines.clear();
            continue;
        }
        std::size_t bases = line.size();
        while (bases > 0 && (line[bases - 1] == '\n' || line[bases - 1] == '\r')) --bases;
        if (first_line) {
            entry.lenc = bases;
            entry.lenb = line.size();
            first_line = false;
        }
        entry.rlen += bases;
        state.lines.push_back({number, bases, line.size()});
    }
    close();
    return scan;
}

std::string describe(const NamedEntry& record) {
    const auto& [name, e] = record;
    return fuzz::hex_preview(name) + " " + std::to_string(e.rlen) + " " + std::to_string(e.offset) + " " +
           std::to_string(e.lenc) + " " + std::to_string(e.lenb);
}

// Checks what scan_fasta(path, encoding) gave on the file `bytes`, in which
// `after_filler` follows `filler` bytes of filler (0: none), by the rules.
void check(const kelpa::core::Result<std::vector<NamedEntry>>& scanned, Encoding encoding, std::string_view bytes,
           std::string_view after_filler, std::uint64_t filler) {
    // A carriage return ends a line only before "\n" or at the end of the
    // file; any other is refused (a layout break on an earlier line may be
    // found first).
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' || i + 1 == bytes.size() || bytes[i + 1] == '\n') continue;
        FUZZ_CHECK(!scanned.ok(), "a file with a stray carriage return was indexed");
        FUZZ_CHECK(scanned.error().kind() == kelpa::core::ErrorKind::IO &&
                       scanned.error().payload().starts_with("cannot index "),
                   scanned.error().payload());
        return;
    }

    // After the filler the scan is inside record "f", past its first line.
    const Scan scan = filler == 0 ? scan_by_hand(encoding, bytes)
                                  : scan_by_hand(encoding, after_filler, filler,
                                                 State{"f",
                                                       IndexEntry{filler - 4, 3, filler - 4, filler - 3},
                                                       false,
                                                       {Line{2, filler - 4, filler - 3}},
                                                       3});
    if (scan.broken_line) {
        FUZZ_CHECK(!scanned.ok(), "a broken layout was indexed: line " + std::to_string(*scan.broken_line));
        const std::string where =
            ": line " + std::to_string(*scan.broken_line) + " (in record '" + scan.broken_record + "') ";
        FUZZ_CHECK(scanned.error().kind() == kelpa::core::ErrorKind::IO &&
                       scanned.error().payload().find(where) != std::string::npos,
                   scanned.error().payload() + ", expected" + where);
        return;
    }
    FUZZ_CHECK(scanned.ok(), "the scan failed: " + scanned.error().payload());
    const std::vector<NamedEntry>& expected = scan.records;
    const std::vector<NamedEntry>& got = scanned.value();
    const std::size_t common = std::min(got.size(), expected.size());
    for (std::size_t i = 0; i < common; ++i) {
        FUZZ_CHECK(got[i].first == expected[i].first && got[i].second.rlen == expected[i].second.rlen &&
                       got[i].second.offset == expected[i].second.offset &&
                       got[i].second.lenc == expected[i].second.lenc && got[i].second.lenb == expected[i].second.lenb,
                   "record " + std::to_string(i) + " is " + describe(got[i]) + ", expected " + describe(expected[i]));
    }
    FUZZ_CHECK(got.size() == expected.size(),
               std::to_string(got.size()) + " records, expected " + std::to_string(expected.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::MemoryFile file;

    static std::string shifted;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string_view after_filler = bytes;
    std::uint64_t filler = 0;
    if (size >= 3 && data[0] == 0xFF) {
        // ">f\n" and a sequence line, 1 MiB - 4096 .. 1 MiB + 4095 bytes in all.
        filler = BUILDER_BUFFER - 4096 + (data[1] | (data[2] << 8)) % 8192;
        after_filler = bytes.substr(3);
        shifted = ">f\n";
        shifted.append(filler - 4, 'A');
        shifted.push_back('\n');
        shifted.append(after_filler);
        bytes = shifted;
    }

    const std::string& path = file.write(bytes.data(), bytes.size());
    check(kelpa::core::scan_fasta(path, Encoding::Bytes), Encoding::Bytes, bytes, after_filler, filler);
    auto scanned = kelpa::core::scan_fasta(path);
    if (!fuzz::valid_utf8(after_filler)) {  // the filler is ASCII
        FUZZ_CHECK(!scanned.ok(), "a file that is not valid UTF-8 was indexed");
        // A layout break in an earlier read buffer may be found first.
        FUZZ_CHECK(scanned.error().kind() == kelpa::core::ErrorKind::IO &&
                       (scanned.error().payload() == "stream did not contain valid UTF-8" ||
                        scanned.error().payload().starts_with("cannot index ")),
                   scanned.error().payload());
        return 0;
    }
    check(scanned, Encoding::Utf8, bytes, after_filler, filler);
    return 0;
}
