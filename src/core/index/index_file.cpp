#include "core/index/index_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "core/base/utf8.hpp"
#include "core/io/atomic_file.hpp"
#include "core/io/mapped_file.hpp"

namespace kelpa::core {

// ---------------------------------------------------------------------------
// NameTable
// ---------------------------------------------------------------------------

namespace {

// A wyhash-style hash: names are short, so a few 64x64->128 multiplies beat
// byte-at-a-time hashes. The seed is fixed: iteration order does not depend
// on it, and a table is only ever filled from the user's own files.
constexpr std::uint64_t HASH_SEED = 0x2d358dccaa6c78a5ULL;
constexpr std::uint64_t HASH_P1 = 0x8bb84b93962eacc9ULL;
constexpr std::uint64_t HASH_P2 = 0x4b33a62ed433d4a3ULL;
constexpr std::uint64_t HASH_P3 = 0x4d5a2da51de1aa47ULL;

__extension__ typedef unsigned __int128 u128;  // GCC and Clang on 64-bit targets

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    const u128 product = static_cast<u128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint64_t load32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint64_t hash_name(std::string_view name) {
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    std::size_t n = name.size();
    std::uint64_t h = HASH_SEED ^ mix(n ^ HASH_P1, HASH_P2);
    while (n > 16) {
        h = mix(load64(p) ^ HASH_P1, load64(p + 8) ^ h);
        p += 16;
        n -= 16;
    }
    std::uint64_t a = 0, b = 0;
    if (n >= 8) {
        a = load64(p);
        b = load64(p + n - 8);
    } else if (n >= 4) {
        a = load32(p);
        b = load32(p + n - 4);
    } else if (n > 0) {
        a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n / 2]} << 8) | p[n - 1];
    }
    return mix(mix(a ^ HASH_P2, b ^ h) ^ HASH_P3, n ^ HASH_P1);
}

constexpr std::size_t MIN_SLOTS = 16;
constexpr std::uint64_t TAG_MASK = 0xFFFFFFFF00000000ULL;
constexpr std::uint64_t INDEX_MASK = 0x00000000FFFFFFFFULL;

// Names are at most 2^32 - 1, so index + 1 fits the low half and is never 0.
std::uint64_t slot_value(std::uint64_t hash, std::size_t index) { return (hash & TAG_MASK) | (index + 1); }

}  // namespace

void NameTable::reserve(std::size_t count) {
    names_.reserve(count);
    entries_.reserve(count);
    hashes_.reserve(count);
    if (count * 2 > slots_.size()) grow();
}

// Makes room for max(size() + 1, names_.capacity()) names at a load of at
// most one half, and re-places every name.
void NameTable::grow() {
    const std::size_t wanted = std::max(names_.size() + 1, names_.capacity());
    std::size_t capacity = std::max(MIN_SLOTS, slots_.size());
    while (capacity < wanted * 2) capacity *= 2;
    slots_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < hashes_.size(); ++i) {
        std::size_t slot = hashes_[i] & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = slot_value(hashes_[i], i);
    }
}

// The slot holding `name`, or the empty slot where it would go. The table is
// never more than half full, so the walk ends.
std::size_t NameTable::slot_of(std::string_view name, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = hash & TAG_MASK;
    std::size_t slot = hash & mask;
    while (true) {
        const std::uint64_t stored = slots_[slot];
        if (stored == 0) return slot;
        if ((stored & TAG_MASK) == tag && names_[(stored & INDEX_MASK) - 1] == name) return slot;
        slot = (slot + 1) & mask;
    }
}

void NameTable::insert_or_assign(std::string_view name, const IndexEntry& entry) {
    if ((names_.size() + 1) * 2 > slots_.size()) grow();
    const std::uint64_t hash = hash_name(name);
    const std::size_t slot = slot_of(name, hash);
    if (slots_[slot] != 0) {
        entries_[(slots_[slot] & INDEX_MASK) - 1] = entry;
        return;
    }
    if (names_.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("kelpa: more than 2^32 - 1 record names");
    }
    names_.emplace_back(name);
    entries_.push_back(entry);
    hashes_.push_back(hash);
    slots_[slot] = slot_value(hash, names_.size() - 1);
}

const IndexEntry* NameTable::find(std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const std::uint64_t stored = slots_[slot_of(name, hash_name(name))];
    return stored == 0 ? nullptr : &entries_[(stored & INDEX_MASK) - 1];
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

namespace {

// Index files are read through a buffer of this size (grown only for a line
// that does not fit), so reading never holds the whole file and the buffer
// stays in cache while it is parsed.
constexpr std::size_t INDEX_BUFFER_SIZE = std::size_t{1} << 20;

const char* const INVALID_FIELD[4] = {"Invalid rlen", "Invalid offset", "Invalid lenc", "Invalid lenb"};

// Splits `line` (already trimmed) at its tabs; false unless there are
// exactly five fields. Fields are short, so one byte loop beats a memchr
// per field.
bool split_five(std::string_view line, std::string_view (&fields)[5]) {
    const char* const begin = line.data();
    const char* const end = begin + line.size();
    const char* field = begin;
    int count = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p != '\t') continue;
        if (count == 4) return false;
        fields[count++] = std::string_view(field, static_cast<std::size_t>(p - field));
        field = p + 1;
    }
    if (count != 4) return false;
    fields[4] = std::string_view(field, static_cast<std::size_t>(end - field));
    return true;
}

// Parses the complete lines in `text` into `table`, in order.
Status parse_lines(std::string_view text, NameTable& table, Encoding encoding) {
    // One validation pass over the block; the error is reported only when
    // the line holding the first bad byte is reached, so a bad number on an
    // earlier line still wins.
    const bool utf8 = encoding == Encoding::Utf8;
    const std::size_t first_invalid = utf8 ? valid_utf8_prefix(text) : text.size();
    std::size_t start = 0;
    while (start < text.size()) {
        const auto* newline = static_cast<const char*>(std::memchr(text.data() + start, '\n', text.size() - start));
        const std::size_t stop = newline != nullptr ? static_cast<std::size_t>(newline - text.data()) : text.size();
        if (first_invalid < stop) return FaidxError::invalid_utf8();

        // Dropping "\n", then "\r", then trimming equals trimming alone:
        // both terminator bytes are White_Space.
        const std::string_view line = utf8 ? trim_whitespace(text.substr(start, stop - start))
                                           : trim_ascii_whitespace(text.substr(start, stop - start));
        start = stop + 1;

        std::string_view fields[5];
        if (!split_five(line, fields)) continue;
        std::uint64_t numbers[4];
        for (int k = 0; k < 4; ++k) {
            const std::optional<std::uint64_t> number = parse_u64(fields[k + 1]);
            if (!number) return FaidxError::indexing(INVALID_FIELD[k]);
            numbers[k] = *number;
        }
        table.insert_or_assign(fields[0], IndexEntry{numbers[0], numbers[1], numbers[2], numbers[3]});
    }
    return {};
}

// Reserves the table for the whole file from its first block, so a large
// index fills it without re-placing names. Only lines of exactly five fields
// count, and the guess is capped: a file that is mostly not records must not
// reserve memory for records it will never hold; past the cap the table
// simply grows.
constexpr std::size_t MAX_RESERVED_RECORDS = std::size_t{1} << 21;

void reserve_for(NameTable& table, std::string_view first_block, std::uint64_t file_size) {
    if (first_block.empty() || file_size == 0) return;
    std::size_t records = 0;
    std::size_t tabs = 0;
    for (char c : first_block) {
        if (c == '\t') {
            ++tabs;
        } else if (c == '\n') {
            records += tabs == 4;
            tabs = 0;
        }
    }
    const long double estimate =
        static_cast<long double>(file_size) * static_cast<long double>(records + 1) / first_block.size();
    table.reserve(static_cast<std::size_t>(std::min<long double>(estimate, MAX_RESERVED_RECORDS)) + 16);
}

}  // namespace

Status parse_index(std::string_view text, NameTable& table, Encoding encoding) {
    reserve_for(table, text, text.size());
    return parse_lines(text, table, encoding);
}

Status read_index(const std::string& path, NameTable& table, Encoding encoding) {
    Result<UniqueFd> opened = open_regular(path, O_RDONLY);
    if (!opened) {
        if (Status regular = check_regular(path); !regular) return regular.take_error();
        return FaidxError::index_not_found(path);
    }
    const UniqueFd fd = std::move(opened.value());
    struct stat status;
    const std::uint64_t file_size =
        ::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0;

    std::size_t capacity = INDEX_BUFFER_SIZE;
    auto buffer = std::unique_ptr<char[]>(new char[capacity]);
    std::size_t held = 0;  // an unfinished line, moved to the buffer's start
    bool reserved = false;
    while (true) {
        if (held == capacity) {
            auto bigger = std::unique_ptr<char[]>(new char[capacity * 2]);
            std::memcpy(bigger.get(), buffer.get(), held);
            buffer = std::move(bigger);
            capacity *= 2;
        }
        const ssize_t got = ::read(fd.get(), buffer.get() + held, capacity - held);
        if (got < 0) {
            if (errno == EINTR) continue;
            return FaidxError::os(errno, path);
        }
        const std::size_t filled = held + static_cast<std::size_t>(got);
        std::size_t complete = filled;  // at the end of the file, the last line needs no "\n"
        if (got != 0) {
            const void* last = ::memrchr(buffer.get() + held, '\n', static_cast<std::size_t>(got));
            complete =
                last == nullptr ? 0 : static_cast<std::size_t>(static_cast<const char*>(last) - buffer.get()) + 1;
        }
        const std::string_view block(buffer.get(), complete);
        if (!reserved && (complete != 0 || got == 0)) {
            reserve_for(table, block, file_size);
            reserved = true;
        }
        if (Status parsed = parse_lines(block, table, encoding); !parsed) return parsed;
        if (got == 0) return {};
        held = filled - complete;
        std::memmove(buffer.get(), buffer.get() + complete, held);
    }
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

namespace {

void append_number(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

}  // namespace

Status write_index(const std::string& path, const std::vector<NamedEntry>& entries) {
    Result<AtomicFile> created = AtomicFile::create(path);
    if (!created) return created.take_error();
    AtomicFile& file = created.value();

    constexpr std::size_t FLUSH_AT = 1 << 20;
    std::string buffer;
    buffer.reserve(FLUSH_AT + 256);
    for (const auto& [name, entry] : entries) {
        buffer.append(name).push_back('\t');
        append_number(buffer, entry.rlen);
        buffer.push_back('\t');
        append_number(buffer, entry.offset);
        buffer.push_back('\t');
        append_number(buffer, entry.lenc);
        buffer.push_back('\t');
        append_number(buffer, entry.lenb);
        buffer.push_back('\n');
        if (buffer.size() >= FLUSH_AT) {
            if (Status status = file.write(buffer.data(), buffer.size()); !status) return status;
            buffer.clear();
        }
    }
    if (Status status = file.write(buffer.data(), buffer.size()); !status) return status;
    return file.commit();
}

}  // namespace kelpa::core
