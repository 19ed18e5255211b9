#include "batch.hpp"

#include <algorithm>

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

void extract_bgzf_slots(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement) {
    const BgzfReader& reader = faidx.bgzf_reader();
    const BlockTable& table = reader.table();
    struct Span {
        std::size_t first_block;
        std::size_t slot;
    };
    std::vector<Span> spans;
    std::vector<std::size_t> blocks;
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
        spans.push_back({first, i});
        for (std::size_t block = first; block <= last; ++block) blocks.push_back(block);
    }
    std::sort(blocks.begin(), blocks.end());
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.first_block < b.first_block; });

    std::size_t next = 0;  // first span not yet copied
    const Status inflated = inflate_blocks(reader, blocks, 0, [&](const BlockWindow& window) -> Status {
        const std::size_t held_last = window.indices().back();
        std::size_t stop = next;
        while (stop < spans.size() && spans[stop].first_block <= held_last) ++stop;
        const std::size_t begin = next;
        StagedBatch copies(stop - begin, 16, [&](std::size_t from, std::size_t to) {
            for (std::size_t k = begin + from; k < begin + to; ++k) {
                BatchSlot& slot = slots[spans[k].slot];
                settle_slot(faidx, slot, faidx.extract_from_window(window, *slot.entry, slot.first, slot.bound, slot.out),
                            reverse_complement);
            }
        });
        copies.finish();
        next = stop;
        return {};
    });
    if (inflated) return;
    // A block that cannot be inflated: every region not copied yet fails with
    // its error (the lowest of them is reported).
    for (std::size_t k = next; k < spans.size(); ++k) {
        BatchSlot& slot = slots[spans[k].slot];
        slot.error = std::make_unique<FaidxError>(inflated.error());
        slot.state = BatchSlot::State::Failed;
    }
}

namespace {

}  // namespace

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
