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

#include "bgzf.hpp"
#include "error.hpp"
#include "faidx.hpp"
#include "worker_pool.hpp"

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
    std::string_view prefix;  // written just before `out` along with the text
    std::uint64_t written = 0;
    State state = State::Idle;
    std::unique_ptr<FaidxError> error;

    std::uint64_t count() const { return last - first + 1; }  // bases asked for
};

// Extracts the Pending slots of `slots` on the worker pool, each once the
// calling thread has published it. Complete slots are upper-cased as the
// options say and, with `reverse_complement`, reverse complemented in place.
// `slots` must not be resized, and a published slot not touched, until
// finish() returned (the destructor finishes too).
class BatchExtraction {
public:
    BatchExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement);

    // Slots [0, planned) are ready for the workers.
    void publish(std::size_t planned) { batch_.release(planned); }

    // Publishes every slot and waits until all were extracted.
    void finish() { batch_.finish(); }

private:
    StagedBatch batch_;
};

// Below this many regions a batch runs on the calling thread.
inline constexpr std::size_t PARALLEL_BATCH_THRESHOLD = 1000;

// One region of a batch: 1-based, inclusive coordinates.
struct RegionRequest {
    std::string_view name;     // ignored for a batch on one record
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool repeats_name = false;  // same name as the region before: no second lookup
};

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
//   bool finished(std::size_t i, const BatchResult&)
//       region i's result; false stops the batch
//   void failed(std::size_t i, const FaidxError&)
//       the lowest failing region; nothing follows
//   std::string_view prefix(std::size_t i)  (optional)
//       bytes that go right before region i's text, asked for just after
//       reserve(i): the thread that extracts the text writes them too (into
//       the memory it is writing anyway), once the extraction succeeded.
//       They must stay put until the batch ends.
//   void wait(work)  (optional)
//       runs work(), which waits for the pool or inflates and touches
//       nothing of the sink's, so a sink may let its other threads run
// Returns true when every region was finished.
//
// With `record`, every region is on that entry (named `record_name`) and the
// requests' names are not read.
template <class Sink>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, bool reverse_complement, Sink& sink);

// The same with the coordinate rules of the caller's choosing: `plan` is
// called on the calling thread, in input order, as
//   Result<FetchPlan> plan(std::size_t i, std::string_view name, const IndexEntry&,
//                          std::uint64_t start, std::uint64_t end)
// and must give an Extract or Empty plan, or the error that stops the batch
// (a Refused plan counts as Empty). The overload above plans by
// Faidx::plan_worker.
template <class Sink, class Planner>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, bool reverse_complement, Sink& sink, Planner&& plan);

// Records what an extraction into `slot` gave: Complete when the text is all
// there and ASCII, or any bytes under Encoding::Bytes (upper-cased and
// reverse complemented as asked), Failed with the error, else Unfinished.
void settle_slot(const Faidx& faidx, BatchSlot& slot, Result<std::uint64_t> got, bool reverse_complement);

// Extracts the Pending slots of a batch on a BGZF file, on the pool, from
// the blocks inflated for them, as the calling thread plans the slots.
//
// Planned regions gather in a group until one starts 16 blocks or more past
// the group's first; then the group goes to the workers, and a worker
// inflates the blocks its regions touch and at once copies the regions
// out, while the text is still in its cache. Regions in file order (a
// sorted BED file) so go to the workers while the calling thread still
// plans, and every block is inflated once, or twice where regions cross
// from one group into the next. A region that starts before the groups
// already handed over is left for a second pass, grouped the same way, in
// finish(); a region over more than 16 blocks is read on its own there,
// streamed through the pool (BlockStream). Memory: one group of at most 32
// inflated blocks (2 MiB) per worker, or one stream (bgzf.hpp:
// STREAM_BLOCKS, 4 MiB), whatever the batch, besides the reader's small
// cache. `slots` must not be resized, and a planned slot not touched, until
// finish() returned (the destructor finishes too).
class BgzfExtraction {
public:
    BgzfExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement);
    ~BgzfExtraction();
    BgzfExtraction(const BgzfExtraction&) = delete;
    BgzfExtraction& operator=(const BgzfExtraction&) = delete;

    // Slot i is planned (whatever its state); slots are planned in rising order.
    void planned(std::size_t i);

    // Extracts what is left and waits until every planned slot is done.
    void finish();

private:
    struct Span {
        std::size_t slot;
        std::size_t first;  // block of its first byte
        std::size_t last;   // block of its last byte
    };
    struct Group;
    static Group group_of(std::span<const Span> spans);
    void run(const Group& group);  // on a worker

    const Faidx& faidx_;
    std::vector<BatchSlot>& slots_;
    const bool reverse_complement_;
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

// Finishes a slot that came back short or not ASCII: pads, upper-cases,
// validates and reverse complements it into `text`. False, with slot.error
// set, when the text is not valid UTF-8 (never under Encoding::Bytes).
bool finish_slot(const Faidx& faidx, BatchSlot& slot, bool reverse_complement, std::string& text);

namespace detail {

template <class Sink, class Work>
void wait_in(Sink& sink, Work&& work) {
    if constexpr (requires { sink.wait(work); }) sink.wait(work);
    else work();
}

}  // namespace detail

template <class Sink>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, bool reverse_complement, Sink& sink) {
    return run_batch(faidx, regions, record, record_name, reverse_complement, sink,
                     [&faidx](std::size_t, std::string_view name, const IndexEntry& entry, std::uint64_t start,
                              std::uint64_t end) { return faidx.plan_worker(name, entry, start, end); });
}

template <class Sink, class Planner>
bool run_batch(const Faidx& faidx, std::span<const RegionRequest> regions, const IndexEntry* record,
               std::string_view record_name, bool reverse_complement, Sink& sink, Planner&& planner) {
    const std::size_t count = regions.size();
    std::vector<BatchSlot> slots(count);
    // Both hand planned regions to the workers as they go: a plain batch
    // slot by slot, a BGZF one in groups of the blocks they touch.
    // Declared after what the workers write into, so that they finish first
    // on every way out.
    std::optional<BatchExtraction> extraction;
    std::optional<BgzfExtraction> bgzf;
    // Waits while another batch has the pool.
    detail::wait_in(sink, [&] {
        if (faidx.compressed()) bgzf.emplace(faidx, slots, reverse_complement);
        else extraction.emplace(faidx, slots, reverse_complement);
    });

    constexpr std::size_t PUBLISH_EVERY = 64;
    constexpr std::size_t LOOKAHEAD = 8;
    const IndexEntry* entry = record;
    for (std::size_t i = 0; i < count; ++i) {
        const RegionRequest& region = regions[i];
        const std::string_view name = record != nullptr ? record_name : region.name;
        BatchSlot& slot = slots[i];
        if (i % PUBLISH_EVERY == 0 && extraction) extraction->publish(i);
        if (record == nullptr) {
            if (i + LOOKAHEAD < count && !regions[i + LOOKAHEAD].repeats_name)
                __builtin_prefetch(regions[i + LOOKAHEAD].name.data());
            if (i == 0 || !region.repeats_name) entry = faidx.entries().find(name);
        }
        if (entry == nullptr) {
            slot.error = std::make_unique<FaidxError>(FaidxError::not_found(name));
            slot.state = BatchSlot::State::Failed;
            break;
        }
        Result<FetchPlan> plan = planner(i, name, *entry, region.start, region.end);
        if (!plan) {
            slot.error = std::make_unique<FaidxError>(plan.take_error());
            slot.state = BatchSlot::State::Failed;
            break;
        }
        slot.entry = entry;
        slot.first = plan->first;
        slot.last = plan->last;
        if (plan->kind != FetchPlan::Kind::Extract) continue;
        slot.bound = faidx.extract_bound(*entry, slot.first, slot.count());
        slot.out = sink.reserve(i, slot.bound);
        if (slot.out == nullptr) return false;
        if constexpr (requires { sink.prefix(i); }) slot.prefix = sink.prefix(i);
        slot.state = BatchSlot::State::Pending;
        if (bgzf) bgzf->planned(i);
    }
    detail::wait_in(sink, [&] {
        if (extraction) extraction->finish();
        else bgzf->finish();
    });

    std::string finished_text;
    for (std::size_t i = 0; i < count; ++i) {
        BatchSlot& slot = slots[i];
        BatchResult result{slot.entry, FetchPlan::Kind::Extract, slot.first, slot.last, {}, false};
        switch (slot.state) {
            case BatchSlot::State::Idle: result.kind = FetchPlan::Kind::Empty; break;
            case BatchSlot::State::Complete:
                result.text = std::string_view(slot.out, slot.written);
                result.in_place = true;
                break;
            case BatchSlot::State::Unfinished:
                if (finish_slot(faidx, slot, reverse_complement, finished_text)) result.text = finished_text;
                break;
            case BatchSlot::State::Pending:
            case BatchSlot::State::Failed: break;
        }
        if (slot.state == BatchSlot::State::Failed) {
            sink.failed(i, *slot.error);
            return false;
        }
        if (!sink.finished(i, result)) return false;
    }
    return true;
}

}  // namespace kelpa::core
