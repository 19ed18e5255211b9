#include "core/bgzf/bgzf_text.hpp"

#include <algorithm>
#include <optional>

#include "core/bgzf/block_text.hpp"

namespace kelpa::core {

std::string_view BgzfText::view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const {
    if (at >= size()) return {};
    if (!scratch.held || at < scratch.held_begin || at >= scratch.held_begin + scratch.held_size) {
        const BlockTable& table = reader_->table();
        Result<std::shared_ptr<const InflatedBlock>> block = reader_->block(table.block_of(at));
        if (!block) {
            scratch.error.emplace(block.take_error());
            return {};
        }
        const std::shared_ptr<const InflatedBlock>& held = block.value();
        scratch.held = std::shared_ptr<const void>(held, held->text.get());
        scratch.held_begin = table[held->index].text;
        scratch.held_size = held->size;
    }
    const std::uint64_t skip = at - scratch.held_begin;
    if (skip >= scratch.held_size) return {};
    return {static_cast<const char*>(scratch.held.get()) + skip,
            static_cast<std::size_t>(std::min(n, scratch.held_size - skip))};
}

namespace {

// The blocks of one long read, streamed; of a local file not in memory,
// their compressed bytes read ahead in order meanwhile.
struct StreamedBlocks {
    static constexpr bool FORWARD_ONLY = true;
    std::unique_ptr<ReadingAhead> reading;  // declared first: outlives the stream reading behind it
    std::unique_ptr<BlockStream> stream;
    Result<std::optional<std::string_view>> block(std::size_t index) { return stream->block(index); }
};

}  // namespace

std::unique_ptr<TextSource> BgzfText::long_read(std::uint64_t begin, std::uint64_t end) const {
    const BlockTable& table = reader_->table();
    const std::size_t first_block = table.block_of(begin);
    const std::size_t last_block = table.block_of(end - 1);
    if (last_block - first_block < STREAM_MIN_BLOCKS) return nullptr;
    std::unique_ptr<ReadingAhead> reading;
    if (const LocalPages* pages = raw_->local_pages()) {
        reading = pages->read_ahead_in_order(
            ByteRange{table[first_block].compressed, table.compressed_end(last_block, raw_->size())});
    }
    return std::make_unique<BlockText<StreamedBlocks>>(
        StreamedBlocks{std::move(reading), std::make_unique<BlockStream>(*reader_, first_block, last_block)}, *this);
}

Result<ReadHold> BgzfText::hold(std::vector<ByteRange> ranges) const {
    if (!raw_->gathers_reads()) return ReadHold();
    const BlockTable& table = reader_->table();
    std::vector<ByteRange> compressed;
    for (const ByteRange& range : ranges) {
        const std::uint64_t end = std::min(range.end, size());
        if (range.begin >= end) continue;
        const std::size_t last = table.block_of(end - 1);
        for (std::size_t block = table.block_of(range.begin); block <= last; ++block) {
            compressed.push_back(ByteRange{table[block].compressed, table.compressed_end(block, raw_->size())});
        }
    }
    return raw_->hold(std::move(compressed));
}

}  // namespace kelpa::core
