// An opened, indexed FASTA file and the region arithmetic over it.
//
// Coordinates handed to this layer are 1-based and inclusive: base 1 is the
// first base of a record and start..end holds end - start + 1 bases. A
// record's base s lies at byte
//
//     offset + (s - 1) / lenc * lenb + (s - 1) % lenc
//
// of the FASTA file; its text is the file's bytes from there on with every
// CR and LF dropped. Entries are read as the index states them, but a fetch
// through an entry whose numbers can describe no file (bases on lines of no
// base, lenb < lenc, or more than "\r\n" between lines) is refused with
// IOError. Numbers that do not fit the file (offsets past its end, values
// whose arithmetic overflows) yield only what lies inside it, never a read
// outside it.
//
// Every extraction checks that the file has the layout the entry
// describes, at five bytes of what it read: the first base is not a line
// break, the byte before its line is one, the copy stopped exactly at the
// last base's byte, and where the entry puts the line ends of the first and
// the last line it touched there is a CR or LF, or the end of the file. An extraction that comes back short
// is checked the same way, over the bases it did find, and passes only when
// it stopped at the end of the file (a truncated file); any other short read
// is a mismatch. A region that begins past the end of the file gets no text
// when the file's last base and the record's first line are where the entry
// puts them. An index made for another layout of the file (another
// width, another line end, a larger length, a file edited since) then gives
// IOError instead of text. A file that shrank since it was opened gives
// IOError "changed while open" instead (fault_guard.hpp for a mapped file).
// Before its first fetch, a record is checked to end where its entry says:
// its last base followed by line breaks and then the next header or the end
// of the file, so that an entry longer than its record never reads on into
// the lines of the next one.
//
// A Faidx never changes once made, so any number of threads may
// fetch through it at once: the mapped path only reads the mapping, and the
// open-file path (mutable files, or when mapping failed) uses positioned reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/utf8.hpp"
#include "core/fetch/finishing.hpp"
#include "core/index/index_file.hpp"
#include "core/io/text_source.hpp"

namespace kelpa::core {

class BatchStage;  // batch/batch.hpp: how batches on this file read it

struct FaidxOptions {
    bool as_raw = false;                     // results carry no coordinates
    bool strict_bounds = false;              // refuse bad coordinates instead of clamping
    bool sequence_always_upper = false;      // upper-case a..z in results
    bool rebuild = true;                     // rebuild an index older than the FASTA file
    bool build_index = true;                 // build a missing index at all
    bool always_build = false;               // build the index afresh even when it is up to date
    bool one_based_attributes = true;        // false: result start is first base - 1
    std::optional<std::string> default_seq;  // pads results that come back short
    bool mutable_file = false;               // open read-write and read without a mapping
    Encoding encoding = Encoding::Utf8;      // Bytes: names and texts of any bytes (base/utf8.hpp)
    // A BGZF file's block index: beside the file (filename + ".gzi") by
    // default, beside the index (a final ".fai" made ".gzi") for a remote file.
    std::optional<std::string> gzi_name;
};

// What a single-region request comes to once the coordinate rules ran.
struct FetchPlan {
    enum class Kind : std::uint8_t {
        Extract,  // read bases first..last
        Empty,    // empty text; start/end are the attributes to report
        Refused,  // IndexError with `message`
    };
    Kind kind = Kind::Empty;
    std::uint64_t first = 0;  // Extract: first base; Empty: reported start
    std::uint64_t last = 0;   // Extract: last base; Empty: reported end
    std::string message;      // Refused only
    std::vector<std::string> warnings;  // of clamped coordinates, for warn() or the caller's own words

    std::uint64_t count() const { return last - first + 1; }
};

// What an opened FASTA file is made of: its names, options and index, and
// its text. The open room (core/open/open.hpp) makes them from a path or a
// URL.
struct FaidxParts {
    std::string filename;
    std::string indexname;
    FaidxOptions options;
    NameTable entries;
    std::unique_ptr<TextSource> text;
    // `text`, when it is a mapping: extraction reads it without a virtual call.
    const MappedText* mapped = nullptr;
    // A BGZF file without its end-of-file marker.
    bool missing_eof_marker = false;
    // The batch room's stage for this text, when its batches read it their
    // own way (a BGZF file's blocks); else none.
    std::shared_ptr<const BatchStage> batch_stage;
};

class Faidx {
public:
    explicit Faidx(FaidxParts parts);

    // Not copyable or movable: workers hold pointers into it.
    Faidx(const Faidx&) = delete;
    Faidx& operator=(const Faidx&) = delete;

    const std::string& filename() const { return filename_; }
    const std::string& indexname() const { return indexname_; }
    const FaidxOptions& options() const { return options_; }
    const NameTable& entries() const { return entries_; }
    // A BGZF file without its end-of-file marker, which may be cut short
    // at a block boundary: whoever opened it warns (missing_eof_warning()).
    bool missing_eof_marker() const { return missing_eof_marker_; }

    // The entry of `name`, or the FetchError "Sequence '<name>' not found".
    Result<const IndexEntry*> lookup(std::string_view name) const;

    // Coordinate rules of a single fetch: clamps, with the warnings in the
    // plan (nothing is printed here), or refuses under strict_bounds.
    FetchPlan plan_fetch(std::string_view name, const IndexEntry& entry, std::uint64_t start, std::uint64_t end) const;
    // Coordinate rules of a batch worker: silent clamping (0 taken as 1, a
    // region past the end is empty), RegionError under strict_bounds. Never prints.
    Result<FetchPlan> plan_worker(std::string_view name, const IndexEntry& entry, std::uint64_t start,
                                  std::uint64_t end) const;

    // The region a stepped slice of a record fetches, 1-based: the one that
    // covers the bases selected by start `s`, stop `e` and step `k` (as
    // Python adjusts them to the record's `length`; below 0 when there is
    // none), clamped into the record unless under strict_bounds.
    std::pair<std::int64_t, std::int64_t> slice_cover(std::uint64_t length, std::int64_t s, std::int64_t e,
                                                      std::int64_t k) const;

    // The most bases extract() can deliver for this request: `count`, capped by
    // what the file holds from the first base's byte on. Size buffers with it.
    std::uint64_t extract_bound(const IndexEntry& entry, std::uint64_t first, std::uint64_t count) const;

    // Copies up to `count` bases of the record from base `first` on into `out`
    // (which holds extract_bound() bytes) and returns how many it copied:
    // fewer only when the file ends first or the entry does not match it.
    Result<std::uint64_t> extract(const IndexEntry& entry, std::uint64_t first, std::uint64_t count, char* out) const;

    // Runs body(), in which extract() calls may read the mapping, under one
    // guard for all of them (fault_guard.hpp): true when it finished, false
    // when it was cut short because the mapped file had shrunk; whatever
    // body() was extracting then is lost, and changed_while_open() says why.
    // body() must hold nothing that needs a destructor across an extract().
    template <class Body>
    bool guard_reads(Body&& body) const {
        if (mapped_ != nullptr) return mapped_->guard(body);
        return text_->guarded(BodyRef(body));
    }
    FaidxError changed_while_open() const;

    // The text the file holds (io/text_source.hpp).
    const TextSource& text() const { return *text_; }
    // How batches read it, when not region by region (FaidxParts).
    const BatchStage* batch_stage() const { return batch_stage_.get(); }
    // The bytes [begin, end) of the text an extraction of `count` bases from
    // `first` reads, or nothing when it reads none.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> byte_window(const IndexEntry& entry, std::uint64_t first,
                                                                       std::uint64_t count) const;
    // extract(), reading through `text`: a source's own view of this file's
    // text (a batch's blocks inflated ahead, say) that stands for text() in
    // its batch_reads().
    Result<std::uint64_t> extract_through(const TextSource& text, const IndexEntry& entry, std::uint64_t first,
                                          std::uint64_t count, char* out) const;

    // Fetches together, ahead, the bytes that extracting these regions
    // reads, when the text's reads cost a round trip each (a remote file):
    // reads within them are served from memory for as long as the hold
    // lives. Nothing for other texts.
    struct RegionRead {
        const IndexEntry* entry;
        std::uint64_t first;
        std::uint64_t count;
    };
    Result<ReadHold> hold_reads(std::span<const RegionRead> regions) const;

    // Asks the processor to start loading the bytes a region's extraction
    // reads (its first few kilobytes).
    void prefetch(const IndexEntry& entry, std::uint64_t first, std::uint64_t count) const;

    // Reported start/end of a successful extraction under the options.
    std::optional<std::uint64_t> reported_start(std::uint64_t first) const {
        if (options_.as_raw) return std::nullopt;
        return options_.one_based_attributes ? first : first - 1;
    }
    std::optional<std::uint64_t> reported_end(std::uint64_t last) const {
        if (options_.as_raw) return std::nullopt;
        return last;
    }

    // How the module finishes this file's text under the options: upper-cased
    // as asked, padded with default_seq (when `pad`: a whole record is
    // never padded), reverse complemented by COMPLEMENT_TABLE when
    // `reverse`, and UTF-8 unless the file is read as bytes.
    Finishing finishing(bool pad = true, bool reverse = false) const {
        const std::string* padding = pad && options_.default_seq ? &*options_.default_seq : nullptr;
        return Finishing{options_.sequence_always_upper, padding, reverse, ComplementRule::ToN,
                         options_.encoding == Encoding::Utf8};
    }

private:
    // The extraction over one kind of text (io/text_source.hpp): walks the
    // window, drops line breaks, checks the layout.
    struct Place {
        std::uint64_t first;     // the base
        std::uint64_t column;    // its column in its line, from 0
        std::uint64_t position;  // its byte in the text
    };
    template <class Text>
    Result<std::uint64_t> extract_from(const Text& text, const IndexEntry& entry, const Place& place,
                                       std::uint64_t count, char* out) const;
    // A region whose first base lies past the end of the text: nothing,
    // when the file ends as the entry describes (a truncated file).
    template <class Text>
    Result<std::uint64_t> past_the_end(const Text& text, const IndexEntry& entry) const;
    // Whether the record ends where the entry says: its last base is
    // followed by line breaks, then the next header or the end of the file
    // (or lies past the end of a file cut short). Checked once per record.
    template <class Text>
    bool ends_as_described(const Text& text, typename Text::Scratch& scratch, const IndexEntry& entry) const {
        const std::size_t index = entries_.index_of(&entry);
        if (index < entries_.size() && ends_checked_[index].load(std::memory_order_relaxed)) return true;
        return check_end(text, scratch, entry, index);
    }
    template <class Text>
    bool check_end(const Text& text, typename Text::Scratch& scratch, const IndexEntry& entry, std::size_t index) const;
    FaidxError layout_mismatch(const IndexEntry& entry) const;
    // The text an extraction of `count` bases from `first` reads: the
    // region's lines and the bytes the layout check reads around them, and
    // the record's end while it is unchecked.
    void add_read_ranges(const IndexEntry& entry, std::uint64_t first, std::uint64_t count,
                         std::vector<ByteRange>& ranges) const;
    template <class Text>
    Result<std::uint64_t> extract_with(const Text& text, const IndexEntry& entry, std::uint64_t first,
                                       std::uint64_t count, char* out) const;

    std::string filename_;
    std::string indexname_;
    FaidxOptions options_;
    NameTable entries_;
    std::unique_ptr<TextSource> text_;
    const MappedText* mapped_ = nullptr;  // text_, when it is a mapping: read without a virtual call
    std::uint64_t file_size_ = 0;  // size of the text when opened
    bool missing_eof_marker_ = false;
    // One flag per entry: its record was found to end as described.
    std::unique_ptr<std::atomic<bool>[]> ends_checked_;
    std::shared_ptr<const BatchStage> batch_stage_;  // reads text_: declared after it, so gone first
};

// Byte position of base `first` (1-based) of a record, or nothing when the
// arithmetic leaves 64 bits.
std::optional<std::uint64_t> base_position(const IndexEntry& entry, std::uint64_t first);

}  // namespace kelpa::core
