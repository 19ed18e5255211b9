#include "batch.hpp"

#include <algorithm>
#include <mutex>

#include "bgzf.hpp"
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
    const bool bytes = faidx.options().encoding == Encoding::Bytes;  // any bytes are finished text
    if (slot.written == slot.count() && (bytes || is_ascii(slot.out, slot.written))) {
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

// Blocks per group of a BGZF batch: a group inflates the blocks its regions
// touch, which start within GROUP_BLOCKS of each other and run on at most
// GROUP_BLOCKS further, so at most 2 * GROUP_BLOCKS blocks (2 MiB of text,
// held in the worker's cache while its regions are copied out). A region
// over more blocks than that is read on its own, streamed (BlockStream).
constexpr std::size_t GROUP_BLOCKS = 16;

}  // namespace

struct BgzfExtraction::Group {
    std::vector<std::size_t> blocks;  // table indices, rising
    std::vector<std::size_t> slots;
};

BgzfExtraction::BgzfExtraction(const Faidx& faidx, std::vector<BatchSlot>& slots, bool reverse_complement)
    : faidx_(faidx),
      slots_(slots),
      reverse_complement_(reverse_complement),
      capacity_(faidx.bgzf_reader().table().size() / GROUP_BLOCKS + 2),
      groups_(new Group[capacity_]),
      items_(capacity_, 1, [this](std::size_t begin, std::size_t end) {
          for (std::size_t g = begin; g < end; ++g) run(groups_[g]);
      }) {}

BgzfExtraction::~BgzfExtraction() = default;  // items_ finishes first: it is declared last

void BgzfExtraction::planned(std::size_t i) {
    BatchSlot& slot = slots_[i];
    if (slot.state != BatchSlot::State::Pending) return;
    const std::optional<std::pair<std::uint64_t, std::uint64_t>> bytes =
        faidx_.byte_window(*slot.entry, slot.first, slot.bound);
    if (!bytes) {  // nothing of it in the file: the extraction says what it gets
        extract_slot(faidx_, slot, reverse_complement_);
        return;
    }
    const BlockTable& table = faidx_.bgzf_reader().table();
    const Span span{i, table.block_of(bytes->first), table.block_of(bytes->second - 1)};
    if (span.last - span.first >= GROUP_BLOCKS) {
        long_.push_back(i);
    } else if (span.first < frontier_) {
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

void BgzfExtraction::finish() {
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
        StagedBatch pass(groups.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) run(groups[g]);
        });
        pass.finish();
    }
    for (const std::size_t i : long_) extract_slot(faidx_, slots_[i], reverse_complement_);
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
    const Status filled = window->fill(faidx_.bgzf_reader(), group.blocks);
    for (const std::size_t i : group.slots) {
        BatchSlot& slot = slots_[i];
        if (filled) {
            settle_slot(faidx_, slot,
                        faidx_.extract_from_window(*window, *slot.entry, slot.first, slot.count(), slot.out),
                        reverse_complement_);
        } else {  // a block that cannot be inflated: each region finds out whether it needs it
            extract_slot(faidx_, slot, reverse_complement_);
        }
    }
    std::lock_guard<std::mutex> hold(windows_lock_);
    windows_.push_back(std::move(window));
}

bool finish_slot(const Faidx& faidx, BatchSlot& slot, bool reverse_complement, std::string& text) {
    text.assign(slot.out, slot.written);
    faidx.finish_text(text, slot.count());
    if (faidx.options().encoding == Encoding::Utf8 && !is_valid_utf8(text.data(), text.size())) {
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

}  // namespace kelpa::core
