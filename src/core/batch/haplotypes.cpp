#include "core/batch/haplotypes.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace kelpa::core {

namespace {

// A batch's reads are made in pieces of at most this many bytes of text
// (and regions), so that what a call holds beside its output stays small
// whatever its size, and the pieces reuse memory that is already faulted
// in and warm in the cache (bench/bench_variants.py: pieces of 8 MiB took
// a haplotype batch twice as long).
constexpr std::uint64_t PIECE_BYTES = std::uint64_t{1} << 20;
constexpr std::size_t PIECE_REGIONS = 4096;

char upper(char byte) { return byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : byte; }

// Whether the genome's bases at a variant's place are its reference allele, ignoring case.
bool same_bases(std::string_view found, const Variant& variant) {
    if (found.size() != variant.ref_size) return false;
    for (std::size_t b = 0; b < found.size(); ++b) {
        if (upper(found[b]) != variant.ref[b]) return false;
    }
    return true;
}

// Items [first, end) of a batch.
struct Piece {
    std::size_t first = 0;
    std::size_t end = 0;
};

// The text of a piece of window requests, back to back: `at[k]` is where
// request k's part inside its record goes.
class PieceText {
public:
    void plan(std::span<const RegionRequest> requests) {
        at_.resize(requests.size() + 1);
        std::uint64_t total = 0;
        for (std::size_t k = 0; k < requests.size(); ++k) {
            at_[k] = total;
            total += window_part(window_start(requests[k]), window_end(requests[k]), requests[k].entry->rlen).size();
        }
        at_[requests.size()] = total;
        if (capacity_ < total) {
            text_ = std::make_unique_for_overwrite<char[]>(total);
            capacity_ = total;
        }
    }
    char* reserve(std::size_t k) { return text_.get() + at_[k]; }

private:
    std::vector<std::uint64_t> at_;
    std::unique_ptr<char[]> text_;
    std::uint64_t capacity_ = 0;
};

// Splits `count` items into pieces whose text (`bytes(i)`) stays under
// PIECE_BYTES, each holding one item at least, and runs `run` on each;
// stops at the first that returns false.
template <class Bytes, class Run>
bool by_pieces(std::size_t count, Bytes&& bytes, Run&& run) {
    std::size_t first = 0;
    while (first < count) {
        std::size_t end = first;
        std::uint64_t total = 0;
        while (end < count && end - first < PIECE_REGIONS) {
            const std::uint64_t size = bytes(end);
            if (end > first && total + size > PIECE_BYTES) break;
            total += size;
            ++end;
        }
        if (!run(Piece{first, end})) return false;
        first = end;
    }
    return true;
}

class AlleleSink {
public:
    AlleleSink(const HaplotypeRows& rows, std::span<const std::size_t> variants, PieceText& text, std::uint8_t* mask,
               std::optional<AlleleMismatch>& mismatch)
        : rows_(rows),
          variants_(variants),
          text_(text),
          mask_(mask),
          mismatch_(mismatch) {}

    char* reserve(std::size_t k, std::uint64_t) { return text_.reserve(k); }

    bool accept(std::size_t k, const BatchResult& result) {
        const std::size_t v = variants_[k];
        const Variant& variant = rows_.variants[v];
        const std::string_view found = result.kind == FetchPlan::Kind::Empty ? std::string_view() : result.text;
        const bool same = same_bases(found, variant);
        if (mask_ != nullptr) mask_[v] = same ? 1 : 0;
        if (!same && !mismatch_) mismatch_ = AlleleMismatch{v, std::string(found)};
        return true;
    }

    void failed(std::size_t, const FaidxError& error) { error_ = error; }

    std::optional<FaidxError> error_;

private:
    const HaplotypeRows& rows_;
    std::span<const std::size_t> variants_;
    PieceText& text_;
    std::uint8_t* mask_;
    std::optional<AlleleMismatch>& mismatch_;
};

class HaplotypeSink {
public:
    HaplotypeSink(const HaplotypeRows& rows, std::size_t first, std::span<const RegionRequest> reads, PieceText& text,
                  const RowTarget* reference, const RowTarget& haplotype, std::uint8_t* mask)
        : rows_(rows),
          first_(first),
          reads_(reads),
          text_(text),
          reference_(reference),
          haplotype_(haplotype),
          mask_(mask) {}

    char* reserve(std::size_t k, std::uint64_t) { return text_.reserve(k); }

    void on_worker(std::size_t k, char* text, std::uint64_t size) { write_rows(k, text, size); }

    bool accept(std::size_t k, const BatchResult& result) {
        if (result.in_place) return true;
        const std::size_t size = result.kind == FetchPlan::Kind::Empty ? 0 : result.text.size();
        write_rows(k, result.text.data(), size);
        return true;
    }

    void failed(std::size_t, const FaidxError& error) { error_ = error; }

    std::optional<FaidxError> error_;

private:
    void write_rows(std::size_t k, const char* text, std::uint64_t size) const {
        const std::size_t i = first_ + k;
        const RegionRequest& read = reads_[k];
        const std::uint64_t rlen = read.entry->rlen;
        const std::uint64_t text_lo = window_part(window_start(read), window_end(read), rlen).lo;
        const std::int64_t start = window_start(rows_.windows[i]);
        const std::span<const Variant> variants =
            rows_.variants.subspan(static_cast<std::size_t>(rows_.offsets[i]),
                                   static_cast<std::size_t>(rows_.offsets[i + 1] - rows_.offsets[i]));
        if (reference_ != nullptr) write_row(*reference_, i, text, text_lo, size, start, rlen, {});
        write_row(haplotype_, i, text, text_lo, size, start, rlen, variants);
        if (mask_ == nullptr) return;
        // The text reaches every variant of the row (row_read).
        for (std::size_t k = 0; k < variants.size(); ++k) {
            const Variant& variant = variants[k];
            const std::uint64_t lo = std::min(variant.position, text_lo + size);
            const std::uint64_t hi = std::min(variant.end(), text_lo + size);
            mask_[static_cast<std::size_t>(rows_.offsets[i]) + k] =
                lo >= text_lo && same_bases(std::string_view(text + (lo - text_lo), hi - lo), variant) ? 1 : 0;
        }
    }

    // The window's bases go to the row's last bytes, then are encoded from there.
    void write_row(const RowTarget& target, std::size_t i, const char* text, std::uint64_t text_lo, std::uint64_t size,
                   std::int64_t start, std::uint64_t rlen, std::span<const Variant> variants) const {
        const std::size_t length = rows_.length;
        const std::size_t row_bytes = target.encoder->row_bytes(length);
        char* const row = target.rows + i * row_bytes;
        char* const bases = row + row_bytes - length;
        const Assembled got = assemble(text, text_lo, size, start, length, rlen, variants, bases);
        if (got.count < length && got.count > 0) std::memmove(row + row_bytes - got.count, bases, got.count);
        const bool rc = target.rc != nullptr ? target.rc[i] != 0 : target.rc_all;
        target.encoder->encode_in_place(row, got.before, got.count, length - got.before - got.count, rc);
    }

    const HaplotypeRows& rows_;
    std::size_t first_;
    std::span<const RegionRequest> reads_;
    PieceText& text_;
    const RowTarget* reference_;
    const RowTarget& haplotype_;
    std::uint8_t* mask_;
};

std::span<const Variant> row_variants(const HaplotypeRows& rows, std::size_t i) {
    return rows.variants.subspan(static_cast<std::size_t>(rows.offsets[i]),
                                 static_cast<std::size_t>(rows.offsets[i + 1] - rows.offsets[i]));
}

// The reference a row's window reads: from its first base inside the record
// (the bases of a variant before it come from the allele), as far as its
// bases and every base its variants delete can reach; with `checked`, from
// the first variant's first base to the last one's end as well.
RegionRequest row_read(const HaplotypeRows& rows, std::size_t i, bool checked) {
    const RegionRequest& window = rows.windows[i];
    const std::span<const Variant> variants = row_variants(rows, i);
    std::uint64_t first = static_cast<std::uint64_t>(std::max<std::int64_t>(window_start(window), 0));
    std::uint64_t reach = rows.length;
    for (const Variant& variant : variants) reach += variant.ref_size;
    const std::uint64_t rlen = window.entry->rlen;
    std::uint64_t end = first >= rlen || reach >= rlen - first ? std::max(rlen, first) : first + reach;
    if (checked && !variants.empty()) {
        first = std::min(first, variants.front().position);
        end = std::max(end, std::min(variants.back().end(), rlen));
    }
    return window_request(window.name, *window.entry, static_cast<std::int64_t>(first), static_cast<std::int64_t>(end));
}

}  // namespace

Assembled assemble(const char* text, std::uint64_t text_lo, std::uint64_t text_size, std::int64_t start,
                   std::size_t length, std::uint64_t rlen, std::span<const Variant> variants, char* out) {
    Assembled got;
    got.before = start < 0
                     ? static_cast<std::size_t>(std::min<std::uint64_t>(0 - static_cast<std::uint64_t>(start), length))
                     : 0;
    const std::size_t room = length - got.before;
    std::size_t& n = got.count;
    const std::uint64_t text_hi = text_lo + text_size;
    const std::uint64_t first = start < 0 ? 0 : static_cast<std::uint64_t>(start);
    std::uint64_t cursor = first;
    const auto put = [&](const char* bases, std::uint64_t count) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(count, room - n));
        std::memcpy(out + n, bases, take);
        n += take;
    };
    // The reference from the cursor to `to`, as far as the text reaches.
    const auto reference_to = [&](std::uint64_t to) {
        to = std::min(to, text_hi);
        if (to > cursor && cursor >= text_lo) put(text + (cursor - text_lo), to - cursor);
    };
    for (const Variant& variant : variants) {
        // The record has no base for a variant past its end to stand for.
        if (n == room || variant.position >= rlen) break;
        if (variant.position > cursor) {
            reference_to(variant.position);
            cursor = variant.position;
        }
        const std::uint64_t shared = std::min(variant.ref_size, variant.alt_size);
        const std::uint64_t skip = first > variant.position ? std::min(shared, first - variant.position) : 0;
        put(variant.alt + skip, shared - skip);
        // Inserted after the last shared base: in the window only when that base is.
        if (variant.alt_size > variant.ref_size && variant.end() > first)
            put(variant.alt + variant.ref_size, variant.alt_size - variant.ref_size);
        cursor = std::max(cursor, variant.end());
    }
    if (n < room) reference_to(rlen);
    return got;
}

Result<std::optional<AlleleMismatch>> check_alleles(const Faidx& faidx, const HaplotypeRows& rows, std::uint8_t* mask,
                                                    Executor executor) {
    // Each variant's row, in order.
    std::vector<std::size_t> row_of(rows.variants.size());
    for (std::size_t i = 0; i < rows.windows.size(); ++i) {
        for (auto v = rows.offsets[i]; v < rows.offsets[i + 1]; ++v) row_of[static_cast<std::size_t>(v)] = i;
    }
    std::optional<AlleleMismatch> mismatch;
    std::optional<FaidxError> error;
    PieceText text;
    std::vector<RegionRequest> requests;
    std::vector<std::size_t> indices;
    by_pieces(
        rows.variants.size(), [&](std::size_t v) { return std::uint64_t{rows.variants[v].ref_size}; },
        [&](Piece piece) {
            requests.clear();
            indices.clear();
            for (std::size_t v = piece.first; v < piece.end; ++v) {
                const Variant& variant = rows.variants[v];
                const RegionRequest& window = rows.windows[row_of[v]];
                requests.push_back(window_request(window.name, *window.entry,
                                                  static_cast<std::int64_t>(variant.position),
                                                  static_cast<std::int64_t>(variant.end())));
                indices.push_back(v);
            }
            text.plan(requests);
            AlleleSink sink(rows, indices, text, mask, mismatch);
            if (run_batch(faidx, std::span<const RegionRequest>(requests), nullptr, {}, RAW_TEXT, sink, WindowPlanner{},
                          executor))
                return true;
            error = sink.error_ ? *sink.error_ : FaidxError::internal("a batch of alleles stopped without a reason");
            return false;
        });
    if (error) return *error;
    return mismatch;
}

Status fill_haplotypes(const Faidx& faidx, const HaplotypeRows& rows, const RowTarget* reference,
                       const RowTarget& haplotype, std::uint8_t* mask, Executor executor) {
    std::optional<FaidxError> error;
    PieceText text;
    std::vector<RegionRequest> reads;
    const bool checked = mask != nullptr;
    by_pieces(
        rows.windows.size(),
        [&](std::size_t i) {
            const RegionRequest read = row_read(rows, i, checked);
            return window_part(window_start(read), window_end(read), read.entry->rlen).size();
        },
        [&](Piece piece) {
            reads.clear();
            for (std::size_t i = piece.first; i < piece.end; ++i) reads.push_back(row_read(rows, i, checked));
            text.plan(reads);
            HaplotypeSink sink(rows, piece.first, reads, text, reference, haplotype, mask);
            if (run_batch(faidx, std::span<const RegionRequest>(reads), nullptr, {}, RAW_TEXT, sink, WindowPlanner{},
                          executor))
                return true;
            error = sink.error_ ? *sink.error_ : FaidxError::internal("a batch of haplotypes stopped without a reason");
            return false;
        });
    if (error) return *error;
    return {};
}

}  // namespace kelpa::core
