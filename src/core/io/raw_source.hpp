// The bytes of a file, wherever they are kept: the lowest layer of reading.
//
// A raw source hands out byte ranges of one file, as it was when it was
// opened. The text of a FASTA file is read through it (io/text_source.hpp:
// plainly, or inflated when the file is BGZF-compressed), so a new place to
// keep files (another protocol, another store) is one new RawSource and one
// line where sources are chosen; nothing above it changes.
//
// Implementations are immutable after construction and safe to read from
// many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/io/mapped_file.hpp"

namespace kelpa::core {

// Bytes [begin, end) of a file.
struct ByteRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// Keeps bytes fetched ahead (RawSource::hold) for as long as it lives.
using ReadHold = std::shared_ptr<const void>;

// `ranges` sorted by their start and merged where the gap between two is at
// most `gap` bytes (overlapping ones always): what a batch's reads of a
// remote file fetch together (HttpBytes::hold). A batch on a local file
// merges the same way, keeping each read's regions (batch/cold_reads.hpp).
std::vector<ByteRange> merge_ranges(std::vector<ByteRange> ranges, std::uint64_t gap);

class LocalPages;

class RawSource {
public:
    virtual ~RawSource() = default;

    // The file's size when it was opened.
    virtual std::uint64_t size() const = 0;

    // Bytes [offset, offset + n) of the file, cut at size(), read into
    // `scratch` (room for n bytes). Fewer bytes than that only when the file
    // has shrunk since it was opened; an IO error (naming the file) when a
    // read fails.
    virtual Result<std::string_view> read(std::uint64_t offset, std::size_t n, char* scratch) const = 0;

    // Whether the file is now shorter than size(). Asked only once a read
    // went wrong, to tell a truncated file from other faults.
    virtual bool shrunk() const = 0;

    // The path or address, for messages.
    virtual const std::string& name() const = 0;

    // Whether each read costs a round trip to another machine, so that
    // reads are better fetched together, ahead (hold()).
    virtual bool gathers_reads() const { return false; }

    // Fetches the bytes of `ranges` (in any order, overlapping or not)
    // together, and serves reads that lie within them from memory for as
    // long as the returned hold lives. Nothing (and no hold) for a source
    // whose reads cost no round trip.
    virtual Result<ReadHold> hold(std::vector<ByteRange> ranges) const {
        (void)ranges;
        return ReadHold();
    }

    // A local file's pages (io/local_pages.hpp), which a batch reads ahead
    // when they are not in memory; nullptr for other sources.
    virtual const LocalPages* local_pages() const { return nullptr; }
};

// A local file read with positioned reads (no shared file offset), so that
// any number of threads read through the one descriptor at once.
class FileBytes final : public RawSource {
public:
    FileBytes(UniqueFd fd, std::uint64_t size, std::string name);
    ~FileBytes() override;

    std::uint64_t size() const override { return size_; }
    Result<std::string_view> read(std::uint64_t offset, std::size_t n, char* scratch) const override;
    bool shrunk() const override;
    const std::string& name() const override { return name_; }
    const LocalPages* local_pages() const override { return pages_.get(); }

private:
    UniqueFd fd_;
    std::uint64_t size_;
    std::string name_;
    std::unique_ptr<const LocalPages> pages_;  // through fd_
};

}  // namespace kelpa::core
