// When a batch of regions is full: how many regions the program plans,
// extracts and holds before it writes them.
//
// A batch ends at BATCH_REGIONS regions or BATCH_BASES bases. On a text
// that groups a batch's reads (core::groups_reads: a compressed file, whose
// batch inflates every block its regions touch), regions in no particular
// order touch blocks all over the file: small
// batches would inflate every block again and again. Such a batch goes on
// to SCATTERED_REGIONS / SCATTERED_BASES instead, planned in one piece as
// the module's fetch_many plans its list (the BGZF batch stage groups its
// regions by block), so that a block is inflated about once per batch.
// Regions in file order (a sorted BED file) touch each block in one batch
// anyway, and keep the small bounds. A batch's texts are held until it is
// written: the bounds are its memory, about as many bytes of text as bases,
// besides some 200 bytes per region.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"

namespace kelpa::cli {

inline constexpr std::size_t BATCH_REGIONS = 16384;
inline constexpr std::uint64_t BATCH_BASES = std::uint64_t{64} << 20;
inline constexpr std::size_t SCATTERED_REGIONS = std::size_t{1} << 19;
inline constexpr std::uint64_t SCATTERED_BASES = std::uint64_t{256} << 20;

class BatchBounds {
public:
    explicit BatchBounds(const core::Faidx& faidx) : grouped_(core::groups_reads(faidx)) {}

    // Counts a region of `bases` bases from base `start` of `entry`.
    void add(const core::IndexEntry& entry, std::uint64_t start, std::uint64_t bases) {
        // Records follow each other in the file as their offsets do, so
        // offset + start orders regions as the places where they start.
        const std::uint64_t place = entry.offset + start;
        descents_ += place < last_place_;
        last_place_ = place;
        ++regions_;
        if (__builtin_add_overflow(bases_, bases, &bases_)) bases_ = UINT64_MAX;
    }

    bool full() const {
        if (regions_ < BATCH_REGIONS && bases_ < BATCH_BASES) return false;
        // In file order, or nearly: fewer than one region in eight starts
        // before the one before it.
        if (!grouped_ || descents_ < regions_ / 8) return true;
        return regions_ >= SCATTERED_REGIONS || bases_ >= SCATTERED_BASES;
    }

    bool empty() const { return regions_ == 0; }
    std::uint64_t bases() const { return bases_; }

    void clear() { regions_ = descents_ = bases_ = last_place_ = 0; }

private:
    const bool grouped_;  // the text reads a batch's regions grouped by where they lie
    std::size_t regions_ = 0;
    std::size_t descents_ = 0;  // regions that start before the region before them
    std::uint64_t bases_ = 0;
    std::uint64_t last_place_ = 0;
};

}  // namespace kelpa::cli
