// kelpa index: writes REF.fai afresh, as samtools faidx REF does.
#include <sys/stat.h>

#include <cstdio>
#include <optional>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/report.hpp"
#include "core/index_builder.hpp"

namespace kelpa::cli {

namespace {

constexpr std::string_view USAGE =
    "usage: kelpa index REF\n"
    "\n"
    "Write the index REF.fai beside the FASTA file, replacing any index there.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help and exit\n";

}  // namespace

int run_index(const std::vector<std::string>& args) {
    std::string problem;
    const std::optional<ParsedArgs> parsed = parse_args(args, {}, problem);
    if (!parsed) {
        report_error(problem);
        return EXIT_USAGE;
    }
    if (parsed->help()) {
        std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
        return 0;
    }
    if (parsed->positionals().size() != 1) {
        report_error(parsed->positionals().empty() ? "the following arguments are required: REF"
                                                   : "unrecognized arguments: " + parsed->positionals()[1]);
        return EXIT_USAGE;
    }
    const std::string& path = parsed->positionals()[0];
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return fail("FASTA file not found: " + path);
    core::NameTable table;
    const core::Status built = core::build_index(path, path + ".fai", table);
    if (!built) return fail("cannot index " + path + ": " + built.error().payload());
    return 0;
}

}  // namespace kelpa::cli
