// The text of a BGZF file through blocks inflated ahead, for the readers
// that know which blocks they need: a long read's stream (bgzf_text.cpp)
// and a batch's group of regions (batch/bgzf_batch.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/bgzf/bgzf_text.hpp"
#include "core/bgzf/format.hpp"

namespace kelpa::core {

// A view of the text from byte `at` in `block`, whose text starts at text
// offset `start`: at most n bytes.
inline std::string_view block_view(std::string_view block, std::uint64_t start, std::uint64_t at, std::uint64_t n) {
    const std::uint64_t skip = at - start;
    if (skip >= block.size()) return {};
    return block.substr(static_cast<std::size_t>(skip),
                        static_cast<std::size_t>(std::min<std::uint64_t>(n, block.size() - skip)));
}

// The text of a BGZF file through blocks inflated ahead (Blocks::block(index)
// gives the text of block `index`, or nothing), and through the reader's
// cache for a block they do not hand out.
template <class Blocks>
class BlockText final : public TextSource {
public:
    BlockText(Blocks blocks, const BgzfText& text) : blocks_(std::move(blocks)), text_(text) {}

    std::uint64_t size() const override { return text_.size(); }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const override {
        if (at >= size()) return {};
        const BlockTable& table = text_.reader().table();
        const std::size_t index = table.block_of(at);
        Result<std::optional<std::string_view>> block = blocks_.block(index);
        if (!block) {
            scratch.error.emplace(block.take_error());
            return {};
        }
        if (*block) return block_view(**block, table[index].text, at, n);
        return text_.view(at, n, scratch);
    }

    // A stream moves only forwards (Blocks::FORWARD_ONLY): the single bytes
    // that the layout checks read before and after the copy, the record's
    // end among them, come from the reader's cache, so that a check ahead
    // of the copy never moves the stream past the blocks it is to hand out.
    int byte_at(std::uint64_t at, Scratch& scratch) const override {
        if constexpr (Blocks::FORWARD_ONLY) return text_.byte_at(at, scratch);
        return TextSource::byte_at(at, scratch);
    }

    bool shrunk() const override { return false; }

private:
    // const: a view does not change what it reads; a stream moves on as it
    // is read, which is its own business.
    mutable Blocks blocks_;
    const BgzfText& text_;
};

// One window of a batch's blocks.
struct HeldWindow {
    static constexpr bool FORWARD_ONLY = false;
    const BlockWindow* held;
    Result<std::optional<std::string_view>> block(std::size_t index) const {
        if (!held->contains(index)) return std::optional<std::string_view>();
        return std::optional<std::string_view>(held->text(index));
    }
};

}  // namespace kelpa::core
