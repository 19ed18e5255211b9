#include "batch.hpp"

#include <algorithm>
#include <mutex>

#include "sequence.hpp"

namespace kelpa::core {

namespace {

void extract_slot(const Faidx& faidx, BatchSlot& slot, bool reverse_complement) {
    settle_slot(faidx, slot, faidx.extract(*slot.entry, slot.first, slot.count(), slot.out), reverse_complement);
}

}  // namespace

void settle_slot(const Faidx& faidx, BatchSlot& slot, Result<std::uint64_t> got, bool reverse_complement) {
    if (!got) {
        slot.error = std::make_unique<FaidxError>(got.take_error());
        slot.state = BatchSlot::State::Failed;
        return;
    }
    slot.written = got.value();
    std::copy(slot.prefix.begin(), slot.prefix.end(), slot.out - slot.prefix.size());
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
                         while (at < end) {
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
                             at = i + 1;
                         }
                     });
                     if (!finished) {
                         const std::size_t slot_index = at;
                         BatchSlot& slot = slots[slot_index];
                         slot.error = std::make_unique<FaidxError>(faidx.changed_while_open());
                         slot.state = BatchSlot::State::Failed;
                         at = slot_index + 1;
                     }
                 }
             }) {}

std::unique_ptr<BatchReads> TextSource::batch_reads(const Faidx& faidx, std::vector<BatchSlot>& slots,
                                                    bool reverse_complement) const {
    return std::make_unique<BatchExtraction>(faidx, slots, reverse_complement);
}

}  // namespace kelpa::core
