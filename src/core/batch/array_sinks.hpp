// Batches of windows written as array rows, and of regions written back to
// back: two sinks of run_batch (batch.hpp) and the planner they share.
//
// A window is [start, end) of a record, 0-based and end-exclusive, and may
// reach before 0 or past the record's end. Only its part inside the record
// is planned and read; a row's padding (the rest) and its encoding
// (encoding.hpp) are written by the worker that read the text, in the row
// itself: the text is extracted into the row's last bytes and encoded from
// there in one pass. Regions written back to back get their part inside the
// record only, as if clamped to it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/base/error.hpp"
#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"
#include "core/kernels/encoding.hpp"

namespace kelpa::core {

// The part of [start, end) inside a record of `rlen` bases: [lo, hi),
// with lo == hi when there is none.
struct WindowPart {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    std::uint64_t size() const { return hi - lo; }
};

inline WindowPart window_part(std::int64_t start, std::int64_t end, std::uint64_t rlen) {
    const std::uint64_t lo = start <= 0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(start), rlen);
    const std::uint64_t hi = end <= 0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(end), rlen);
    return hi > lo ? WindowPart{lo, hi} : WindowPart{lo, lo};
}

// A region of a window batch, on the record `entry` named `name`: the
// window's bounds travel in the request's start and end as the two's
// complement of the signed numbers.
inline RegionRequest window_request(std::string_view name, const IndexEntry& entry, std::int64_t start,
                                    std::int64_t end) {
    return RegionRequest{name,  static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(end), false, false,
                         &entry};
}

inline std::int64_t window_start(const RegionRequest& request) { return static_cast<std::int64_t>(request.start); }
inline std::int64_t window_end(const RegionRequest& request) { return static_cast<std::int64_t>(request.end); }

// Plans a window's part inside its record (run_batch's planner for window
// requests).
struct WindowPlanner {
    Result<FetchPlan> operator()(std::size_t, std::string_view, const IndexEntry& entry, std::uint64_t start,
                                 std::uint64_t end) const {
        const WindowPart part =
            window_part(static_cast<std::int64_t>(start), static_cast<std::int64_t>(end), entry.rlen);
        FetchPlan plan;
        if (part.size() == 0) return plan;  // Empty
        plan.kind = FetchPlan::Kind::Extract;
        plan.first = part.lo + 1;
        plan.last = part.hi;
        return plan;
    }
};

// The raw text: no padding, no case change, any bytes.
constexpr Finishing RAW_TEXT{false, nullptr, false, ComplementRule::ToN, false};

// Where a batch of windows writes its rows: row i at rows + i * row_bytes.
struct RowTarget {
    char* rows = nullptr;
    std::size_t length = 0;  // elements per row: every window's end - start
    const RowEncoder* encoder = nullptr;
    const std::uint8_t* rc = nullptr;  // one flag per row (nonzero: reverse complement), or nullptr
    bool rc_all = false;               // the flag of every row when `rc` is nullptr
};

// Faults in `bytes` of fresh memory at `data` (never written yet) on the
// workers before a batch fills it. Left to the batch, two threads that write
// into the same huge page at once both clear one, and one of them is thrown
// away; here each worker takes whole 2 MiB spans. Contents are kept (a
// kernel without MADV_POPULATE_WRITE gets a zero byte written to each page
// instead, which fresh memory holds already). Small buffers, and batches on
// the calling thread, are left to fault as they are written.
void fault_in_fresh(char* data, std::size_t bytes, Executor executor);

// Fills one row per window (each end - start == target.length, on a record
// that exists: the caller checked). An error when a read failed; the rows
// are then partly written.
Status fill_rows(const Faidx& faidx, std::span<const RegionRequest> windows, const RowTarget& target,
                 Executor executor);

// The offsets of the regions' parts inside their records written back to
// back (`offsets` holds windows.size() + 1 numbers, from 0); `rlen(i)` is
// region i's record length.
template <class RecordLength>
void ragged_offsets(std::span<const RegionRequest> windows, RecordLength&& rlen, std::int64_t* offsets) {
    std::uint64_t at = 0;
    offsets[0] = 0;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        at += window_part(window_start(windows[i]), window_end(windows[i]), rlen(i)).size();
        offsets[i + 1] = static_cast<std::int64_t>(at);
    }
}

// Writes each region's part inside its record at data + offsets[i]. A
// region that comes back short (a file cut short since it was indexed)
// moves the later ones up and lowers their offsets. Returns the bytes written.
Result<std::uint64_t> fill_ragged(const Faidx& faidx, std::span<const RegionRequest> windows, char* data,
                                  std::int64_t* offsets, Executor executor);

}  // namespace kelpa::core
