#include "core/batch/batch.hpp"

#include <algorithm>
#include <mutex>

#include "core/batch/cold_reads.hpp"
#include "core/fetch/finishing.hpp"

namespace kelpa::core {

namespace {

void extract_slot(const Faidx& faidx, BatchSlot& slot, const SlotFinishing& finishing) {
    settle_slot(slot, faidx.extract(*slot.entry, slot.first, slot.count(), slot.out), finishing);
}

}  // namespace

void settle_slot(BatchSlot& slot, Result<std::uint64_t> got, const SlotFinishing& finishing) {
    if (!got) {
        slot.error = std::make_unique<FaidxError>(got.take_error());
        slot.state = BatchSlot::State::Failed;
        return;
    }
    slot.written = got.value();
    if (!finish_in_place(finishing.rule, slot.out, slot.written, slot.count(), slot.reverse)) {
        slot.state = BatchSlot::State::Unfinished;
        return;
    }
    finishing.on_worker(slot.index, slot.out, slot.written);
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

// How far ahead a worker asks for the text of the regions it copies next:
// each region's text is asked for once, some microseconds before it is
// copied, which is longer than a load from memory takes; the few kilobytes
// in flight stay well inside the first-level cache.
constexpr std::size_t PREFETCH_AHEAD = 8;

// `at` lives in memory, so that it names the slot that was cut short after
// a jump out of the guard.
void extract_slots(const Faidx& faidx, std::vector<BatchSlot>& slots, std::size_t begin, std::size_t end,
                   const SlotFinishing& finishing) {
    volatile std::size_t at = begin;
    while (at < end) {
        const bool finished = faidx.guard_reads([&] {
            while (at < end) {
                const std::size_t i = at;
                // Regions lie at random places in the file: start loading
                // the ones PREFETCH_AHEAD on while this one is copied (all
                // of them at the start), each once.
                for (std::size_t ahead = i == begin ? i + 1 : i + PREFETCH_AHEAD;
                     ahead < end && ahead <= i + PREFETCH_AHEAD; ++ahead) {
                    const BatchSlot& next = slots[ahead];
                    if (next.state != BatchSlot::State::Pending) continue;
                    faidx.prefetch(*next.entry, next.first, next.bound);
                }
                if (slots[i].state == BatchSlot::State::Pending) extract_slot(faidx, slots[i], finishing);
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

namespace {

// The stage of a batch run on the calling thread (Executor::Caller): each
// slot as it is planned; no worker is started.
class CallerReads final : public BatchReads {
public:
    CallerReads(const Faidx& faidx, std::vector<BatchSlot>& slots, const SlotFinishing& finishing)
        : faidx_(faidx),
          slots_(slots),
          finishing_(finishing) {}
    void planned(std::size_t i) override { extract_slots(faidx_, slots_, i, i + 1, finishing_); }
    void drain() override {}

private:
    const Faidx& faidx_;
    std::vector<BatchSlot>& slots_;
    const SlotFinishing& finishing_;
};

// The stage of a batch whose text costs a round trip per read (a remote
// file): it plans every region first, fetches what they all read together
// (Faidx::hold_reads: sorted, merged, requests in flight at once), and then
// lets `inner`, the stage it would have had, extract them from memory.
class GatheredReads final : public BatchReads {
public:
    GatheredReads(const Faidx& faidx, std::vector<BatchSlot>& slots, std::unique_ptr<BatchReads> inner)
        : faidx_(faidx),
          slots_(slots),
          inner_(std::move(inner)) {}
    // A batch given up early (its sink stopped it) fetches nothing.
    ~GatheredReads() override {
        if (finished_) return;
        for (std::size_t i = 0; i < planned_; ++i) {
            if (slots_[i].state == BatchSlot::State::Pending) slots_[i].state = BatchSlot::State::Idle;
        }
    }

    void planned(std::size_t i) override { planned_ = i + 1; }

    void drain() override {
        if (finished_) return;
        finished_ = true;
        std::vector<Faidx::RegionRead> reads;
        for (std::size_t i = 0; i < planned_; ++i) {
            const BatchSlot& slot = slots_[i];
            if (slot.state == BatchSlot::State::Pending) reads.push_back({slot.entry, slot.first, slot.count()});
        }
        Result<ReadHold> held = faidx_.hold_reads(reads);
        if (!held) {  // nothing is extracted; the lowest region reports why
            for (std::size_t i = 0; i < planned_; ++i) {
                BatchSlot& slot = slots_[i];
                if (slot.state != BatchSlot::State::Pending) continue;
                slot.error = std::make_unique<FaidxError>(held.error());
                slot.state = BatchSlot::State::Failed;
            }
        }
        for (std::size_t i = 0; i < planned_; ++i) inner_->planned(i);
        inner_->drain();
    }

private:
    const Faidx& faidx_;
    std::vector<BatchSlot>& slots_;
    std::unique_ptr<BatchReads> inner_;
    std::size_t planned_ = 0;
    bool finished_ = false;
};

}  // namespace

Result<ReadHold> hold_regions(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record) {
    if (!faidx.text().gathers_reads()) return ReadHold();
    std::vector<Faidx::RegionRead> reads;
    reads.reserve(regions.size());
    const IndexEntry* entry = record;
    for (const RegionRequest& region : regions) {
        if (record == nullptr) entry = faidx.entries().find(region.name);
        if (entry == nullptr) continue;
        Result<FetchPlan> plan = faidx.plan_worker(region.name, *entry, region.start, region.end);
        if (plan && plan->kind == FetchPlan::Kind::Extract)
            reads.push_back({entry, plan->first, faidx.extract_bound(*entry, plan->first, plan->count())});
    }
    return faidx.hold_reads(reads);
}

BatchExtraction::BatchExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, const SlotFinishing& finishing)
    : batch_(slots.size(), std::min(MAX_PIECE, slots.size() / (std::max<std::size_t>(worker_count(), 1) * 8)),
             [&faidx, &slots, &finishing](std::size_t begin, std::size_t end) {
                 extract_slots(faidx, slots, begin, end, finishing);
             }) {}

std::unique_ptr<BatchReads> batch_reads(const Faidx& faidx, std::vector<BatchSlot>& slots,
                                        const SlotFinishing& finishing, Executor executor) {
    // Region after region on the calling thread, a batch's reads are
    // fetched ahead by run_batch (hold_regions) instead.
    if (executor == Executor::Caller) return std::make_unique<CallerReads>(faidx, slots, finishing);
    const BatchStage* stage = faidx.batch_stage();
    const LocalPages* pages = faidx.text().local_pages();
    if (stage == nullptr && pages != nullptr && read_ahead_mode() != ReadAheadMode::Off)
        return cold_reads(faidx, *pages, slots, finishing);
    std::unique_ptr<BatchReads> reads = stage != nullptr ? stage->reads(faidx, slots, finishing)
                                                         : std::make_unique<BatchExtraction>(faidx, slots, finishing);
    if (!faidx.text().gathers_reads()) return reads;
    return std::make_unique<GatheredReads>(faidx, slots, std::move(reads));
}

bool groups_reads(const Faidx& faidx) { return faidx.batch_stage() != nullptr || faidx.text().gathers_reads(); }

}  // namespace kelpa::core
