// Owning wrappers for a file descriptor and a read-only memory mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "core/base/error.hpp"

namespace kelpa::core {

// An open file descriptor, closed on destruction. Movable, not copyable.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// Opens `path` with `flags` (O_CLOEXEC is added) if it is a regular file or
// a symbolic link to one. Anything else (a FIFO, socket, device or
// directory) gives IOError "<path> is not a regular file (<what it is>)"
// without blocking: the open itself is non-blocking and the check is made
// on the open descriptor, so a file swapped for a FIFO meanwhile cannot
// hang it either. Other failures give the operating system's error.
Result<UniqueFd> open_regular(const std::string& path, int flags);

// Up to `limit` bytes from the start of the file behind `fd` (fewer when the
// file is shorter), read with pread, so the file position stays.
Result<std::string> read_head(int fd, std::size_t limit);

// IOError "<path> is not a regular file (...)" when `path` exists but is not
// one; success when it is one or cannot be examined (the open reports that).
Status check_regular(const std::string& path);

// A read-only, shared mapping of a whole file, unmapped on destruction.
// length() is the file size when it was mapped (0 for an empty file).
class Mapping {
public:
    Mapping() = default;
    Mapping(Mapping&& other) noexcept
        : base_(std::exchange(other.base_, nullptr)),
          length_(std::exchange(other.length_, 0)),
          mapped_(std::exchange(other.mapped_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    // Maps the whole file behind `fd` (its size from fstat; max(size, 1)
    // bytes, PROT_READ, MAP_SHARED), releasing any earlier mapping first.
    // False, and nothing held, when fstat or mmap fails (a pipe, /dev/null).
    // The descriptor may be closed afterwards; the mapping stays valid.
    bool map(int fd);

    const char* data() const { return base_; }
    std::uint64_t length() const { return length_; }
    bool valid() const { return base_ != nullptr; }

private:
    const char* base_ = nullptr;
    std::uint64_t length_ = 0;
    std::size_t mapped_ = 0;  // bytes actually mapped: max(length, 1)
};

// Asks for transparent huge pages for the whole 2 MiB pages inside
// [data, data + size): a fresh multi-megabyte buffer then costs a few page
// faults instead of one per 4 KiB. Only a hint; nothing happens on failure.
void advise_huge_pages(void* data, std::size_t size);

}  // namespace kelpa::core
