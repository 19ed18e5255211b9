#include "core/io/atomic_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include "core/io/mapped_file.hpp"

namespace kelpa::core {

namespace {

std::atomic<std::uint64_t> temporary_counter{0};

int sync_file(int fd) {
    int result;
    do result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    return result;
}

// Makes a rename into the directory of `file` durable; errors name `name`.
// A directory that cannot be opened for reading (EACCES: write and search
// rights alone let one create files in it) or whose file system cannot sync
// a directory (EINVAL, EBADF) is left to the file system, as PostgreSQL does.
Status sync_directory(const std::string& file, const std::string& name) {
    const std::size_t slash = file.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : file.substr(0, std::max<std::size_t>(slash, 1));
    const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return errno == EACCES ? Status() : FaidxError::os(errno, name);
    if (sync_file(fd.get()) != 0 && errno != EINVAL && errno != EBADF) return FaidxError::os(errno, name);
    return {};
}

// `path` with the symbolic links at its end followed, as an open() for
// writing would follow them: a relative link is read from the directory of
// the link. A missing file (or a dangling link's missing end) is the path
// to create; the links in the directories above are the kernel's to follow.
Result<std::string> follow_links(const std::string& path) {
    std::string target = path;
    for (int depth = 0; depth < 40; ++depth) {  // Linux's own limit
        struct stat status;
        if (::lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return target;
        char link[PATH_MAX];
        const ssize_t length = ::readlink(target.c_str(), link, sizeof link);
        if (length < 0) return FaidxError::os(errno, path);
        if (static_cast<std::size_t>(length) == sizeof link) return FaidxError::os(ENAMETOOLONG, path);
        const std::string_view next(link, static_cast<std::size_t>(length));
        const std::size_t slash = target.rfind('/');
        if (next.starts_with('/') || slash == std::string::npos) target.assign(next);
        else target.resize(slash + 1), target.append(next);
    }
    return FaidxError::os(ELOOP, path);
}

}  // namespace

// The basename is cut to keep the temporary's name under NAME_MAX; O_EXCL
// makes a clash (another process, a leftover) an EEXIST, answered with the
// next counter.
Result<AtomicFile> AtomicFile::create(std::string path) {
    if (Status regular = check_regular(path); !regular) return regular.take_error();
    Result<std::string> followed = follow_links(path);
    if (!followed) return followed.take_error();
    std::string target = std::move(*followed);
    const std::size_t slash = target.rfind('/');
    const std::size_t base_start = slash == std::string::npos ? 0 : slash + 1;
    const std::string_view directory(target.data(), base_start);
    const std::string_view base = std::string_view(target).substr(base_start).substr(0, 160);
    const std::string pid = std::to_string(::getpid());
    std::string temporary;
    for (int attempt = 0;; ++attempt) {
        temporary.assign(directory).append(".").append(base).append(".").append(pid).append(".");
        temporary.append(std::to_string(temporary_counter.fetch_add(1))).append(".tmp");
        const int fd = ::open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) return AtomicFile(fd, std::move(path), std::move(target), std::move(temporary));
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
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return FaidxError::os(errno, path_);
    committed_ = true;
    return sync_directory(target_, path_);
}

}  // namespace kelpa::core
