#include "atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string_view>

namespace kelpa::core {

namespace {

std::atomic<std::uint64_t> temporary_counter{0};

}  // namespace

// The basename is cut to keep the temporary's name under NAME_MAX; O_EXCL
// makes a clash (another process, a leftover) an EEXIST, answered with the
// next counter.
Result<AtomicFile> AtomicFile::create(std::string path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base_start = slash == std::string::npos ? 0 : slash + 1;
    const std::string_view directory(path.data(), base_start);
    const std::string_view base = std::string_view(path).substr(base_start).substr(0, 160);
    const std::string pid = std::to_string(::getpid());
    std::string temporary;
    for (int attempt = 0;; ++attempt) {
        temporary.assign(directory).append(".").append(base).append(".").append(pid).append(".");
        temporary.append(std::to_string(temporary_counter.fetch_add(1))).append(".tmp");
        const int fd = ::open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) return AtomicFile(fd, std::move(path), std::move(temporary));
        if (errno != EEXIST || attempt == 100) return FaidxError::os(errno, path);
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temporary_.c_str());
}

Status AtomicFile::write(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd_, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return FaidxError::os(errno, path_);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return {};
}

Status AtomicFile::commit() {
    if (::close(std::exchange(fd_, -1)) != 0) return FaidxError::os(errno, path_);
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return FaidxError::os(errno, path_);
    committed_ = true;
    return {};
}

}  // namespace kelpa::core
