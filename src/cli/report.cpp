#include "cli/report.hpp"

#include <cstring>
#include <string>

#include "core/bgzf/format.hpp"
#include "core/fetch/faidx.hpp"
#include "core/open/open.hpp"
#include "frontend/stderr_line.hpp"

namespace kelpa::cli {

void report_error(std::string_view message) { frontend::write_stderr_line("kelpa: error: ", message); }

void report_warning(std::string_view message) { frontend::write_stderr_line("kelpa: warning: ", message); }

void report_peer_line(std::string_view line) { frontend::write_stderr_line({}, line); }

int fail(std::string_view message) {
    report_error(message);
    return EXIT_FAILED;
}

int usage_error(std::string_view message) {
    report_error(message);
    return EXIT_USAGE;
}

core::FaidxOptions faidx_options() {
    core::FaidxOptions options;
    options.encoding = core::Encoding::Bytes;
    return options;
}

core::Result<std::unique_ptr<core::Faidx>> open_reference(const std::string& path, core::FaidxOptions options) {
    core::Result<std::unique_ptr<core::Faidx>> opened = core::open_faidx(path, std::nullopt, std::move(options));
    if (opened && (*opened)->missing_eof_marker()) report_warning(core::missing_eof_warning(path));
    return opened;
}

std::string describe(const core::FaidxError& error) {
    const char* kind = "";
    switch (error.kind()) {
        case core::ErrorKind::FastaNotFound: kind = "FASTA file not found: "; break;
        case core::ErrorKind::IndexNotFound: kind = "Index file not found: "; break;
        case core::ErrorKind::Fetch: kind = "Fetch error: "; break;
        case core::ErrorKind::FastaIndexing: kind = "Indexing error: "; break;
        case core::ErrorKind::IO: kind = "IO error: "; break;
        case core::ErrorKind::Region: kind = "Invalid region: "; break;
        case core::ErrorKind::Internal: kind = "internal fault (please report it): "; break;
    }
    return kind + error.payload();
}

std::string describe_open_failure(const std::string& path, const core::FaidxError& error) {
    const std::string& detail = error.payload();
    switch (error.kind()) {
        case core::ErrorKind::FastaNotFound: return "FASTA file not found: " + path;
        case core::ErrorKind::IndexNotFound: return "index file not found: " + detail;
        case core::ErrorKind::FastaIndexing:
            return "bad index file " + path + ".fai (" + detail + "); run 'kelpa index " + path + "'";
        default: return describe_io_failure(error, path);
    }
}

std::string describe_no_record(const std::string& path) { return path + ": no FASTA record (no '>name' header line)"; }

std::string describe_io_failure(const core::FaidxError& error, const std::string& path, std::string_view lead) {
    if (error.errnum() != 0) return (error.file().empty() ? path : error.file()) + ": " + std::strerror(error.errnum());
    const std::string& detail = error.payload();
    if (error.names_file()) return detail;
    return std::string(lead.empty() ? std::string_view(path) : lead) + ": " + detail;
}

bool cut_short(const core::BatchResult& result) {
    return result.kind == core::FetchPlan::Kind::Extract && result.text.size() < result.last - result.first + 1;
}

std::string describe_cut_short(const core::Faidx& faidx) {
    return faidx.filename() + " ends inside the region: the file is cut short, or " + faidx.indexname() +
           " was made for another file";
}

}  // namespace kelpa::cli
