// kelpa index: writes REF.fai afresh, as samtools faidx REF does (and, for
// a BGZF-compressed REF, REF.gzi beside it). A file without any record is
// refused, as samtools refuses it; text before the first header is passed
// over, which samtools refuses.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/report.hpp"
#include "core/bgzf.hpp"
#include "core/faidx.hpp"
#include "core/index_builder.hpp"
#include "core/index_file.hpp"
#include "core/mapped_file.hpp"

namespace kelpa::cli {

namespace {

constexpr std::string_view USAGE =
    "usage: kelpa index REF\n"
    "\n"
    "Write the index REF.fai beside the FASTA file, replacing any index there;\n"
    "for a BGZF-compressed file (bgzip) also its block index REF.gzi. A file\n"
    "without any record ('>name' line) is refused.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help and exit\n";

// Writes the index of a plain FASTA file, or the .fai and .gzi of a BGZF one.
core::Status index(const std::string& path) {
    core::Result<core::UniqueFd> opened = core::open_regular(path, O_RDONLY);
    if (!opened) return opened.take_error();
    core::Result<std::string> head = core::read_head(opened->get(), core::FORMAT_PROBE_SIZE);
    if (!head) return head.take_error();
    const core::FileFormat format = core::detect_format(*head);
    if (format == core::FileFormat::Bgzf) {
        core::FaidxOptions options = faidx_options();
        options.always_build = true;
        core::Result<std::unique_ptr<core::Faidx>> built = open_reference(path, options);
        if (!built) return built.take_error();
        if ((*built)->entries().empty()) return core::FaidxError::about(path, describe_no_record(path));
        return {};
    }
    if (core::Status refused = core::refuse_format(format, path); !refused) return refused;
    core::Result<std::vector<core::NamedEntry>> records = core::scan_fasta(path, core::Encoding::Bytes);
    if (!records) return records.take_error();
    if (records->empty()) return core::FaidxError::about(path, describe_no_record(path));  // nothing written
    return core::write_index(path + ".fai", *records);
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
    const core::Status indexed = index(path);
    if (!indexed) return fail(describe_io_failure(indexed.error(), path, "cannot index " + path));
    return 0;
}

}  // namespace kelpa::cli
