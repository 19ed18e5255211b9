#include "core/index/index_builder.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "core/base/utf8.hpp"
#include "core/io/fault_guard.hpp"
#include "core/io/mapped_file.hpp"
#include "core/kernels/line_scan.hpp"

namespace kelpa::core {

namespace {

// 1 MiB keeps the read() calls few and the buffer in L2 while it is scanned.
constexpr std::size_t READ_BUFFER_SIZE = std::size_t{1} << 20;

FaidxError too_large() { return FaidxError::io("FASTA file too large to index"); }

// Bytes at the end of [p, p + n) that start a UTF-8 character the buffer
// cuts off (0..3). They are held back for the next read, so the validator
// and the header scan only ever see whole characters. Bytes that cannot
// start a character of that length are left to the validator to reject.
std::size_t cut_off_tail(const unsigned char* p, std::size_t n) {
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const unsigned char byte = p[n - back];
        if ((byte & 0xC0) == 0x80) continue;
        const std::size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return needed > back ? back : 0;
    }
    return 0;
}

// Finds the line ends of a buffer 64 bytes at a time: one mask of the "\n"
// bytes in each 64-byte block, then one bit scan per line, where memchr()
// would pay a call and its set-up for every 60-base line. The same pass
// notes whether a block holds any "\r", so that only lines near one are
// searched for a "\r" that does not end them.
class NewlineFinder {
public:
    NewlineFinder(const char* begin, const char* end) : block_(begin), covered_(begin), end_(end) {}

    // The first "\n" in [p, end), or nullptr. `p` never moves backwards
    // between calls and is never before the `begin` of the constructor.
    const char* next(const char* p) {
        while (true) {
            if (p < covered_) {
                const std::uint64_t ahead = bits_ & (~std::uint64_t{0} << (p - block_));
                if (ahead != 0) return block_ + __builtin_ctzll(ahead);
                p = covered_;
            }
            const auto left = static_cast<std::size_t>(end_ - p);
            if (left < BLOCK) {
                unscanned_ = cr_seen_ = true;  // the tail is not scanned for "\r"
                return static_cast<const char*>(std::memchr(p, '\n', left));
            }
            block_ = p;
            covered_ = p + BLOCK;
            bits_ = scan_(p, block_cr_);
            cr_seen_ |= block_cr_;
        }
    }

    // Whether the line that ends at the last "\n" next() gave may hold a
    // "\r" (true for every line of a file with "\r\n" line ends). Call once
    // a line.
    bool take_cr() {
        const bool seen = cr_seen_;
        cr_seen_ = block_cr_ || unscanned_;  // the next line starts in the same block
        return seen;
    }

private:
    static constexpr std::size_t BLOCK = 64;

    NewlineScanner scan_;  // the "\n" bits of 64 bytes
    const char* block_;    // bits_ has a bit for each "\n" in [block_, covered_)
    const char* covered_;  // block_ + BLOCK, or block_ before the first block
    const char* end_;
    std::uint64_t bits_ = 0;
    bool block_cr_ = false;   // [block_, covered_) holds a "\r"
    bool cr_seen_ = false;    // a "\r" in a block since the line take_cr() last answered for
    bool unscanned_ = false;  // next() has reached the tail, which memchr() reads
};

// Why a record's lines cannot be indexed: the arithmetic of a fetch holds
// only while every line but the record's last is exactly as long as its first.
enum class LayoutBreak : std::uint8_t {
    Longer,    // a line with more bases than the first
    Shorter,   // a shorter line, and more sequence after it
    Blank,     // a blank line, and more sequence after it
    OtherEnd,  // as many bases as the first but another line end, and more after it
};

// The first "\r" in [p, p + n), or nullptr.
const char* find_cr(const char* p, std::size_t n) { return static_cast<const char*>(std::memchr(p, '\r', n)); }

const char* describe(LayoutBreak why) {
    switch (why) {
        case LayoutBreak::Longer: return "is longer than the record's first line";
        case LayoutBreak::Shorter: return "is shorter than the record's first line but more sequence follows";
        case LayoutBreak::Blank: return "is blank but more sequence follows";
        case LayoutBreak::OtherEnd: return "ends in another line break than the record's first line";
    }
    return "";
}

// The line state machine of the builder, fed with validated text in file
// order. Lines may span any number of feeds; only the current record's
// numbers and the name are kept, never a line.
class FastaScanner {
public:
    FastaScanner(const std::string& path, Encoding encoding) : path_(path), encoding_(encoding) {}

    // As UTF-8, `data` holds whole characters only (see cut_off_tail).
    Status feed(const char* data, std::size_t size);
    Status finish();

    std::vector<NamedEntry> take_records() { return std::move(records_); }

private:
    enum class Mode {
        LineStart,   // next byte begins a line
        Sequence,    // inside a non-header line, line_bytes_ / cr_run_ so far
        HeaderLead,  // after '>', skipping White_Space before the name
        HeaderName,  // inside the name
        HeaderRest,  // after the name, skipping to the end of the line
    };

    void close_record();
    void start_record(std::uint64_t offset);
    // Counts the current line (line_) into the record; false when the record
    // grows too large or its layout breaks (failure() says which).
    [[nodiscard]] bool add_line(std::uint64_t full_bytes, std::uint64_t bases) {
        // Nearly every line is a full line like the record's first.
        if (full_bytes == usual_bytes_ && bases == usual_bases_) return !__builtin_add_overflow(rlen_, bases, &rlen_);
        return add_other_line(full_bytes, bases);
    }
    [[nodiscard]] bool add_other_line(std::uint64_t full_bytes, std::uint64_t bases);
    [[nodiscard]] bool layout_break(std::uint64_t line, LayoutBreak why);
    // A "\r" that is followed by neither "\n" nor the end of the file: a
    // line end of another system (old Mac files), or a stray byte; the
    // line is not one that a fetch can read as the index would say.
    Status stray_cr(bool in_header);
    FaidxError failure();
    // Bytes of the whitespace at p that ends a name, or 0.
    std::size_t whitespace_at(const char* p, const char* end) const {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x80 || encoding_ == Encoding::Bytes) return is_ascii_whitespace(byte) ? 1 : 0;
        return whitespace_prefix(std::string_view(p, static_cast<std::size_t>(end - p)));
    }

    const std::string& path_;
    const Encoding encoding_;
    Mode mode_ = Mode::LineStart;
    std::uint64_t position_ = 0;  // file offset of the first byte of the current feed
    std::uint64_t line_ = 1;      // 1-based number of the line being read
    std::string name_;            // empty: no record is being indexed
    std::uint64_t offset_ = 0;
    std::uint64_t rlen_ = 0;
    std::uint64_t lenc_ = 0;
    std::uint64_t lenb_ = 0;
    bool seen_line_ = false;        // a sequence line since the header
    // The first line's bytes and bases while every line so far was like it;
    // values no line has otherwise, so that add_line() looks closer.
    std::uint64_t usual_bytes_ = UINT64_MAX;
    std::uint64_t usual_bases_ = UINT64_MAX;
    std::uint64_t uneven_line_ = 0;  // first line unlike the record's first (0: none), fine if only blank lines follow
    LayoutBreak uneven_ = LayoutBreak::Shorter;
    std::uint64_t line_bytes_ = 0;  // Mode::Sequence: bytes of the line so far, no "\n"
    std::uint64_t cr_run_ = 0;  // Mode::Sequence: of those, trailing '\r' bytes
    bool header_cr_ = false;  // a header line's "\r" ended the last feed: "\n" must come next
    std::optional<FaidxError> failure_;
    std::vector<NamedEntry> records_;
};

void FastaScanner::close_record() {
    if (!name_.empty()) records_.emplace_back(std::move(name_), IndexEntry{rlen_, offset_, lenc_, lenb_});
    name_.clear();
}

void FastaScanner::start_record(std::uint64_t offset) {
    offset_ = offset;
    rlen_ = lenc_ = lenb_ = 0;
    seen_line_ = false;
    uneven_line_ = 0;
    usual_bytes_ = usual_bases_ = UINT64_MAX;
}

bool FastaScanner::add_other_line(std::uint64_t full_bytes, std::uint64_t bases) {
    if (!seen_line_) {
        lenb_ = full_bytes;
        lenc_ = bases;
        seen_line_ = true;
        if (bases == 0) {
            uneven_line_ = line_;
            uneven_ = LayoutBreak::Blank;
        } else {
            usual_bytes_ = full_bytes;
            usual_bases_ = bases;
        }
    } else if (uneven_line_ != 0) {
        // Only blank lines may follow a line unlike the first.
        if (bases != 0 && !name_.empty()) return layout_break(uneven_line_, uneven_);
    } else if (bases != lenc_ || full_bytes != lenb_) {
        if (bases > lenc_ && !name_.empty()) return layout_break(line_, LayoutBreak::Longer);
        usual_bytes_ = usual_bases_ = UINT64_MAX;
        uneven_line_ = line_;
        uneven_ = bases == 0 ? LayoutBreak::Blank : bases < lenc_ ? LayoutBreak::Shorter : LayoutBreak::OtherEnd;
    }
    return !__builtin_add_overflow(rlen_, bases, &rlen_);
}

bool FastaScanner::layout_break(std::uint64_t line, LayoutBreak why) {
    std::string message = "cannot index " + path_ + ": line " + std::to_string(line) + " (in record '";
    message.append(name_).append("') ").append(describe(why));
    message.append("; every line of a record but its last must be as long as its first");
    failure_.emplace(FaidxError::about(path_, std::move(message)));
    return false;
}

Status FastaScanner::stray_cr(bool in_header) {
    std::string message = "cannot index " + path_ + ": line " + std::to_string(line_);
    if (in_header) {
        message.append(" (a header line)");
    } else if (!name_.empty()) {
        message.append(" (in record '").append(name_).append("')");
    }
    message.append(" holds a carriage return that does not end it; lines must end in \"\\n\" or \"\\r\\n\"");
    return FaidxError::about(path_, std::move(message));
}

FaidxError FastaScanner::failure() {
    if (failure_) return std::move(*failure_);
    return too_large();
}

Status FastaScanner::feed(const char* data, std::size_t size) {
    const char* p = data;
    const char* const end = data + size;
    const auto offset_after = [&](const char* q) { return position_ + static_cast<std::uint64_t>(q - data); };
    if (header_cr_ && p < end) {
        if (*p != '\n') return stray_cr(true);
        header_cr_ = false;
    }
    while (p < end) {
        switch (mode_) {
            case Mode::LineStart: {
                // The hot loop: whole lines inside this buffer.
                NewlineFinder newlines(p, end);
                while (p < end) {
                    if (*p == '>') {
                        close_record();
                        mode_ = Mode::HeaderLead;
                        ++p;
                        break;
                    }
                    const char* newline = newlines.next(p);
                    if (newline == nullptr) {
                        mode_ = Mode::Sequence;
                        line_bytes_ = cr_run_ = 0;
                        break;
                    }
                    const auto length = static_cast<std::uint64_t>(newline - p);
                    std::uint64_t bases = length;
                    if (newlines.take_cr()) {
                        if (bases > 0 && p[bases - 1] == '\r') --bases;
                        if (find_cr(p, bases) != nullptr) return stray_cr(false);
                    }
                    if (!add_line(length + 1, bases)) return failure();
                    ++line_;
                    p = newline + 1;
                }
                break;
            }

            case Mode::Sequence: {
                const auto* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                const char* stop = newline != nullptr ? newline : end;
                const auto length = static_cast<std::uint64_t>(stop - p);
                // Only the line's last byte may be a "\r": one earlier is
                // followed by more of the line.
                if ((cr_run_ > 0 && length > 0) || (length > 1 && find_cr(p, length - 1) != nullptr))
                    return stray_cr(false);
                cr_run_ = length > 0 ? std::uint64_t{stop[-1] == '\r'} : cr_run_;
                if (__builtin_add_overflow(line_bytes_, length, &line_bytes_)) return too_large();
                if (newline == nullptr) {
                    p = end;
                    break;
                }
                std::uint64_t full = 0;
                if (__builtin_add_overflow(line_bytes_, 1, &full)) return too_large();
                if (!add_line(full, line_bytes_ - cr_run_)) return failure();
                ++line_;
                p = newline + 1;
                mode_ = Mode::LineStart;
                break;
            }

            case Mode::HeaderLead:
                while (p < end) {
                    if (*p == '\r') {  // White_Space, but it may only end the line
                        if (p + 1 == end) {
                            header_cr_ = true;
                            p = end;
                            break;
                        }
                        if (p[1] != '\n') return stray_cr(true);
                    }
                    if (*p == '\n') {
                        ++p;
                        ++line_;
                        start_record(offset_after(p));
                        mode_ = Mode::LineStart;
                        break;
                    }
                    const std::size_t width = whitespace_at(p, end);
                    if (width == 0) {
                        mode_ = Mode::HeaderName;
                        break;
                    }
                    p += width;
                }
                break;

            case Mode::HeaderName: {
                const char* start = p;
                while (p < end && whitespace_at(p, end) == 0) ++p;
                name_.append(start, p);
                if (p < end) mode_ = Mode::HeaderRest;
                break;
            }

            case Mode::HeaderRest: {
                const auto* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                const char* stop = newline != nullptr ? newline : end;
                if (stop - p > 1 && find_cr(p, static_cast<std::size_t>(stop - p - 1)) != nullptr)
                    return stray_cr(true);
                if (newline == nullptr) {
                    header_cr_ = p < end && end[-1] == '\r';
                    p = end;
                    break;
                }
                p = newline + 1;
                ++line_;
                start_record(offset_after(p));
                mode_ = Mode::LineStart;
                break;
            }
        }
    }
    if (__builtin_add_overflow(position_, size, &position_)) return too_large();
    return {};
}

Status FastaScanner::finish() {
    switch (mode_) {
        case Mode::LineStart: break;
        case Mode::Sequence:
            // A last line without "\n": its length is all bytes, its bases
            // those before a final "\r".
            if (!add_line(line_bytes_, line_bytes_ - cr_run_)) return failure();
            break;
        case Mode::HeaderLead:
        case Mode::HeaderName:
        case Mode::HeaderRest: start_record(position_); break;
    }
    mode_ = Mode::LineStart;
    close_record();
    return {};
}

}  // namespace

// As UTF-8, the scanner sees whole characters only: the bytes of a
// character that a piece cuts off wait in `carry` for the next piece.
struct FastaTextScan::State {
    State(const std::string& path, Encoding encoding) : scanner(path, encoding), encoding(encoding) {}

    FastaScanner scanner;
    const Encoding encoding;
    unsigned char carry[4] = {};
    std::size_t carried = 0;
};

FastaTextScan::FastaTextScan(const std::string& path, Encoding encoding)
    : path_(path),
      state_(std::make_unique<State>(path_, encoding)) {}
FastaTextScan::~FastaTextScan() = default;

Status FastaTextScan::feed(std::string_view piece) {
    State& state = *state_;
    if (state.encoding == Encoding::Bytes) return state.scanner.feed(piece.data(), piece.size());
    if (state.carried > 0) {
        // Complete the character the last piece cut off, then scan it alone.
        const unsigned char lead = state.carry[0];
        const std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        while (state.carried < needed && !piece.empty()) {
            state.carry[state.carried++] = static_cast<unsigned char>(piece.front());
            piece.remove_prefix(1);
        }
        if (state.carried < needed) return {};
        const std::string_view character(reinterpret_cast<const char*>(state.carry), state.carried);
        state.carried = 0;
        if (valid_utf8_prefix(character) != character.size()) return FaidxError::invalid_utf8();
        if (Status status = state.scanner.feed(character.data(), character.size()); !status) return status;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t tail = cut_off_tail(bytes, piece.size());
    const std::size_t usable = piece.size() - tail;
    if (valid_utf8_prefix(piece.substr(0, usable)) != usable) return FaidxError::invalid_utf8();
    if (Status status = state.scanner.feed(piece.data(), usable); !status) return status;
    std::memcpy(state.carry, bytes + usable, tail);
    state.carried = tail;
    return {};
}

Result<std::vector<NamedEntry>> FastaTextScan::finish() {
    State& state = *state_;
    // A character cut off by the end of the text is simply invalid.
    if (state.carried > 0) return FaidxError::invalid_utf8();
    if (Status status = state.scanner.finish(); !status) return status.take_error();
    return state.scanner.take_records();
}

namespace {

constexpr std::uint64_t PIECE = std::uint64_t{1} << 20;
constexpr std::uint64_t RELEASE = std::uint64_t{16} << 20;  // a multiple of PIECE and of the page size

// Copies a mapping out a piece at a time into a few buffers that the
// processor's caches hold, on a thread of its own, a few pieces ahead of
// the scan. The copies are guarded, so a file cut short meanwhile is an
// error, not SIGBUS. Without a thread (none could be started), each piece
// is copied when the scan asks for it.
class PieceCopier {
public:
    explicit PieceCopier(const Mapping& mapping) : mapping_(mapping), count_((mapping.length() + PIECE - 1) / PIECE) {
        for (auto& slot : slots_) slot.reset(new char[PIECE]);
        if (count_ < 2) return;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {}
    }
    ~PieceCopier() {
        if (!thread_.joinable()) return;
        stop_.store(true);
        freed_.store(count_);
        freed_.notify_one();
        thread_.join();
    }
    PieceCopier(const PieceCopier&) = delete;
    PieceCopier& operator=(const PieceCopier&) = delete;

    std::uint64_t count() const { return count_; }

    // Piece k's text, once copied; nullopt when pages of it had gone from
    // the file. Pieces are asked for in order, each after done() of the one before.
    std::optional<std::string_view> get(std::uint64_t k) {
        if (!thread_.joinable()) {
            failed_[k % SLOTS] = !copy(k);
        } else {
            for (std::uint64_t copied; (copied = copied_.load(std::memory_order_acquire)) <= k;)
                copied_.wait(copied, std::memory_order_acquire);
        }
        if (failed_[k % SLOTS]) return std::nullopt;
        return std::string_view(slots_[k % SLOTS].get(), size(k));
    }

    // The scan is through with piece k: its buffer may take another.
    void done(std::uint64_t k) {
        freed_.store(k + 1, std::memory_order_release);
        freed_.notify_one();
    }

private:
    static constexpr std::uint64_t SLOTS = 4;

    std::size_t size(std::uint64_t k) const {
        return static_cast<std::size_t>(std::min(PIECE, mapping_.length() - k * PIECE));
    }

    bool copy(std::uint64_t k) {
        const char* piece = mapping_.data() + k * PIECE;
        const std::size_t n = size(k);
        char* into = slots_[k % SLOTS].get();
        if (!guarded_read(piece, n, [&] { std::memcpy(into, piece, n); })) return false;
        // Let go of the pages copied (the page cache keeps them), so the
        // resident set stays a few pieces in size.
        const std::uint64_t through = k * PIECE + n;
        if (through % RELEASE == 0)
            ::madvise(const_cast<char*>(mapping_.data()) + through - RELEASE, RELEASE, MADV_DONTNEED);
        return true;
    }

    void run() {
        for (std::uint64_t k = 0; k < count_; ++k) {
            for (std::uint64_t freed; k >= (freed = freed_.load(std::memory_order_acquire)) + SLOTS;)
                freed_.wait(freed, std::memory_order_acquire);
            if (stop_.load()) return;
            const bool ok = copy(k);
            failed_[k % SLOTS] = !ok;
            copied_.store(k + 1, std::memory_order_release);
            copied_.notify_one();
            if (!ok) return;
        }
    }

    const Mapping& mapping_;
    const std::uint64_t count_;
    std::unique_ptr<char[]> slots_[SLOTS];
    bool failed_[SLOTS] = {};  // the copy into the slot was cut short; read after copied_ says it is done
    std::atomic<std::uint64_t> copied_{0};  // pieces copied
    std::atomic<std::uint64_t> freed_{0};  // pieces the scan is through with
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The scan over a mapping of the file, cheaper than read() copying the
// whole file out of the kernel, with the copy out of the mapping on a
// thread of its own, ahead of the scan.
Result<std::vector<NamedEntry>> scan_mapping(const std::string& path, const Mapping& mapping, Encoding encoding) {
    ::madvise(const_cast<char*>(mapping.data()), mapping.length(), MADV_SEQUENTIAL);
    FastaTextScan text(path, encoding);
    PieceCopier pieces(mapping);
    for (std::uint64_t k = 0; k < pieces.count(); ++k) {
        const std::optional<std::string_view> piece = pieces.get(k);
        if (!piece) return FaidxError::about(path, path + " changed while it was indexed");
        if (Status fed = text.feed(*piece); !fed) return fed.take_error();
        pieces.done(k);
    }
    return text.finish();
}

}  // namespace

Result<std::vector<NamedEntry>> scan_fasta(const std::string& fasta_path, Encoding encoding) {
    Result<UniqueFd> opened = open_regular(fasta_path, O_RDONLY);
    if (!opened) return opened.take_error();
    const UniqueFd fd = std::move(opened.value());
    // Mapped when it can be, and guarded against the file shrinking
    // meanwhile (fault_guard.hpp); else read.
    if (Mapping mapping; mapping.map(fd.get()) && install_fault_handler())
        return scan_mapping(fasta_path, mapping, encoding);
    (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    const auto buffer = std::unique_ptr<char[]>(new char[READ_BUFFER_SIZE]);
    FastaTextScan scan(fasta_path, encoding);
    while (true) {
        const ssize_t got = ::read(fd.get(), buffer.get(), READ_BUFFER_SIZE);
        if (got < 0) {
            if (errno == EINTR) continue;
            return FaidxError::os(errno, fasta_path);
        }
        if (got == 0) break;
        if (Status status = scan.feed(std::string_view(buffer.get(), static_cast<std::size_t>(got))); !status)
            return status.take_error();
    }
    return scan.finish();
}

Status build_index(const std::string& fasta_path, const std::string& index_path, NameTable& table, Encoding encoding) {
    Result<std::vector<NamedEntry>> records = scan_fasta(fasta_path, encoding);
    if (!records) return records.take_error();
    return write_and_fill(index_path, *records, table);
}

Status write_and_fill(const std::string& index_path, const std::vector<NamedEntry>& records, NameTable& table) {
    if (Status status = write_index(index_path, records); !status) return status;
    table.reserve(records.size());
    for (const auto& [name, entry] : records) table.insert_or_assign(name, entry);
    return {};
}

Result<BlockTable> build_bgzf_indexes(const CompressedFile& file, const std::string& gzi_path,
                                      const std::string& index_path, NameTable& table, Encoding encoding) {
    Result<BlockTable> scanned = scan_blocks(file);
    if (!scanned) return scanned.take_error();
    FastaTextScan scan(file.name, encoding);
    Status read = read_text_in_order(file, *scanned, [&scan](const char* text, std::size_t bytes) {
        return scan.feed(std::string_view(text, bytes));
    });
    if (!read) return read.take_error();
    Result<std::vector<NamedEntry>> records = scan.finish();
    if (!records) return records.take_error();
    if (Status written = write_gzi(gzi_path, *scanned); !written) return written.take_error();
    if (Status written = write_and_fill(index_path, *records, table); !written) return written.take_error();
    return scanned;
}

}  // namespace kelpa::core
