// A file read over HTTP(S), S3 or GCS (http.hpp) as a raw source.
//
// Pinned at open: the version the first request saw (its ETag, or its
// Last-Modified date and size) is asked for by every later request
// (If-Match / If-Unmodified-Since), and an answer of another version is
// "changed while open", never mixed in.
//
// A read is one bounded request, rounded out to whole blocks of BLOCK bytes
// that a small cache keeps (CACHE_BLOCKS, least recently used out), so that
// neighbouring reads cost nothing; a read larger than a quarter of the
// cache goes around it, in requests of at most PIECE bytes fetched
// together. hold() fetches many ranges together, ahead: a few blocks go
// through the cache; more are merged where their gaps are small
// (MERGE_GAP), cut into requests of at most PIECE, fetched
// REQUESTS_IN_FLIGHT at a time, and kept until the hold is let go. Reads
// within a live hold are served from it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/fork_safety.hpp"
#include "core/io/raw_source.hpp"
#include "core/remote/http.hpp"

namespace kelpa::core {

class HttpBytes final : public RawSource {
public:
    static constexpr std::uint64_t BLOCK = 64 * 1024;
    static constexpr std::size_t CACHE_BLOCKS = 32;
    static constexpr std::uint64_t PIECE = std::uint64_t{4} << 20;
    static constexpr std::uint64_t MERGE_GAP = 2048;

    // Opens `url` (404: FastaNotFound naming it), pins its version and
    // reads its first bytes, at most `head_size`, into `head`. A 416 is an
    // empty file only when it gives the size 0 (answer_error otherwise).
    static Result<std::unique_ptr<HttpBytes>> open(const std::string& url, std::size_t head_size, std::string& head);

    std::uint64_t size() const override { return pin_.size; }
    Result<std::string_view> read(std::uint64_t offset, std::size_t n, char* scratch) const override;
    // A remote file that changes answers 412 (changed while open) instead.
    bool shrunk() const override { return false; }
    const std::string& name() const override { return location_.url; }
    bool gathers_reads() const override { return true; }
    Result<ReadHold> hold(std::vector<ByteRange> ranges) const override;

private:
    struct Segment {
        std::uint64_t begin;
        std::shared_ptr<const std::string> bytes;
    };
    struct Held {
        std::vector<Segment> segments;  // rising, apart
    };
    struct Cached {
        std::uint64_t block;
        std::shared_ptr<const std::string> bytes;
        std::uint64_t used;
    };

    HttpBytes(RemoteLocation location, Pin pin) : location_(std::move(location)), pin_(std::move(pin)) {}

    // Runs the exchanges and checks every answer is the pinned version's
    // bytes asked for.
    Status fetch(std::vector<Exchange>& exchanges) const;
    Status judge(const Exchange& exchange) const;
    // Copies [offset, offset + n) into `out` from a live hold, if one has it all.
    bool from_holds(std::uint64_t offset, std::size_t n, char* out) const;
    // Blocks [first, last] through the cache, the missing ones fetched
    // together; nullptr entries never (an error instead).
    Result<std::vector<std::shared_ptr<const std::string>>> blocks(const std::vector<std::uint64_t>& wanted) const;
    ReadHold keep(std::shared_ptr<Held> held) const;

    RemoteLocation location_;
    Pin pin_;
    mutable ForkSafeMutex lock_;  // over the cache and the list of holds
    mutable std::vector<Cached> cache_;
    mutable std::uint64_t tick_ = 0;
    mutable std::vector<std::weak_ptr<const Held>> holds_;
};

}  // namespace kelpa::core
