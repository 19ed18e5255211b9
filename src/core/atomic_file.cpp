#include "atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include "mapped_file.hpp"

namespace kelpa::core {

namespace {

std::atomic<std::uint64_t> temporary_counter{0};

int sync_file(int fd) {
    int result;
    do result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    return result;
}

// Makes a rename into the directory of `path` durable. A directory that
// cannot be opened for reading (EACCES: write and search rights alone let
// one create files in it) or whose file system cannot sync a directory
// (EINVAL, EBADF) is left to the file system, as PostgreSQL does.
Status sync_directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
    const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return errno == EACCES ? Status() : FaidxError::os(errno, path);
    if (sync_file(fd.get()) != 0 && errno != EINVAL && errno != EBADF) return FaidxError::os(errno, path);
    return {};
}

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

// On the disk before it is visible: renamed first, a power loss could leave
// an empty file in its place, which as an index newer than its FASTA file
// would never be built again.
Status AtomicFile::commit() {
    if (sync_file(fd_) != 0) return FaidxError::os(errno, path_);
    if (::close(std::exchange(fd_, -1)) != 0) return FaidxError::os(errno, path_);
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return FaidxError::os(errno, path_);
    committed_ = true;
    return sync_directory(path_);
}

}  // namespace kelpa::core
