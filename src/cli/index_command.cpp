// kelpa index: writes REF.fai afresh, as samtools faidx REF does (and, for
// a BGZF-compressed REF, REF.gzi beside it), or where --fai-idx and
// --gzi-idx say; a remote REF's only where they say. A file without any record is
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
#include "cli/option_tables.hpp"
#include "cli/options.hpp"
#include "cli/report.hpp"
#include "core/bgzf/format.hpp"
#include "core/fetch/faidx.hpp"
#include "core/index/index_builder.hpp"
#include "core/index/index_file.hpp"
#include "core/io/mapped_file.hpp"
#include "core/open/open.hpp"
#include "core/remote/url.hpp"

namespace kelpa::cli {

namespace {

constexpr std::string_view USAGE =
    "usage: kelpa index [--fai-idx PATH] [--gzi-idx PATH] REF\n"
    "\n"
    "Write the index REF.fai beside the FASTA file, replacing any index there;\n"
    "for a BGZF-compressed file (bgzip) also its block index REF.gzi. A file\n"
    "without any record ('>name' line) is refused. REF may be a URL (http://,\n"
    "https://, s3://, gs://): the file is read once, and the index written where\n"
    "--fai-idx says (and --gzi-idx for a BGZF file), never beside it.\n"
    "\n"
    "options:\n"
    "  --fai-idx PATH  write the index to PATH instead of REF.fai\n"
    "  --gzi-idx PATH  write the block index to PATH instead of REF.gzi (or, for\n"
    "                  a URL, beside the index)\n"
    "  -h, --help      show this help and exit\n";

// Writes the index of a plain FASTA file, or the .fai and .gzi of a BGZF
// one; a remote file's through the one open that builds it.
core::Status index(const std::string& path, const std::string& fai, const std::optional<std::string>& gzi) {
    if (core::is_url(path)) {
        core::FaidxOptions options = faidx_options();
        options.always_build = true;
        options.gzi_name = gzi;
        core::Result<std::unique_ptr<core::Faidx>> built = core::open_faidx(path, fai, options);
        if (!built) return built.take_error();
        if ((*built)->entries().empty()) return core::FaidxError::about(path, describe_no_record(path));
        return {};
    }
    core::Result<core::UniqueFd> opened = core::open_regular(path, O_RDONLY);
    if (!opened) return opened.take_error();
    core::Result<std::string> head = core::read_head(opened->get(), core::FORMAT_PROBE_SIZE);
    if (!head) return head.take_error();
    const core::FileFormat format = core::detect_format(*head);
    if (format == core::FileFormat::Bgzf) {
        core::FaidxOptions options = faidx_options();
        options.always_build = true;
        options.gzi_name = gzi;
        core::Result<std::unique_ptr<core::Faidx>> built = core::open_faidx(path, fai, options);
        if (!built) return built.take_error();
        if ((*built)->missing_eof_marker()) report_warning(core::missing_eof_warning(path));
        if ((*built)->entries().empty()) return core::FaidxError::about(path, describe_no_record(path));
        return {};
    }
    if (core::Status refused = core::refuse_format(format, path); !refused) return refused;
    core::Result<std::vector<core::NamedEntry>> records = core::scan_fasta(path, core::Encoding::Bytes);
    if (!records) return records.take_error();
    if (records->empty()) return core::FaidxError::about(path, describe_no_record(path));  // nothing written
    return core::write_index(fai, *records);
}

}  // namespace

int run_index(const std::vector<std::string>& args) {
    std::string problem;
    const std::optional<ParsedArgs> parsed =
        with_index_options([&](std::initializer_list<OptionSpec> specs) { return parse_args(args, specs, problem); });
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
    const std::optional<std::string> fai = parsed->value("fai");
    const std::optional<std::string> gzi = parsed->value("gzi");
    if (core::is_url(path)) {
        if (!fai) {
            return fail(
                "nothing is written beside a remote file: give the index's path with --fai-idx PATH "
                "(and --gzi-idx PATH for a BGZF file)");
        }
    } else {
        struct stat status;
        if (::stat(path.c_str(), &status) != 0) return fail("FASTA file not found: " + path);
    }
    const core::Status indexed = index(path, fai.value_or(path + ".fai"), gzi);
    if (!indexed) return fail(describe_io_failure(indexed.error(), path, "cannot index " + path));
    return 0;
}

}  // namespace kelpa::cli
