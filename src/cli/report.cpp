#include "report.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace kelpa::cli {

namespace {

void write_line(std::string_view prefix, std::string_view message) {
    std::string line;
    line.reserve(prefix.size() + message.size() + 1);
    line.append(prefix).append(message).push_back('\n');
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to say it
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void report_error(std::string_view message) { write_line("kelpa: error: ", message); }

void report_warning(std::string_view message) { write_line("kelpa: warning: ", message); }

int fail(std::string_view message) {
    report_error(message);
    return EXIT_FAILED;
}

std::string describe_open_failure(const std::string& path, const core::FaidxError& error) {
    const std::string& detail = error.payload();
    switch (error.kind()) {
        case core::ErrorKind::FastaNotFound: return "FASTA file not found: " + path;
        case core::ErrorKind::IndexNotFound: return "index file not found: " + detail;
        case core::ErrorKind::FastaIndexing:
            return "bad index file " + path + ".fai (" + detail + "); run 'kelpa index " + path + "'";
        default: return path + ": " + detail;
    }
}

}  // namespace kelpa::cli
