// The batch stage of a local file that may not be in memory: what the
// regions read is learnt to be missing, read ahead in parallel into the
// page cache, merged where it lies close, while the workers extract the
// regions whose pages are there (io/local_pages.hpp).
#pragma once

#include <memory>
#include <vector>

#include "core/batch/batch.hpp"
#include "core/io/local_pages.hpp"

namespace kelpa::core {

// The stage for a batch on `pages`' file, in place of BatchExtraction.
//
// The first SAMPLE regions planned are probed (LocalPages::resident): when
// their pages are all in memory, the batch runs as BatchExtraction would,
// the workers close behind the planning. Otherwise every region is planned
// first; their byte windows are sorted and merged where they lie within
// LocalPages::MERGE_GAP of each other, into reads of at most LocalPages::PIECE (a
// window longer than that is a read of its own, in pieces); one residency
// call over them all tells which are in memory. Those regions go to the
// workers at once, the rest as their read completes, LocalPages::DEPTH reads
// in flight. Regions dense enough merge into one sweep of the file in order by
// themselves (20,000 regions of the benchmark's 400 Mbp read 97% of it);
// reading the gaps between sparser ones too measured slower at every
// density (docs/benchmarks.md), so nothing else sweeps.
std::unique_ptr<BatchReads> cold_reads(const Faidx& faidx, const LocalPages& pages, std::vector<BatchSlot>& slots,
                                       const SlotFinishing& finishing);

}  // namespace kelpa::core
