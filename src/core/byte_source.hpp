// The bytes of a FASTA file as extraction reads them.
//
// One small interface with one implementation per way of reading a file; the
// walker in faidx.cpp that drops line breaks, the layout check and the
// coordinate rules are written once over it and never learn which kind they
// read. Each kind provides:
//
//   Scratch                 per-extraction state (a read buffer, an error)
//   size()                  bytes of text
//   view(at, n, scratch)    a view of the text from byte `at` on: at most n
//                           bytes, at least one while at < size(); empty
//                           with scratch.error set when reading failed
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
//
// Views are valid until the next call with the same scratch. Implementations
// are immutable after construction and safe to read from many threads, each
// with its own scratch.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bgzf.hpp"
#include "error.hpp"
#include "fault_guard.hpp"
#include "mapped_file.hpp"

namespace kelpa::core {

// Whether the file behind `fd` is now shorter than `size` bytes. A file
// that cannot be examined is taken as it was.
inline bool file_shorter_than(const UniqueFd& fd, std::uint64_t size) {
    struct stat status;
    return fd.valid() && ::fstat(fd.get(), &status) == 0 && static_cast<std::uint64_t>(status.st_size) < size;
}

// What the kinds that map nothing share: nothing to prefetch, and no page
// that can vanish under a read.
struct UnmappedText {
    void prefetch(std::uint64_t, std::uint64_t) const {}

    template <class Body>
    bool guarded(Body&& body) const {
        body();
        return true;
    }
    template <class Body>
    bool guarded_alone(Body&& body) const {
        body();
        return true;
    }
};

// byte_at() for a kind whose views are cheap: a view of one byte.
template <class Text>
int byte_through_view(const Text& text, std::uint64_t at, typename Text::Scratch& scratch) {
    const std::string_view one = text.view(at, 1, scratch);
    return one.empty() ? -1 : static_cast<unsigned char>(one.front());
}

// The whole file, mapped read-only.
class MappedText {
public:
    struct Scratch {
        std::optional<FaidxError> error;  // never set: a mapping cannot fail to read
    };

    // `status` is the mapped file's, from when it was mapped: the file is
    // looked up again by `path` (no descriptor is kept open) to learn
    // whether it has shrunk since.
    MappedText(Mapping mapping, std::string path, const struct stat& status)
        : mapping_(std::move(mapping)), path_(std::move(path)), device_(status.st_dev), inode_(status.st_ino) {}

    std::uint64_t size() const { return mapping_.length(); }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch&) const {
        if (at >= size()) return {};
        return {mapping_.data() + at, static_cast<std::size_t>(std::min(n, size() - at))};
    }

    int byte_at(std::uint64_t at, Scratch&) const {
        return at < size() ? static_cast<unsigned char>(mapping_.data()[at]) : -1;
    }

    void prefetch(std::uint64_t at, std::uint64_t n) const {
        if (at >= size()) return;
        const char* p = mapping_.data() + at;
        const std::uint64_t span = std::min<std::uint64_t>(std::min<std::uint64_t>(n, 2048), size() - at);
        for (std::uint64_t offset = 0; offset < span; offset += 64) __builtin_prefetch(p + offset);
    }

    // A batch guards a whole piece of its regions at once; an extraction
    // inside it needs no guard of its own.
    template <class Body>
    bool guarded(Body&& body) const {
        if (core::guarded(mapping_.data(), mapping_.length())) {
            body();
            return true;
        }
        return guarded_read(mapping_.data(), mapping_.length(), body);
    }

    template <class Body>
    bool guarded_alone(Body&& body) const {
        return guarded_read(mapping_.data(), mapping_.length(), body);
    }

    // A mapped page past a file's new end reads as zeros when the end lies
    // inside it, and faults beyond. A file renamed over the mapped one
    // leaves the mapping whole.
    bool shrunk() const {
        struct stat status;
        return ::stat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_ &&
               static_cast<std::uint64_t>(status.st_size) < size();
    }

private:
    Mapping mapping_;
    std::string path_;
    dev_t device_;
    ino_t inode_;
};

// An open file, read with positioned reads (no shared file offset), so that
// any number of threads can read through the one descriptor at once.
class FileText : public UnmappedText {
public:
    struct Scratch {
        std::vector<char> buffer;
        std::optional<FaidxError> error;
    };

    // `size` is the file's size when it was opened; reads past it find
    // nothing, and a read that finds the file ending before it has found a
    // file that shrank.
    FileText(UniqueFd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}

    std::uint64_t size() const { return size_; }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const {
        // A block of the request's size, between 4 KiB and 1 MiB.
        constexpr std::uint64_t smallest = 4096;
        constexpr std::uint64_t largest = std::uint64_t{1} << 20;
        if (scratch.buffer.empty()) scratch.buffer.resize(std::clamp(n, smallest, largest));
        if (at > static_cast<std::uint64_t>(INT64_MAX)) return {};
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, scratch.buffer.size()));
        for (;;) {
            const ssize_t got = ::pread(fd_.get(), scratch.buffer.data(), want, static_cast<off_t>(at));
            if (got >= 0) return {scratch.buffer.data(), static_cast<std::size_t>(got)};
            if (errno != EINTR) {
                scratch.error.emplace(FaidxError::os(errno));
                return {};
            }
        }
    }

    int byte_at(std::uint64_t at, Scratch& scratch) const {
        if (at > static_cast<std::uint64_t>(INT64_MAX)) return -1;
        unsigned char byte;
        for (;;) {
            const ssize_t got = ::pread(fd_.get(), &byte, 1, static_cast<off_t>(at));
            if (got == 1) return byte;
            if (got == 0) return -1;
            if (errno != EINTR) {
                if (!scratch.error) scratch.error.emplace(FaidxError::os(errno));
                return -1;
            }
        }
    }

    bool shrunk() const { return file_shorter_than(fd_, size_); }

private:
    UniqueFd fd_;
    std::uint64_t size_;
};

// A BGZF-compressed file (bgzf.hpp): the text is its blocks, inflated. The
// compressed bytes are read with pread, not mapped: a compressed file that
// shrinks under a reader then only comes up short (an IOError naming the
// block), and nothing can fault inside the inflater. Inflated blocks come
// from the reader's small shared cache; a scratch holds on to the block it
// reads, so a walk over one block inflates it once.
class BgzfText : public UnmappedText {
public:
    struct Scratch {
        std::shared_ptr<const InflatedBlock> block;
        std::optional<FaidxError> error;
    };

    // `file` reads through `fd`, which this keeps open.
    BgzfText(UniqueFd fd, CompressedFile file, BlockTable table)
        : fd_(std::move(fd)), reader_(std::make_unique<BgzfReader>(std::move(file), std::move(table))) {}

    std::uint64_t size() const { return reader_->text_size(); }

    std::string_view view(std::uint64_t at, std::uint64_t n, Scratch& scratch) const {
        if (at >= size()) return {};
        const BlockTable& table = reader_->table();
        if (!scratch.block || at < table[scratch.block->index].text ||
            at >= table[scratch.block->index].text + scratch.block->size) {
            Result<std::shared_ptr<const InflatedBlock>> block = reader_->block(table.block_of(at));
            if (!block) {
                scratch.error.emplace(block.take_error());
                return {};
            }
            scratch.block = std::move(block.value());
        }
        const std::uint64_t skip = at - table[scratch.block->index].text;
        if (skip >= scratch.block->size) return {};
        return {scratch.block->text.get() + skip, static_cast<std::size_t>(std::min(n, scratch.block->size - skip))};
    }

    int byte_at(std::uint64_t at, Scratch& scratch) const { return byte_through_view(*this, at, scratch); }

    // A compressed file that shrank fails its block reads instead.
    bool shrunk() const { return false; }

    const BgzfReader& reader() const { return *reader_; }

private:
    UniqueFd fd_;  // declared first: outlives the reader that reads through it
    std::unique_ptr<BgzfReader> reader_;
};

}  // namespace kelpa::core
