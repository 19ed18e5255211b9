#include "core/batch/array_sinks.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <vector>

#include "core/base/worker_pool.hpp"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace kelpa::core {

namespace {

class RowSink {
public:
    RowSink(std::span<const RegionRequest> windows, const RowTarget& target)
        : windows_(windows),
          target_(target),
          row_bytes_(target.encoder->row_bytes(target.length)) {}

    // The text goes to the row's last bytes, and is encoded from there.
    char* reserve(std::size_t i, std::uint64_t bytes) { return row(i) + row_bytes_ - bytes; }

    void on_worker(std::size_t i, char*, std::uint64_t size) {
        const std::size_t before = padding_before(i);
        target_.encoder->encode_in_place(row(i), before, size, target_.length - before - size, rc(i));
    }

    bool accept(std::size_t i, const BatchResult& result) {
        if (result.in_place) return true;
        // Nothing inside the record, or a text that came back short.
        const std::size_t size = result.kind == FetchPlan::Kind::Empty ? 0 : result.text.size();
        const std::size_t before = padding_before(i);
        target_.encoder->encode(result.text.data(), size, row(i), before, target_.length - before - size, rc(i));
        return true;
    }

    void failed(std::size_t, const FaidxError& error) { error_ = error; }

    std::optional<FaidxError> error_;

private:
    char* row(std::size_t i) const { return target_.rows + i * row_bytes_; }
    bool rc(std::size_t i) const { return target_.rc != nullptr ? target_.rc[i] != 0 : target_.rc_all; }
    // Padding before the record's first base (all of it when the window
    // ends before 0; none when it starts at or past 0).
    std::size_t padding_before(std::size_t i) const {
        const std::int64_t start = window_start(windows_[i]);
        if (start >= 0) return 0;
        return static_cast<std::size_t>(std::min<std::uint64_t>(0 - static_cast<std::uint64_t>(start), target_.length));
    }

    std::span<const RegionRequest> windows_;
    const RowTarget& target_;
    std::size_t row_bytes_;
};

class RaggedSink {
public:
    RaggedSink(char* data, const std::int64_t* offsets) : data_(data), offsets_(offsets) {}

    char* reserve(std::size_t i, std::uint64_t) { return data_ + offsets_[i]; }

    bool accept(std::size_t i, const BatchResult& result) {
        if (result.in_place || result.kind == FetchPlan::Kind::Empty) return true;
        std::memcpy(data_ + offsets_[i], result.text.data(), result.text.size());
        short_.push_back({i, result.text.size()});
        return true;
    }

    void failed(std::size_t, const FaidxError& error) { error_ = error; }

    struct Short {
        std::size_t index;
        std::uint64_t size;
    };
    std::vector<Short> short_;
    std::optional<FaidxError> error_;

private:
    char* data_;
    const std::int64_t* offsets_;
};

// The span of a huge page, and how many of them a worker faults in at a time.
constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
constexpr std::size_t SPANS_PER_PIECE = 4;

// Faults in [begin, end), whole pages around it; only bytes inside it are written.
void fault_in_range(char* begin, char* end) {
    static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(begin) & ~(page - 1);
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end);
    if (::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) == 0) return;
    volatile char* const bytes = begin;
    for (std::size_t at = 0; at < static_cast<std::size_t>(end - begin); at += page) bytes[at] = 0;
}

}  // namespace

void fault_in_fresh(char* data, std::size_t bytes, Executor executor) {
    if (executor != Executor::Pool || bytes < 2 * HUGE_PAGE || worker_count() < 2) return;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t end = start + bytes;
    const std::uintptr_t first_boundary = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    // Span 0 reaches the first boundary; span k >= 1 starts k - 1 spans after it.
    const std::size_t spans = 1 + (end - first_boundary + HUGE_PAGE - 1) / HUGE_PAGE;
    const auto span_start = [&](std::size_t k) {
        return k == 0 ? start : std::min(end, first_boundary + (k - 1) * HUGE_PAGE);
    };
    StagedBatch batch(spans, SPANS_PER_PIECE, [&](std::size_t begin, std::size_t finish) {
        fault_in_range(reinterpret_cast<char*>(span_start(begin)), reinterpret_cast<char*>(span_start(finish)));
    });
    batch.finish();
}

Status fill_rows(const Faidx& faidx, std::span<const RegionRequest> windows, const RowTarget& target,
                 Executor executor) {
    RowSink sink(windows, target);
    if (!run_batch(faidx, windows, nullptr, {}, RAW_TEXT, sink, WindowPlanner{}, executor))
        return sink.error_ ? *sink.error_ : FaidxError::internal("a batch of windows stopped without a reason");
    return {};
}

Result<std::uint64_t> fill_ragged(const Faidx& faidx, std::span<const RegionRequest> windows, char* data,
                                  std::int64_t* offsets, Executor executor) {
    RaggedSink sink(data, offsets);
    if (!run_batch(faidx, windows, nullptr, {}, RAW_TEXT, sink, WindowPlanner{}, executor))
        return sink.error_ ? *sink.error_ : FaidxError::internal("a batch of regions stopped without a reason");
    const std::size_t count = windows.size();
    if (sink.short_.empty()) return static_cast<std::uint64_t>(offsets[count]);
    // Move every region after a short one up, in order.
    std::uint64_t at = 0;
    std::size_t next_short = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t size = static_cast<std::uint64_t>(offsets[i + 1] - offsets[i]);
        if (next_short < sink.short_.size() && sink.short_[next_short].index == i)
            size = sink.short_[next_short++].size;
        if (at != static_cast<std::uint64_t>(offsets[i])) std::memmove(data + at, data + offsets[i], size);
        offsets[i] = static_cast<std::int64_t>(at);
        at += size;
    }
    offsets[count] = static_cast<std::int64_t>(at);
    return at;
}

}  // namespace kelpa::core
