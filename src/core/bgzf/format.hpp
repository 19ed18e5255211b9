// BGZF-compressed files: format detection, the block table and its .gzi
// file, inflating blocks singly, in file order and in parallel windows.
//
// A BGZF file is a series of gzip members ("blocks"), each holding at most
// 64 KiB of text and compressed on its own:
//
//   offset  size  field
//   0       4     1f 8b 08 04      gzip magic, CM = deflate, FLG = FEXTRA
//   4       6     MTIME XFL OS     not used
//   10      2     XLEN             bytes of extra subfields that follow
//   12      XLEN  subfields        SI1 SI2 SLEN(2) data; the one with
//                                  SI1 SI2 = 'B' 'C' and SLEN = 2 holds
//                                  BSIZE(2): the block's size in bytes - 1
//   12+XLEN       deflate data     raw deflate, ends at the trailer
//   BSIZE-7 4     CRC32            of the block's text
//   BSIZE-3 4     ISIZE            the block's text size, at most 65536
//
// The file ends with the end-of-file marker, an empty block of 28 bytes
// (BGZF_EOF_MARKER). A file without it is read all the same (it may be cut
// at a block boundary, which no block check can see): whoever opens the
// file prints missing_eof_warning() as a warning line, as samtools does.
//
// All integers are little-endian. Offsets into the compressed file are
// "compressed offsets"; offsets into the text, the concatenation of every
// block's text, are "text offsets". The .fai of a BGZF file describes its
// text.
//
// Every failure is an IO error whose message names the file and, where a
// block is at fault, the block's compressed offset:
//   "<file>: BGZF block at offset <n>: <what>".
//
// Threads: everything here is safe to call from several threads at once on
// the same objects, except where a comment says otherwise.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/fork_safety.hpp"
#include "core/io/raw_source.hpp"

namespace kelpa::core {

class StagedBatch;  // worker_pool.hpp

// The most text one block holds, and so the size of every inflate buffer.
inline constexpr std::size_t BGZF_MAX_TEXT = 65536;
// The most compressed bytes one block takes (BSIZE is 16 bits).
inline constexpr std::size_t BGZF_MAX_BLOCK = 65536;

// The empty block that ends a BGZF file.
inline constexpr std::size_t BGZF_EOF_SIZE = 28;
inline constexpr unsigned char BGZF_EOF_MARKER[BGZF_EOF_SIZE] = {
    0x1f, 0x8b, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0x06, 0x00, 0x42, 0x43,
    0x02, 0x00, 0x1b, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// ---------------------------------------------------------------------------
// Format detection
// ---------------------------------------------------------------------------

enum class FileFormat : std::uint8_t {
    Plain,  // anything that is none of the below: read as text
    Bgzf,   // gzip magic whose first member carries a BC subfield
    Gzip,   // gzip magic (1f 8b) without a BC subfield
    Bzip2,  // "BZh"
    Xz,     // fd 37 7a 58 5a 00
    Zstd,   // 28 b5 2f fd
};

// Bytes detect_format() needs to see all of a first block's extra field.
inline constexpr std::size_t FORMAT_PROBE_SIZE = 12 + 65535;

// The format of a file from its first bytes: `head` holds the first
// min(file size, FORMAT_PROBE_SIZE) bytes (more is fine). Never looks at the
// name. A gzip header whose extra field is cut off by the end of `head`
// counts as plain gzip.
FileFormat detect_format(std::string_view head);

// The IO error that refuses a file of format `format`, or success for Plain
// and Bgzf. The messages:
//   "<file>: the file is gzip- but not BGZF-compressed; compress the
//    uncompressed file with bgzip to make it readable at random"
//   "<file>: the file is bzip2-compressed (likewise xz, zstd); only
//    uncompressed and BGZF-compressed (bgzip) files are read"
Status refuse_format(FileFormat format, std::string_view filename);

// ---------------------------------------------------------------------------
// Compressed bytes
// ---------------------------------------------------------------------------

// Where the compressed bytes come from: a mapping of the whole file, or a
// raw source (raw_source.hpp: a local file read with pread, or any other).
// Does not own either; the owner keeps them alive while this is in use.
struct CompressedFile {
    const char* data = nullptr;         // the mapping; nullptr: read `source`
    const RawSource* source = nullptr;
    std::uint64_t size = 0;             // bytes in the file
    std::string name;                   // the path, for messages
    // Bytes [offset, offset + n) of the file, cut at its end: a view into
    // the mapping, or read into `scratch` (room for n bytes). IO with the
    // operating-system error when a read fails.
    Result<std::string_view> read(std::uint64_t offset, std::size_t n, char* scratch) const;
    // Whether the last BGZF_EOF_SIZE bytes are BGZF_EOF_MARKER.
    Result<bool> ends_with_eof_marker() const;
};

// "<file>: no BGZF end-of-file marker; the file may be truncated".
std::string missing_eof_warning(std::string_view filename);

// ---------------------------------------------------------------------------
// One block
// ---------------------------------------------------------------------------

// Where a block's deflate data sits, from its header.
struct BlockHeader {
    std::uint32_t header_size = 0;  // 12 + XLEN: where the deflate data starts
    std::uint32_t block_size = 0;   // BSIZE + 1: the whole block
};

// Parses the header of the block at compressed offset `offset`, whose first
// bytes are `bytes` (the header at least, or whatever the file still holds
// from there: less is reported as a truncated file).
Result<BlockHeader> parse_block_header(std::string_view bytes, std::uint64_t offset, std::string_view filename);

// The text size of the block at `offset`, from its ISIZE, without inflating.
Result<std::uint32_t> block_text_size(std::string_view block, std::uint64_t offset, std::string_view filename);

// Inflates the block at compressed offset `offset` whose bytes start at
// `bytes` (the whole block at least; more is fine, less is a truncated file)
// into `out` (room for BGZF_MAX_TEXT bytes) and returns its text size.
// Checks the header, that the deflate stream is valid and ends exactly at
// the trailer, ISIZE and CRC32.
Result<std::size_t> inflate_block(std::string_view bytes, std::uint64_t offset, std::string_view filename, char* out);

// ---------------------------------------------------------------------------
// The block table and the .gzi file
// ---------------------------------------------------------------------------

struct BgzfBlock {
    std::uint64_t compressed = 0;  // compressed offset of the block
    std::uint64_t text = 0;        // text offset of its first byte
};

// Every block that holds text, in file order, as the .gzi of bgzip and
// samtools lists them: entry 0, at (0, 0), stands for the first block with
// text wherever it lies (empty blocks may come first), and the others sit
// at their own compressed offsets. Empty blocks (the end-of-file marker,
// the markers inside concatenated files) are never listed and never
// inflated: their header is checked, their deflate data and CRC32 (of no
// text) are not. A file without text is the one entry (0, 0), of length 0.
// Block i holds text [text(i), text_end(i)). Immutable once made.
class BlockTable {
public:
    BlockTable() = default;

    // Checks `blocks` (the first at (0, 0); compressed and text offsets
    // strictly rising; 1 to 65536 bytes of text per block, up to
    // `text_size`, unless the one entry holds no text) and makes the table;
    // the error names `filename` and the first bad compressed offset. Compressed spans are
    // not bounded: empty blocks may lie between two entries.
    static Result<BlockTable> make(std::vector<BgzfBlock> blocks, std::uint64_t text_size, std::string_view filename);

    std::size_t size() const { return blocks_.size(); }
    const BgzfBlock& operator[](std::size_t i) const { return blocks_[i]; }
    std::span<const BgzfBlock> blocks() const { return blocks_; }
    std::uint64_t text_size() const { return text_size_; }
    std::uint64_t text_end(std::size_t i) const { return i + 1 < blocks_.size() ? blocks_[i + 1].text : text_size_; }
    // Where block i's compressed bytes end at the most: where the next entry
    // starts (empty blocks may lie between), or the end of the file.
    std::uint64_t compressed_end(std::size_t i, std::uint64_t file_size) const {
        return i + 1 < blocks_.size() ? blocks_[i + 1].compressed : file_size;
    }

    // The block holding text offset `position` (< text_size()), by binary search.
    std::size_t block_of(std::uint64_t position) const;

private:
    std::vector<BgzfBlock> blocks_;
    std::uint64_t text_size_ = 0;
};

// Walks the block headers of the whole file, BSIZE to BSIZE, and records the
// blocks that hold text; reads each one's ISIZE but inflates nothing (the
// inflating reader checks it against the text later). A block cut off by
// the end of the file is a truncated file.
Result<BlockTable> scan_blocks(const CompressedFile& file);

// The .gzi layout (bgzip -i, samtools): a u64 count, then `count` pairs of
// u64 (compressed offset, text offset), one per table entry after the first.
// A file without text gets count 2^64 - 1, as bgzip writes it.
// Written through an AtomicFile (atomic_file.hpp), like the .fai.
Status write_gzi(const std::string& path, const BlockTable& table);

// Reads the .gzi at `path` for `file`. A file that cannot be opened gives
// IndexNotFound(path), a failing read IO. Checked now, each an IO error
// naming the .gzi and the entry's offset: the size is 8 + 16 * count
// (count 2^64 - 1 with no pairs reads as count 0); compressed offsets rise
// strictly and lie inside the file; text offsets rise strictly, by at most
// 64 KiB from one entry to the next. Checked now through the compressed
// file: the header of the first block with text and of the last block (the
// last one's ISIZE gives the text size), and that nothing but empty blocks
// follows the last block listed. Checked lazily, when a block is inflated
// (the eager check would read a page of every block at every open): that
// each listed offset starts a block whose text size is the one the table
// gives it, and that only empty blocks lie between its end and the next
// entry.
Result<BlockTable> read_gzi(const std::string& path, const CompressedFile& file);
// read_gzi() of a .gzi's bytes, already read (from `path`, which messages name).
Result<BlockTable> gzi_from_bytes(std::string_view bytes, const std::string& path, const CompressedFile& file);

// ---------------------------------------------------------------------------
// Reading the text
// ---------------------------------------------------------------------------

// Receives text in file order; an error stops the reading and is returned.
using TextConsumer = std::function<Status(const char* text, std::size_t size)>;

// Blocks in flight per group of the ordered reader: two groups, 2 * 32 * 64
// KiB = 4 MiB of inflated text, whatever the file's size.
inline constexpr std::size_t ORDERED_GROUP_BLOCKS = 32;

// Inflates every block of `table` on the worker pool and hands each block's
// text to `consume`, on the calling thread, in file order: the workers
// inflate the next group of ORDERED_GROUP_BLOCKS blocks while the calling
// thread consumes the current one. The first error in file order (a bad
// block, or the consumer's) ends the reading. Runs a pool batch, so not
// from inside another one.
Status read_text_in_order(const CompressedFile& file, const BlockTable& table, const TextConsumer& consume);

// One inflated block; shared between the cache and the readers using it.
struct InflatedBlock {
    std::size_t index = 0;  // in the table
    std::size_t size = 0;   // bytes of text
    std::unique_ptr<char[]> text;  // BGZF_MAX_TEXT bytes
};

// Receives consecutive pieces of text; returns false to stop early.
using SpanVisitor = std::function<bool(const char* data, std::size_t size)>;

// Random access to the text of one BGZF file, for fetches.
//
// A small cache (BLOCK_CACHE_SIZE blocks, least recently used out) keeps
// the blocks of recent reads for neighbouring ones. It sits behind a mutex
// held only to look up or insert a shared pointer, never while inflating or
// copying, so threads reading through one reader at once never wait for
// each other's inflating and a block in use outlives its eviction.
// Not copyable or movable.
class BgzfReader {
public:
    static constexpr std::size_t BLOCK_CACHE_SIZE = 8;

    BgzfReader(CompressedFile file, BlockTable table) : file_(std::move(file)), table_(std::move(table)) {}
    BgzfReader(const BgzfReader&) = delete;
    BgzfReader& operator=(const BgzfReader&) = delete;

    const CompressedFile& file() const { return file_; }
    const BlockTable& table() const { return table_; }
    std::uint64_t text_size() const { return table_.text_size(); }

    // Hands text [position, position + count), cut at the text's end, to
    // `visit` in pieces of at most one block each, in order, through the
    // cache. Stops early when `visit` returns false.
    Status visit(std::uint64_t position, std::uint64_t count, const SpanVisitor& visit) const;

    // Copies text [position, position + count), cut at the text's end, into
    // `out` (room for `count` bytes), line breaks and all; returns the
    // number of bytes copied.
    Result<std::uint64_t> read(std::uint64_t position, std::uint64_t count, char* out) const;

    // Block `index` of the table, from the cache or inflated (and cached).
    Result<std::shared_ptr<const InflatedBlock>> block(std::size_t index) const;

    // Inflates block `index` into a fresh InflatedBlock, bypassing the cache.
    Result<std::shared_ptr<InflatedBlock>> inflate(std::size_t index) const;

private:
    CompressedFile file_;
    BlockTable table_;

    mutable ForkSafeMutex cache_lock_;
    mutable std::shared_ptr<const InflatedBlock> cache_[BLOCK_CACHE_SIZE];
    mutable std::uint64_t cache_used_[BLOCK_CACHE_SIZE] = {};  // tick of last use; 0: empty
    mutable std::uint64_t cache_tick_ = 0;
};

// A window of inflated blocks: distinct table indices in rising order, each
// with its text. fill() inflates them on the calling thread; once filled it
// is read-only, so any number of threads may read it at once. Its buffer
// grows to the most blocks it was ever filled with and is kept for the next
// fill(). Movable, not copyable.
class BlockWindow {
public:
    // Inflates the blocks `indices` (distinct table indices, rising) of
    // `reader`'s table, replacing what the window held; the window keeps the
    // indices. The first failing block's error ends the fill, and the window
    // then holds nothing.
    Status fill(const BgzfReader& reader, std::vector<std::size_t> indices);

    // The indices held, rising.
    std::span<const std::size_t> indices() const { return indices_; }
    bool contains(std::size_t index) const;
    // Text of block `index`, which must be held.
    std::string_view text(std::size_t index) const;

private:
    std::vector<std::size_t> indices_;
    std::vector<std::size_t> sizes_;
    std::unique_ptr<char[]> texts_;  // BGZF_MAX_TEXT bytes per held block
    std::size_t capacity_ = 0;       // blocks texts_ has room for
};

// Blocks a BlockStream holds: 64 * 64 KiB, 4 MiB of inflated text, whatever
// the length of the read.
inline constexpr std::size_t STREAM_BLOCKS = 64;
// A read of text spanning more blocks than this one streams them.
inline constexpr std::size_t STREAM_MIN_BLOCKS = 8;

// Reads the blocks [first, last] of a table in order, inflating ahead on the
// worker pool into a ring of STREAM_BLOCKS blocks: the workers inflate the
// blocks after the one the caller reads, as far as the ring reaches, all
// the time, with no pause between one stretch and the next. The pool is
// taken only when free (StagedBatch::Start::IfFree); from a worker, or while
// another batch holds it, the stream hands out nothing and the caller reads
// through the reader instead. For one thread; not copyable or movable.
class BlockStream {
public:
    BlockStream(const BgzfReader& reader, std::size_t first, std::size_t last);
    // Stops the workers and waits for the block each is inflating.
    ~BlockStream();
    BlockStream(const BlockStream&) = delete;
    BlockStream& operator=(const BlockStream&) = delete;

    // The text of block `index`, once inflated; nothing when the stream does
    // not hand it out: it lies outside [first, last] or before a block asked
    // for already (the stream moves only forwards, and the ring reuses what
    // lies behind), or the pool was not free. Asking for a block lets go of
    // every block before it.
    Result<std::optional<std::string_view>> block(std::size_t index);

private:
    struct Slot;
    void inflate(std::size_t item);

    const BgzfReader& reader_;
    const std::size_t first_;
    const std::size_t count_;
    std::size_t position_ = 0;  // the lowest block (from first_) still held
    std::unique_ptr<char[]> texts_;  // BGZF_MAX_TEXT bytes per slot of the ring
    std::unique_ptr<Slot[]> slots_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;  // over waiting_, and a slot's `done` while the caller may wait for it
    std::condition_variable inflated_;
    bool waiting_ = false;
    std::unique_ptr<StagedBatch> batch_;
};

}  // namespace kelpa::core
