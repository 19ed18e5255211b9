// What the kelpa program says on standard error: one whole line per
// message, "kelpa: error: ..." or "kelpa: warning: ...", written at once;
// getfasta's warnings are bedtools' own lines, without a prefix.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"

namespace kelpa::cli {

// Exit statuses: a failed command, and a command line that makes no sense.
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

void report_error(std::string_view message);
void report_warning(std::string_view message);
// A line in a peer's own words, as the peer writes it.
void report_peer_line(std::string_view line);

// report_error(message) and EXIT_FAILED, for `return fail(...)`.
int fail(std::string_view message);

// report_error(message) and EXIT_USAGE, for `return usage_error(...)`.
int usage_error(std::string_view message);

// The options the program opens a FASTA file with: the file read as bytes,
// which it prints as they are.
core::FaidxOptions faidx_options();

// Opens the FASTA file at `path` (building its index when needed) and warns,
// in the program's words, of what opening found.
core::Result<std::unique_ptr<core::Faidx>> open_reference(const std::string& path,
                                                          core::FaidxOptions options = faidx_options());

// A core error as the program tells it inside its own messages, e.g.
// "IO error: ...".
std::string describe(const core::FaidxError& error);

// How a failure to open the FASTA file at `path` is told to the user.
std::string describe_open_failure(const std::string& path, const core::FaidxError& error);

// How a FASTA file without any record (empty, or without a '>name' line)
// is refused. samtools and bedtools refuse such a file; the module indexes
// it, empty, which the commands read as a mistake.
std::string describe_no_record(const std::string& path);

// An IO error about the file at `path` in the program's words: "<file>:
// <reason>" for a system error (the file it names, else `path`); a message
// that names `path` already as it is; any other after "<lead>: " (by
// default the path).
std::string describe_io_failure(const core::FaidxError& error, const std::string& path, std::string_view lead = {});

// Whether a region's text came back shorter than its coordinates say: the
// FASTA file ends inside the region. samtools refuses such a region, and
// so does the program, rather than print a record shorter than its name.
bool cut_short(const core::BatchResult& result);

// Why a region cut short is refused, naming the FASTA file and its index.
std::string describe_cut_short(const core::Faidx& faidx);

}  // namespace kelpa::cli
