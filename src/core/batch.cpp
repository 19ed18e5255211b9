#include "batch.hpp"

#include <algorithm>
#include <mutex>

#include "finishing.hpp"

namespace kelpa::core {

namespace {

void extract_slot(const Faidx& faidx, BatchSlot& slot, const Finishing& finishing) {
    settle_slot(slot, faidx.extract(*slot.entry, slot.first, slot.count(), slot.out), finishing);
}

}  // namespace

void settle_slot(BatchSlot& slot, Result<std::uint64_t> got, const Finishing& finishing) {
    if (!got) {
        slot.error = std::make_unique<FaidxError>(got.take_error());
        slot.state = BatchSlot::State::Failed;
        return;
    }
    slot.written = got.value();
    std::copy(slot.prefix.begin(), slot.prefix.end(), slot.out - slot.prefix.size());
    slot.state = finish_in_place(finishing, slot.out, slot.written, slot.count()) ? BatchSlot::State::Complete
                                                                                  : BatchSlot::State::Unfinished;
}

bool finish_slot(BatchSlot& slot, const Finishing& finishing, std::string& text) {
    text.assign(slot.out, slot.written);
    if (Status finished = finish_copy(finishing, text, slot.count()); !finished) {
        slot.error = std::make_unique<FaidxError>(finished.take_error());
        slot.state = BatchSlot::State::Failed;
        return false;
    }
    slot.state = BatchSlot::State::Complete;
    return true;
}

// Pieces stay small so the workers follow close behind the calling thread.
constexpr std::size_t MAX_PIECE = 256;

BatchExtraction::BatchExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, const Finishing& finishing)
    : batch_(slots.size(), std::min(MAX_PIECE, slots.size() / (std::max<std::size_t>(worker_count(), 1) * 8)),
             [&faidx, &slots, &finishing](std::size_t begin, std::size_t end) {
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
                                 extract_slot(faidx, slots[i], finishing);
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
                                                    const Finishing& finishing) const {
    return std::make_unique<BatchExtraction>(faidx, slots, finishing);
}

}  // namespace kelpa::core
