// Fuzz target: the .fai reader, read_index(path, table), on arbitrary bytes.
//
// The bytes become a file (a memfd, opened by path). Whatever the reader
// returns is compared with a line-by-line reading of the same bytes done
// here the obvious way:
//
//   - lines end at "\n"; the last one may lack it;
//   - the first line that is not valid UTF-8 stops the reading with IO
//     "stream did not contain valid UTF-8";
//   - a line is trimmed of White_Space at both ends and split at every tab;
//     anything but five fields is skipped;
//   - the four numbers are an optional '+' and digits, at most 2^64 - 1; the
//     first bad one stops the reading with "Invalid rlen" / "Invalid offset"
//     / "Invalid lenc" / "Invalid lenb";
//   - a name stored again keeps its first place and takes the new numbers.
//
// Whether or not it fails, the table must hold exactly the entries of the
// lines before the stop, in the order names first appeared, each name once
// and each found again by find().
//
// Input format: the bytes are the file. An input whose first byte is 0xFF
// (never valid UTF-8, so otherwise only a one-line error case) is instead a
// two-byte shift k and the rest: the file is then one skipped line of filler,
// about the size of the reader's 1 MiB buffer, followed by the rest, so that
// lines cross the buffer's end and long lines make the buffer grow.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common.hpp"
#include "core/index/index_file.hpp"

using kelpa::core::ErrorKind;
using kelpa::core::IndexEntry;
using kelpa::core::NameTable;

namespace {

constexpr std::size_t READER_BUFFER = std::size_t{1} << 20;

struct Expected {
    std::vector<std::pair<std::string, IndexEntry>> entries;  // first-appearance order, last numbers
    std::optional<std::pair<ErrorKind, std::string>> error;
};

std::optional<std::uint64_t> parse_number(std::string_view field) {
    if (!field.empty() && field[0] == '+') field.remove_prefix(1);
    if (field.empty()) return std::nullopt;
    unsigned __int128 value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT64_MAX) return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

Expected read_by_hand(std::string_view file) {
    static const char* const messages[4] = {"Invalid rlen", "Invalid offset", "Invalid lenc", "Invalid lenb"};
    Expected out;
    auto store = [&](std::string_view name, const IndexEntry& entry) {
        for (auto& [known, value] : out.entries) {
            if (known == name) {
                value = entry;
                return;
            }
        }
        out.entries.emplace_back(std::string(name), entry);
    };
    std::size_t start = 0;
    while (start < file.size()) {
        std::size_t stop = file.find('\n', start);
        if (stop == std::string_view::npos) stop = file.size();
        std::string_view line = file.substr(start, stop - start);
        start = stop + 1;
        if (!fuzz::valid_utf8(line)) {
            out.error.emplace(ErrorKind::IO, "stream did not contain valid UTF-8");
            return out;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = fuzz::trim(line);
        std::vector<std::string_view> fields;
        std::size_t from = 0;
        while (true) {
            const std::size_t tab = line.find('\t', from);
            if (tab == std::string_view::npos) {
                fields.push_back(line.substr(from));
                break;
            }
            fields.push_back(line.substr(from, tab - from));
            from = tab + 1;
        }
        if (fields.size() != 5) continue;
        std::uint64_t numbers[4];
        for (int k = 0; k < 4; ++k) {
            const auto number = parse_number(fields[k + 1]);
            if (!number) {
                out.error.emplace(ErrorKind::FastaIndexing, messages[k]);
                return out;
            }
            numbers[k] = *number;
        }
        store(fields[0], IndexEntry{numbers[0], numbers[1], numbers[2], numbers[3]});
    }
    return out;
}

bool same(const IndexEntry& a, const IndexEntry& b) {
    return a.rlen == b.rlen && a.offset == b.offset && a.lenc == b.lenc && a.lenb == b.lenb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::MemoryFile file;

    static std::string shifted;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string_view after_filler = bytes;
    if (size >= 3 && data[0] == 0xFF) {
        // A filler line of 1 MiB - 4096 .. 1 MiB + 4095 bytes, six fields
        // (so skipped, and cheaply: the split gives up at the fifth tab); the
        // rest reads as if it stood alone.
        const std::size_t length = READER_BUFFER - 4096 + (data[1] | (data[2] << 8)) % 8192;
        after_filler = bytes.substr(3);
        shifted.assign("a\t\t\t\t\t");
        shifted.append(length - 1 - shifted.size(), 'x');
        shifted.push_back('\n');
        shifted.append(after_filler);
        bytes = shifted;
    }

    const std::string& path = file.write(bytes.data(), bytes.size());
    NameTable table;
    const kelpa::core::Status status = kelpa::core::read_index(path, table);
    const Expected expected = read_by_hand(after_filler);

    if (expected.error) {
        FUZZ_CHECK(!status.ok(), "the reader accepted a file it should refuse: " + expected.error->second);
        FUZZ_CHECK(status.error().kind() == expected.error->first && status.error().payload() == expected.error->second,
                   "got '" + status.error().payload() + "', expected '" + expected.error->second + "'");
    } else {
        FUZZ_CHECK(status.ok(), "the reader refused a good file: " + status.error().payload());
    }

    // The table: the entries of the lines read, in order, each name once.
    FUZZ_CHECK(table.size() == expected.entries.size(),
               std::to_string(table.size()) + " names, expected " + std::to_string(expected.entries.size()));
    FUZZ_CHECK(table.empty() == expected.entries.empty());
    for (std::size_t i = 0; i < expected.entries.size(); ++i) {
        const auto& [name, entry] = expected.entries[i];
        FUZZ_CHECK(table.name_at(i) == name, "name " + std::to_string(i) + " is " +
                                                 fuzz::hex_preview(table.name_at(i)) + ", expected " +
                                                 fuzz::hex_preview(name));
        FUZZ_CHECK(same(table.entry_at(i), entry), "numbers of name " + std::to_string(i));
        const IndexEntry* found = table.find(name);
        FUZZ_CHECK(found == &table.entry_at(i), "find() of name " + std::to_string(i));
        FUZZ_CHECK(table.contains(name));
    }
    // A name that is not there is not found: every stored name with one more byte.
    for (std::size_t i = 0; i < table.size() && i < 8; ++i) {
        const std::string other = table.name_at(i) + '\x01';
        bool stored = false;
        for (const auto& [name, entry] : expected.entries) stored = stored || name == other;
        FUZZ_CHECK(stored || table.find(other) == nullptr, "find() of a name that was never stored");
    }
    return 0;
}
