// What the front ends (the module and the program) share for reporting:
// writing a whole line to standard error at once. The core never writes
// there; it hands its warnings and errors over as values.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace kelpa::frontend {

// Writes prefix + text + "\n" to file descriptor 2 in one piece, so that
// lines from several threads or processes do not interleave.
inline void write_stderr_line(std::string_view prefix, std::string_view text) {
    std::string line;
    line.reserve(prefix.size() + text.size() + 1);
    line.append(prefix).append(text).push_back('\n');
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report it
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace kelpa::frontend
