#include "core/io/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace kelpa::core {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() { reset(); }

void UniqueFd::reset() {
    // Linux releases the descriptor even when close() reports EINTR, so a
    // retry could close a descriptor another thread has just been given.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a plain file";
}

FaidxError not_regular(const std::string& path, mode_t mode) {
    return FaidxError::about(path, path + " is not a regular file (" + kind_of(mode) + ")");
}

}  // namespace

Result<UniqueFd> open_regular(const std::string& path, int flags) {
    // O_NONBLOCK keeps the open of a FIFO without a writer from waiting for
    // one; it means nothing for a regular file's reads.
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        const int error = errno;
        // A directory opened for writing fails with EISDIR; say what it is.
        struct stat status;
        if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) return not_regular(path, status.st_mode);
        return FaidxError::os(error, path);
    }
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) return FaidxError::os(errno, path);
    if (!S_ISREG(status.st_mode)) return not_regular(path, status.st_mode);
    const int status_flags = ::fcntl(fd.get(), F_GETFL);
    if (status_flags >= 0) (void)::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK);
    return fd;
}

Status check_regular(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) return not_regular(path, status.st_mode);
    return {};
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        if (base_ != nullptr) ::munmap(const_cast<char*>(base_), mapped_);
        base_ = std::exchange(other.base_, nullptr);
        length_ = std::exchange(other.length_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

Mapping::~Mapping() {
    if (base_ != nullptr) ::munmap(const_cast<char*>(base_), mapped_);
}

bool Mapping::map(int fd) {
    *this = Mapping();
    struct stat status;
    if (::fstat(fd, &status) != 0 || status.st_size < 0) return false;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size > std::numeric_limits<std::size_t>::max()) return false;
    // mmap refuses a length of 0; one byte of an empty file maps fine, and
    // length() still reports 0 so nothing reads it.
    const std::size_t mapped = size == 0 ? 1 : static_cast<std::size_t>(size);
    void* base = ::mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return false;
    base_ = static_cast<const char*>(base);
    length_ = size;
    mapped_ = mapped;
    return true;
}

void advise_huge_pages(void* data, std::size_t size) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(huge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

Result<std::string> read_head(int fd, std::size_t limit) {
    std::string head(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::pread(fd, head.data() + got, limit - got, static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return FaidxError::os(errno);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    return head;
}

}  // namespace kelpa::core
