#include "core/io/local_pages.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>

namespace kelpa::core {

ReadAheadMode read_ahead_mode() {
    static const ReadAheadMode mode = [] {
        const char* value = std::getenv("KELPA_READ_AHEAD");
        const std::string_view text = value != nullptr ? value : "";
        if (text == "off") return ReadAheadMode::Off;
        if (text == "pread") return ReadAheadMode::Pread;
        return ReadAheadMode::Best;
    }();
    return mode;
}

LocalPages::~LocalPages() {
    if (mapped_ != nullptr && fd_ >= 0) ::close(fd_);
}

int LocalPages::fd() const {
    std::lock_guard<std::mutex> hold(lock_);
    if (mapped_ == nullptr || opened_) return fd_;
    opened_ = true;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat status;
    if (fd < 0) return -1;
    if (::fstat(fd, &status) != 0 || status.st_dev != device_ || status.st_ino != inode_) {
        ::close(fd);  // another file by that name now: nothing is read ahead
        return -1;
    }
    fd_ = fd;
    // mincore tells the truth to whoever could open the file for writing:
    // its owner, or one allowed to write it.
    mincore_ = status.st_uid == ::geteuid() || ::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) == 0;
    return fd_;
}

namespace {

// Whether the byte at `at` is in memory: a read that never waits for the
// disk. nullopt when the filesystem cannot tell.
std::optional<bool> byte_resident(int fd, std::uint64_t at) {
#if defined(RWF_NOWAIT)
    char byte;
    iovec vector{&byte, 1};
    while (true) {
        const ssize_t got = ::preadv2(fd, &vector, 1, static_cast<off_t>(at), RWF_NOWAIT);
        if (got >= 0) return true;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return false;
        return std::nullopt;  // EOPNOTSUPP (FUSE, some network filesystems), or an old kernel
    }
#else
    (void)fd;
    (void)at;
    return std::nullopt;
#endif
}

}  // namespace

void LocalPages::mark(std::uint64_t begin, std::uint64_t end) const {
    for (std::uint64_t page = begin / PAGE; page < (end + PAGE - 1) / PAGE; ++page)
        marks_[page / 64].fetch_or(std::uint64_t{1} << (page % 64), std::memory_order_relaxed);
}

bool LocalPages::marked(std::uint64_t begin, std::uint64_t end) const {
    for (std::uint64_t page = begin / PAGE; page < (end + PAGE - 1) / PAGE; ++page) {
        if ((marks_[page / 64].load(std::memory_order_relaxed) >> (page % 64) & 1) == 0) return false;
    }
    return true;
}

std::vector<bool> LocalPages::resident(std::span<const ByteRange> ranges) const {
    std::vector<bool> found(ranges.size(), true);
    if (ranges.empty()) return found;
    const int fd = this->fd();
    if (fd < 0) return std::vector<bool>(ranges.size(), false);
    if (mapped_ != nullptr && mincore_ && read_ahead_mode() == ReadAheadMode::Best) {
        const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const std::uint64_t first = ranges.front().begin / page * page;
        std::uint64_t end = 0;
        for (const ByteRange& range : ranges) end = std::max(end, range.end);
        std::vector<unsigned char> pages((end - first + page - 1) / page);
        if (::mincore(const_cast<char*>(mapped_) + first, end - first, pages.data()) == 0) {
            for (std::size_t k = 0; k < ranges.size(); ++k) {
                for (std::uint64_t p = (ranges[k].begin - first) / page; p <= (ranges[k].end - 1 - first) / page; ++p) {
                    if ((pages[p] & 1) == 0) {
                        found[k] = false;
                        break;
                    }
                }
            }
            return found;
        }
    }
    for (std::size_t k = 0; k < ranges.size() && !nowait_refused_.load(std::memory_order_relaxed); ++k) {
        for (const std::uint64_t at : {ranges[k].begin, ranges[k].end - 1}) {
            const std::optional<bool> here = byte_resident(fd, at);
            if (!here) {
                nowait_refused_.store(true, std::memory_order_relaxed);
                break;
            }
            if (!*here) found[k] = false;
        }
    }
    if (!nowait_refused_.load(std::memory_order_relaxed)) return found;
    for (std::size_t k = 0; k < ranges.size(); ++k) found[k] = marked(ranges[k].begin, ranges[k].end);
    return found;
}

namespace {

// Starts up to `count` threads running `read` into `threads`: fewer at a
// thread limit, none when none can be started.
template <class Read>
void start_readers(std::vector<std::thread>& threads, std::size_t count, const Read& read) {
    threads.reserve(count);
    for (std::size_t t = 0; t < count; ++t) {
        try {
            threads.emplace_back(read);
        } catch (const std::system_error&) {  // a thread limit: fewer reads in flight
            return;
        }
    }
}

}  // namespace

void LocalPages::read_piece(char* buffer, std::uint64_t begin, std::uint64_t end) const {
    for (std::uint64_t at = begin; buffer != nullptr && at < end;) {
        const ssize_t got = ::pread(fd_, buffer, end - at, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // the extraction meets it again, and says why
        at += static_cast<std::uint64_t>(got);
    }
    mark(begin, end);
}

std::unique_ptr<ReadingAhead> LocalPages::read_ahead_in_order(ByteRange range) const {
    range.end = std::min(range.end, size_);
    if (read_ahead_mode() == ReadAheadMode::Off || range.begin >= range.end || fd() < 0) return nullptr;
    std::vector<ByteRange> pieces;
    for (std::uint64_t at = range.begin; at < range.end; at += PIECE)
        pieces.push_back(ByteRange{at, std::min(range.end, at + PIECE)});
    const std::vector<bool> found = resident(pieces);
    std::size_t kept = 0;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (!found[k]) pieces[kept++] = pieces[k];
    }
    if (kept == 0) return nullptr;
    pieces.resize(kept);
    auto reading = std::make_unique<ReadingAhead>(*this, std::move(pieces));
    if (!reading->start()) return nullptr;
    return reading;
}

bool ReadingAhead::start() {
    start_readers(threads_, std::min(LocalPages::DEPTH, pieces_.size()), [this] { read(); });
    return !threads_.empty();
}

void ReadingAhead::read() {
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[LocalPages::PIECE]);
    while (true) {
        const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
        if (i >= pieces_.size()) return;
        pages_.read_piece(buffer.get(), pieces_[i].begin, pieces_[i].end);
    }
}

ReadingAhead::~ReadingAhead() {
    next_.store(pieces_.size(), std::memory_order_relaxed);  // what has not begun is not read
    for (std::thread& thread : threads_) thread.join();
}

void LocalPages::read_ahead_through(std::span<const ByteRange> ranges, void (*call)(void*, std::size_t),
                                    void* done) const {
    struct Piece {
        std::size_t range;
        std::uint64_t begin;
        std::uint64_t end;
    };
    std::vector<Piece> pieces;
    const std::unique_ptr<std::atomic<std::size_t>[]> left(new std::atomic<std::size_t>[ranges.size()]);
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        const std::uint64_t end = std::min(ranges[k].end, size_);
        std::size_t count = 0;
        for (std::uint64_t at = ranges[k].begin; at < end; at += PIECE, ++count)
            pieces.push_back(Piece{k, at, std::min(end, at + PIECE)});
        left[k].store(count, std::memory_order_relaxed);
        if (count == 0) call(done, k);
    }
    std::atomic<std::size_t> next{0};
    const int fd = this->fd();
    const auto reader = [&] {
        const std::unique_ptr<char[]> buffer(new (std::nothrow) char[PIECE]);
        while (true) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= pieces.size()) return;
            const Piece& piece = pieces[i];
            read_piece(buffer.get(), piece.begin, piece.end);
            if (left[piece.range].fetch_sub(1, std::memory_order_acq_rel) == 1) call(done, piece.range);
        }
    };
    std::vector<std::thread> threads;
    start_readers(threads, fd < 0 ? 0 : std::min(DEPTH, pieces.size()), reader);
    if (threads.empty()) {  // nothing read ahead: every range is left as it is
        for (const Piece& piece : pieces) {
            if (left[piece.range].fetch_sub(1, std::memory_order_acq_rel) == 1) call(done, piece.range);
        }
        return;
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace kelpa::core
