// The program's output: standard output or a file, written in blocks of
// BLOCK bytes or more, never a write per record.
//
// Records are formatted straight into the buffer (space() then commit()).
// A reader that went away (EPIPE: `kelpa ... | head`) ends the program at
// once, without a word, by SIGPIPE, as samtools and bedtools end: shells and
// pipeline managers take that status (141 in a shell) for an early close,
// not a failure. Any other failed write is an error with the system's reason.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/io/mapped_file.hpp"

namespace kelpa::cli {

class Output {
public:
    static constexpr std::size_t BLOCK = std::size_t{1} << 20;

    // Standard output when `path` is empty, else the file, created or truncated.
    static std::optional<Output> open(const std::string& path, std::string& error);

    Output(Output&&) = default;
    Output& operator=(Output&&) = default;

    // Room for `n` more bytes at the end of the buffer (valid until the next
    // call); the buffer is written out first when it is full.
    char* space(std::size_t n) {
        if (size_ - used_ < n) make_room(n);
        return buffer_.get() + used_;
    }
    // The first `n` bytes of the last space() hold output now.
    void commit(std::size_t n) {
        used_ += n;
        if (used_ >= BLOCK) flush();
    }
    void append(std::string_view text) {
        std::copy(text.begin(), text.end(), space(text.size()));
        commit(text.size());
    }

    // Writes what is buffered, then `n` bytes at `data` (a large block
    // formatted elsewhere) without copying them.
    bool write_through(const char* data, std::size_t n);

    // Writes what is buffered. False when the output failed.
    bool flush();
    bool ok() const { return error_.empty(); }
    // Why writing failed, empty when it did not.
    const std::string& error() const { return error_; }

private:
    Output(core::UniqueFd fd, bool owned, std::string name);
    void make_room(std::size_t n);
    void write_all(const char* data, std::size_t n);

    core::UniqueFd fd_;  // the file of -o; invalid for standard output
    int out_ = 1;
    std::string name_;
    std::unique_ptr<char[]> buffer_;  // not cleared: a short run touches only what it writes
    std::size_t size_ = 0;
    std::size_t used_ = 0;
    std::string error_;
};

}  // namespace kelpa::cli
