#include "batch.hpp"

#include <algorithm>
#include <mutex>

#include "bgzf.hpp"
#include "sequence.hpp"

namespace kelpa::core {

namespace {

void extract_slot(const Faidx& faidx, BatchSlot& slot, bool reverse_complement) {
    settle_slot(faidx, slot, faidx.extract(*slot.entry, slot.first, slot.bound, slot.out), reverse_complement);
}

}  // namespace

void settle_slot(const Faidx& faidx, BatchSlot& slot, Result<std::uint64_t> got, bool reverse_complement) {
    if (!got) {
        slot.error = std::make_unique<FaidxError>(got.take_error());
        slot.state = BatchSlot::State::Failed;
        return;
    }
    slot.written = got.value();
    if (slot.written == slot.count() && is_ascii(slot.out, slot.written)) {
        if (faidx.options().sequence_always_upper) to_upper_ascii(slot.out, slot.written);
        if (reverse_complement) reverse_complement_in_place(slot.out, slot.written);
        slot.state = BatchSlot::State::Complete;
        return;
    }
    if (slot.written == slot.count() && !is_valid_utf8(slot.out, slot.written)) {
        slot.error = std::make_unique<FaidxError>(FaidxError::invalid_utf8());
        slot.state = BatchSlot::State::Failed;
        return;
    }
    slot.state = BatchSlot::State::Unfinished;
}

namespace {

// Needed blocks per work item of a BGZF batch, and the most blocks a region
// taken by an item may run on past them: an item inflates at most
// 2 * GROUP_BLOCKS blocks (2 MiB of text, held in the worker's cache while
// its regions are copied out). A region spanning more blocks than that is
// read on its own, streamed (BlockStream).
constexpr std::size_t GROUP_BLOCKS = 16;

}  // namespace

void extract_bgzf_slots(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement) {
    const BgzfReader& reader = faidx.bgzf_reader();
    const BlockTable& table = reader.table();
    struct Span {
        std::size_t slot;
        std::size_t first_block;
        std::size_t last_block;
    };
    std::vector<Span> spans;
    std::vector<std::size_t> long_slots;
    std::vector<unsigned char> needed(table.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        BatchSlot& slot = slots[i];
        if (slot.state != BatchSlot::State::Pending) continue;
        const std::optional<std::pair<std::uint64_t, std::uint64_t>> bytes =
            faidx.byte_window(*slot.entry, slot.first, slot.bound);
        if (!bytes) {  // nothing of it in the file: the extraction says what it gets
            extract_slot(faidx, slot, reverse_complement);
            continue;
        }
        const std::size_t first = table.block_of(bytes->first);
        const std::size_t last = table.block_of(bytes->second - 1);
        if (last - first >= GROUP_BLOCKS) {
            long_slots.push_back(i);
            continue;
        }
        spans.push_back({i, first, last});
        std::fill(needed.begin() + static_cast<std::ptrdiff_t>(first), needed.begin() + static_cast<std::ptrdiff_t>(last) + 1, 1);
    }

    // The needed blocks in file order, cut into groups of GROUP_BLOCKS; each
    // region goes to the group of its first block, which inflates on to the
    // region's last one.
    std::vector<std::size_t> blocks;
    std::vector<std::size_t> rank(table.size());  // of each needed block in `blocks`
    for (std::size_t b = 0; b < table.size(); ++b) {
        if (!needed[b]) continue;
        rank[b] = blocks.size();
        blocks.push_back(b);
    }
    const std::size_t groups = (blocks.size() + GROUP_BLOCKS - 1) / GROUP_BLOCKS;
    std::vector<std::size_t> group_start(groups + 1);  // into `order`, by counting sort
    std::vector<std::size_t> group_end(groups);         // one past the last block rank each inflates
    for (std::size_t g = 0; g < groups; ++g) group_end[g] = std::min(blocks.size(), (g + 1) * GROUP_BLOCKS);
    for (const Span& span : spans) {
        const std::size_t g = rank[span.first_block] / GROUP_BLOCKS;
        ++group_start[g + 1];
        group_end[g] = std::max(group_end[g], rank[span.last_block] + 1);
    }
    for (std::size_t g = 0; g < groups; ++g) group_start[g + 1] += group_start[g];
    std::vector<std::size_t> order(spans.size());
    {
        std::vector<std::size_t> fill_at(group_start.begin(), group_start.end() - 1);
        for (const Span& span : spans) order[fill_at[rank[span.first_block] / GROUP_BLOCKS]++] = span.slot;
    }

    // One window per item running; a finished item hands its window to the next.
    std::mutex windows_lock;
    std::vector<std::unique_ptr<BlockWindow>> windows;
    StagedBatch items(groups, 1, [&](std::size_t from, std::size_t to) {
        std::unique_ptr<BlockWindow> window;
        {
            std::lock_guard<std::mutex> hold(windows_lock);
            if (!windows.empty()) {
                window = std::move(windows.back());
                windows.pop_back();
            }
        }
        if (!window) window = std::make_unique<BlockWindow>();
        for (std::size_t g = from; g < to; ++g) {
            const auto begin = blocks.begin() + static_cast<std::ptrdiff_t>(g * GROUP_BLOCKS);
            const Status filled =
                window->fill(reader, std::vector<std::size_t>(begin, blocks.begin() + static_cast<std::ptrdiff_t>(group_end[g])));
            for (std::size_t k = group_start[g]; k < group_start[g + 1]; ++k) {
                BatchSlot& slot = slots[order[k]];
                if (!filled) {
                    slot.error = std::make_unique<FaidxError>(filled.error());
                    slot.state = BatchSlot::State::Failed;
                    continue;
                }
                settle_slot(faidx, slot, faidx.extract_from_window(*window, *slot.entry, slot.first, slot.bound, slot.out),
                            reverse_complement);
            }
        }
        std::lock_guard<std::mutex> hold(windows_lock);
        windows.push_back(std::move(window));
    });
    items.finish();

    // Long regions one at a time, each streaming its blocks through the pool.
    for (const std::size_t i : long_slots) extract_slot(faidx, slots[i], reverse_complement);
}


bool finish_slot(const Faidx& faidx, BatchSlot& slot, bool reverse_complement, std::string& text) {
    text.assign(slot.out, slot.written);
    faidx.finish_text(text, slot.count());
    if (!is_valid_utf8(text.data(), text.size())) {
        slot.error = std::make_unique<FaidxError>(FaidxError::invalid_utf8());
        slot.state = BatchSlot::State::Failed;
        return false;
    }
    if (reverse_complement) reverse_complement_in_place(text.data(), text.size());
    slot.state = BatchSlot::State::Complete;
    return true;
}

// Pieces stay small so the workers follow close behind the calling thread.
constexpr std::size_t MAX_PIECE = 256;

BatchExtraction::BatchExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement)
    : batch_(slots.size(), std::min(MAX_PIECE, slots.size() / (std::max<std::size_t>(worker_count(), 1) * 8)),
             [&faidx, &slots, reverse_complement](std::size_t begin, std::size_t end) {
                 // One guard for the piece; `at` lives in memory, so that it
                 // names the slot that was cut short after a jump out of it.
                 volatile std::size_t at = begin;
                 while (at < end) {
                     const bool finished = faidx.guard_reads([&] {
                         for (; at < end; at = at + 1) {
                             const std::size_t i = at;
                             // Regions lie at random places in the file: start
                             // loading the next ones while this one is copied.
                             for (std::size_t ahead = i + 1; ahead < end && ahead <= i + 2; ++ahead) {
                                 const BatchSlot& next = slots[ahead];
                                 if (next.state != BatchSlot::State::Pending) continue;
                                 faidx.prefetch(*next.entry, next.first, next.bound);
                             }
                             if (slots[i].state == BatchSlot::State::Pending)
                                 extract_slot(faidx, slots[i], reverse_complement);
                         }
                     });
                     if (!finished) {
                         BatchSlot& slot = slots[at];
                         slot.error = std::make_unique<FaidxError>(faidx.changed_while_open());
                         slot.state = BatchSlot::State::Failed;
                         at = at + 1;
                     }
                 }
             }) {}

}  // namespace kelpa::core
