// Files that appear whole or not at all: the index files the core writes.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "core/base/error.hpp"

namespace kelpa::core {

// A file written under a temporary name in the directory of the file it
// replaces (".<name>.<pid>.<n>.tmp") and renamed over it by commit(), so a
// reader never sees a partial file. It gets the permissions a plain create
// would give it (0666 less the umask). A symbolic link at `path` is followed
// (a chain of them, to its end): the new file replaces the link's target,
// in the target's directory, and the link stays as it was. What `path`
// names must be a regular file, a link to one, or missing: anything else (a
// FIFO, a device, a directory) is refused by create() with IOError "<path>
// is not a regular file (...)", and nothing is written. Destroyed without a
// successful commit(), it removes the temporary and leaves the target
// untouched, unless the rename was done and only making it durable failed.
// Movable, not copyable.
class AtomicFile {
public:
    static Result<AtomicFile> create(std::string path);

    AtomicFile(AtomicFile&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)),
          path_(std::move(other.path_)),
          target_(std::move(other.target_)),
          temporary_(std::move(other.temporary_)),
          committed_(std::exchange(other.committed_, true)) {}
    AtomicFile& operator=(AtomicFile&&) = delete;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    // Appends `size` bytes; IO with the operating-system error on failure.
    Status write(const char* data, std::size_t size);
    // Syncs the temporary to the disk, closes it (close() may report a
    // deferred write error), renames it over the target and syncs the
    // directory, so that after a crash the target holds the old file or the
    // whole new one.
    Status commit();

private:
    AtomicFile(int fd, std::string path, std::string target, std::string temporary)
        : fd_(fd),
          path_(std::move(path)),
          target_(std::move(target)),
          temporary_(std::move(temporary)) {}

    int fd_ = -1;
    std::string path_;       // as given: what errors name
    std::string target_;     // `path` with its symbolic links followed: what is replaced
    std::string temporary_;
    bool committed_ = false;
};

}  // namespace kelpa::core
