#include "core/batch/bgzf_batch.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <span>

#include "core/base/worker_pool.hpp"
#include "core/bgzf/block_text.hpp"
#include "core/io/local_pages.hpp"

namespace kelpa::core {

namespace {

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
// drain(); a region over more blocks than a group is read on its own
// there, streamed (BlockStream). On a local file whose first region's
// blocks are not in memory, every region waits for the second pass, which
// reads the groups' blocks ahead, LocalPages::DEPTH reads in flight, and hands
// each group to the workers as its read completes. Memory: one group of at most 32 inflated
// blocks (2 MiB) per worker, or one stream (STREAM_BLOCKS, 4 MiB), whatever
// the batch, besides the reader's small cache.
class BgzfExtraction final : public BatchReads {
public:
    BgzfExtraction(const Faidx& faidx, const BgzfText& text, std::vector<BatchSlot>& slots,
                   const SlotFinishing& finishing)
        : faidx_(faidx),
          text_(text),
          slots_(slots),
          finishing_(finishing),
          capacity_(text.reader().table().size() / GROUP_BLOCKS + 2),
          groups_(new Group[capacity_]),
          items_(capacity_, 1, [this](std::size_t begin, std::size_t end) {
              for (std::size_t g = begin; g < end; ++g) run(groups_[g]);
          }) {}
    ~BgzfExtraction() override = default;  // items_ finishes first: it is declared last

    void planned(std::size_t i) override;
    void drain() override;

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
    // Whether the first region's blocks are not in memory, on a local file
    // read ahead: then every region waits for the second pass, where the
    // blocks are read ahead, in file order, many at once.
    bool is_cold(const Span& first);
    const LocalPages* local_pages() const;
    // The late regions' groups on the pool, their blocks read ahead
    // (io/local_pages.hpp) when the file is local.
    void second_pass(const std::vector<Group>& groups);
    void run(const Group& group);  // on a worker
    void extract(BatchSlot& slot) {
        settle_slot(slot, faidx_.extract(*slot.entry, slot.first, slot.count(), slot.out), finishing_);
    }

    const Faidx& faidx_;
    const BgzfText& text_;
    std::vector<BatchSlot>& slots_;
    const SlotFinishing& finishing_;
    const std::size_t capacity_;  // groups the first pass can hand over
    std::unique_ptr<Group[]> groups_;
    std::size_t released_ = 0;  // groups handed over
    std::vector<Span> open_;    // the group being gathered
    std::size_t open_first_ = 0;
    std::size_t frontier_ = 0;  // blocks below it belong to groups handed over
    std::vector<Span> late_;
    std::vector<std::size_t> long_;
    bool finished_ = false;
    bool decided_ = false;
    bool cold_ = false;
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
    if (!decided_) cold_ = is_cold(span);
    if (span.last - span.first >= GROUP_BLOCKS) {
        long_.push_back(i);
    } else if (cold_ || span.first < frontier_) {
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

void BgzfExtraction::drain() {
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
        second_pass(groups);
    }
    for (const std::size_t i : long_) extract(slots_[i]);
}

const LocalPages* BgzfExtraction::local_pages() const {
    const RawSource* source = text_.reader().file().source;
    if (source == nullptr || read_ahead_mode() == ReadAheadMode::Off) return nullptr;
    return source->local_pages();
}

bool BgzfExtraction::is_cold(const Span& first) {
    decided_ = true;
    const LocalPages* pages = local_pages();
    if (pages == nullptr) return false;
    const BlockTable& table = text_.reader().table();
    const std::uint64_t begin = table[first.first].compressed;
    const ByteRange blocks{begin, std::max(table.compressed_end(first.last, pages->size()), begin + 1)};
    return !pages->resident({&blocks, 1}).front();
}

void BgzfExtraction::second_pass(const std::vector<Group>& groups) {
    const LocalPages* pages = local_pages();
    if (pages == nullptr) {
        StagedBatch pass(groups.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) run(groups[g]);
        });
        pass.finish();
        return;
    }
    // The compressed bytes of the blocks each group touches, merged where
    // they lie within LocalPages::MERGE_GAP of each other: a group goes to
    // the workers at once when all its reads are in memory, else as the
    // last of its reads ahead completes.
    const BlockTable& table = text_.reader().table();
    const std::uint64_t file_size = text_.reader().file().size;
    std::vector<ByteRange> reads;
    std::vector<std::size_t> read_group;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        std::vector<ByteRange> blocks;
        for (const std::size_t block : groups[g].blocks)
            blocks.push_back({table[block].compressed, table.compressed_end(block, file_size)});
        for (const ByteRange& read : merge_ranges(std::move(blocks), LocalPages::MERGE_GAP)) {
            reads.push_back(read);
            read_group.push_back(g);
        }
    }
    const std::vector<bool> found = pages->resident(reads);
    std::vector<std::size_t> left(groups.size(), 0);  // reads each group waits for
    std::vector<ByteRange> missing;
    std::vector<std::size_t> missing_group;
    for (std::size_t k = 0; k < reads.size(); ++k) {
        if (found[k]) continue;
        ++left[read_group[k]];
        missing.push_back(reads[k]);
        missing_group.push_back(read_group[k]);
    }
    std::vector<std::size_t> order(groups.size());
    std::size_t ready = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (left[g] == 0) order[ready++] = g;
    }
    StagedBatch pass(groups.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) run(groups[order[k]]);
    });
    pass.release(ready);
    std::mutex lock;
    pages->read_ahead(missing, [&](std::size_t k) {
        std::lock_guard<std::mutex> hold(lock);
        if (--left[missing_group[k]] > 0) return;
        order[ready++] = missing_group[k];
        pass.release(ready);
    });
    pass.finish();
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
                        finishing_);
        } else {  // a block that cannot be inflated: each region finds out whether it needs it
            extract(slot);
        }
    }
    std::lock_guard<std::mutex> hold(windows_lock_);
    windows_.push_back(std::move(window));
}

class BgzfStage final : public BatchStage {
public:
    explicit BgzfStage(const BgzfText& text) : text_(text) {}
    std::unique_ptr<BatchReads> reads(const Faidx& faidx, std::vector<BatchSlot>& slots,
                                      const SlotFinishing& finishing) const override {
        return std::make_unique<BgzfExtraction>(faidx, text_, slots, finishing);
    }

private:
    const BgzfText& text_;
};

}  // namespace

std::shared_ptr<const BatchStage> bgzf_batch_stage(const BgzfText& text) { return std::make_shared<BgzfStage>(text); }

}  // namespace kelpa::core
