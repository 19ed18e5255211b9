#include "core/bgzf/bgzf_text.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <span>

#include "core/batch/batch.hpp"
#include "core/base/worker_pool.hpp"

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

// A view of the text from byte `at` in `block`, whose text starts at text
// offset `start`: at most n bytes.
std::string_view block_view(std::string_view block, std::uint64_t start, std::uint64_t at, std::uint64_t n) {
    const std::uint64_t skip = at - start;
    if (skip >= block.size()) return {};
    return block.substr(static_cast<std::size_t>(skip),
                        static_cast<std::size_t>(std::min<std::uint64_t>(n, block.size() - skip)));
}

// The text of a BGZF file through blocks inflated ahead (Blocks::block(index)
// gives the text of block `index`, or nothing), and through the reader's
// cache for a block they do not hand out.
template <class Blocks>
class BlockText final : public TextSource {
public:
    BlockText(Blocks blocks, const BgzfText& text) : blocks_(std::move(blocks)), text_(text) {}

    std::uint64_t size() const override { return text_.size(); }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const override {
        if (at >= size()) return {};
        const BlockTable& table = text_.reader().table();
        const std::size_t index = table.block_of(at);
        Result<std::optional<std::string_view>> block = blocks_.block(index);
        if (!block) {
            scratch.error.emplace(block.take_error());
            return {};
        }
        if (*block) return block_view(**block, table[index].text, at, n);
        return text_.view(at, n, scratch);
    }

    bool shrunk() const override { return false; }

private:
    // const: a view does not change what it reads; a stream moves on as it
    // is read, which is its own business.
    mutable Blocks blocks_;
    const BgzfText& text_;
};

// One window of a batch's blocks.
struct HeldWindow {
    const BlockWindow* held;
    Result<std::optional<std::string_view>> block(std::size_t index) const {
        if (!held->contains(index)) return std::optional<std::string_view>();
        return std::optional<std::string_view>(held->text(index));
    }
};

// The blocks of one long read, streamed.
struct StreamedBlocks {
    std::unique_ptr<BlockStream> stream;
    Result<std::optional<std::string_view>> block(std::size_t index) { return stream->block(index); }
};

// Blocks per group of a BGZF batch: a group inflates the blocks its regions
// touch, which start within GROUP_BLOCKS of each other and run on at most
// GROUP_BLOCKS further, so at most 2 * GROUP_BLOCKS blocks (2 MiB of text,
// held in the worker's cache while its regions are copied out). A region
// over more blocks than that is read on its own, streamed.
constexpr std::size_t GROUP_BLOCKS = 16;

// The batch stage of a BGZF file: extracts the Pending slots on the pool,
// from the blocks inflated for them, as the calling thread plans the slots.
//
// Planned regions gather in a group until one starts GROUP_BLOCKS blocks or
// more past the group's first; then the group goes to the workers, and a
// worker inflates the blocks its regions touch and at once copies the
// regions out, while the text is still in its cache. Regions in file order
// (a sorted BED file) so go to the workers while the calling thread still
// plans, and every block is inflated once, or twice where regions cross
// from one group into the next. A region that starts before the groups
// already handed over is left for a second pass, grouped the same way, in
// finish(); a region over more blocks than a group is read on its own
// there, streamed (BlockStream). Memory: one group of at most 32 inflated
// blocks (2 MiB) per worker, or one stream (STREAM_BLOCKS, 4 MiB), whatever
// the batch, besides the reader's small cache.
class BgzfExtraction final : public BatchReads {
public:
    BgzfExtraction(const Faidx& faidx, const BgzfText& text, std::vector<BatchSlot>& slots, const BatchFinish& finish)
        : faidx_(faidx),
          text_(text),
          slots_(slots),
          finish_(finish),
          capacity_(text.reader().table().size() / GROUP_BLOCKS + 2),
          groups_(new Group[capacity_]),
          items_(capacity_, 1, [this](std::size_t begin, std::size_t end) {
              for (std::size_t g = begin; g < end; ++g) run(groups_[g]);
          }) {}
    ~BgzfExtraction() override = default;  // items_ finishes first: it is declared last

    void planned(std::size_t i) override;
    void finish() override;

private:
    struct Span {
        std::size_t slot;
        std::size_t first;  // block of its first byte
        std::size_t last;   // block of its last byte
    };
    struct Group {
        std::vector<std::size_t> blocks;  // table indices, rising
        std::vector<std::size_t> slots;
    };
    static Group group_of(std::span<const Span> spans);
    void run(const Group& group);  // on a worker
    void extract(BatchSlot& slot) {
        settle_slot(slot, faidx_.extract(*slot.entry, slot.first, slot.count(), slot.out), finish_);
    }

    const Faidx& faidx_;
    const BgzfText& text_;
    std::vector<BatchSlot>& slots_;
    const BatchFinish& finish_;
    const std::size_t capacity_;  // groups the first pass can hand over
    std::unique_ptr<Group[]> groups_;
    std::size_t released_ = 0;  // groups handed over
    std::vector<Span> open_;    // the group being gathered
    std::size_t open_first_ = 0;
    std::size_t frontier_ = 0;  // blocks below it belong to groups handed over
    std::vector<Span> late_;
    std::vector<std::size_t> long_;
    bool finished_ = false;
    std::mutex windows_lock_;
    std::vector<std::unique_ptr<BlockWindow>> windows_;  // one per group running
    StagedBatch items_;  // last: finishes before what it uses goes
};

void BgzfExtraction::planned(std::size_t i) {
    BatchSlot& slot = slots_[i];
    if (slot.state != BatchSlot::State::Pending) return;
    const std::optional<std::pair<std::uint64_t, std::uint64_t>> bytes =
        faidx_.byte_window(*slot.entry, slot.first, slot.bound);
    if (!bytes) {  // nothing of it in the file: the extraction says what it gets
        extract(slot);
        return;
    }
    const BlockTable& table = text_.reader().table();
    const Span span{i, table.block_of(bytes->first), table.block_of(bytes->second - 1)};
    if (span.last - span.first >= GROUP_BLOCKS) {
        long_.push_back(i);
    } else if (span.first < frontier_) {
        late_.push_back(span);
    } else {
        if (!open_.empty() && span.first >= open_first_ + GROUP_BLOCKS && released_ + 1 < capacity_) {
            groups_[released_] = group_of(open_);
            items_.release(++released_);
            open_.clear();
            frontier_ = span.first;
        }
        if (open_.empty()) open_first_ = span.first;
        open_.push_back(span);
    }
}

void BgzfExtraction::finish() {
    if (finished_) return;
    finished_ = true;
    if (!open_.empty()) groups_[released_++] = group_of(open_);
    items_.finish();
    // Regions that came after the groups holding their blocks had gone to
    // the workers: grouped the same way, in a second pass.
    if (!late_.empty()) {
        std::sort(late_.begin(), late_.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
        std::vector<Group> groups;
        for (std::size_t begin = 0; begin < late_.size();) {
            std::size_t end = begin + 1;
            while (end < late_.size() && late_[end].first < late_[begin].first + GROUP_BLOCKS) ++end;
            groups.push_back(group_of(std::span<const Span>(late_).subspan(begin, end - begin)));
            begin = end;
        }
        StagedBatch pass(groups.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) run(groups[g]);
        });
        pass.finish();
    }
    for (const std::size_t i : long_) extract(slots_[i]);
}

BgzfExtraction::Group BgzfExtraction::group_of(std::span<const Span> spans) {
    Group group;
    std::size_t first = SIZE_MAX;
    std::size_t last = 0;
    for (const Span& span : spans) {
        first = std::min(first, span.first);
        last = std::max(last, span.last);
        group.slots.push_back(span.slot);
    }
    std::vector<unsigned char> touched(last - first + 1);
    for (const Span& span : spans)
        std::fill(touched.begin() + static_cast<std::ptrdiff_t>(span.first - first),
                  touched.begin() + static_cast<std::ptrdiff_t>(span.last - first) + 1, 1);
    for (std::size_t k = 0; k < touched.size(); ++k) {
        if (touched[k]) group.blocks.push_back(first + k);
    }
    return group;
}

void BgzfExtraction::run(const Group& group) {
    if (group.slots.empty()) return;
    std::unique_ptr<BlockWindow> window;
    {
        std::lock_guard<std::mutex> hold(windows_lock_);
        if (!windows_.empty()) {
            window = std::move(windows_.back());
            windows_.pop_back();
        }
    }
    if (!window) window = std::make_unique<BlockWindow>();
    const Status filled = window->fill(text_.reader(), group.blocks);
    const BlockText<HeldWindow> held(HeldWindow{window.get()}, text_);
    for (const std::size_t i : group.slots) {
        BatchSlot& slot = slots_[i];
        if (filled) {
            settle_slot(slot, faidx_.extract_through(held, *slot.entry, slot.first, slot.count(), slot.out),
                        finish_);
        } else {  // a block that cannot be inflated: each region finds out whether it needs it
            extract(slot);
        }
    }
    std::lock_guard<std::mutex> hold(windows_lock_);
    windows_.push_back(std::move(window));
}

}  // namespace

std::unique_ptr<TextSource> BgzfText::long_read(std::uint64_t begin, std::uint64_t end) const {
    const BlockTable& table = reader_->table();
    const std::size_t first_block = table.block_of(begin);
    const std::size_t last_block = table.block_of(end - 1);
    if (last_block - first_block < STREAM_MIN_BLOCKS) return nullptr;
    return std::make_unique<BlockText<StreamedBlocks>>(
        StreamedBlocks{std::make_unique<BlockStream>(*reader_, first_block, last_block)}, *this);
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
            const std::uint64_t block_end = block + 1 < table.size() ? table[block + 1].compressed : raw_->size();
            compressed.push_back(ByteRange{table[block].compressed, block_end});
        }
    }
    return raw_->hold(std::move(compressed));
}

std::unique_ptr<BatchReads> BgzfText::batch_reads(const Faidx& faidx, std::vector<BatchSlot>& slots,
                                                  const BatchFinish& finish) const {
    return std::make_unique<BgzfExtraction>(faidx, *this, slots, finish);
}

}  // namespace kelpa::core
