#include "core/remote/http_bytes.hpp"

#include <algorithm>
#include <cstring>

namespace kelpa::core {

Result<std::unique_ptr<HttpBytes>> HttpBytes::open(const std::string& url, std::size_t head_size, std::string& head) {
    Result<RemoteLocation> located = locate(url);
    if (!located) return located.take_error();
    Exchange first{0, std::max<std::uint64_t>(head_size, 1)};
    Exchange* one[] = {&first};
    if (Status ran = run_exchanges(*located, nullptr, one); !ran) return ran.take_error();
    Pin pin{first.etag, first.last_modified, 0};
    if (first.status == 404 || first.status == 410) return FaidxError::fasta_not_found(url);
    if (first.status == 416 && first.total == 0) {  // nothing to read: an empty file
        head.clear();
    } else if (first.status == 206 && first.has_range && first.range_first == 0 && first.total) {
        pin.size = *first.total;
        head = std::move(first.body);
    } else {
        return answer_error(*located, first);
    }
    // A weak ETag never matches If-Match: the date pins such a file.
    if (pin.etag.rfind("W/", 0) == 0) pin.etag.clear();
    auto bytes = std::unique_ptr<HttpBytes>(new HttpBytes(std::move(located.value()), std::move(pin)));
    // The first block, which the open read anyway, starts the cache.
    const std::uint64_t first_block = std::min<std::uint64_t>(BLOCK, bytes->pin_.size);
    if (first_block > 0 && head.size() >= first_block)
        bytes->cache_.push_back(Cached{0, std::make_shared<const std::string>(head, 0, first_block), ++bytes->tick_});
    return bytes;
}

Status HttpBytes::judge(const Exchange& exchange) const {
    const long status = exchange.status;
    // Gone, replaced or of another size: not the version opened.
    if (status == 412 || status == 404 || status == 410 || (exchange.total && *exchange.total != pin_.size) ||
        (status == 206 && !pin_.etag.empty() && !exchange.etag.empty() && exchange.etag != pin_.etag))
        return changed_while_open_error(location_.url);
    if (status != 206 || exchange.overflow) return answer_error(location_, exchange);
    if (!exchange.has_range || exchange.range_first != exchange.begin || exchange.range_last + 1 != exchange.end ||
        exchange.received != exchange.end - exchange.begin) {
        return FaidxError::about(location_.url, location_.url + ": the server answered bytes " +
                                                    std::to_string(exchange.begin) + "-" +
                                                    std::to_string(exchange.end - 1) + " with other bytes");
    }
    return {};
}

Status HttpBytes::fetch(std::vector<Exchange>& exchanges) const {
    std::vector<Exchange*> pointers;
    pointers.reserve(exchanges.size());
    for (Exchange& exchange : exchanges) pointers.push_back(&exchange);
    if (Status ran = run_exchanges(location_, &pin_, pointers); !ran) return ran;
    for (const Exchange& exchange : exchanges) {
        if (Status fine = judge(exchange); !fine) return fine;
    }
    return {};
}

bool HttpBytes::from_holds(std::uint64_t offset, std::size_t n, char* out) const {
    std::vector<std::shared_ptr<const Held>> live;
    {
        std::lock_guard<ForkSafeMutex> hold(lock_);
        for (const std::weak_ptr<const Held>& weak : holds_) {
            if (std::shared_ptr<const Held> held = weak.lock()) live.push_back(std::move(held));
        }
    }
    for (const std::shared_ptr<const Held>& held : live) {
        const std::vector<Segment>& segments = held->segments;
        auto after = std::upper_bound(segments.begin(), segments.end(), offset,
                                      [](std::uint64_t at, const Segment& segment) { return at < segment.begin; });
        if (after == segments.begin()) continue;
        const Segment& segment = *(after - 1);
        if (offset + n > segment.begin + segment.bytes->size()) continue;
        if (out != nullptr) std::memcpy(out, segment.bytes->data() + (offset - segment.begin), n);
        return true;
    }
    return false;
}

Result<std::vector<std::shared_ptr<const std::string>>> HttpBytes::blocks(
    const std::vector<std::uint64_t>& wanted) const {
    std::vector<std::shared_ptr<const std::string>> found(wanted.size());
    std::vector<std::size_t> missing;
    {
        std::lock_guard<ForkSafeMutex> hold(lock_);
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            for (Cached& cached : cache_) {
                if (cached.block == wanted[i]) {
                    cached.used = ++tick_;
                    found[i] = cached.bytes;
                    break;
                }
            }
            if (!found[i]) missing.push_back(i);
        }
    }
    if (missing.empty()) return found;
    // One request per run of consecutive missing blocks, all at once.
    std::vector<Exchange> exchanges;
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // [first, last] in `missing`
    std::vector<std::string> buffers;
    for (std::size_t k = 0; k < missing.size();) {
        std::size_t end = k + 1;
        while (end < missing.size() && wanted[missing[end]] == wanted[missing[end - 1]] + 1) ++end;
        runs.emplace_back(k, end - 1);
        k = end;
    }
    buffers.resize(runs.size());
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::uint64_t begin = wanted[missing[runs[r].first]] * BLOCK;
        const std::uint64_t end = std::min(pin_.size, (wanted[missing[runs[r].second]] + 1) * BLOCK);
        buffers[r].resize(end - begin);
        exchanges.push_back(Exchange{begin, end, buffers[r].data()});
    }
    if (Status fetched = fetch(exchanges); !fetched) return fetched.take_error();
    std::lock_guard<ForkSafeMutex> hold(lock_);
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::uint64_t run_begin = exchanges[r].begin;
        for (std::size_t k = runs[r].first; k <= runs[r].second; ++k) {
            const std::size_t i = missing[k];
            const std::uint64_t begin = wanted[i] * BLOCK;
            const std::uint64_t end = std::min(pin_.size, begin + BLOCK);
            auto bytes = std::make_shared<const std::string>(buffers[r].data() + (begin - run_begin), end - begin);
            found[i] = bytes;
            Cached* slot = nullptr;
            if (cache_.size() < CACHE_BLOCKS) {
                slot = &cache_.emplace_back();
            } else {
                slot = &*std::min_element(cache_.begin(), cache_.end(),
                                          [](const Cached& a, const Cached& b) { return a.used < b.used; });
            }
            *slot = Cached{wanted[i], std::move(bytes), ++tick_};
        }
    }
    return found;
}

Result<std::string_view> HttpBytes::read(std::uint64_t offset, std::size_t n, char* scratch) const {
    if (offset >= pin_.size) return std::string_view();
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, pin_.size - offset));
    if (n == 0) return std::string_view();
    if (from_holds(offset, n, scratch)) return std::string_view(scratch, n);
    const std::uint64_t first = offset / BLOCK;
    const std::uint64_t last = (offset + n - 1) / BLOCK;
    if (last - first + 1 > CACHE_BLOCKS / 4) {  // large: around the cache, straight into scratch
        std::vector<Exchange> exchanges;
        for (std::uint64_t at = offset; at < offset + n; at += PIECE)
            exchanges.push_back(Exchange{at, std::min<std::uint64_t>(offset + n, at + PIECE), scratch + (at - offset)});
        if (Status fetched = fetch(exchanges); !fetched) return fetched.take_error();
        return std::string_view(scratch, n);
    }
    std::vector<std::uint64_t> wanted;
    for (std::uint64_t block = first; block <= last; ++block) wanted.push_back(block);
    Result<std::vector<std::shared_ptr<const std::string>>> got = blocks(wanted);
    if (!got) return got.take_error();
    std::size_t copied = 0;
    for (std::size_t i = 0; i < got->size(); ++i) {
        const std::string& bytes = *(*got)[i];
        const std::uint64_t begin = wanted[i] * BLOCK;
        const std::uint64_t from = std::max(offset, begin) - begin;
        const std::uint64_t to = std::min<std::uint64_t>(offset + n - begin, bytes.size());
        if (from >= to) continue;
        std::memcpy(scratch + copied, bytes.data() + from, to - from);
        copied += to - from;
    }
    return std::string_view(scratch, copied);
}

ReadHold HttpBytes::keep(std::shared_ptr<Held> held) const {
    std::lock_guard<ForkSafeMutex> hold(lock_);
    std::erase_if(holds_, [](const std::weak_ptr<const Held>& weak) { return weak.expired(); });
    holds_.push_back(held);
    return held;
}

Result<ReadHold> HttpBytes::hold(std::vector<ByteRange> ranges) const {
    // What a live hold has already is not fetched again.
    std::erase_if(ranges, [&](ByteRange& range) {
        range.end = std::min(range.end, pin_.size);
        return range.begin >= range.end ||
               from_holds(range.begin, static_cast<std::size_t>(range.end - range.begin), nullptr);
    });
    if (ranges.empty()) return ReadHold();
    const std::vector<ByteRange> merged = merge_ranges(std::move(ranges), MERGE_GAP);
    auto held = std::make_shared<Held>();
    // A few blocks (a single fetch and its checks): through the cache, so
    // that the reads around them find them later.
    std::vector<std::uint64_t> wanted;
    for (const ByteRange& range : merged) {
        for (std::uint64_t block = range.begin / BLOCK; block <= (range.end - 1) / BLOCK; ++block) {
            if (wanted.empty() || wanted.back() < block) wanted.push_back(block);
            if (wanted.size() > CACHE_BLOCKS / 4) break;
        }
    }
    if (wanted.size() <= CACHE_BLOCKS / 4) {
        Result<std::vector<std::shared_ptr<const std::string>>> got = blocks(wanted);
        if (!got) return got.take_error();
        for (std::size_t i = 0; i < wanted.size(); ++i) held->segments.push_back(Segment{wanted[i] * BLOCK, (*got)[i]});
        return keep(std::move(held));
    }
    // Many: exactly what was asked for, in requests of at most PIECE.
    std::vector<Exchange> exchanges;
    std::vector<std::shared_ptr<std::string>> buffers;
    for (const ByteRange& range : merged) {
        for (std::uint64_t at = range.begin; at < range.end; at += PIECE) {
            const std::uint64_t end = std::min(range.end, at + PIECE);
            buffers.push_back(std::make_shared<std::string>(end - at, '\0'));
            exchanges.push_back(Exchange{at, end, buffers.back()->data()});
        }
    }
    if (Status fetched = fetch(exchanges); !fetched) return fetched.take_error();
    held->segments.reserve(buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i)
        held->segments.push_back(Segment{exchanges[i].begin, std::move(buffers[i])});
    return keep(std::move(held));
}

}  // namespace kelpa::core
