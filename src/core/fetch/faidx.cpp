#include "core/fetch/faidx.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/io/fault_guard.hpp"
#include "core/bgzf/bgzf_text.hpp"
#include "core/remote/http.hpp"
#include "core/index/index_builder.hpp"
#include "core/kernels/sequence.hpp"

namespace kelpa::core {

namespace {

bool later(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// Whether the index at `index_path` is to be built: it is missing (and
// building is allowed), or older than the FASTA file (and rebuilding is).
bool needs_building(const std::string& path, const std::string& index_path, const FaidxOptions& options) {
    if (is_url(index_path)) return false;  // downloaded, never built
    if (options.always_build) return true;
    struct stat index_status;
    if (::stat(index_path.c_str(), &index_status) != 0) return options.build_index;
    if (!options.build_index || !options.rebuild) return false;
    struct stat fasta_status;
    return ::stat(path.c_str(), &fasta_status) == 0 && later(fasta_status.st_mtim, index_status.st_mtim);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

bool is_line_break(int byte) { return byte == '\n' || byte == '\r'; }

// Copying without line breaks. The vector loops store a whole block and then
// advance the output only past the bytes that belong to it, so a line break
// costs one compare-and-skip instead of a call to memcpy; they stop while a
// whole block still fits into the output, and plain bytes finish the rest.
std::uint64_t copy_tail(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    std::uint64_t written = 0;
    while (written < left && in < in_end) {
        const char c = *in++;
        if (c != '\n' && c != '\r') out[written++] = c;
    }
    out += written;
    return written;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) inline std::uint32_t breaks_avx2(__m256i v) {
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr))));
}

__attribute__((target("avx2"))) inline void move32_avx2(const char* from, char* to) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
}

// 64 bytes a step, read from addresses that do not depend on where the line
// breaks were: the loads of one step never wait for the last step's breaks,
// which a walk that moves past each break would make them do. Each step
// stores the whole 64 bytes, then moves every run of bytes after a break
// down into place with two 32-byte moves; the bytes each store writes past
// its run are overwritten by the next run or the next step, and never reach
// past 128 bytes from where the step began.
__attribute__((target("avx2,popcnt"))) std::uint64_t copy_wide_avx2(const char*& in, const char* in_end,
                                                                       char*& out, std::uint64_t left) {
    const char* from = in;
    char* to = out;
    while (left >= 128 && in_end - from >= 128) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), high);
        std::uint64_t breaks = breaks_avx2(low) | std::uint64_t{breaks_avx2(high)} << 32;
        std::uint64_t kept = 64;
        if (breaks != 0) {
            kept = static_cast<std::uint64_t>(__builtin_ctzll(breaks));  // the run before the first break is in place
            for (;;) {
                const std::uint64_t begin = static_cast<std::uint64_t>(__builtin_ctzll(breaks)) + 1;
                breaks &= breaks - 1;
                const std::uint64_t end = breaks != 0 ? static_cast<std::uint64_t>(__builtin_ctzll(breaks)) : 64;
                if (end > begin) {
                    move32_avx2(from + begin, to + kept);
                    if (end - begin > 32) move32_avx2(from + begin + 32, to + kept + 32);
                    kept += end - begin;
                }
                if (breaks == 0) break;
            }
        }
        from += 64;
        to += kept;
        left -= kept;
    }
    const std::uint64_t written = static_cast<std::uint64_t>(to - out);
    in = from;
    out = to;
    return written;
}

__attribute__((target("avx2"))) std::uint64_t copy_blocks_avx2(const char*& in, const char* in_end, char*& out,
                                                                  std::uint64_t left) {
    const char* start = out;
    if (left >= 128 && in_end - in >= 128) left -= copy_wide_avx2(in, in_end, out, left);
    while (left >= 32 && in_end - in >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
        const std::uint32_t mask = breaks_avx2(v);
        if (mask == 0) {
            in += 32;
            out += 32;
            left -= 32;
        } else {
            const unsigned kept = static_cast<unsigned>(__builtin_ctz(mask));
            in += kept + 1;
            out += kept;
            left -= kept;
        }
    }
    return static_cast<std::uint64_t>(out - start);
}
#endif

#if defined(__SSE2__)
std::uint64_t copy_blocks_sse2(const char*& in, const char* in_end, char*& out, std::uint64_t left) {
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const char* start = out;
    while (left >= 16 && in_end - in >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        const auto mask =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        if (mask == 0) {
            in += 16;
            out += 16;
            left -= 16;
        } else {
            const unsigned kept = static_cast<unsigned>(__builtin_ctz(mask));
            in += kept + 1;
            out += kept;
            left -= kept;
        }
    }
    return static_cast<std::uint64_t>(out - start);
}
#endif

using CopyBlocks = std::uint64_t (*)(const char*&, const char*, char*&, std::uint64_t);

CopyBlocks pick_copy_blocks() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return copy_blocks_avx2;
#endif
#if defined(__SSE2__)
    return copy_blocks_sse2;
#else
    return nullptr;
#endif
}

const CopyBlocks copy_blocks = pick_copy_blocks();

// Copying a region laid out as its entry says, line by line: each line's
// bases go out in wide moves, checked to hold no line break, and the bytes
// between two lines are checked to be breaks. Then the bytes out are the
// bytes copy_breakless() gives, and it stops where the copy would. Anything
// else (a stray break, a line of another length) makes it give up, and the
// general copy finds out what the file holds.
//
// A run of `n` bases (no break among them) from `in` to `out`.
bool copy_run_plain(const char* in, std::uint64_t n, char* out) {
    bool breaks = false;
    for (std::uint64_t k = 0; k < n; ++k) {
        const char c = in[k];
        out[k] = c;
        breaks |= (c == '\n') | (c == '\r');
    }
    return !breaks;
}

#if defined(__SSE2__)
// Runs of 16 bytes or more: whole blocks, and a last one that overlaps the one before.
inline bool copy_run_sse2(const char* in, std::uint64_t n, char* out) {
    if (n < 16) return copy_run_plain(in, n, out);
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    __m128i breaks = _mm_setzero_si128();
    const auto move = [&](std::uint64_t at) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), v);
        breaks = _mm_or_si128(breaks, _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    };
    std::uint64_t k = 0;
    for (; k + 16 <= n; k += 16) move(k);
    if (k < n) move(n - 16);
    return _mm_movemask_epi8(breaks) == 0;
}
#endif

#if defined(__x86_64__)
// 32 bytes moved; the mask of the line breaks among them.
__attribute__((target("avx2"))) inline std::uint32_t move32_checked_avx2(const char* in, char* out) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    return breaks_avx2(v);
}

__attribute__((target("avx2"))) inline bool copy_run_avx2(const char* in, std::uint64_t n, char* out) {
    if (n < 32) return copy_run_sse2(in, n, out);
    std::uint32_t breaks = 0;
    std::uint64_t k = 0;
    for (; k + 32 <= n; k += 32) breaks |= move32_checked_avx2(in + k, out + k);
    if (k < n) breaks |= move32_checked_avx2(in + n - 32, out + n - 32);
    return breaks == 0;
}
#endif

// Whether the `gap` bytes (1 or 2) after a line's bases are line breaks.
inline bool breaks_after_line(const char* in, std::uint64_t gap) {
    return gap != 0 && is_line_break(in[0]) && (gap == 1 || is_line_break(in[1]));
}

// `count` bases from `in`, `column` bases into a line of `lenc` bases
// followed by `gap` bytes of line break; every byte read lies before the
// last base. Whether the lines were as laid out (else `out` holds a part).
// Inlined into a kernel per instruction set, which inlines its Run.
template <bool (*Run)(const char*, std::uint64_t, char*)>
__attribute__((always_inline)) inline bool copy_lines_with(const char* in, std::uint64_t column, std::uint64_t lenc,
                                                           std::uint64_t gap, std::uint64_t count, char* out) {
    std::uint64_t n = std::min(lenc - column, count);
    for (;;) {
        if (!Run(in, n, out)) return false;
        count -= n;
        if (count == 0) return true;
        in += n;
        out += n;
        if (!breaks_after_line(in, gap)) return false;
        in += gap;
        n = std::min(lenc, count);
    }
}

bool copy_lines_sse2(const char* in, std::uint64_t column, std::uint64_t lenc, std::uint64_t gap, std::uint64_t count,
                     char* out) {
#if defined(__SSE2__)
    return copy_lines_with<copy_run_sse2>(in, column, lenc, gap, count, out);
#else
    return copy_lines_with<copy_run_plain>(in, column, lenc, gap, count, out);
#endif
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) bool copy_lines_avx2(const char* in, std::uint64_t column, std::uint64_t lenc,
                                                      std::uint64_t gap, std::uint64_t count, char* out) {
    return copy_lines_with<copy_run_avx2>(in, column, lenc, gap, count, out);
}
#endif

using CopyLines = bool (*)(const char*, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, char*);

CopyLines pick_copy_lines() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return copy_lines_avx2;
#endif
    return copy_lines_sse2;
}

const CopyLines copy_lines = pick_copy_lines();

std::string coordinates_text(std::uint64_t start, std::uint64_t end) {
    return std::to_string(start) + "-" + std::to_string(end);
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

// Copies bytes of [in, in_end), dropping CR and LF, until `count` bytes are out
// or the input ends; returns the number copied and leaves `in` just past the
// last byte it used.
std::uint64_t copy_breakless(const char*& in, const char* in_end, char* out, std::uint64_t count) {
    std::uint64_t written = copy_blocks != nullptr ? copy_blocks(in, in_end, out, count) : 0;
#if defined(__SSE2__)
    // What the wide blocks leave (under 32 bytes) goes 16 at a time before
    // the byte loop: a short region is mostly tail. Each step moves `out`.
    written += copy_blocks_sse2(in, in_end, out, count - written);
#endif
    written += copy_tail(in, in_end, out, count - written);
    return written;
}

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
                    std::uint64_t first_column, std::uint64_t count, std::uint64_t position, std::uint64_t stop,
                    bool at_end_of_file = false, const std::optional<LastLine>& known = std::nullopt) {
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

Result<std::unique_ptr<Faidx>> Faidx::open(std::string filename, std::optional<std::string> indexname,
                                           FaidxOptions options) {
    std::unique_ptr<Faidx> faidx(new Faidx());
    faidx->indexname_ = indexname ? std::move(*indexname) : filename + ".fai";
    faidx->filename_ = std::move(filename);
    faidx->options_ = std::move(options);
    const std::string& path = faidx->filename_;
    const std::string& index_path = faidx->indexname_;

    // A path holding a NUL character names no file: the system would see
    // only what comes before it, which is another file.
    if (path.find('\0') != std::string::npos) return FaidxError::fasta_not_found(path);
    // The one place where names are told apart: a URL is read over the network.
    if (is_url(path)) return open_remote(std::move(faidx));
    struct stat fasta_status;
    if (::stat(path.c_str(), &fasta_status) != 0) return FaidxError::fasta_not_found(path);
    if (index_path.find('\0') != std::string::npos) return FaidxError::index_not_found(index_path);
    // Both paths are checked before anything is opened, so that neither a
    // FIFO nor a device can make the open or a read wait.
    if (Status regular = check_regular(path); !regular) return regular.take_error();
    if (!is_url(index_path)) {
        if (Status regular = check_regular(index_path); !regular) return regular.take_error();
    }

    Result<UniqueFd> opened = open_regular(path, faidx->options_.mutable_file ? O_RDWR : O_RDONLY);
    if (!opened) return opened.take_error();
    UniqueFd fd = std::move(opened.value());
    struct stat open_status;
    if (::fstat(fd.get(), &open_status) != 0) return FaidxError::os(errno, path);
    const auto size = static_cast<std::uint64_t>(open_status.st_size);

    // The kind of file comes from its first bytes, never from its name.
    Mapping mapping;
    const bool mapped = !faidx->options_.mutable_file && mapping.map(fd.get());
    std::string probe;
    std::string_view head;
    if (mapped) {
        head = std::string_view(mapping.data(), static_cast<std::size_t>(std::min<std::uint64_t>(
                                                    mapping.length(), FORMAT_PROBE_SIZE)));
    } else {
        Result<std::string> read = read_head(fd.get(), FORMAT_PROBE_SIZE);
        if (!read) return read.take_error();
        probe = std::move(read.value());
        head = probe;
    }
    const FileFormat format = detect_format(head);
    if (Status refused = refuse_format(format, path); !refused) return refused.take_error();

    // The one place where the kind of text is chosen.
    if (format == FileFormat::Bgzf) {
        mapping = Mapping();  // the compressed bytes are read with pread (bgzf_text.hpp)
        Result<std::unique_ptr<TextSource>> text = faidx->open_bgzf(std::move(fd), size);
        if (!text) return text.take_error();
        faidx->text_ = std::move(text.value());
        faidx->ends_checked_ = std::make_unique<std::atomic<bool>[]>(faidx->entries_.size());
        faidx->file_size_ = faidx->text_->size();
        return faidx;
    }
    // Unguarded, a mapping of a file that shrinks would end the process: such a file is read.
    if (mapped && install_fault_handler()) {
        fd.reset();
        auto text = std::make_unique<MappedText>(std::move(mapping), path, open_status);
        faidx->mapped_ = text.get();
        faidx->text_ = std::move(text);
    } else {
        faidx->text_ = std::make_unique<RawText>(std::make_unique<FileBytes>(std::move(fd), size, path));
    }
    faidx->file_size_ = faidx->text_->size();

    const bool build = needs_building(path, index_path, faidx->options_);
    const Encoding encoding = faidx->options_.encoding;
    Status loaded = build ? build_index(path, index_path, faidx->entries_, encoding)
                          : load_any_index(index_path, faidx->entries_, encoding);
    if (!loaded) return loaded.take_error();
    faidx->ends_checked_ = std::make_unique<std::atomic<bool>[]>(faidx->entries_.size());
    return faidx;
}

Result<std::unique_ptr<TextSource>> Faidx::open_bgzf(UniqueFd fd, std::uint64_t size) {
    const std::string& path = filename_;
    const std::string gzi_path = options_.gzi_name.value_or(path + ".gzi");
    if (Status regular = check_regular(gzi_path); !regular) return regular.take_error();
    auto raw = std::make_unique<FileBytes>(std::move(fd), size, path);
    const CompressedFile file{nullptr, raw.get(), size, path};
    Result<bool> marked = file.ends_with_eof_marker();
    if (!marked) return marked.take_error();
    missing_eof_marker_ = !*marked;

    // The .fai and the .gzi are built together when either needs it.
    std::optional<BlockTable> table;
    if (needs_building(path, indexname_, options_) || needs_building(path, gzi_path, options_)) {
        Result<BlockTable> built = build_bgzf_indexes(file, gzi_path, indexname_, entries_, options_.encoding);
        if (!built) return built.take_error();
        table.emplace(std::move(built.value()));
    } else {
        Result<BlockTable> read = read_gzi(gzi_path, file);
        if (!read) return read.take_error();
        if (Status loaded = load_any_index(indexname_, entries_, options_.encoding); !loaded)
            return loaded.take_error();
        table.emplace(std::move(read.value()));
    }
    return std::unique_ptr<TextSource>(std::make_unique<BgzfText>(std::move(raw), std::move(*table)));
}

Result<const IndexEntry*> Faidx::lookup(std::string_view name) const {
    const IndexEntry* entry = entries_.find(name);
    if (entry == nullptr) return FaidxError::not_found(name);
    return entry;
}

FetchPlan Faidx::plan_fetch(std::string_view name, const IndexEntry& entry, std::uint64_t start,
                            std::uint64_t end) const {
    FetchPlan plan;
    const std::uint64_t length = entry.rlen;
    const bool in_bounds = start <= length && end <= length;
    if (!in_bounds) {
        std::string text = "coordinates " + coordinates_text(start, end) + " are out of bounds for sequence '";
        text.append(name).append("' of length ").append(std::to_string(length));
        if (options_.strict_bounds) return {FetchPlan::Kind::Refused, 0, 0, std::move(text), {}};
        plan.warnings.push_back(std::move(text));
        if (start > length) {
            plan.kind = FetchPlan::Kind::Empty;
            plan.first = plan.last = start;
            return plan;
        }
    } else if (options_.strict_bounds) {
        if (start == 0 || end == 0)
            return {FetchPlan::Kind::Refused, 0, 0, "coordinates cannot be 0 (1-based indexing)", {}};
        if (start > end) {
            return {FetchPlan::Kind::Refused, 0, 0,
                    "start coordinate " + std::to_string(start) + " is greater than end coordinate " +
                        std::to_string(end),
                    {}};
        }
        return {FetchPlan::Kind::Extract, start, end, {}, {}};
    }
    plan.first = std::min(start, length);
    plan.last = std::min(end, length);
    if (plan.first == 0 || plan.last == 0) {
        plan.warnings.emplace_back("coordinates cannot be 0 (1-based indexing)");
        plan.kind = FetchPlan::Kind::Empty;
    } else if (plan.last < plan.first) {
        plan.warnings.push_back("start coordinate " + std::to_string(plan.first) + " is greater than end coordinate " +
                                std::to_string(plan.last));
        plan.kind = FetchPlan::Kind::Empty;
    } else {
        plan.kind = FetchPlan::Kind::Extract;
    }
    return plan;
}

Result<FetchPlan> Faidx::plan_worker(std::string_view name, const IndexEntry& entry, std::uint64_t start,
                                     std::uint64_t end) const {
    const std::uint64_t length = entry.rlen;
    if (options_.strict_bounds) {
        // The subtractions wrap on purpose: a 0 start or end is refused too.
        if (start > length || start - 1 >= end || end - 1 >= length)
            return FaidxError::region(name, start, end, length);
        return FetchPlan{FetchPlan::Kind::Extract, start, end, {}, {}};
    }
    // A region that begins past the record's end overlaps nothing of it.
    if (std::max<std::uint64_t>(start, 1) > length) return FetchPlan{FetchPlan::Kind::Empty, start, start, {}, {}};
    const std::uint64_t s = std::min(std::max<std::uint64_t>(start, 1), length);
    const std::uint64_t e = std::min(std::max<std::uint64_t>(end, 1), length);
    if (std::max<std::uint64_t>(end, 1) < s) return FetchPlan{FetchPlan::Kind::Empty, s, e, {}, {}};
    return FetchPlan{FetchPlan::Kind::Extract, s, e, {}, {}};
}

std::pair<std::int64_t, std::int64_t> Faidx::slice_cover(std::uint64_t record_length, std::int64_t s, std::int64_t e,
                                                        std::int64_t k) const {
    const auto length = static_cast<std::int64_t>(record_length);
    std::int64_t first;
    std::int64_t last;
    if (options_.strict_bounds) {
        first = s < 0 ? (k < 0 ? length : 1) : s + 1;
        last = e < 0 ? (k < 0 ? 1 : length) : e;
        if (k < 0 && last <= first) std::swap(first, last);
    } else {
        first = s < 0 ? (k < 0 ? length : 1) : std::max<std::int64_t>(1, std::min<std::int64_t>(length, s + 1));
        last = e < 0 ? (k < 0 ? 1 : length) : std::max<std::int64_t>(1, std::min<std::int64_t>(length, e));
        if (k < 0 && last < first) std::swap(first, last);
    }
    return {first, last};
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
    if (mapped_ != nullptr) return extract_with(MappedReader{*mapped_}, entry, first, count, out);
    // A long read may be set up on its own (BGZF: its blocks streamed).
    if (const std::optional<std::pair<std::uint64_t, std::uint64_t>> bytes = byte_window(entry, first, count)) {
        if (const std::unique_ptr<TextSource> long_read = text_->long_read(bytes->first, bytes->second))
            return extract_with(SourceReader{*long_read}, entry, first, count, out);
    }
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

std::optional<std::pair<std::uint64_t, std::uint64_t>> Faidx::byte_window(const IndexEntry& entry,
                                                                          std::uint64_t first,
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
                    copy_lines(text.bytes() + position, place.column, entry.lenc, entry.lenb - entry.lenc, count, out)) {
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
            matches = layout_matches(text, scratch, entry, place.first, place.column, count, position, stop, false, last);
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
        ranges.push_back(ByteRange{entry.offset > 0 ? entry.offset - 1 : 0, saturating_add(entry.offset, entry.lenb + 2)});
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
