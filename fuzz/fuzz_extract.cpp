// Fuzz target: region extraction through an opened file, Faidx::extract(),
// with the layout check, by the mapping and by positioned reads of the open
// file (mutable_file), in two modes.
//
// Any entry. The input's bytes are the FASTA file (a memfd) and its index is
// the one line "r <rlen> <offset> <lenc> <lenb>" of any 64-bit numbers (lenb
// < lenc, offsets past the end, values whose arithmetic overflows). The file
// opens unless it starts as a compressed file does. Then extract_bound(e,
// first, count) must be what a 128-bit walk gives,
//
//   0 when count, lenc or rlen is 0, when first is 0, or when the position
//   of base `first`,
//       offset + (first - 1) / lenc * lenb + (first - 1) % lenc,
//   is not inside the file; else min(count, size - position);
//
// and extract() into a heap block of exactly that many bytes (so ASan
// reports a store past it) either fails with IO "...; rebuild the index"
// (the entry's numbers describe no file, or the layout check finds the file
// laid out otherwise), and in no other way, or gives exactly the bytes of
// the walk: from the position up to the window end
//
//   min(position + count + lenb + ceil(count / lenc) * max(lenb - lenc, 0), size)
//
// with every CR and LF dropped, cut to `count`; fewer than `count` only when
// the window reaches the end of the file (a truncated file) or there is
// nothing to read (rlen 0, first 0, base `first` past the end of the file).
//
// Indexed by the builder. The input's bytes are indexed with scan_fasta(),
// as UTF-8 or as bytes, and when that succeeds the records go into the
// index, which is read the same way. The file opens
// (unless it starts as a compressed file does), and the layout check
// refuses nothing: for every name of the index, the region the input gives
// (clamped to the record) and the whole record are fetched, the bound is
// the region's length, and the text is the record's bytes from its offset
// up to the next header line or the end of the file, CR and LF dropped,
// whose length is rlen.
//
// Input format: a flags byte (bit 0: read through the open file instead of
// the mapping; bit 1: indexed by the builder; bit 2: the file is read as
// bytes, not UTF-8), then rlen, offset, lenc, lenb, first and count, or in
// the builder mode start and end (each drawn by fuzz::Input::number), then
// the file's bytes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "core/fetch/faidx.hpp"
#include "core/index/index_builder.hpp"
#include "core/open/open.hpp"

using kelpa::core::Encoding;
using kelpa::core::ErrorKind;
using kelpa::core::Faidx;
using kelpa::core::FaidxOptions;
using kelpa::core::IndexEntry;

namespace {

using u128 = unsigned __int128;

// Byte position of base `first`, exact (it fits 128 bits), or nothing when
// there is no such base to place (lenc 0 or first 0).
std::optional<u128> position_of(const IndexEntry& e, std::uint64_t first) {
    if (e.lenc == 0 || first == 0) return std::nullopt;
    return u128{e.offset} + u128{(first - 1) / e.lenc} * e.lenb + (first - 1) % e.lenc;
}

struct Walk {
    std::string bases;
    // Fewer than `count` bases are no mismatch: the record has none, there
    // is no base 0, or the window reaches the end of the file (a region past
    // the end of a truncated file included).
    bool may_be_short = false;
};

Walk extract_by_hand(std::string_view file, const IndexEntry& e, std::uint64_t first, std::uint64_t count) {
    Walk walk;
    if (count == 0 || e.rlen == 0 || first == 0) {
        walk.may_be_short = true;
        return walk;
    }
    const u128 length = file.size();
    const std::optional<u128> start = position_of(e, first);
    if (!start) return walk;
    if (*start >= length) {
        walk.may_be_short = true;
        return walk;
    }
    const u128 position = *start;
    const u128 lines = (u128{count} + e.lenc - 1) / e.lenc;
    const u128 slack = e.lenb > e.lenc ? e.lenb - e.lenc : 0;
    // lines * slack < 2^128; when it is below `length` every term of the sum
    // is below 2^64, so the sum cannot wrap.
    u128 window_end = length;
    const u128 spread = lines * slack;
    if (spread < length) {
        const u128 sum = position + count + e.lenb + spread;
        window_end = std::min(sum, length);
    }
    walk.may_be_short = window_end == length;
    for (u128 i = position; i < window_end && walk.bases.size() < count; ++i) {
        const char c = file[static_cast<std::size_t>(i)];
        if (c != '\r' && c != '\n') walk.bases.push_back(c);
    }
    return walk;
}

// The most the walk can give: what lies from the first base's byte on.
std::uint64_t bound_by_hand(std::string_view file, const IndexEntry& e, std::uint64_t first, std::uint64_t count) {
    if (count == 0 || e.rlen == 0) return 0;
    const std::optional<u128> position = position_of(e, first);
    if (!position || *position >= file.size()) return 0;
    return std::min<std::uint64_t>(count, static_cast<std::uint64_t>(file.size() - *position));
}

// The file's text from byte `offset` (a line start) up to the next line
// that starts with '>', or the end of the file, CR and LF dropped.
std::string record_by_hand(std::string_view file, std::uint64_t offset) {
    std::string text;
    std::size_t at = static_cast<std::size_t>(offset);
    while (at < file.size() && file[at] != '>') {
        std::size_t stop = file.find('\n', at);
        stop = stop == std::string_view::npos ? file.size() : stop + 1;
        for (; at < stop; ++at) {
            if (file[at] != '\r' && file[at] != '\n') text.push_back(file[at]);
        }
    }
    return text;
}

// The formats Faidx::open refuses (or reads as BGZF, which needs a .gzi),
// by their first bytes.
bool looks_compressed(std::string_view file) {
    return file.starts_with("\x1f\x8b") || file.starts_with("BZh") ||
           file.starts_with(std::string_view("\xfd\x37\x7a\x58\x5a\x00", 6)) || file.starts_with("\x28\xb5\x2f\xfd");
}

std::string line(const std::string& name, const IndexEntry& e) {
    return name + "\t" + std::to_string(e.rlen) + "\t" + std::to_string(e.offset) + "\t" + std::to_string(e.lenc) +
           "\t" + std::to_string(e.lenb) + "\n";
}

std::string describe(const IndexEntry& e, std::uint64_t first, std::uint64_t count) {
    return "entry rlen " + std::to_string(e.rlen) + " offset " + std::to_string(e.offset) + " lenc " +
           std::to_string(e.lenc) + " lenb " + std::to_string(e.lenb) + ", first " + std::to_string(first) +
           ", count " + std::to_string(count);
}

struct Files {
    fuzz::MemoryFile fasta;
    fuzz::MemoryFile index;
};

// The index's one line may say anything; only the layout check may refuse.
// The FASTA file `bytes` at `fasta_path` with the index at `index_path`, as
// given (never built), mapped or through the open file; nullptr when it
// cannot be opened, which only a file that starts like a compressed one may.
std::unique_ptr<Faidx> open_indexed(const std::string& fasta_path, const std::string& index_path,
                                    std::string_view bytes, bool open_file, Encoding encoding) {
    FaidxOptions options;
    options.build_index = false;
    options.rebuild = false;
    options.mutable_file = open_file;
    options.encoding = encoding;
    auto opened = open_faidx(fasta_path, index_path, options);
    if (!opened) {
        FUZZ_CHECK(looks_compressed(bytes), "open failed: " + opened.error().payload());
        return nullptr;
    }
    return std::move(opened.value());
}

void check_any_entry(Files& files, fuzz::Input& input, bool open_file, Encoding encoding) {
    IndexEntry entry;
    entry.rlen = input.number();
    entry.offset = input.number();
    entry.lenc = input.number();
    entry.lenb = input.number();
    const std::uint64_t first = input.number();
    const std::uint64_t count = input.number();
    const std::string_view bytes = input.rest();

    const std::string fasta_path = files.fasta.write(bytes.data(), bytes.size());
    const std::string index_line = line("r", entry);
    const std::string index_path = files.index.write(index_line.data(), index_line.size());
    const std::unique_ptr<Faidx> opened = open_indexed(fasta_path, index_path, bytes, open_file, encoding);
    if (!opened) return;
    const Faidx& faidx = *opened;
    const IndexEntry* e = faidx.entries().find("r");
    FUZZ_CHECK(e != nullptr, "the index line was not read: " + index_line);

    const std::string context = describe(*e, first, count) + (open_file ? ", open file" : ", mapped") +
                                (encoding == Encoding::Bytes ? ", as bytes" : "");
    const std::uint64_t bound = faidx.extract_bound(*e, first, count);
    const std::uint64_t expected_bound = bound_by_hand(bytes, *e, first, count);
    FUZZ_CHECK(bound == expected_bound,
               "bound " + std::to_string(bound) + ", expected " + std::to_string(expected_bound) + "; " + context);
    const std::unique_ptr<char[]> out(new char[bound]);
    auto got = faidx.extract(*e, first, count, out.get());
    if (!got) {
        FUZZ_CHECK(got.error().kind() == ErrorKind::IO && got.error().payload().ends_with("rebuild the index"),
                   got.error().payload() + "; " + context);
        return;
    }
    const std::uint64_t copied = got.value();
    FUZZ_CHECK(copied <= count, std::to_string(copied) + " bases for a count of " + std::to_string(count));
    FUZZ_CHECK(copied <= bound, std::to_string(copied) + " bases written into room for " + std::to_string(bound));
    const Walk walk = extract_by_hand(bytes, *e, first, count);
    FUZZ_CHECK(std::string_view(out.get(), copied) == walk.bases, "got " + fuzz::hex_preview({out.get(), copied}) +
                                                                      ", expected " + fuzz::hex_preview(walk.bases) +
                                                                      "; " + context);
    FUZZ_CHECK(copied == count || walk.may_be_short,
               "short (" + std::to_string(copied) + " bases) before the end of the file; " + context);
}

// The builder's index for the input's bytes: every fetch inside a record succeeds.
void check_built_index(Files& files, fuzz::Input& input, bool open_file, Encoding encoding) {
    const std::uint64_t start = input.number();
    const std::uint64_t end = input.number();
    const std::string_view bytes = input.rest();

    const std::string fasta_path = files.fasta.write(bytes.data(), bytes.size());
    auto scanned = kelpa::core::scan_fasta(fasta_path, encoding);
    if (!scanned) return;
    std::string index_text;
    for (const auto& [name, entry] : scanned.value()) index_text += line(name, entry);
    const std::string index_path = files.index.write(index_text.data(), index_text.size());
    const std::unique_ptr<Faidx> opened = open_indexed(fasta_path, index_path, bytes, open_file, encoding);
    if (!opened) return;
    const Faidx& faidx = *opened;

    for (std::size_t i = 0; i < faidx.entries().size(); ++i) {
        const std::string& name = faidx.entries().name_at(i);
        const IndexEntry* e = faidx.entries().find(name);
        FUZZ_CHECK(e != nullptr, "no entry for " + fuzz::hex_preview(name));
        const std::string text = record_by_hand(bytes, e->offset);
        FUZZ_CHECK(text.size() == e->rlen, "record " + fuzz::hex_preview(name) + " holds " +
                                               std::to_string(text.size()) + " bases, its entry says " +
                                               std::to_string(e->rlen));
        const auto fetch = [&](std::uint64_t first, std::uint64_t count) {
            const std::string context = "record " + fuzz::hex_preview(name) + ": " + describe(*e, first, count) +
                                        (open_file ? ", open file" : ", mapped") +
                                        (encoding == Encoding::Bytes ? ", as bytes" : "");
            const std::uint64_t bound = faidx.extract_bound(*e, first, count);
            FUZZ_CHECK(bound == count, "bound " + std::to_string(bound) + "; " + context);
            const std::unique_ptr<char[]> out(new char[bound]);
            auto got = faidx.extract(*e, first, count, out.get());
            FUZZ_CHECK(got.ok(), got.error().payload() + "; " + context);
            const std::string_view expected = std::string_view(text).substr(first - 1, count);
            FUZZ_CHECK(std::string_view(out.get(), got.value()) == expected,
                       "got " + fuzz::hex_preview({out.get(), got.value()}) + ", expected " +
                           fuzz::hex_preview(expected) + "; " + context);
        };
        if (e->rlen == 0) {
            // Nothing to read, and nothing is refused.
            const std::unique_ptr<char[]> out(new char[0]);
            auto got = faidx.extract(*e, 1, 1, out.get());
            FUZZ_CHECK(got.ok() && got.value() == 0, "an empty record gave something or failed");
            continue;
        }
        const std::uint64_t first = std::clamp<std::uint64_t>(start, 1, e->rlen);
        const std::uint64_t last = std::clamp<std::uint64_t>(end, first, e->rlen);
        fetch(first, last - first + 1);
        fetch(1, e->rlen);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Files files;
    fuzz::Input input(data, size);
    const std::uint8_t flags = input.byte();
    const bool open_file = (flags & 1) != 0;
    const Encoding encoding = (flags & 4) != 0 ? Encoding::Bytes : Encoding::Utf8;
    if ((flags & 2) != 0) {
        check_built_index(files, input, open_file, encoding);
    } else {
        check_any_entry(files, input, open_file, encoding);
    }
    return 0;
}
