#include "batch.hpp"

#include <algorithm>
#include <mutex>

#include "finishing.hpp"

namespace kelpa::core {

namespace {

void extract_slot(const Faidx& faidx, BatchSlot& slot, const BatchFinish& finish) {
    settle_slot(slot, faidx.extract(*slot.entry, slot.first, slot.count(), slot.out), finish);
}

}  // namespace

void settle_slot(BatchSlot& slot, Result<std::uint64_t> got, const BatchFinish& finish) {
    if (!got) {
        slot.error = std::make_unique<FaidxError>(got.take_error());
        slot.state = BatchSlot::State::Failed;
        return;
    }
    slot.written = got.value();
    if (!finish_in_place(finish.finishing, slot.out, slot.written, slot.count(), slot.reverse)) {
        slot.state = BatchSlot::State::Unfinished;
        return;
    }
    finish.on_worker(slot.index, slot.out, slot.written);
    slot.state = BatchSlot::State::Complete;
}

bool finish_slot(BatchSlot& slot, const Finishing& finishing, std::string& text) {
    text.assign(slot.out, slot.written);
    if (Status finished = finish_copy(finishing, text, slot.count(), slot.reverse); !finished) {
        slot.error = std::make_unique<FaidxError>(finished.take_error());
        slot.state = BatchSlot::State::Failed;
        return false;
    }
    slot.state = BatchSlot::State::Complete;
    return true;
}

// Pieces stay small so the workers follow close behind the calling thread.
constexpr std::size_t MAX_PIECE = 256;

namespace {

// Extracts the Pending slots [begin, end) on this thread, under one guard
// for them all; `at` lives in memory, so that it names the slot that was cut
// short after a jump out of the guard.
void extract_slots(const Faidx& faidx, std::vector<BatchSlot>& slots, std::size_t begin, std::size_t end,
                   const BatchFinish& finish) {
    volatile std::size_t at = begin;
    while (at < end) {
        const bool finished = faidx.guard_reads([&] {
            while (at < end) {
                const std::size_t i = at;
                // Regions lie at random places in the file: start loading
                // the next ones while this one is copied.
                for (std::size_t ahead = i + 1; ahead < end && ahead <= i + 2; ++ahead) {
                    const BatchSlot& next = slots[ahead];
                    if (next.state != BatchSlot::State::Pending) continue;
                    faidx.prefetch(*next.entry, next.first, next.bound);
                }
                if (slots[i].state == BatchSlot::State::Pending) extract_slot(faidx, slots[i], finish);
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
}

// The stage of a batch run on the calling thread (Executor::Caller): each
// slot as it is planned; no worker is started.
class CallerReads final : public BatchReads {
public:
    CallerReads(const Faidx& faidx, std::vector<BatchSlot>& slots, const BatchFinish& finish)
        : faidx_(faidx), slots_(slots), finish_(finish) {}
    void planned(std::size_t i) override { extract_slots(faidx_, slots_, i, i + 1, finish_); }
    void finish() override {}

private:
    const Faidx& faidx_;
    std::vector<BatchSlot>& slots_;
    const BatchFinish& finish_;
};

}  // namespace

BatchExtraction::BatchExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, const BatchFinish& finish)
    : batch_(slots.size(), std::min(MAX_PIECE, slots.size() / (std::max<std::size_t>(worker_count(), 1) * 8)),
             [&faidx, &slots, &finish](std::size_t begin, std::size_t end) {
                 extract_slots(faidx, slots, begin, end, finish);
             }) {}

std::unique_ptr<BatchReads> batch_reads(const Faidx& faidx, std::vector<BatchSlot>& slots, const BatchFinish& finish,
                                        Executor executor) {
    if (executor == Executor::Caller) return std::make_unique<CallerReads>(faidx, slots, finish);
    return faidx.text().batch_reads(faidx, slots, finish);
}

std::unique_ptr<BatchReads> TextSource::batch_reads(const Faidx& faidx, std::vector<BatchSlot>& slots,
                                                    const BatchFinish& finish) const {
    return std::make_unique<BatchExtraction>(faidx, slots, finish);
}

}  // namespace kelpa::core
