// The text of a BGZF-compressed file (bgzf/format.hpp) as a text source
// (io/text_source.hpp): its blocks, inflated, read through any raw source.
//
// Inflated blocks come from the reader's small shared cache; a scratch holds
// on to the block it reads, so a walk over one block inflates it once. A
// long read streams its blocks, inflated ahead on the worker pool
// (long_read); a batch groups its regions by the blocks they touch and
// inflates each group once on a worker (batch/bgzf_batch.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/bgzf/format.hpp"
#include "core/io/text_source.hpp"

namespace kelpa::core {

class BgzfText final : public TextSource {
public:
    // The compressed file is read through `raw`, which this keeps.
    BgzfText(std::unique_ptr<RawSource> raw, BlockTable table)
        : raw_(std::move(raw)),
          reader_(std::make_unique<BgzfReader>(CompressedFile{nullptr, raw_.get(), raw_->size(), raw_->name()},
                                               std::move(table))) {}

    std::uint64_t size() const override { return reader_->text_size(); }
    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const override;
    // A compressed file that shrank fails its block reads instead.
    bool shrunk() const override { return false; }
    std::unique_ptr<TextSource> long_read(std::uint64_t begin, std::uint64_t end) const override;
    bool gathers_reads() const override { return raw_->gathers_reads(); }
    // The compressed bytes of the blocks that hold the text ranges.
    Result<ReadHold> hold(std::vector<ByteRange> ranges) const override;

    const BgzfReader& reader() const { return *reader_; }

private:
    std::unique_ptr<RawSource> raw_;  // declared first: outlives the reader that reads through it
    std::unique_ptr<BgzfReader> reader_;
};

}  // namespace kelpa::core
