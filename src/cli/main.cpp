// The kelpa program: regions of indexed FASTA files from the command line.
//
//   kelpa index REF
//   kelpa faidx REF [REGION ...] [-r FILE] [-i] [-n WIDTH] [-c] [-o FILE] [--mark-strand rc|no|sign]
//   kelpa getfasta REF BED [-s] [--split] [--name] [--name-only] [--tab] [-o FILE]
//
// Failures are one line on standard error and exit status 1; a command line
// that makes no sense, exit status 2. A reader that goes away early
// (`kelpa ... | head`) ends the run quietly, by SIGPIPE, as it ends samtools
// and bedtools.
#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/report.hpp"
#include "core/bgzf/inflate.hpp"
#include "core/kernels/dispatch.hpp"

#ifndef KELPA_VERSION
#define KELPA_VERSION "unknown"
#endif

namespace {

constexpr std::string_view USAGE =
    "usage: kelpa [--version] [--help] COMMAND ...\n"
    "\n"
    "Regions of indexed FASTA files, as FASTA.\n"
    "\n"
    "commands:\n"
    "  index     write the .fai index of a FASTA file\n"
    "  faidx     print regions given as name:start-end (as samtools faidx)\n"
    "  getfasta  print the regions of a BED file (as bedtools getfasta)\n"
    "\n"
    "'kelpa COMMAND --help' tells more about a command.\n";

int run(const std::vector<std::string>& argv) {
    using namespace kelpa::cli;
    if (argv.empty()) return usage_error("the following arguments are required: COMMAND");
    const std::string& command = argv[0];
    const std::vector<std::string> rest(argv.begin() + 1, argv.end());
    if (command == "index") return run_index(rest);
    if (command == "faidx") return run_faidx(rest);
    if (command == "getfasta") return run_getfasta(rest);
    if (command == "--version") {
        // The second line names the library that inflates BGZF blocks, which
        // depends on how kelpa was built.
        std::printf("kelpa %s\nBGZF inflate: %s\nkernels: %s\n", KELPA_VERSION, kelpa::core::inflate_library().c_str(),
                    kelpa::core::kernel_path_name(kelpa::core::kernel_path()));
        return 0;
    }
    if (command == "-h" || command == "--help") {
        std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
        return 0;
    }
    return usage_error("invalid command '" + command + "' (choose from 'index', 'faidx', 'getfasta')");
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe shows up as EPIPE from write(), on which the output
    // raises SIGPIPE itself (output.cpp).
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        kelpa::cli::report_error("out of memory");
    } catch (const std::exception& error) {
        kelpa::cli::report_error(std::string("internal error: ") + error.what());
    }
    return kelpa::cli::EXIT_FAILED;
}
