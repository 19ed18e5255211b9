// The batch stage of a BGZF file: a batch's regions grouped by the blocks
// they touch, each group's blocks inflated once on a worker and its regions
// copied out while the text is still in the worker's cache.
#pragma once

#include <memory>

#include "core/batch/batch.hpp"
#include "core/bgzf/bgzf_text.hpp"

namespace kelpa::core {

// The stage for batches on `text`, which must outlive it (the Faidx holds
// both).
std::shared_ptr<const BatchStage> bgzf_batch_stage(const BgzfText& text);

}  // namespace kelpa::core
