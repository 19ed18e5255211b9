// The text of a FASTA file as extraction reads it.
//
// A TextSource is the open interface: one implementation per way of turning
// a file into text. The walker in faidx.cpp that drops line breaks, the
// layout check and the coordinate rules are written once over it and never
// learn which kind they read. Plain text over any raw source (RawText, here)
// and BGZF text over any raw source (bgzf_text.hpp) are two; the mapping of
// a local file (MappedText) is a third, which extraction also reads through
// its inline members, without a virtual call, so that a short fetch costs
// no more than the copy.
//
// What a source provides:
//
//   size()                  bytes of text
//   view(at, n, scratch)    a view of the text from byte `at` on: at most n
//                           bytes, at least one while at < size() and the
//                           file still holds them; empty with scratch.error
//                           set when reading failed
//   byte_at(at, scratch)    the byte at `at`, or -1 at or past the end (and
//                           on a read error, with scratch.error set)
//   prefetch(at, n)         a hint that [at, at + n) is read next
//   guarded(body)           runs body(), in which views are read; false when
//                           the file turned out to have lost pages since it
//                           was opened (body was cut short)
//   guarded_alone(body)     guarded(), but under a guard of its own even
//                           inside another: a lost page ends only body()
//   shrunk()                whether the file is shorter now than when it was
//                           opened (asked only once a read went wrong, to
//                           tell a truncated file from a wrong index)
//   long_read(begin, end)   a source set up for one read of [begin, end)
//                           that is long (BGZF: its blocks streamed, inflated
//                           ahead on the pool; a local file not in memory:
//                           its pages read ahead in order), or nullptr to
//                           read this one
//   gathers_reads()         whether each read costs a round trip (a remote
//                           file), so that reads are fetched together first
//   hold(ranges)            fetches the bytes of text `ranges` together and
//                           serves reads within them from memory while the
//                           hold lives (nothing for a local file)
//   local_pages()           a local file's pages, for a text whose bytes are
//                           the file's own (plain text): what a batch reads
//                           ahead when they are not in memory; else nullptr
//
// Only size(), view() and shrunk() must be given; the rest have defaults for
// a source read where it lies. How a batch plans its reads is not the
// source's business: a source whose batches are better grouped (blocks to
// inflate) gets a stage of its own in the batch room (batch/batch.hpp,
// BatchStage), which the open room hands to the Faidx with it.
//
// Views are valid until the next call with the same scratch. Sources are
// immutable after construction and safe to read from many threads, each
// with its own scratch.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/function_ref.hpp"
#include "core/io/fault_guard.hpp"
#include "core/io/local_pages.hpp"
#include "core/io/mapped_file.hpp"
#include "core/io/raw_source.hpp"

namespace kelpa::core {

// A body that guarded() runs, taken through the virtual interface without
// allocating.
using BodyRef = FunctionRef<void()>;

// Bytes of text from which a read is long: worth a source set up for it
// (TextSource::long_read).
inline constexpr std::uint64_t LONG_READ = std::uint64_t{1} << 20;

class TextSource {
public:
    // Per-extraction state: a read buffer, a block held, an error.
    struct Scratch {
        std::vector<char> buffer;
        std::shared_ptr<const void> held;  // what a view points into, kept alive
        std::uint64_t held_begin = 0;      // text offset of held's first byte
        std::uint64_t held_size = 0;
        std::optional<FaidxError> error;
    };

    virtual ~TextSource() = default;

    virtual std::uint64_t size() const = 0;
    virtual std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const = 0;
    virtual int byte_at(std::uint64_t at, Scratch& scratch) const {
        const std::string_view one = view(at, 1, scratch);
        return one.empty() ? -1 : static_cast<unsigned char>(one.front());
    }
    virtual void prefetch(std::uint64_t, std::uint64_t) const {}
    virtual bool guarded(BodyRef body) const {
        body();
        return true;
    }
    virtual bool guarded_alone(BodyRef body) const { return guarded(body); }
    virtual bool shrunk() const = 0;
    virtual std::unique_ptr<TextSource> long_read(std::uint64_t, std::uint64_t) const { return nullptr; }
    virtual bool gathers_reads() const { return false; }
    virtual Result<ReadHold> hold(std::vector<ByteRange>) const { return ReadHold(); }
    virtual const LocalPages* local_pages() const { return nullptr; }
};

// The whole file, mapped read-only. Its inline members are what extraction
// calls; the virtual ones serve callers that hold any TextSource.
class MappedText final : public TextSource {
public:
    // `status` is the mapped file's, from when it was mapped: the file is
    // looked up again by `path` (no descriptor is kept open) to learn
    // whether it has shrunk since, and opened again when a batch first
    // reads its pages ahead (local_pages()).
    MappedText(Mapping mapping, std::string path, const struct stat& status)
        : mapping_(std::move(mapping)),
          path_(std::move(path)),
          device_(status.st_dev),
          inode_(status.st_ino),
          pages_(mapping_.data(), mapping_.length(), path_, device_, inode_) {}

    std::uint64_t size() const override { return mapping_.length(); }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch&) const override { return view(at, n); }
    std::string_view view(std::uint64_t at, std::uint64_t n) const {
        if (at >= size()) return {};
        return {mapping_.data() + at, static_cast<std::size_t>(std::min(n, size() - at))};
    }

    int byte_at(std::uint64_t at, Scratch&) const override { return byte_at(at); }
    int byte_at(std::uint64_t at) const { return at < size() ? static_cast<unsigned char>(mapping_.data()[at]) : -1; }

    void prefetch(std::uint64_t at, std::uint64_t n) const override {
        if (at >= size()) return;
        const char* p = mapping_.data() + at;
        const std::uint64_t span = std::min<std::uint64_t>(std::min<std::uint64_t>(n, 2048), size() - at);
        for (std::uint64_t offset = 0; offset < span; offset += 64) __builtin_prefetch(p + offset);
        // GCC takes a prefetch for an instruction without effect, so finds a
        // function of nothing but prefetches pure and drops every call to it
        // that it does not inline: this says the function does something.
        asm volatile("");
    }

    // A batch guards a whole piece of its regions at once; an extraction
    // inside it needs no guard of its own.
    template <class Body>
    bool guard(Body&& body) const {
        if (core::guarded(mapping_.data(), mapping_.length())) {
            body();
            return true;
        }
        return guarded_read(mapping_.data(), mapping_.length(), body);
    }
    template <class Body>
    bool guard_alone(Body&& body) const {
        return guarded_read(mapping_.data(), mapping_.length(), body);
    }
    bool guarded(BodyRef body) const override { return guard(body); }
    bool guarded_alone(BodyRef body) const override { return guard_alone(body); }

    // A mapped page past a file's new end reads as zeros when the end lies
    // inside it, and faults beyond. A file renamed over the mapped one
    // leaves the mapping whole.
    bool shrunk() const override {
        struct stat status;
        return ::stat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_ &&
               static_cast<std::uint64_t>(status.st_size) < size();
    }

    const LocalPages* local_pages() const override { return &pages_; }
    // Not inside a batch's guard, where nothing may be started (the batch
    // reads its pages ahead by a plan of its own).
    std::unique_ptr<TextSource> long_read(std::uint64_t begin, std::uint64_t end) const override;

private:
    Mapping mapping_;
    std::string path_;
    dev_t device_;
    ino_t inode_;
    LocalPages pages_;  // through mapping_
};

// The file's bytes as they are, read through a raw source into the
// scratch's buffer: a local file read with pread (mutable files, or when
// mapping failed), or any other raw source.
class RawText final : public TextSource {
public:
    explicit RawText(std::unique_ptr<RawSource> raw) : raw_(std::move(raw)) {}

    std::uint64_t size() const override { return raw_->size(); }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const override {
        // A block of the request's size, between 4 KiB and 1 MiB.
        constexpr std::uint64_t smallest = 4096;
        constexpr std::uint64_t largest = std::uint64_t{1} << 20;
        if (scratch.buffer.empty()) scratch.buffer.resize(std::clamp(n, smallest, largest));
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(n, scratch.buffer.size()));
        Result<std::string_view> got = raw_->read(at, want, scratch.buffer.data());
        if (!got) {
            scratch.error.emplace(got.take_error());
            return {};
        }
        return *got;
    }

    int byte_at(std::uint64_t at, Scratch& scratch) const override {
        char byte;
        Result<std::string_view> got = raw_->read(at, 1, &byte);
        if (!got) {
            if (!scratch.error) scratch.error.emplace(got.take_error());
            return -1;
        }
        return got->empty() ? -1 : static_cast<unsigned char>(byte);
    }

    bool shrunk() const override { return raw_->shrunk(); }
    bool gathers_reads() const override { return raw_->gathers_reads(); }
    Result<ReadHold> hold(std::vector<ByteRange> ranges) const override { return raw_->hold(std::move(ranges)); }
    const LocalPages* local_pages() const override { return raw_->local_pages(); }
    std::unique_ptr<TextSource> long_read(std::uint64_t begin, std::uint64_t end) const override;

private:
    std::unique_ptr<RawSource> raw_;
};

// One long read of a local file whose pages are not all in memory, through
// `text`: the pages of [begin, end) read ahead in order while the returned
// source lives (LocalPages::read_ahead_in_order). nullptr when the read is
// short, its pages are in memory or nothing can be read ahead.
std::unique_ptr<TextSource> read_ahead_in_order(const TextSource& text, const LocalPages& pages, std::uint64_t begin,
                                                std::uint64_t end);

}  // namespace kelpa::core
