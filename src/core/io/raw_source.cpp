#include "core/io/raw_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/io/local_pages.hpp"

namespace kelpa::core {

FileBytes::FileBytes(UniqueFd fd, std::uint64_t size, std::string name)
    : fd_(std::move(fd)),
      size_(size),
      name_(std::move(name)),
      pages_(std::make_unique<const LocalPages>(fd_.get(), size)) {}

FileBytes::~FileBytes() = default;

std::vector<ByteRange> merge_ranges(std::vector<ByteRange> ranges, std::uint64_t gap) {
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    std::vector<ByteRange> merged;
    for (const ByteRange& range : ranges) {
        if (!merged.empty() && range.begin <= merged.back().end + gap) {
            merged.back().end = std::max(merged.back().end, range.end);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

Result<std::string_view> FileBytes::read(std::uint64_t offset, std::size_t n, char* scratch) const {
    if (offset >= size_ || offset > static_cast<std::uint64_t>(INT64_MAX)) return std::string_view();
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd_.get(), scratch + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return FaidxError::os(errno, name_);
        }
        if (r == 0) break;  // the file shrank since it was opened
        got += static_cast<std::size_t>(r);
    }
    return std::string_view(scratch, got);
}

bool FileBytes::shrunk() const {
    struct stat status;
    return ::fstat(fd_.get(), &status) == 0 && static_cast<std::uint64_t>(status.st_size) < size_;
}

}  // namespace kelpa::core
