// The coordinate rules: what a request's start and end come to, for a
// single fetch (plan_fetch), a batch's worker (plan_worker) and a stepped
// slice of a record (slice_cover). Declared with Faidx (faidx.hpp).
#include <string>

#include "core/fetch/faidx.hpp"

namespace kelpa::core {

namespace {

std::string coordinates_text(std::uint64_t start, std::uint64_t end) {
    return std::to_string(start) + "-" + std::to_string(end);
}

}  // namespace

FetchPlan Faidx::plan_fetch(std::string_view name, const IndexEntry& entry, std::uint64_t start,
                            std::uint64_t end) const {
    FetchPlan plan;
    const std::uint64_t length = entry.rlen;
    const bool in_bounds = start <= length && end <= length;
    if (!in_bounds) {
        std::string text = "coordinates " + coordinates_text(start, end) + " are out of bounds for sequence '";
        text.append(name).append("' of length ").append(std::to_string(length));
        if (options_.strict_bounds) return {FetchPlan::Kind::Refused, 0, 0, std::move(text), {}};
        plan.warnings.push_back(std::move(text));
        if (start > length) {
            plan.kind = FetchPlan::Kind::Empty;
            plan.first = plan.last = start;
            return plan;
        }
    } else if (options_.strict_bounds) {
        if (start == 0 || end == 0)
            return {FetchPlan::Kind::Refused, 0, 0, "coordinates cannot be 0 (1-based indexing)", {}};
        if (start > end) {
            return {
                FetchPlan::Kind::Refused,
                0,
                0,
                "start coordinate " + std::to_string(start) + " is greater than end coordinate " + std::to_string(end),
                {}};
        }
        return {FetchPlan::Kind::Extract, start, end, {}, {}};
    }
    plan.first = std::min(start, length);
    plan.last = std::min(end, length);
    if (plan.first == 0 || plan.last == 0) {
        plan.warnings.emplace_back("coordinates cannot be 0 (1-based indexing)");
        plan.kind = FetchPlan::Kind::Empty;
    } else if (plan.last < plan.first) {
        plan.warnings.push_back("start coordinate " + std::to_string(plan.first) + " is greater than end coordinate " +
                                std::to_string(plan.last));
        plan.kind = FetchPlan::Kind::Empty;
    } else {
        plan.kind = FetchPlan::Kind::Extract;
    }
    return plan;
}

Result<FetchPlan> Faidx::plan_worker(std::string_view name, const IndexEntry& entry, std::uint64_t start,
                                     std::uint64_t end) const {
    const std::uint64_t length = entry.rlen;
    if (options_.strict_bounds) {
        // The subtractions wrap on purpose: a 0 start or end is refused too.
        if (start > length || start - 1 >= end || end - 1 >= length)
            return FaidxError::region(name, start, end, length);
        return FetchPlan{FetchPlan::Kind::Extract, start, end, {}, {}};
    }
    // A region that begins past the record's end overlaps nothing of it.
    if (std::max<std::uint64_t>(start, 1) > length) return FetchPlan{FetchPlan::Kind::Empty, start, start, {}, {}};
    const std::uint64_t s = std::min(std::max<std::uint64_t>(start, 1), length);
    const std::uint64_t e = std::min(std::max<std::uint64_t>(end, 1), length);
    if (std::max<std::uint64_t>(end, 1) < s) return FetchPlan{FetchPlan::Kind::Empty, s, e, {}, {}};
    return FetchPlan{FetchPlan::Kind::Extract, s, e, {}, {}};
}

std::pair<std::int64_t, std::int64_t> Faidx::slice_cover(std::uint64_t record_length, std::int64_t s, std::int64_t e,
                                                         std::int64_t k) const {
    const auto length = static_cast<std::int64_t>(record_length);
    std::int64_t first;
    std::int64_t last;
    if (options_.strict_bounds) {
        first = s < 0 ? (k < 0 ? length : 1) : s + 1;
        last = e < 0 ? (k < 0 ? 1 : length) : e;
        if (k < 0 && last <= first) std::swap(first, last);
    } else {
        first = s < 0 ? (k < 0 ? length : 1) : std::max<std::int64_t>(1, std::min<std::int64_t>(length, s + 1));
        last = e < 0 ? (k < 0 ? 1 : length) : std::max<std::int64_t>(1, std::min<std::int64_t>(length, e));
        if (k < 0 && last < first) std::swap(first, last);
    }
    return {first, last};
}

}  // namespace kelpa::core
