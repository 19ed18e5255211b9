// The five-column FASTA index (.fai) and the table of its entries.
//
// One line per record, five fields joined by single tabs, "\n"-terminated:
//
//   name    rlen    offset    lenc    lenb
//
//   rlen    bases in the record (line terminators excluded)
//   offset  byte offset in the FASTA file of the record's first base
//   lenc    bases on each full sequence line
//   lenb    bytes on each full sequence line, terminator ("\n" or "\r\n") included
//
// Reading accepts "\n" and "\r\n", a last line without terminator, trims
// Unicode White_Space (as bytes: ASCII whitespace; base/utf8.hpp, Encoding) from
// both ends of each line, splits it at every tab, ignores lines that do not
// give exactly five fields, and rejects a five-field line whose numbers are
// not unsigned 64-bit decimals ("Invalid rlen", ...). The numbers are not
// checked against each other or against the FASTA file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/utf8.hpp"

namespace kelpa::core {

struct IndexEntry {
    std::uint64_t rlen = 0;    // bases in the record
    std::uint64_t offset = 0;  // byte offset of the first base
    std::uint64_t lenc = 0;    // bases per full line
    std::uint64_t lenb = 0;    // bytes per full line, terminator included
};

using NamedEntry = std::pair<std::string, IndexEntry>;

// Record name -> IndexEntry, compared byte for byte.
//
// Names iterate in the order they first appeared; storing a name again keeps
// its position and replaces its entry. Filled once while a Faidx is opened,
// read-only afterwards (so safe to read from several threads).
class NameTable {
public:
    NameTable() = default;

    // Stores or replaces the entry of `name`.
    void insert_or_assign(std::string_view name, const IndexEntry& entry);
    // The entry of `name`, or nullptr.
    const IndexEntry* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }

    std::size_t size() const { return names_.size(); }
    bool empty() const { return names_.empty(); }
    // The i-th name and entry in first-appearance order.
    const std::string& name_at(std::size_t i) const { return names_[i]; }
    const IndexEntry& entry_at(std::size_t i) const { return entries_[i]; }
    // The name of an entry that find() returned, or nullptr for any other entry.
    const std::string* name_of(const IndexEntry* entry) const {
        if (entries_.empty() || entry < entries_.data() || entry >= entries_.data() + entries_.size()) return nullptr;
        return &names_[static_cast<std::size_t>(entry - entries_.data())];
    }

    // The position of an entry that find() returned, or size() for any other entry.
    std::size_t index_of(const IndexEntry* entry) const {
        if (entries_.empty() || entry < entries_.data() || entry >= entries_.data() + entries_.size()) return size();
        return static_cast<std::size_t>(entry - entries_.data());
    }

    void reserve(std::size_t count);

private:
    std::size_t slot_of(std::string_view name, std::uint64_t hash) const;
    void grow();

    std::vector<std::string> names_;
    std::vector<IndexEntry> entries_;
    std::vector<std::uint64_t> hashes_;  // hash of names_[i], for re-placing on growth
    // Open addressing, linear probing, at most half full. A slot is 0 when
    // empty, else (high 32 bits of the name's hash) << 32 | (index + 1): the
    // tag settles almost every probe without touching hashes_ or names_.
    std::vector<std::uint64_t> slots_;
};

// Reads the index at `path` into `table`, storing each five-field line with
// insert_or_assign. A file that cannot be opened gives IndexNotFound(path); a
// failing read gives IO. Lines are taken in order and the first bad one ends
// the reading: a line that is not valid UTF-8 gives IO "stream did not contain
// valid UTF-8" (as UTF-8; as bytes, any bytes are read), a bad number
// FastaIndexing "Invalid rlen" / "Invalid offset" / "Invalid lenc" / "Invalid
// lenb" (first bad field in column order). On error the table holds the lines
// before the bad one.
Status read_index(const std::string& path, NameTable& table, Encoding encoding = Encoding::Utf8);
// read_index() of an index's whole text, already read (a downloaded index).
Status parse_index(std::string_view text, NameTable& table, Encoding encoding = Encoding::Utf8);

// Writes the entries, in the order given, to `path` through an AtomicFile
// (atomic_file.hpp): a reader never sees a partial index, nor after a crash,
// and on failure (IO with the operating-system error) `path` is untouched,
// unless only the syncing of its directory failed.
Status write_index(const std::string& path, const std::vector<NamedEntry>& entries);

}  // namespace kelpa::core
