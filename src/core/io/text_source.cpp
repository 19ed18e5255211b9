#include "core/io/text_source.hpp"

namespace kelpa::core {

namespace {

// One long read of a file whose reads cost a round trip each: its bytes
// fetched a window at a time, each window's requests all at once (hold()).
class WindowedText final : public TextSource {
public:
    static constexpr std::uint64_t WINDOW = std::uint64_t{64} << 20;

    WindowedText(const RawText& text, std::uint64_t end) : text_(text), end_(end) {}

    std::uint64_t size() const override { return text_.size(); }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const override {
        if (at < begin_ || at >= held_end_) {
            // The layout check reads a little past the read's end.
            const std::uint64_t end = std::max(std::min(at + WINDOW, end_ + 4096), at + 1);
            Result<ReadHold> held = text_.hold({ByteRange{at, end}});
            if (!held) {
                scratch.error.emplace(held.take_error());
                return {};
            }
            hold_ = std::move(held.value());
            begin_ = at;
            held_end_ = end;
        }
        return text_.view(at, std::min(n, held_end_ - at), scratch);
    }

    int byte_at(std::uint64_t at, Scratch& scratch) const override { return text_.byte_at(at, scratch); }
    bool shrunk() const override { return text_.shrunk(); }

private:
    const RawText& text_;
    std::uint64_t end_;
    // For one thread, as a long read is: the window moves on as it is read.
    mutable ReadHold hold_;
    mutable std::uint64_t begin_ = 0;
    mutable std::uint64_t held_end_ = 0;
};

// Another source's text, read while its pages are read ahead in order.
class ReadAheadText final : public TextSource {
public:
    ReadAheadText(const TextSource& text, std::unique_ptr<ReadingAhead> reading)
        : text_(text),
          reading_(std::move(reading)) {}

    std::uint64_t size() const override { return text_.size(); }
    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const override {
        return text_.view(at, n, scratch);
    }
    int byte_at(std::uint64_t at, Scratch& scratch) const override { return text_.byte_at(at, scratch); }
    bool guarded(BodyRef body) const override { return text_.guarded(body); }
    bool guarded_alone(BodyRef body) const override { return text_.guarded_alone(body); }
    bool shrunk() const override { return text_.shrunk(); }

private:
    const TextSource& text_;
    std::unique_ptr<ReadingAhead> reading_;
};

}  // namespace

std::unique_ptr<TextSource> read_ahead_in_order(const TextSource& text, const LocalPages& pages, std::uint64_t begin,
                                                std::uint64_t end) {
    if (end - begin < LONG_READ) return nullptr;
    std::unique_ptr<ReadingAhead> reading = pages.read_ahead_in_order(ByteRange{begin, end});
    if (!reading) return nullptr;
    return std::make_unique<ReadAheadText>(text, std::move(reading));
}

std::unique_ptr<TextSource> MappedText::long_read(std::uint64_t begin, std::uint64_t end) const {
    if (core::guarded(mapping_.data(), mapping_.length())) return nullptr;
    return read_ahead_in_order(*this, pages_, begin, end);
}

std::unique_ptr<TextSource> RawText::long_read(std::uint64_t begin, std::uint64_t end) const {
    if (end - begin < LONG_READ) return nullptr;
    if (raw_->gathers_reads()) return std::make_unique<WindowedText>(*this, end);
    if (const LocalPages* pages = raw_->local_pages()) return read_ahead_in_order(*this, *pages, begin, end);
    return nullptr;
}

}  // namespace kelpa::core
