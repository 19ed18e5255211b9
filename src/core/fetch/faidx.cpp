#include "core/fetch/faidx.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/io/fault_guard.hpp"
#include "core/kernels/line_copy.hpp"
#include "core/kernels/sequence.hpp"

namespace kelpa::core {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace

std::optional<std::uint64_t> base_position(const IndexEntry& entry, std::uint64_t first) {
    if (entry.lenc == 0 || first == 0) return std::nullopt;
    const std::uint64_t line = (first - 1) / entry.lenc;
    const std::uint64_t column = (first - 1) % entry.lenc;
    std::uint64_t position;
    if (__builtin_mul_overflow(line, entry.lenb, &position)) return std::nullopt;
    if (__builtin_add_overflow(position, entry.offset, &position)) return std::nullopt;
    if (__builtin_add_overflow(position, column, &position)) return std::nullopt;
    return position;
}

namespace {

// The end of the window a copy of `count` bases from byte `position` reads:
// the bases, the line breaks between them and one line of slack for a start
// in mid-line, never past `length`.
std::uint64_t window_end(const IndexEntry& entry, std::uint64_t position, std::uint64_t count, std::uint64_t length) {
    const std::uint64_t lines = count / entry.lenc + (count % entry.lenc != 0);
    const std::uint64_t slack = entry.lenb > entry.lenc ? entry.lenb - entry.lenc : 0;
    const std::uint64_t end =
        saturating_add(saturating_add(saturating_add(position, count), entry.lenb), saturating_mul(lines, slack));
    return std::min(end, length);
}

// Whether an entry's numbers can describe any file: a record with bases has
// lines of at least one base, and each line ends in "\n", "\r\n", or
// nothing (a record on one line at the end of the file).
bool describes_a_layout(const IndexEntry& entry) {
    return entry.lenc > 0 && entry.lenb >= entry.lenc && entry.lenb - entry.lenc <= 2;
}

// Whether [from, to) of the text holds no line break; bytes past its end
// hold none. Spans of less than a line, in a plain loop without branches.
template <class Text>
bool no_line_break(const Text& text, std::uint64_t from, std::uint64_t to, typename Text::Scratch& scratch) {
    while (from < to) {
        const std::string_view view = text.view(from, to - from, scratch);
        if (view.empty()) return true;
        bool breaks = false;
        for (const char c : view) breaks |= (c == '\n') | (c == '\r');
        if (breaks) return false;
        from += view.size();
    }
    return true;
}

// Lines shorter than this are copied through the general loop: per line,
// the checks would cost more than they save.
constexpr std::uint64_t MIN_LINE_BY_LINE = 16;

// Where the last of `count` bases (at least one) lies when the first is
// at byte `position`, in column `first_column` of its line, and the lines
// are as the entry lays them out: how many lines after the first its line
// is, where that line starts, and the byte just past the last base (where a
// copy stops). Nothing when that overflows.
struct LastLine {
    std::uint64_t more_lines;
    std::uint64_t start;
    std::uint64_t stop;
};

std::optional<LastLine> last_line_of(const IndexEntry& entry, std::uint64_t first_column, std::uint64_t count,
                                     std::uint64_t position) {
    std::uint64_t span;  // from the first line's start to the last base
    if (__builtin_add_overflow(first_column, count - 1, &span)) return std::nullopt;
    LastLine last{span / entry.lenc, 0, 0};
    if (__builtin_mul_overflow(last.more_lines, entry.lenb, &last.start) ||
        __builtin_add_overflow(last.start, position - first_column, &last.start) ||
        __builtin_add_overflow(last.start, span - last.more_lines * entry.lenc + 1, &last.stop))
        return std::nullopt;
    return last;
}

// Whether a copy of `count` bases from base `first`, which began at byte
// `position` (in column `first_column` of its line) and stopped just before
// byte `stop`, agrees with the entry's layout (see faidx.hpp): the first
// base is no line break, its line starts after one, the copy stopped where
// the last base lies, and the first and the last line it touched end where
// the entry says. A copy cut
// short `at_end_of_file` has its first line checked whole as well: it
// starts after a line break and not with '>', and holds none before the
// first base. One division: the
// first base's place is known, and the arithmetic cannot overflow past what
// finding it checked and the copy reached.
// `known` is last_line_of() these numbers, when the caller has it.
template <class Text>
__attribute__((always_inline)) inline bool layout_matches(const Text& text, typename Text::Scratch& scratch,
                                                          const IndexEntry& entry, std::uint64_t first,
                                                          std::uint64_t first_column, std::uint64_t count,
                                                          std::uint64_t position, std::uint64_t stop,
                                                          bool at_end_of_file = false,
                                                          const std::optional<LastLine>& known = std::nullopt) {
    const auto byte_at = [&](std::uint64_t at) { return text.byte_at(at, scratch); };
    const std::uint64_t first_line_start = position - first_column;  // byte of the first line's first base
    const std::optional<LastLine> last = known ? known : last_line_of(entry, first_column, count, position);
    if (!last || stop != last->stop || is_line_break(byte_at(position)) || first_line_start == 0 ||
        !is_line_break(byte_at(first_line_start - 1)))
        return false;
    const std::uint64_t more_lines = last->more_lines;
    const std::uint64_t last_line_start = last->start;
    // A copy cut short by the end of the file is rare: its lines are checked whole.
    if (at_end_of_file && (byte_at(first_line_start) == '>' || byte_at(last_line_start) == '>' ||
                           !no_line_break(text, first_line_start, position, scratch)))
        return false;
    // The byte after the last base of a line: a full line holds lenc bases
    // and then starts its line break ("\n", or "\r\n" when lenb - lenc is 2),
    // the record's last line holds what is left of rlen and may end in any
    // line break. The end of the file will do for either.
    const std::uint64_t line_break = entry.lenb > entry.lenc ? entry.lenb - entry.lenc : 0;
    const auto line_end = [&](std::uint64_t line_start, std::uint64_t bases_before) {
        const std::uint64_t left = entry.rlen > bases_before ? entry.rlen - bases_before : 0;
        return saturating_add(line_start, left <= entry.lenc && left > 0 ? left : entry.lenc);
    };
    const auto line_end_is_a_break = [&](std::uint64_t end, std::uint64_t bases_before) {
        const int byte = byte_at(end);
        if (byte < 0) return true;  // a file cut short: what was there is checked
        const std::uint64_t left = entry.rlen > bases_before ? entry.rlen - bases_before : 0;
        if (left <= entry.lenc || line_break == 0) return is_line_break(byte);
        return byte == (line_break == 1 ? '\n' : '\r');
    };
    const std::uint64_t bases_before_first_line = first - 1 - first_column;
    const std::uint64_t bases_before_last_line = bases_before_first_line + more_lines * entry.lenc;
    const std::uint64_t first_end = line_end(first_line_start, bases_before_first_line);
    const std::uint64_t last_end = line_end(last_line_start, bases_before_last_line);
    return line_end_is_a_break(first_end, bases_before_first_line) &&
           (more_lines == 0 || line_end_is_a_break(last_end, bases_before_last_line));
}

}  // namespace

Faidx::Faidx(FaidxParts parts)
    : filename_(std::move(parts.filename)),
      indexname_(std::move(parts.indexname)),
      options_(std::move(parts.options)),
      entries_(std::move(parts.entries)),
      text_(std::move(parts.text)),
      mapped_(parts.mapped),
      file_size_(text_->size()),
      missing_eof_marker_(parts.missing_eof_marker),
      ends_checked_(std::make_unique<std::atomic<bool>[]>(entries_.size())),
      batch_stage_(std::move(parts.batch_stage)) {}

Result<const IndexEntry*> Faidx::lookup(std::string_view name) const {
    const IndexEntry* entry = entries_.find(name);
    if (entry == nullptr) return FaidxError::not_found(name);
    return entry;
}

std::uint64_t Faidx::extract_bound(const IndexEntry& entry, std::uint64_t first, std::uint64_t count) const {
    if (count == 0 || entry.lenc == 0 || entry.rlen == 0) return 0;
    const std::optional<std::uint64_t> position = base_position(entry, first);
    if (!position || *position >= file_size_) return 0;
    return std::min(count, file_size_ - *position);
}

namespace {

// What extraction reads through (the Text of its templates): a mapping's
// inline members, or any source's virtual ones.
struct MappedReader {
    const MappedText& text;
    struct Scratch {
        std::optional<FaidxError> error;  // never set: a mapping cannot fail to read
    };
    // All of the text lies at bytes(), in memory.
    static constexpr bool WHOLE = true;
    const char* bytes() const { return text.view(0, text.size()).data(); }
    std::uint64_t size() const { return text.size(); }
    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch&) const { return text.view(at, n); }
    int byte_at(std::uint64_t at, Scratch&) const { return text.byte_at(at); }
    template <class Body>
    bool guarded(Body&& body) const {
        return text.guard(body);
    }
    template <class Body>
    bool guarded_alone(Body&& body) const {
        return text.guard_alone(body);
    }
    bool shrunk() const { return text.shrunk(); }
};

struct SourceReader {
    const TextSource& text;
    using Scratch = TextSource::Scratch;
    static constexpr bool WHOLE = false;
    const char* bytes() const { return nullptr; }
    std::uint64_t size() const { return text.size(); }
    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const {
        return text.view(at, n, scratch);
    }
    int byte_at(std::uint64_t at, Scratch& scratch) const { return text.byte_at(at, scratch); }
    template <class Body>
    bool guarded(Body&& body) const {
        return text.guarded(BodyRef(body));
    }
    template <class Body>
    bool guarded_alone(Body&& body) const {
        return text.guarded_alone(BodyRef(body));
    }
    bool shrunk() const { return text.shrunk(); }
};

}  // namespace

Result<std::uint64_t> Faidx::extract(const IndexEntry& entry, std::uint64_t first, std::uint64_t count,
                                     char* out) const {
    // The mapping's inline members: no virtual call for a read that is not long.
    if (mapped_ != nullptr && count < LONG_READ) return extract_with(MappedReader{*mapped_}, entry, first, count, out);
    // A long read may be set up on its own (BGZF: its blocks streamed; a
    // local file not in memory: its pages read ahead in order).
    if (const std::optional<std::pair<std::uint64_t, std::uint64_t>> bytes = byte_window(entry, first, count)) {
        if (const std::unique_ptr<TextSource> long_read = text_->long_read(bytes->first, bytes->second))
            return extract_with(SourceReader{*long_read}, entry, first, count, out);
    }
    if (mapped_ != nullptr) return extract_with(MappedReader{*mapped_}, entry, first, count, out);
    // Over the network: what the extraction and its checks read, in one round trip.
    if (text_->gathers_reads()) {
        const RegionRead region{&entry, first, count};
        Result<ReadHold> held = hold_reads(std::span<const RegionRead>(&region, 1));
        if (!held) return held.take_error();
        return extract_with(SourceReader{*text_}, entry, first, count, out);
    }
    return extract_with(SourceReader{*text_}, entry, first, count, out);
}

Result<std::uint64_t> Faidx::extract_through(const TextSource& text, const IndexEntry& entry, std::uint64_t first,
                                             std::uint64_t count, char* out) const {
    return extract_with(SourceReader{text}, entry, first, count, out);
}

template <class Text>
Result<std::uint64_t> Faidx::extract_with(const Text& text, const IndexEntry& entry, std::uint64_t first,
                                          std::uint64_t count, char* out) const {
    if (count == 0 || entry.rlen == 0 || first == 0) return std::uint64_t{0};
    if (!describes_a_layout(entry)) return layout_mismatch(entry);
    // base_position(), keeping the column for the layout check.
    const std::uint64_t line = (first - 1) / entry.lenc;
    const std::uint64_t column = (first - 1) % entry.lenc;
    std::uint64_t position;
    if (__builtin_mul_overflow(line, entry.lenb, &position) ||
        __builtin_add_overflow(position, entry.offset, &position) ||
        __builtin_add_overflow(position, column, &position) || position >= file_size_)
        return past_the_end(text, entry);
    // Never more than extract_bound(): the caller sized `out` with it.
    count = std::min(count, file_size_ - position);
    return extract_from(text, entry, Place{first, column, position}, count, out);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> Faidx::byte_window(const IndexEntry& entry, std::uint64_t first,
                                                                          std::uint64_t count) const {
    if (count == 0 || entry.lenc == 0 || entry.rlen == 0) return std::nullopt;
    const std::optional<std::uint64_t> position = base_position(entry, first);
    if (!position || *position >= file_size_) return std::nullopt;
    count = std::min(count, file_size_ - *position);
    return std::pair{*position, window_end(entry, *position, count, file_size_)};
}

template <class Text>
bool Faidx::check_end(const Text& text, typename Text::Scratch& scratch, const IndexEntry& entry,
                      std::size_t index) const {
    const std::optional<std::uint64_t> last = base_position(entry, entry.rlen);
    const std::uint64_t size = text.size();
    // Past the end of the file (or of any file): a file cut short, whose
    // reads are checked as they come.
    if (!last || *last >= size) return true;
    bool ends = false;
    // A file that shrank since it was opened may have lost the record's end
    // (its pages fault): then the reads that need them tell, not this.
    bool gone = false;
    const bool read = text.guarded_alone([&] {
        int byte = text.byte_at(*last, scratch);
        std::uint64_t after = *last + 1;
        gone = byte < 0;  // read through a file that shrank since it was opened
        if (gone || is_line_break(byte) || (after < size && !is_line_break(text.byte_at(after, scratch)))) return;
        while ((byte = text.byte_at(after, scratch)) >= 0 && is_line_break(byte)) ++after;
        ends = byte < 0 || byte == '>';
    });
    if (!read || gone) {  // the record's end is gone: the reads that need it tell
        scratch.error.reset();
        return true;
    }
    if (ends && index < entries_.size()) ends_checked_[index].store(true, std::memory_order_relaxed);
    return ends;
}

template <class Text>
Result<std::uint64_t> Faidx::past_the_end(const Text& text, const IndexEntry& entry) const {
    // Nothing in the guarded body needs a destructor: a fault jumps out of it.
    typename Text::Scratch scratch;
    bool fits = true;
    const bool finished = text.guarded([&] {
        const std::uint64_t size = text.size();
        if (entry.offset >= size) return;  // the whole record is gone
        const auto byte_at = [&](std::uint64_t at) { return text.byte_at(at, scratch); };
        // The record's first line begins after a line end (its header's)
        // and, when more follow, ends where the entry says.
        if (entry.offset == 0 || !is_line_break(byte_at(entry.offset - 1)) || byte_at(entry.offset) == '>' ||
            !ends_as_described(text, scratch, entry)) {
            fits = false;
            return;
        }
        if (entry.rlen > entry.lenc && entry.offset + entry.lenc < size) {
            const int byte = byte_at(entry.offset + entry.lenc);
            const std::uint64_t line_break = entry.lenb - entry.lenc;
            if (line_break == 0 || byte != (line_break == 1 ? '\n' : '\r') ||
                !no_line_break(text, entry.offset, entry.offset + entry.lenc, scratch)) {
                fits = false;
                return;
            }
        }
        // The file's last base is a base of this record, in a line that
        // begins after a line end.
        std::uint64_t last = size;
        while (last > entry.offset && is_line_break(byte_at(last - 1))) --last;
        if (last == entry.offset) return;  // cut right after the header
        const std::uint64_t from_offset = last - 1 - entry.offset;
        const std::uint64_t line = from_offset / entry.lenb;
        const std::uint64_t column = from_offset % entry.lenb;
        const std::uint64_t line_start = entry.offset + line * entry.lenb;
        std::uint64_t base = 0;
        fits = column < entry.lenc && !__builtin_mul_overflow(line, entry.lenc, &base) && base + column < entry.rlen &&
               (line == 0 || is_line_break(byte_at(line_start - 1))) && byte_at(line_start) != '>' &&
               no_line_break(text, line_start, last, scratch);
    });
    if (!finished) return changed_while_open();
    if (scratch.error) return std::move(*scratch.error);
    if (!fits) return text.shrunk() ? changed_while_open() : layout_mismatch(entry);
    return std::uint64_t{0};
}

template <class Text>
Result<std::uint64_t> Faidx::extract_from(const Text& text, const IndexEntry& entry, const Place& place,
                                          std::uint64_t count, char* out) const {
    const std::uint64_t position = place.position;
    // Nothing in the guarded body needs a destructor: a fault jumps out of it.
    typename Text::Scratch scratch;
    const std::uint64_t size = text.size();
    std::uint64_t written = 0;
    bool matches = true;
    const bool finished = text.guarded([&] {
        if (!ends_as_described(text, scratch, entry)) {
            matches = false;
            return;
        }
        std::uint64_t at = position;
        std::uint64_t stop = position;  // just past the last byte copied
        std::optional<LastLine> last;   // where the laid-out lines put the last base, once worked out
        if constexpr (Text::WHOLE) {
            // Lines as the entry lays them out (nearly always) go line by line.
            if (entry.lenc >= MIN_LINE_BY_LINE) {
                last = last_line_of(entry, place.column, count, position);
                if (last && last->stop <= size &&
                    copy_lines(text.bytes() + position, place.column, entry.lenc, entry.lenb - entry.lenc, count,
                               out)) {
                    written = count;
                    stop = at = last->stop;
                }
            }
        }
        if (written < count) {
            const std::uint64_t end = window_end(entry, position, count, size);
            while (written < count && at < end) {
                const std::string_view view = text.view(at, end - at, scratch);
                if (view.empty()) break;
                const char* in = view.data();
                written += copy_breakless(in, view.data() + view.size(), out + written, count - written);
                stop = at + static_cast<std::uint64_t>(in - view.data());
                at += view.size();
            }
        }
        if (written == count) {
            matches =
                layout_matches(text, scratch, entry, place.first, place.column, count, position, stop, false, last);
        } else if (at < size || written == 0 || scratch.error) {
            // Short before the end of the file: the bases are not where the
            // entry puts them (or the file ended before its size, or a read failed).
            matches = false;
        } else {
            // Short at the end of the file, which was cut short: what was
            // read must still fit the entry. Its last base is the last byte
            // that is no line break.
            stop = size;
            while (is_line_break(text.byte_at(stop - 1, scratch))) --stop;
            matches = !scratch.error &&
                      layout_matches(text, scratch, entry, place.first, place.column, written, position, stop, true);
        }
    });
    if (!finished) return changed_while_open();
    if (scratch.error) return std::move(*scratch.error);
    if (!matches) return text.shrunk() ? changed_while_open() : layout_mismatch(entry);
    return written;
}

FaidxError Faidx::layout_mismatch(const IndexEntry& entry) const {
    const std::string* name = entries_.name_of(&entry);
    std::string message = "the index " + indexname_ + " does not describe " + filename_;
    if (name != nullptr) message.append(": record '").append(*name).append("' is not laid out where it says");
    message.append("; rebuild the index");
    return FaidxError::about(filename_, std::move(message));
}

FaidxError Faidx::changed_while_open() const { return changed_while_open_error(filename_); }

void Faidx::add_read_ranges(const IndexEntry& entry, std::uint64_t first, std::uint64_t count,
                            std::vector<ByteRange>& ranges) const {
    if (count == 0 || first == 0 || entry.rlen == 0 || !describes_a_layout(entry)) return;
    const std::uint64_t column = (first - 1) % entry.lenc;
    if (const std::optional<std::uint64_t> position = base_position(entry, first); position && *position < file_size_) {
        const std::uint64_t line_start = *position - column;
        const std::uint64_t end = window_end(entry, *position, std::min(count, file_size_ - *position), file_size_);
        ranges.push_back(ByteRange{line_start > 0 ? line_start - 1 : 0, saturating_add(end, 2)});
    } else {  // past the end: the check reads the record's first line and the file's end
        ranges.push_back(
            ByteRange{entry.offset > 0 ? entry.offset - 1 : 0, saturating_add(entry.offset, entry.lenb + 2)});
        ranges.push_back(ByteRange{file_size_ > 4096 ? file_size_ - 4096 : 0, file_size_});
    }
    const std::size_t index = entries_.index_of(&entry);
    if (index < entries_.size() && ends_checked_[index].load(std::memory_order_relaxed)) return;
    if (const std::optional<std::uint64_t> last = base_position(entry, entry.rlen); last && *last < file_size_)
        ranges.push_back(ByteRange{*last, saturating_add(*last, 64)});
}

Result<ReadHold> Faidx::hold_reads(std::span<const RegionRead> regions) const {
    if (!text_->gathers_reads()) return ReadHold();
    std::vector<ByteRange> ranges;
    ranges.reserve(regions.size() + 4);
    for (const RegionRead& region : regions) add_read_ranges(*region.entry, region.first, region.count, ranges);
    return text_->hold(std::move(ranges));
}

void Faidx::prefetch(const IndexEntry& entry, std::uint64_t first, std::uint64_t count) const {
    if (count == 0) return;
    if (entry.lenc == 0 || first == 0) return;
    const std::uint64_t line = (first - 1) / entry.lenc;
    const std::uint64_t column = (first - 1) - line * entry.lenc;
    std::uint64_t line_start;
    if (__builtin_mul_overflow(line, entry.lenb, &line_start) ||
        __builtin_add_overflow(line_start, entry.offset, &line_start))
        return;
    // What the copy and the layout check read: from the byte before the
    // first base's line to the line break after the last base's line.
    const std::optional<LastLine> last = last_line_of(entry, column, count, saturating_add(line_start, column));
    if (!last) return;
    const std::uint64_t from = line_start > 0 ? line_start - 1 : 0;
    const std::uint64_t last_line_end = saturating_add(saturating_add(last->start, entry.lenc), 1);
    const auto ask = [&](const auto& text) { text.prefetch(from, last_line_end - from); };
    if (mapped_ != nullptr) ask(*mapped_);  // final: no virtual call
    else ask(*text_);
}

}  // namespace kelpa::core
