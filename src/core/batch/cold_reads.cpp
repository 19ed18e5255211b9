#include "core/batch/cold_reads.hpp"

#include <algorithm>
#include <mutex>
#include <numeric>
#include <optional>

#include "core/base/worker_pool.hpp"

namespace kelpa::core {

namespace {

constexpr std::size_t SAMPLE = 64;

// Pieces stay small so the workers follow close behind the calling thread
// (as in BatchExtraction).
constexpr std::size_t MAX_PIECE = 256;
constexpr std::size_t PUBLISH_EVERY = 64;

class ColdReads final : public BatchReads {
public:
    ColdReads(const Faidx& faidx, const LocalPages& pages, std::vector<BatchSlot>& slots,
              const SlotFinishing& finishing)
        : faidx_(faidx),
          pages_(pages),
          slots_(slots),
          finishing_(finishing),
          order_(slots.size()),
          batch_(slots.size(), std::min(MAX_PIECE, slots.size() / (std::max<std::size_t>(worker_count(), 1) * 8)),
                 [this](std::size_t begin, std::size_t end) { run(begin, end); }) {
        std::iota(order_.begin(), order_.end(), std::size_t{0});
    }

    void planned(std::size_t i) override {
        planned_ = i + 1;
        if (!decided_) {
            if (planned_ < SAMPLE) return;
            decide();
        }
        if (!cold_ && planned_ % PUBLISH_EVERY == 0) batch_.release(planned_);
    }

    void drain() override {
        if (!decided_) decide();
        if (cold_) read_cold();
        batch_.finish();
    }

private:
    struct Window {
        std::uint64_t begin;
        std::uint64_t end;
        std::size_t slot;
    };

    std::optional<ByteRange> window_of(const BatchSlot& slot) const {
        if (slot.state != BatchSlot::State::Pending) return std::nullopt;
        const auto bytes = faidx_.byte_window(*slot.entry, slot.first, slot.count());
        if (!bytes || bytes->second <= bytes->first) return std::nullopt;
        return ByteRange{bytes->first, std::min(bytes->second, pages_.size())};
    }

    // Whether the first regions' pages are all in memory.
    void decide() {
        decided_ = true;
        for (std::size_t i = 0; i < planned_ && !cold_; ++i) {
            const std::optional<ByteRange> window = window_of(slots_[i]);
            if (!window || window->begin >= window->end) continue;
            cold_ = !pages_.resident({&*window, 1}).front();
        }
        if (!cold_) batch_.release(planned_);
    }

    // On a worker: items [begin, end) of order_.
    void run(std::size_t begin, std::size_t end) {
        if (!cold_) {
            extract_slots(faidx_, slots_, begin, end, finishing_);
            return;
        }
        for (std::size_t k = begin; k < end; ++k) extract_slots(faidx_, slots_, order_[k], order_[k] + 1, finishing_);
    }

    // Regions into groups of the reads that bring them in.
    static std::vector<std::vector<std::size_t>> group(const std::vector<Window>& windows,
                                                       std::vector<ByteRange>& reads) {
        std::vector<std::vector<std::size_t>> groups;
        for (const Window& window : windows) {
            const bool joins =
                !reads.empty() &&
                (window.begin <= reads.back().end || window.begin - reads.back().end <= LocalPages::MERGE_GAP) &&
                std::max(reads.back().end, window.end) - reads.back().begin <= LocalPages::PIECE;
            if (joins) {
                reads.back().end = std::max(reads.back().end, window.end);
            } else {
                reads.push_back({window.begin, window.end});
                groups.emplace_back();
            }
            groups.back().push_back(window.slot);
        }
        return groups;
    }

    void read_cold() {
        std::size_t ready = 0;
        std::vector<Window> windows;
        for (std::size_t i = 0; i < planned_; ++i) {
            const std::optional<ByteRange> window = window_of(slots_[i]);
            if (window) windows.push_back({window->begin, window->end, i});
            else order_[ready++] = i;  // nothing to read ahead
        }
        for (std::size_t i = planned_; i < slots_.size(); ++i) order_[ready++] = i;  // never planned
        std::sort(windows.begin(), windows.end(), [](const Window& a, const Window& b) { return a.begin < b.begin; });
        std::vector<ByteRange> reads;
        const std::vector<std::vector<std::size_t>> groups = group(windows, reads);
        const std::vector<bool> found = pages_.resident(reads);
        std::vector<ByteRange> missing;
        std::vector<std::size_t> missing_group;
        for (std::size_t g = 0; g < reads.size(); ++g) {
            if (found[g]) {
                for (const std::size_t i : groups[g]) order_[ready++] = i;
            } else {
                missing.push_back(reads[g]);
                missing_group.push_back(g);
            }
        }
        batch_.release(ready);
        std::mutex lock;
        pages_.read_ahead(missing, [&](std::size_t k) {
            std::lock_guard<std::mutex> hold(lock);
            for (const std::size_t i : groups[missing_group[k]]) order_[ready++] = i;
            batch_.release(ready);
        });
    }

    const Faidx& faidx_;
    const LocalPages& pages_;
    std::vector<BatchSlot>& slots_;
    const SlotFinishing& finishing_;
    std::vector<std::size_t> order_;  // the slots in the order they go to the workers
    std::size_t planned_ = 0;
    bool decided_ = false;
    bool cold_ = false;  // written before any item is released, read by the workers after
    StagedBatch batch_;  // last: finishes before what it uses goes
};

}  // namespace

std::unique_ptr<BatchReads> cold_reads(const Faidx& faidx, const LocalPages& pages, std::vector<BatchSlot>& slots,
                                       const SlotFinishing& finishing) {
    return std::make_unique<ColdReads>(faidx, pages, slots, finishing);
}

}  // namespace kelpa::core
