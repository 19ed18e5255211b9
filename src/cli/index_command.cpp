// kelpa index: writes REF.fai afresh, as samtools faidx REF does.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/report.hpp"
#include "core/fault_guard.hpp"
#include "core/index_builder.hpp"
#include "core/index_file.hpp"
#include "core/mapped_file.hpp"

namespace kelpa::cli {

namespace {

constexpr std::string_view USAGE =
    "usage: kelpa index REF\n"
    "\n"
    "Write the index REF.fai beside the FASTA file, replacing any index there.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help and exit\n";

// The scan over a mapping of the file, copied a piece at a time into a
// buffer the processor's cache holds: cheaper than read() copying the whole
// file out of the kernel. The copies are guarded, so a file cut short
// meanwhile is an error, not SIGBUS. A file that cannot be mapped is read.
core::Result<std::vector<core::NamedEntry>> scan(const std::string& path) {
    core::Result<core::UniqueFd> opened = core::open_regular(path, O_RDONLY);
    if (!opened) return opened.take_error();
    core::Mapping mapping;
    if (!mapping.map(opened->get())) return core::scan_fasta(path);
    core::install_fault_handler();
    ::madvise(const_cast<char*>(mapping.data()), mapping.length(), MADV_SEQUENTIAL);
    constexpr std::uint64_t PIECE = std::uint64_t{1} << 20;
    constexpr std::uint64_t RELEASE = std::uint64_t{16} << 20;  // a multiple of PIECE and of the page size
    const std::unique_ptr<char[]> buffer(new char[PIECE]);
    core::FastaTextScan text(path);
    for (std::uint64_t at = 0; at < mapping.length(); at += PIECE) {
        const std::size_t n = static_cast<std::size_t>(std::min(PIECE, mapping.length() - at));
        const char* piece = mapping.data() + at;
        if (!core::guarded_read(piece, n, [&] { std::memcpy(buffer.get(), piece, n); }))
            return core::FaidxError::io(path + " changed while it was indexed");
        if (core::Status fed = text.feed(std::string_view(buffer.get(), n)); !fed) return fed.take_error();
        // Let go of the pages scanned (the page cache keeps them), so the
        // resident set stays a few pieces in size.
        if ((at + n) % RELEASE == 0)
            ::madvise(const_cast<char*>(mapping.data()) + at + n - RELEASE, RELEASE, MADV_DONTNEED);
    }
    return text.finish();
}

}  // namespace

int run_index(const std::vector<std::string>& args) {
    std::string problem;
    const std::optional<ParsedArgs> parsed = parse_args(args, {}, problem);
    if (!parsed) return usage_error(problem);
    if (parsed->help()) {
        std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
        return 0;
    }
    if (parsed->positionals().size() != 1) {
        return usage_error(parsed->positionals().empty() ? "the following arguments are required: REF"
                                                         : "unrecognized arguments: " + parsed->positionals()[1]);
    }
    const std::string& path = parsed->positionals()[0];
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return fail("FASTA file not found: " + path);
    core::Result<std::vector<core::NamedEntry>> records = scan(path);
    if (!records) return fail("cannot index " + path + ": " + records.error().payload());
    const core::Status written = core::write_index(path + ".fai", *records);
    if (!written) return fail("cannot index " + path + ": " + written.error().payload());
    return 0;
}

}  // namespace kelpa::cli
