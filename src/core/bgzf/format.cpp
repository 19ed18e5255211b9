#include "core/bgzf/format.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <optional>

#include "core/base/worker_pool.hpp"
#include "core/bgzf/inflate.hpp"
#include "core/io/atomic_file.hpp"
#include "core/io/mapped_file.hpp"

namespace kelpa::core {

namespace {

std::uint16_t load16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint32_t load32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint64_t load64(const char* p) { return load32(p) | static_cast<std::uint64_t>(load32(p + 4)) << 32; }

void store64(char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

bool starts_with(std::string_view bytes, std::initializer_list<unsigned char> magic) {
    if (bytes.size() < magic.size()) return false;
    std::size_t i = 0;
    for (unsigned char m : magic) {
        if (static_cast<unsigned char>(bytes[i++]) != m) return false;
    }
    return true;
}

constexpr std::size_t FIXED_HEADER = 12;  // up to and including XLEN
constexpr std::size_t TRAILER = 8;        // CRC32, ISIZE

// The BSIZE of the BC subfield in `extra`, if there is one.
std::optional<std::uint16_t> find_bsize(std::string_view extra) {
    std::size_t at = 0;
    while (at + 4 <= extra.size()) {
        const std::size_t length = load16(extra.data() + at + 2);
        if (extra[at] == 'B' && extra[at + 1] == 'C' && length == 2 && at + 6 <= extra.size()) {
            return load16(extra.data() + at + 4);
        }
        at += 4 + length;
    }
    return std::nullopt;
}

FaidxError block_error(std::string_view filename, std::uint64_t offset, std::string_view what) {
    std::string text(filename);
    text.append(": BGZF block at offset ").append(std::to_string(offset)).append(": ").append(what);
    return FaidxError::about(std::string(filename), std::move(text));
}

FaidxError table_error(std::string_view filename, std::uint64_t offset, std::string_view what) {
    std::string text(filename);
    text.append(": block at compressed offset ").append(std::to_string(offset)).append(": ").append(what);
    return FaidxError::about(std::string(filename), std::move(text));
}

// A block's worth of room for reads through a descriptor, one per thread
// that ever read that way; a mapping needs none.
char* thread_scratch(const CompressedFile& file) {
    if (file.data != nullptr) return nullptr;
    thread_local std::unique_ptr<char[]> scratch;
    if (!scratch) scratch.reset(new char[BGZF_MAX_BLOCK]);
    return scratch.get();
}

// The sizes of the block at `offset`: the whole block's and its text's.
struct BlockSizes {
    std::uint32_t block = 0;
    std::uint32_t text = 0;
};

Result<BlockSizes> block_sizes(const CompressedFile& file, std::uint64_t offset, char* scratch) {
    Result<std::string_view> bytes = file.read(offset, BGZF_MAX_BLOCK, scratch);
    if (!bytes) return bytes.take_error();
    Result<BlockHeader> header = parse_block_header(*bytes, offset, file.name);
    if (!header) return header.take_error();
    Result<std::uint32_t> text = block_text_size(*bytes, offset, file.name);
    if (!text) return text.take_error();
    return BlockSizes{header->block_size, *text};
}

// Walks the empty blocks from `from` on (end-of-file markers, also those
// inside concatenated files) and gives the offset of the first block with
// text, or where the walk reached `to` (or passed it) without one.
Result<std::uint64_t> skip_empty_blocks(const CompressedFile& file, std::uint64_t from, std::uint64_t to) {
    while (from < to) {
        Result<BlockSizes> sizes = block_sizes(file, from, thread_scratch(file));
        if (!sizes) return sizes.take_error();
        if (sizes->text != 0) return from;
        from += sizes->block;
    }
    return from;
}

// Checks that [from, to) of the file holds empty blocks only, ending
// exactly at `to`: a block of text there would be one the table does not
// list.
Status check_empty_blocks(const CompressedFile& file, std::uint64_t from, std::uint64_t to) {
    Result<std::uint64_t> reached = skip_empty_blocks(file, from, to);
    if (!reached) return reached.take_error();
    if (*reached < to) return block_error(file.name, *reached, "a block of text the block index does not list");
    if (*reached != to) return block_error(file.name, to, "the block index lists an offset inside a block");
    return {};
}

// Where the block of entry `index` starts: its offset, but for entry 0,
// which stands for the first block with text (empty blocks may come first).
Result<std::uint64_t> entry_offset(const CompressedFile& file, const BlockTable& table, std::size_t index) {
    if (index != 0 || table.text_size() == 0) return table[index].compressed;
    const std::uint64_t next = table.size() > 1 ? table[1].compressed : file.size;
    Result<std::uint64_t> first = skip_empty_blocks(file, 0, next);
    if (!first) return first.take_error();
    if (*first >= next) return block_error(file.name, 0, "no block of text before the block index's second entry");
    return first;
}

// Inflates block `index` of `table` into `out` and checks its text size
// against the table: the lazy half of the .gzi checks.
Result<std::size_t> inflate_table_block(const CompressedFile& file, const BlockTable& table, std::size_t index,
                                        char* out) {
    Result<std::uint64_t> located = entry_offset(file, table, index);
    if (!located) return located.take_error();
    const std::uint64_t offset = *located;
    // The block ends where the next one listed starts (or before, with empty
    // blocks between): reading up to there, not a whole 64 KiB, spares the
    // copy of what is not this block's. Only a table that lists an offset
    // inside a block makes that too short; the whole read then finds out.
    const std::uint64_t next = table.compressed_end(index, file.size);
    const auto bounded = static_cast<std::size_t>(std::min<std::uint64_t>(next - offset, BGZF_MAX_BLOCK));
    Result<std::string_view> bytes = file.read(offset, bounded, thread_scratch(file));
    if (!bytes) return bytes.take_error();
    if (bounded < BGZF_MAX_BLOCK && bytes->size() == bounded) {
        Result<BlockHeader> header = parse_block_header(*bytes, offset, file.name);
        if (!header) bytes = file.read(offset, BGZF_MAX_BLOCK, thread_scratch(file));
        if (!bytes) return bytes.take_error();
    }
    Result<std::size_t> size = inflate_block(*bytes, offset, file.name, out);
    if (!size) return size;
    const std::uint64_t expected = table.text_end(index) - table[index].text;
    if (*size != expected) {
        return block_error(
            file.name, offset,
            "holds " + std::to_string(*size) + " bytes of text, the block index says " + std::to_string(expected));
    }
    if (index + 1 == table.size()) return size;  // what follows the last one was checked when the table was made
    const std::uint64_t end = offset + parse_block_header(*bytes, offset, file.name)->block_size;
    // The block is inflated already, so the scratch is free for the check.
    if (Status gap = check_empty_blocks(file, end, table[index + 1].compressed); !gap) return gap.take_error();
    return size;
}

}  // namespace

// ---------------------------------------------------------------------------
// Format detection
// ---------------------------------------------------------------------------

FileFormat detect_format(std::string_view head) {
    if (starts_with(head, {0x1f, 0x8b})) {
        if (head.size() < FIXED_HEADER || static_cast<unsigned char>(head[2]) != 8 || (head[3] & 0x04) == 0)
            return FileFormat::Gzip;
        const std::size_t xlen = load16(head.data() + 10);
        if (head.size() < FIXED_HEADER + xlen) return FileFormat::Gzip;
        return find_bsize(head.substr(FIXED_HEADER, xlen)) ? FileFormat::Bgzf : FileFormat::Gzip;
    }
    if (starts_with(head, {'B', 'Z', 'h'})) return FileFormat::Bzip2;
    if (starts_with(head, {0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00})) return FileFormat::Xz;
    if (starts_with(head, {0x28, 0xb5, 0x2f, 0xfd})) return FileFormat::Zstd;
    return FileFormat::Plain;
}

Status refuse_format(FileFormat format, std::string_view filename) {
    const char* name = nullptr;
    switch (format) {
        case FileFormat::Plain:
        case FileFormat::Bgzf: return {};
        case FileFormat::Gzip:
            return FaidxError::about(std::string(filename),
                                     std::string(filename) +
                                         ": the file is gzip- but not BGZF-compressed; compress the uncompressed file "
                                         "with bgzip to make it readable at random");
        case FileFormat::Bzip2: name = "bzip2"; break;
        case FileFormat::Xz: name = "xz"; break;
        case FileFormat::Zstd: name = "zstd"; break;
    }
    return FaidxError::about(std::string(filename),
                             std::string(filename) + ": the file is " + name +
                                 "-compressed; only uncompressed and BGZF-compressed (bgzip) files are read");
}

// ---------------------------------------------------------------------------
// Compressed bytes
// ---------------------------------------------------------------------------

Result<std::string_view> CompressedFile::read(std::uint64_t offset, std::size_t n, char* scratch) const {
    if (offset >= size) return std::string_view();
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - offset));
    if (data != nullptr) return std::string_view(data + offset, n);
    Result<std::string_view> got = source->read(offset, n, scratch);
    if (!got && got.error().errnum() != 0) return FaidxError::os(got.error().errnum());
    return got;
}

Result<bool> CompressedFile::ends_with_eof_marker() const {
    if (size < BGZF_EOF_SIZE) return false;
    char scratch[BGZF_EOF_SIZE];
    Result<std::string_view> tail = read(size - BGZF_EOF_SIZE, BGZF_EOF_SIZE, scratch);
    if (!tail) return tail.take_error();
    return tail->size() == BGZF_EOF_SIZE && std::memcmp(tail->data(), BGZF_EOF_MARKER, BGZF_EOF_SIZE) == 0;
}

std::string missing_eof_warning(std::string_view filename) {
    return std::string(filename) + ": no BGZF end-of-file marker; the file may be truncated";
}

// ---------------------------------------------------------------------------
// One block
// ---------------------------------------------------------------------------

Result<BlockHeader> parse_block_header(std::string_view bytes, std::uint64_t offset, std::string_view filename) {
    if (bytes.size() < FIXED_HEADER)
        return block_error(filename, offset, "truncated file: the block header is cut off");
    if (!starts_with(bytes, {0x1f, 0x8b, 0x08}) || (bytes[3] & 0x04) == 0)
        return block_error(filename, offset, "not a BGZF block header");
    const std::size_t xlen = load16(bytes.data() + 10);
    if (bytes.size() < FIXED_HEADER + xlen)
        return block_error(filename, offset, "truncated file: the block header is cut off");
    const std::optional<std::uint16_t> bsize = find_bsize(bytes.substr(FIXED_HEADER, xlen));
    if (!bsize) return block_error(filename, offset, "the block header has no BC subfield");
    BlockHeader header{static_cast<std::uint32_t>(FIXED_HEADER + xlen), std::uint32_t{*bsize} + 1};
    if (header.block_size < header.header_size + TRAILER)
        return block_error(filename, offset, "BSIZE " + std::to_string(*bsize) + " is too small for the header");
    if (bytes.size() < header.block_size) {
        return block_error(filename, offset,
                           "truncated file: the block takes " + std::to_string(header.block_size) +
                               " bytes, the file holds " + std::to_string(bytes.size()) + " from here");
    }
    return header;
}

Result<std::uint32_t> block_text_size(std::string_view block, std::uint64_t offset, std::string_view filename) {
    Result<BlockHeader> header = parse_block_header(block, offset, filename);
    if (!header) return header.take_error();
    const std::uint32_t isize = load32(block.data() + header->block_size - 4);
    if (isize > BGZF_MAX_TEXT)
        return block_error(filename, offset, "ISIZE " + std::to_string(isize) + " exceeds 65536 bytes");
    return isize;
}

Result<std::size_t> inflate_block(std::string_view bytes, std::uint64_t offset, std::string_view filename, char* out) {
    Result<BlockHeader> parsed = parse_block_header(bytes, offset, filename);
    if (!parsed) return parsed.take_error();
    const BlockHeader header = *parsed;
    const char* trailer = bytes.data() + header.block_size - TRAILER;
    const std::uint32_t stored_crc = load32(trailer);
    const std::uint32_t isize = load32(trailer + 4);
    if (isize > BGZF_MAX_TEXT)
        return block_error(filename, offset, "ISIZE " + std::to_string(isize) + " exceeds 65536 bytes");

    const std::size_t deflate_size = header.block_size - header.header_size - TRAILER;
    const Inflated inflated = inflate_raw(bytes.data() + header.header_size, deflate_size, out, BGZF_MAX_TEXT);
    if (inflated.status == InflateStatus::out_of_memory)
        return block_error(filename, offset, "out of memory for the inflater");
    if (inflated.status == InflateStatus::no_room)
        return block_error(filename, offset, "the block inflates to more than 65536 bytes");
    if (inflated.status != InflateStatus::ok) return block_error(filename, offset, "invalid deflate data");
    const std::size_t produced = inflated.produced;
    if (inflated.consumed != deflate_size)
        return block_error(filename, offset, "the deflate stream ends before the block's trailer");
    if (produced != isize) {
        return block_error(filename, offset,
                           "ISIZE " + std::to_string(isize) + " does not match the " + std::to_string(produced) +
                               " bytes of text inflated");
    }
    if (crc32_of(out, produced) != stored_crc) return block_error(filename, offset, "CRC32 mismatch");
    return produced;
}

// ---------------------------------------------------------------------------
// The block table and the .gzi file
// ---------------------------------------------------------------------------

namespace {

// The entry rules of BlockTable::make() but the text size.
Status check_order(const std::vector<BgzfBlock>& blocks, std::string_view filename) {
    if (blocks.empty() || blocks[0].compressed != 0 || blocks[0].text != 0)
        return table_error(filename, 0, "the first block is not at offset 0 of both file and text");
    // Order first: a swapped pair would otherwise show as an oversized block.
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].compressed <= blocks[i - 1].compressed)
            return table_error(filename, blocks[i].compressed, "compressed offsets out of order");
        // The blocks listed are the ones holding text: none is empty.
        if (blocks[i].text <= blocks[i - 1].text)
            return table_error(filename, blocks[i].compressed, "text offsets out of order");
    }
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].text - blocks[i - 1].text > BGZF_MAX_TEXT)
            return table_error(filename, blocks[i - 1].compressed, "more than 65536 bytes of text in one block");
    }
    return {};
}

}  // namespace

Result<BlockTable> BlockTable::make(std::vector<BgzfBlock> blocks, std::uint64_t text_size, std::string_view filename) {
    if (Status ordered = check_order(blocks, filename); !ordered) return ordered.take_error();
    const std::uint64_t last = blocks.back().text;
    if (text_size < last || (blocks.size() > 1 && text_size == last) || text_size - last > BGZF_MAX_TEXT)
        return table_error(filename, blocks.back().compressed, "text size does not fit the last block");
    BlockTable table;
    table.blocks_ = std::move(blocks);
    table.text_size_ = text_size;
    return table;
}

std::size_t BlockTable::block_of(std::uint64_t position) const {
    // The last block starting at or before `position`: an empty block with
    // the same text offset comes before the block that holds the byte.
    const auto after = std::upper_bound(blocks_.begin(), blocks_.end(), position,
                                        [](std::uint64_t p, const BgzfBlock& b) { return p < b.text; });
    return static_cast<std::size_t>(after - blocks_.begin()) - 1;
}

Result<BlockTable> scan_blocks(const CompressedFile& file) {
    std::vector<BgzfBlock> blocks;
    blocks.reserve(static_cast<std::size_t>(file.size / 16384) + 1);
    std::uint64_t offset = 0;
    std::uint64_t text = 0;
    while (offset < file.size) {
        Result<BlockSizes> sizes = block_sizes(file, offset, thread_scratch(file));
        if (!sizes) return sizes.take_error();
        if (sizes->text != 0) blocks.push_back({blocks.empty() ? 0 : offset, text});
        text += sizes->text;
        offset += sizes->block;
    }
    if (blocks.empty()) blocks.push_back({0, 0});
    return BlockTable::make(std::move(blocks), text, file.name);
}

Status write_gzi(const std::string& path, const BlockTable& table) {
    Result<AtomicFile> created = AtomicFile::create(path);
    if (!created) return created.take_error();
    AtomicFile& file = created.value();
    const std::size_t pairs = table.size() - 1;
    std::vector<char> bytes(8 + 16 * pairs);
    store64(bytes.data(), table.text_size() == 0 ? UINT64_MAX : pairs);
    for (std::size_t i = 1; i < table.size(); ++i) {
        store64(bytes.data() + 16 * i - 8, table[i].compressed);
        store64(bytes.data() + 16 * i, table[i].text);
    }
    if (Status status = file.write(bytes.data(), bytes.size()); !status) return status;
    return file.commit();
}

namespace {

Result<std::vector<char>> read_whole_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return FaidxError::index_not_found(path);
    std::vector<char> bytes;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return FaidxError::os(errno);
        }
        if (got == 0) return bytes;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}

}  // namespace

Result<BlockTable> read_gzi(const std::string& path, const CompressedFile& file) {
    Result<std::vector<char>> read = read_whole_file(path);
    if (!read) return read.take_error();
    return gzi_from_bytes(std::string_view(read->data(), read->size()), path, file);
}

Result<BlockTable> gzi_from_bytes(std::string_view bytes, const std::string& path, const CompressedFile& file) {
    if (bytes.size() < 8) return FaidxError::about(path, path + ": the block index is cut off before its count");
    std::uint64_t count = load64(bytes.data());
    if (count == UINT64_MAX && bytes.size() == 8) count = 0;
    if (count > (bytes.size() - 8) / 16 || bytes.size() != 8 + 16 * count) {
        return FaidxError::about(path, path + ": the block index holds " + std::to_string(bytes.size()) +
                                           " bytes, not the 8 + 16 * " + std::to_string(count) + " its count says");
    }
    std::vector<BgzfBlock> blocks;
    blocks.reserve(static_cast<std::size_t>(count) + 1);
    blocks.push_back({0, 0});
    for (std::uint64_t i = 0; i < count; ++i) {
        const char* pair = bytes.data() + 8 + 16 * i;
        blocks.push_back({load64(pair), load64(pair + 8)});
    }
    // Orders first, with the text size still open: the last block's header says it.
    if (Status ordered = check_order(blocks, path); !ordered) return ordered.take_error();
    for (const BgzfBlock& block : blocks) {
        if (block.compressed >= file.size && block.compressed != 0) {  // (0, 0) stands even for an empty file
            return table_error(path, block.compressed,
                               "past the end of " + file.name + " (" + std::to_string(file.size) + " bytes)");
        }
    }

    // Entry 0 stands for the first block with text, after any empty ones.
    const std::uint64_t second = blocks.size() > 1 ? blocks[1].compressed : file.size;
    Result<std::uint64_t> first = skip_empty_blocks(file, 0, second);
    if (!first) return first.take_error();
    if (blocks.size() > 1 && *first >= second)
        return table_error(path, second, "no block of text before the second entry");
    const std::uint64_t last_offset = blocks.size() > 1 ? blocks.back().compressed : *first;
    std::uint64_t text_size = blocks.back().text;
    std::uint64_t rest = last_offset;
    if (last_offset < file.size) {
        Result<BlockSizes> last = block_sizes(file, last_offset, thread_scratch(file));
        if (!last) return last.take_error();
        text_size += last->text;
        rest += last->block;
    }
    if (Status after = check_empty_blocks(file, rest, file.size); !after) return after.take_error();
    return BlockTable::make(std::move(blocks), text_size, path);
}

// ---------------------------------------------------------------------------
// Reading the text
// ---------------------------------------------------------------------------

namespace {

// What a worker leaves for the calling thread: the text size, or the error.
struct InflateSlot {
    std::size_t size = 0;
    std::unique_ptr<FaidxError> error;
};

void inflate_into_slot(const CompressedFile& file, const BlockTable& table, std::size_t index, char* out,
                       InflateSlot& slot) {
    Result<std::size_t> size = inflate_table_block(file, table, index, out);
    if (size) {
        slot.size = *size;
        slot.error.reset();
    } else {
        slot.error = std::make_unique<FaidxError>(size.take_error());
    }
}

}  // namespace

Status read_text_in_order(const CompressedFile& file, const BlockTable& table, const TextConsumer& consume) {
    constexpr std::size_t group = ORDERED_GROUP_BLOCKS;
    // A file without text lists one entry, (0, 0), that no block stands behind.
    const std::size_t blocks = table.text_size() == 0 ? 0 : table.size();
    const std::size_t groups = (blocks + group - 1) / group;
    std::unique_ptr<char[]> texts(new char[2 * group * BGZF_MAX_TEXT]);
    std::vector<InflateSlot> slots(2 * group);

    // Group g inflates into half g % 2 of the buffers while the calling
    // thread consumes the other half.
    const auto start = [&](std::size_t g) {
        const std::size_t first = g * group;
        const std::size_t half = (g % 2) * group;
        auto batch = std::make_unique<StagedBatch>(
            std::min(group, blocks - first), 1, [&, first, half](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    inflate_into_slot(file, table, first + i, texts.get() + (half + i) * BGZF_MAX_TEXT,
                                      slots[half + i]);
                }
            });
        batch->release(group);
        return batch;
    };

    std::unique_ptr<StagedBatch> running = groups > 0 ? start(0) : nullptr;
    for (std::size_t g = 0; g < groups; ++g) {
        running->finish();
        running.reset();
        std::unique_ptr<StagedBatch> next = g + 1 < groups ? start(g + 1) : nullptr;
        const std::size_t half = (g % 2) * group;
        const std::size_t count = std::min(group, blocks - g * group);
        for (std::size_t i = 0; i < count; ++i) {
            InflateSlot& slot = slots[half + i];
            if (slot.error) return std::move(*slot.error);
            if (slot.size == 0) continue;
            if (Status status = consume(texts.get() + (half + i) * BGZF_MAX_TEXT, slot.size); !status) return status;
        }
        running = std::move(next);
    }
    return {};
}

Result<std::shared_ptr<InflatedBlock>> BgzfReader::inflate(std::size_t index) const {
    auto block = std::make_shared<InflatedBlock>();
    block->index = index;
    block->text.reset(new char[BGZF_MAX_TEXT]);
    Result<std::size_t> size = inflate_table_block(file_, table_, index, block->text.get());
    if (!size) return size.take_error();
    block->size = *size;
    return block;
}

Result<std::shared_ptr<const InflatedBlock>> BgzfReader::block(std::size_t index) const {
    {
        std::lock_guard<ForkSafeMutex> hold(cache_lock_);
        for (std::size_t i = 0; i < BLOCK_CACHE_SIZE; ++i) {
            if (cache_[i] && cache_[i]->index == index) {
                cache_used_[i] = ++cache_tick_;
                return cache_[i];
            }
        }
    }
    Result<std::shared_ptr<InflatedBlock>> inflated = inflate(index);
    if (!inflated) return inflated.take_error();
    std::shared_ptr<const InflatedBlock> block = std::move(inflated.value());
    std::lock_guard<ForkSafeMutex> hold(cache_lock_);
    std::size_t victim = 0;
    for (std::size_t i = 0; i < BLOCK_CACHE_SIZE; ++i) {
        if (cache_[i] && cache_[i]->index == index) {  // another thread was quicker
            cache_used_[i] = ++cache_tick_;
            return cache_[i];
        }
        if (cache_used_[i] < cache_used_[victim]) victim = i;
    }
    cache_[victim] = block;
    cache_used_[victim] = ++cache_tick_;
    return block;
}

Status BgzfReader::visit(std::uint64_t position, std::uint64_t count, const SpanVisitor& visit) const {
    const std::uint64_t size = table_.text_size();
    if (position >= size || count == 0) return {};
    const std::uint64_t end = count > size - position ? size : position + count;
    for (std::size_t index = table_.block_of(position); position < end; ++index) {
        const std::uint64_t block_end = std::min(table_.text_end(index), end);
        if (block_end <= position) continue;  // an empty block
        Result<std::shared_ptr<const InflatedBlock>> block = this->block(index);
        if (!block) return block.take_error();
        const std::uint64_t skip = position - table_[index].text;
        if (!visit((*block)->text.get() + skip, static_cast<std::size_t>(block_end - position))) return {};
        position = block_end;
    }
    return {};
}

Result<std::uint64_t> BgzfReader::read(std::uint64_t position, std::uint64_t count, char* out) const {
    std::uint64_t written = 0;
    Status status = visit(position, count, [&](const char* data, std::size_t size) {
        std::memcpy(out + written, data, size);
        written += size;
        return true;
    });
    if (!status) return status.take_error();
    return written;
}

bool BlockWindow::contains(std::size_t index) const {
    return std::binary_search(indices_.begin(), indices_.end(), index);
}

std::string_view BlockWindow::text(std::size_t index) const {
    const auto k =
        static_cast<std::size_t>(std::lower_bound(indices_.begin(), indices_.end(), index) - indices_.begin());
    return {texts_.get() + k * BGZF_MAX_TEXT, sizes_[k]};
}

Status BlockWindow::fill(const BgzfReader& reader, std::vector<std::size_t> indices) {
    indices_ = std::move(indices);
    if (indices_.size() > capacity_) {
        texts_.reset(new char[indices_.size() * BGZF_MAX_TEXT]);
        capacity_ = indices_.size();
    }
    sizes_.assign(indices_.size(), 0);
    for (std::size_t k = 0; k < indices_.size(); ++k) {
        Result<std::size_t> size =
            inflate_table_block(reader.file(), reader.table(), indices_[k], texts_.get() + k * BGZF_MAX_TEXT);
        if (!size) {
            indices_.clear();
            sizes_.clear();
            return size.take_error();
        }
        sizes_[k] = *size;
    }
    return {};
}

struct BlockStream::Slot {
    std::atomic<std::size_t> done{0};  // 1 + the item inflated into the slot last
    std::size_t size = 0;
    std::unique_ptr<FaidxError> error;
};

BlockStream::BlockStream(const BgzfReader& reader, std::size_t first, std::size_t last)
    : reader_(reader),
      first_(first),
      count_(last - first + 1) {
    const std::size_t ring = std::min(count_, STREAM_BLOCKS);
    texts_.reset(new char[ring * BGZF_MAX_TEXT]);
    slots_.reset(new Slot[ring]);
    batch_ = std::make_unique<StagedBatch>(
        count_, 1,
        [this](std::size_t from, std::size_t to) {
            for (std::size_t item = from; item < to; ++item) inflate(item);
        },
        StagedBatch::Start::IfFree);
    if (batch_->on_pool()) batch_->release(ring);
}

BlockStream::~BlockStream() {
    stop_.store(true, std::memory_order_relaxed);
    batch_.reset();  // releases what is left, which the workers skip
}

void BlockStream::inflate(std::size_t item) {
    if (stop_.load(std::memory_order_relaxed)) return;
    const std::size_t ring = std::min(count_, STREAM_BLOCKS);
    Slot& slot = slots_[item % ring];
    Result<std::size_t> size =
        inflate_table_block(reader_.file(), reader_.table(), first_ + item, texts_.get() + item % ring * BGZF_MAX_TEXT);
    if (size) {
        slot.size = *size;
        slot.error.reset();
    } else {
        slot.error = std::make_unique<FaidxError>(size.take_error());
    }
    std::lock_guard<std::mutex> hold(lock_);
    slot.done.store(item + 1, std::memory_order_release);
    if (waiting_) inflated_.notify_one();
}

Result<std::optional<std::string_view>> BlockStream::block(std::size_t index) {
    if (!batch_->on_pool() || index < first_ || index - first_ >= count_ || index - first_ < position_)
        return std::optional<std::string_view>();
    const std::size_t item = index - first_;
    const std::size_t ring = std::min(count_, STREAM_BLOCKS);
    if (item > position_) {
        position_ = item;
        // The slots of the blocks behind are free for the ones ahead.
        batch_->release(std::min(count_, item + ring));
    }
    Slot& slot = slots_[item % ring];
    if (slot.done.load(std::memory_order_acquire) != item + 1) {
        std::unique_lock<std::mutex> hold(lock_);
        waiting_ = true;
        inflated_.wait(hold, [&] { return slot.done.load(std::memory_order_acquire) == item + 1; });
        waiting_ = false;
    }
    if (slot.error) return std::move(*slot.error);
    return std::optional<std::string_view>(std::in_place, texts_.get() + item % ring * BGZF_MAX_TEXT, slot.size);
}

}  // namespace kelpa::core
