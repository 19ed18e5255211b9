#include "report.hpp"

#include <string>

#include "core/faidx.hpp"

namespace kelpa::cli {

void report_error(std::string_view message) { core::write_error_line("kelpa: error: ", message); }

void report_warning(std::string_view message) { core::write_error_line("kelpa: warning: ", message); }

int fail(std::string_view message) {
    report_error(message);
    return EXIT_FAILED;
}

int usage_error(std::string_view message) {
    report_error(message);
    return EXIT_USAGE;
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
