// Batches of regions: the whole operation (run_batch) and its copy stage on
// the worker pool (BatchExtraction).
//
// The calling thread resolves names and coordinates into slots and reserves
// every slot's output bytes, handing the slots over as it goes; the workers
// only read the Faidx and its text and write into their own slots.
// Whatever needs more than a straight copy (padding a short text, non-ASCII
// text) is left for the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/worker_pool.hpp"
#include "core/fetch/faidx.hpp"
#include "core/fetch/finishing.hpp"

namespace kelpa::core {

struct BatchSlot {
    enum class State : std::uint8_t {
        Idle,      // nothing to extract (an empty result, or failed while planning)
        Pending,   // to be extracted by a worker
        Complete,  // out holds `count` finished bytes (ASCII, but for Encoding::Bytes)
        Unfinished,  // out holds `written` bytes that still need finishing
        Failed,    // error holds why
    };

    const IndexEntry* entry = nullptr;
    // The plan: bases first..last to extract, or (Idle, not failed) the
    // coordinates an empty result reports.
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t bound = 0;  // bytes reserved at `out`
    char* out = nullptr;
    std::size_t index = 0;    // the region's place in the batch
    std::uint64_t written = 0;
    State state = State::Idle;
    bool reverse = false;     // reverse complemented, whatever the finishing says of every text
    std::unique_ptr<FaidxError> error;

    std::uint64_t count() const { return last - first + 1; }  // bases asked for
};

// A sink's work on the worker that extracted a region (the sink's optional
// `on_worker`).
class WorkerHook {
public:
    WorkerHook() = default;
    template <class Sink>
    static WorkerHook of(Sink& sink) {
        WorkerHook hook;
        if constexpr (requires(char* text) { sink.on_worker(std::size_t{0}, text, std::uint64_t{0}); }) {
            hook.sink_ = &sink;
            hook.call_ = [](void* s, std::size_t i, char* text, std::uint64_t size) {
                static_cast<Sink*>(s)->on_worker(i, text, size);
            };
        }
        return hook;
    }
    void operator()(std::size_t i, char* text, std::uint64_t size) const {
        if (call_ != nullptr) call_(sink_, i, text, size);
    }

private:
    void* sink_ = nullptr;
    void (*call_)(void*, std::size_t, char*, std::uint64_t) = nullptr;
};

// What the workers finish a slot's text with: the batch's finishing rule,
// and the sink's work on the worker that extracted it.
struct SlotFinishing {
    const Finishing& rule;
    WorkerHook on_worker;
};

// The stage of a batch that extracts its planned slots (BatchStage, or
// BatchExtraction): the calling thread tells it of every
// slot it planned, in rising order, and it extracts the Pending ones, on
// the worker pool as it goes or in drain(). Complete slots are finished in
// place (finishing.hpp). `slots` must not be resized, and a planned slot not touched,
// until drain() returned (the destructor drains too). The workers finishing
// what they can in place (finishing.hpp); the rest is left Unfinished for
// the calling thread.
class BatchReads {
public:
    virtual ~BatchReads() = default;
    // Slot i is planned (whatever its state).
    virtual void planned(std::size_t i) = 0;
    // Extracts what is left and waits until every planned slot is done.
    virtual void drain() = 0;
};

// The stage for text that is read where it lies (a mapping, a file read
// with pread): slots go to the workers in pieces, a few dozen at a time.
class BatchExtraction final : public BatchReads {
public:
    BatchExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, const SlotFinishing& finishing);

    void planned(std::size_t i) override {
        if ((i + 1) % PUBLISH_EVERY == 0) batch_.release(i + 1);
    }
    void drain() override { batch_.finish(); }

private:
    static constexpr std::size_t PUBLISH_EVERY = 64;
    StagedBatch batch_;
};

// A batch's own way of reading a text, for a source whose reads are better
// grouped by where they lie (blocks to inflate): the open room makes it with
// the text (FaidxParts::batch_stage). Other texts are read region by region
// on the pool (BatchExtraction).
class BatchStage {
public:
    virtual ~BatchStage() = default;
    virtual std::unique_ptr<BatchReads> reads(const Faidx& faidx, std::vector<BatchSlot>& slots,
                                              const SlotFinishing& finishing) const = 0;
};

// Whether batches on `faidx` group their reads by where they lie (a stage
// of their own, or reads fetched together), so that a large batch of
// regions in no particular order costs far less than many small ones.
bool groups_reads(const Faidx& faidx);

// Where a batch's extraction runs.
enum class Executor : std::uint8_t {
    Caller,  // on the calling thread, each region as it is planned, and handed to the
             // sink before the next is planned: no worker is started
    Pool,    // on the worker pool, in the text source's batch stage
};

// The stage for `executor`: the text's own (BatchStage) or BatchExtraction
// on the pool, or region after region on the calling thread.
std::unique_ptr<BatchReads> batch_reads(const Faidx& faidx, std::vector<BatchSlot>& slots,
                                        const SlotFinishing& finishing, Executor executor);

// One region of a batch: 1-based, inclusive coordinates.
struct RegionRequest {
    std::string_view name;     // ignored for a batch on one record
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool repeats_name = false;  // same name as the region before: no second lookup
    bool reverse = false;       // reverse complemented, whatever the finishing says of every text
    const IndexEntry* entry = nullptr;  // the record, when the caller found it already: no lookup
};

// For a batch whose regions are then extracted one by one (Executor::Caller):
// fetches together, first, what they read when the file's reads cost a
// round trip each (Faidx::hold_reads), and keeps it while the hold lives.
// Regions that cannot be planned are left to their own fetch to report.
// Nothing for other files.
Result<ReadHold> hold_regions(const Faidx& faidx, std::span<const RegionRequest> regions,
                              const IndexEntry* record = nullptr);

// A finished region of a batch, handed to the sink in input order.
struct BatchResult {
    const IndexEntry* entry = nullptr;
    FetchPlan::Kind kind = FetchPlan::Kind::Empty;  // Extract or Empty
    std::uint64_t first = 0;  // as in FetchPlan
    std::uint64_t last = 0;
    // Extract: the finished text. When `in_place`, these are the bytes of the
    // sink's own reserved buffer; otherwise a temporary (padded, or text that
    // is not ASCII) that the sink copies.
    std::string_view text;
    bool in_place = false;
};

// A batch of regions on the worker pool: every name is looked up and every
// region planned by the worker rules (Faidx::plan_worker) on the calling
// thread, which reserves each region's output through the sink and hands the
// planned regions to the workers as it goes; the workers copy; then the
// results go to the sink in input order. Planning stops at the first region
// that cannot be planned, since nothing after it is reported.
//
// The sink, called on the calling thread only:
//   char* reserve(std::size_t i, std::uint64_t bytes)
//       room for region i's text; nullptr stops the batch (the sink keeps
//       its own reason)
//   bool accept(std::size_t i, const BatchResult&)
//       region i's result; false stops the batch
//   void failed(std::size_t i, const FaidxError&)
//       the lowest failing region; nothing follows
//   void on_worker(std::size_t i, char* text, std::uint64_t size)  (optional)
//       called on the thread that extracted region i, as soon as its text
//       is finished in place at `text` (what reserve(i) gave): the sink may
//       frame or transform it there, in memory the worker is writing anyway,
//       touching nothing another region's call could
//   void wait(work)  (optional)
//       runs work(), which waits for the pool or extracts, and touches
//       nothing of the sink's but the reserved bytes, so a sink may let its
//       other threads run meanwhile (or do work of its own)
// Returns true when every region was finished.
//
// With `record`, every region is on that entry (named `record_name`) and the
// requests' names are not read.
template <class Sink>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, const Finishing& finishing, Sink& sink);

// The same with the coordinate rules of the caller's choosing: `plan` is
// called on the calling thread, in input order, as
//   Result<FetchPlan> plan(std::size_t i, std::string_view name, const IndexEntry&,
//                          std::uint64_t start, std::uint64_t end)
// and must give an Extract or Empty plan, or the error that stops the batch
// (a Refused plan counts as Empty). The overload above plans by
// Faidx::plan_worker. `executor` says where the regions are extracted.
template <class Sink, class Planner>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, const Finishing& finishing, Sink& sink, Planner&& plan,
               Executor executor = Executor::Pool);

// Records what an extraction into `slot` gave: Complete when it could be
// finished in place (and then hands it to the sink's on_worker), Failed
// with the error, else Unfinished.
void settle_slot(BatchSlot& slot, Result<std::uint64_t> got, const SlotFinishing& finishing);

// Extracts the Pending slots [begin, end) on this thread, under one guard
// for them all (a stage's work on a worker).
void extract_slots(const Faidx& faidx, std::vector<BatchSlot>& slots, std::size_t begin, std::size_t end,
                   const SlotFinishing& finishing);

// Finishes an Unfinished slot into `text` (finish_copy). False, with
// slot.error set, when it cannot be finished.
bool finish_slot(BatchSlot& slot, const Finishing& finishing, std::string& text);

namespace detail {

template <class Sink, class Work>
void wait_in(Sink& sink, Work&& work) {
    if constexpr (requires { sink.wait(work); }) sink.wait(work);
    else work();
}

}  // namespace detail

template <class Sink>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, const Finishing& finishing, Sink& sink) {
    return run_batch(faidx, regions, record, record_name, finishing, sink,
                     [&faidx](std::size_t, std::string_view name, const IndexEntry& entry, std::uint64_t start,
                              std::uint64_t end) { return faidx.plan_worker(name, entry, start, end); });
}

// The body stays here, a template over the sink and the planner: the
// calling thread plans every region in turn while the workers copy, so its
// per-region work bounds a batch of short regions, and calls through
// references to the sink and the planner cost a large batch of windows
// about a sixth of its time.
template <class Sink, class Planner>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, const Finishing& finishing, Sink& sink, Planner&& planner,
               Executor executor) {
    const std::size_t count = regions.size();
    std::vector<BatchSlot> slots(count);
    // Both hand planned regions to the workers as they go: a plain batch
    // slot by slot, a BGZF one in groups of the blocks they touch.
    // Declared after what the workers write into, so that they finish first
    // on every way out.
    const SlotFinishing slot_finishing{finishing, WorkerHook::of(sink)};
    std::unique_ptr<BatchReads> reads;
    // Waits while another batch has the pool.
    detail::wait_in(sink, [&] { reads = batch_reads(faidx, slots, slot_finishing, executor); });

    // Region i's result to the sink; false when the batch stops there.
    std::string finished_text;
    const auto deliver = [&](std::size_t i) {
        BatchSlot& slot = slots[i];
        BatchResult result{slot.entry, FetchPlan::Kind::Extract, slot.first, slot.last, {}, false};
        switch (slot.state) {
            case BatchSlot::State::Idle: result.kind = FetchPlan::Kind::Empty; break;
            case BatchSlot::State::Complete:
                result.text = std::string_view(slot.out, slot.written);
                result.in_place = true;
                break;
            case BatchSlot::State::Unfinished:
                if (finish_slot(slot, finishing, finished_text)) result.text = finished_text;
                break;
            case BatchSlot::State::Pending:  // the extraction missed it: our fault, not the file's
                slot.error = std::make_unique<FaidxError>(
                    FaidxError::internal("region " + std::to_string(i) + " of a batch was never extracted"));
                slot.state = BatchSlot::State::Failed;
                break;
            case BatchSlot::State::Failed: break;
        }
        if (slot.state == BatchSlot::State::Failed) {
            sink.failed(i, *slot.error);
            return false;
        }
        return sink.accept(i, result);
    };
    // On the calling thread each region is extracted as it is planned and
    // handed over before the next one is planned, as a loop of single
    // fetches would.
    const bool one_by_one = executor == Executor::Caller;
    // Then a file whose reads cost a round trip each (a remote file) has
    // what they all read fetched together first; when that fails (the
    // network, or an interruption), the batch stops there, with the error
    // its first fetch would have met.
    Result<ReadHold> held = ReadHold();
    if (one_by_one && count > 0) {
        detail::wait_in(sink, [&] { held = hold_regions(faidx, regions, record); });
        if (!held) {
            sink.failed(0, held.error());
            return false;
        }
    }

    constexpr std::size_t LOOKAHEAD = 8;
    const IndexEntry* entry = record;
    for (std::size_t i = 0; i < count; ++i) {
        const RegionRequest& region = regions[i];
        const std::string_view name = record != nullptr ? record_name : region.name;
        BatchSlot& slot = slots[i];
        if (record == nullptr && region.entry != nullptr) {
            entry = region.entry;
        } else if (record == nullptr) {
            if (i + LOOKAHEAD < count && !regions[i + LOOKAHEAD].repeats_name)
                __builtin_prefetch(regions[i + LOOKAHEAD].name.data());
            if (i == 0 || !region.repeats_name) entry = faidx.entries().find(name);
        }
        if (entry == nullptr) {
            slot.error = std::make_unique<FaidxError>(FaidxError::not_found(name));
            slot.state = BatchSlot::State::Failed;
            if (one_by_one) return deliver(i);
            break;
        }
        Result<FetchPlan> plan = planner(i, name, *entry, region.start, region.end);
        if (!plan) {
            slot.error = std::make_unique<FaidxError>(plan.take_error());
            slot.state = BatchSlot::State::Failed;
            if (one_by_one) return deliver(i);
            break;
        }
        slot.entry = entry;
        slot.index = i;
        slot.first = plan->first;
        slot.last = plan->last;
        slot.reverse = region.reverse;
        if (plan->kind == FetchPlan::Kind::Extract) {
            slot.bound = faidx.extract_bound(*entry, slot.first, slot.count());
            slot.out = sink.reserve(i, slot.bound);
            if (slot.out == nullptr) return false;
            slot.state = BatchSlot::State::Pending;
        }
        if (!one_by_one) {
            reads->planned(i);
        } else {
            if (slot.state == BatchSlot::State::Pending) detail::wait_in(sink, [&] { reads->planned(i); });
            if (!deliver(i)) return false;
        }
    }
    if (one_by_one) return true;
    detail::wait_in(sink, [&] { reads->drain(); });
    for (std::size_t i = 0; i < count; ++i) {
        if (!deliver(i)) return false;
    }
    return true;
}

}  // namespace kelpa::core
