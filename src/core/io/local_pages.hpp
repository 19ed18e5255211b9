// A local file's pages: which of a batch's byte ranges are in memory, and
// reading the missing ones into the page cache ahead of the batch.
//
// A batch on a file that is not in memory (a reference genome on a network
// filesystem, never read by this node) would otherwise take one page fault
// at a time per worker, a round trip each. Read ahead, many reads in flight
// and merged where they lie close, it costs about what reading its bytes in
// parallel costs. The pages land in the page cache, not in the process's
// own memory: each reading thread reuses one buffer of at most PIECE bytes.
//
// How residency is learnt: mincore over the file's mapping answers truly
// only when this process could open the file for writing (Linux reports
// every page of any other file resident), so it is asked only then. Other
// files, and files read with pread, are probed with preadv2(RWF_NOWAIT),
// which reads only what is in memory; where the filesystem refuses it (FUSE,
// some network filesystems), what this process has read ahead before counts
// as in memory and the rest is read ahead (what was in memory anyway then
// costs a copy, no round trip).
//
// The environment variable KELPA_READ_AHEAD, read once per process: "off"
// reads nothing ahead (every batch and long read reads where it lies, page by page);
// "pread" ignores mincore, as for a file this process cannot write. Any
// other value changes nothing.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/io/raw_source.hpp"

namespace kelpa::core {

enum class ReadAheadMode : std::uint8_t { Off, Pread, Best };

class ReadingAhead;

// KELPA_READ_AHEAD, as above.
ReadAheadMode read_ahead_mode();

// The pages of one local file, through a descriptor (and its mapping, if
// any) that outlive this: the file source's own, or one opened on first
// need (a mapped file keeps no descriptor until a batch or a long read
// asks), after which it stays open.
class LocalPages {
public:
    // Through `fd`, a descriptor of a file read with pread.
    LocalPages(int fd, std::uint64_t size) : fd_(fd), size_(size), marks_(words(size)) {}
    // Through `mapped`, the whole mapping of the file at `path` (device and
    // inode as mapped); a descriptor is opened when first needed.
    LocalPages(const char* mapped, std::uint64_t size, std::string path, dev_t device, ino_t inode)
        : mapped_(mapped),
          size_(size),
          path_(std::move(path)),
          device_(device),
          inode_(inode),
          marks_(words(size)) {}
    ~LocalPages();
    LocalPages(const LocalPages&) = delete;
    LocalPages& operator=(const LocalPages&) = delete;

    // Whether each of `ranges` (sorted, within the file) lies wholly in
    // memory: one mincore call over their span when that answers truly (a
    // mapping of a file this process could write); else a
    // preadv2(RWF_NOWAIT) of each range's first and last byte, where the
    // filesystem supports it; else whether this process has read all of
    // the range ahead before (pages the kernel may since have dropped).
    std::vector<bool> resident(std::span<const ByteRange> ranges) const;

    // Reads `ranges` into the page cache, up to DEPTH reads in flight,
    // each of at most PIECE bytes (a range is cut to pieces). Calls
    // done(k) on the reading thread as range k has been read (or failed: a
    // read error is left for the extraction to meet and report), in no
    // particular order; done must be safe to call from many threads at
    // once. Returns when every range is done. With no thread to spare
    // (none can be started) or no descriptor, reads nothing and calls done
    // for each.
    template <class Done>
    void read_ahead(std::span<const ByteRange> ranges, Done&& done) const {
        read_ahead_through(ranges, [](void* d, std::size_t k) { (*static_cast<Done*>(d))(k); }, &done);
    }

    // Starts reading `range` into the page cache in order, on threads of
    // its own, for a reader that follows behind (one long extraction): the
    // pieces of it not in memory, first to last, up to DEPTH in flight.
    // Nothing (nullptr) when every piece is in memory, when reading ahead
    // is off, or when no thread can be started. What is read lands in the
    // page cache, where the reader's own reads then find it; a reader that
    // overtakes the reads waits for the page, or reads it itself.
    std::unique_ptr<ReadingAhead> read_ahead_in_order(ByteRange range) const;

    static constexpr std::uint64_t PIECE = std::uint64_t{256} << 10;
    // Reads in flight when reading ahead, and the gap under which a batch
    // reads two byte ranges as one (reading wider gaps measured slower).
    static constexpr std::size_t DEPTH = 64;
    static constexpr std::uint64_t MERGE_GAP = std::uint64_t{64} << 10;

    std::uint64_t size() const { return size_; }

private:
    friend class ReadingAhead;
    // The descriptor, opened on first use for a mapped file (-1 when the
    // path no longer names the mapped file); whether mincore answers truly.
    int fd() const;
    void read_ahead_through(std::span<const ByteRange> ranges, void (*call)(void*, std::size_t), void* done) const;

    static std::unique_ptr<std::atomic<std::uint64_t>[]> words(std::uint64_t size) {
        return std::make_unique<std::atomic<std::uint64_t>[]>(size / PAGE / 64 + 1);
    }
    static constexpr std::uint64_t PAGE = 4096;
    void mark(std::uint64_t begin, std::uint64_t end) const;  // [begin, end) was read ahead
    bool marked(std::uint64_t begin, std::uint64_t end) const;
    // Reads [begin, end) through `buffer` (PIECE bytes, or null: nothing
    // read), then marks it read ahead. A read error is left for the
    // reader to meet and report.
    void read_piece(char* buffer, std::uint64_t begin, std::uint64_t end) const;

    mutable std::mutex lock_;
    mutable int fd_ = -1;
    mutable bool opened_ = false;  // for a mapped file: fd_ tried
    mutable bool mincore_ = false;
    const char* mapped_ = nullptr;
    std::uint64_t size_;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    mutable std::atomic<bool> nowait_refused_{false};
    // A bit per 4 KiB the process has read ahead.
    std::unique_ptr<std::atomic<std::uint64_t>[]> marks_;
};

// The reads of LocalPages::read_ahead_in_order, for as long as this lives:
// destroying it lets the reads not begun go and waits for those in flight.
class ReadingAhead {
public:
    ReadingAhead(const LocalPages& pages, std::vector<ByteRange> pieces) : pages_(pages), pieces_(std::move(pieces)) {}
    ~ReadingAhead();
    ReadingAhead(const ReadingAhead&) = delete;
    ReadingAhead& operator=(const ReadingAhead&) = delete;

    // Starts up to DEPTH threads; false when none could be started.
    bool start();

private:
    void read();

    const LocalPages& pages_;
    const std::vector<ByteRange> pieces_;  // in file order
    std::atomic<std::size_t> next_{0};
    std::vector<std::thread> threads_;
};

}  // namespace kelpa::core
