#include "cli/line_reader.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace kelpa::cli {

namespace {

constexpr std::size_t WINDOW = std::size_t{4} << 20;

// zlib's message without the "<fd:N>: " it puts in front.
std::string_view zlib_message(const char* message) {
    std::string_view text(message);
    if (const std::size_t colon = text.find(">: "); text.starts_with("<fd:") && colon != std::string_view::npos)
        text.remove_prefix(colon + 3);
    return text;
}

}  // namespace

// zlib's reader passes plain text through unchanged and inflates gzip
// members (one or many, as in BGZF) when the first bytes say so.
struct LineReader::Stream {
    gzFile file = nullptr;
    ~Stream() {
        if (file != nullptr) gzclose(file);
    }
};

LineReader::LineReader(std::unique_ptr<Stream> stream, std::string path, std::string what)
    : stream_(std::move(stream)),
      path_(std::move(path)),
      what_(std::move(what)),
      window_(WINDOW) {}

LineReader::~LineReader() = default;

std::unique_ptr<LineReader> LineReader::open(const std::string& path, const std::string& what, std::string& error) {
    const int fd = path == "-" ? ::dup(0) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto stream = std::make_unique<Stream>();
    stream->file = gzdopen(fd, "rb");
    if (stream->file == nullptr) {
        ::close(fd);
        error = "cannot read " + what + " " + path + ": out of memory";
        return nullptr;
    }
    gzbuffer(stream->file, 1 << 17);
    std::unique_ptr<LineReader> reader(new LineReader(std::move(stream), path, what));
    if (!reader->refill()) {
        error = reader->error();
        return nullptr;
    }
    return reader;
}

LineReader::Next LineReader::next(std::string_view& line) {
    if (begin_ == end_) return eof_ ? Next::End : Next::Refill;
    const char* start = window_.data() + begin_;
    const std::size_t left = end_ - begin_;
    const void* newline = std::memchr(start, '\n', left);
    std::size_t length;
    if (newline != nullptr) {
        length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
        begin_ += length + 1;
    } else if (eof_) {
        length = left;
        begin_ = end_;
    } else {
        return Next::Refill;
    }
    if (length > 0 && start[length - 1] == '\r') --length;
    line = std::string_view(start, length);
    ++line_number_;
    return Next::Line;
}

bool LineReader::refill() {
    // Keep the unfinished line, at the front; a line longer than the window
    // makes the window grow.
    const std::size_t kept = end_ - begin_;
    std::memmove(window_.data(), window_.data() + begin_, kept);
    begin_ = 0;
    end_ = kept;
    if (end_ == window_.size()) window_.resize(2 * window_.size());
    while (!eof_ && end_ < window_.size()) {
        const std::size_t want = std::min<std::size_t>(window_.size() - end_, 1u << 30);
        const int got = gzread(stream_->file, window_.data() + end_, static_cast<unsigned>(want));
        if (got < 0) {
            int code = 0;
            const char* message = gzerror(stream_->file, &code);
            error_ = "cannot read " + what_ + " " + path_ + ": " +
                     std::string(code == Z_ERRNO ? std::strerror(errno) : zlib_message(message));
            return false;
        }
        if (got == 0) {
            int code = 0;
            const char* message = gzerror(stream_->file, &code);
            if (code != Z_OK) {
                error_ = "cannot read " + what_ + " " + path_ + ": " + std::string(zlib_message(message));
                return false;
            }
            eof_ = true;
        }
        end_ += static_cast<std::size_t>(got);
        // Take what a pipe has given so far once there is a whole line.
        if (got > 0 && std::memchr(window_.data() + end_ - got, '\n', static_cast<std::size_t>(got)) != nullptr) break;
    }
    return true;
}

}  // namespace kelpa::cli
