// kelpa faidx: regions as FASTA records, wrapped, as samtools faidx prints them.
//
// Regions are read in batches (batch_bounds.hpp); each batch is planned by
// the core's coordinate rules (Faidx::plan_fetch), whose warnings are told
// in samtools' words, extracted on the worker pool and written in input
// order. A region that cannot be printed is printed empty, its header
// alone, and ends the run after it (as samtools does); with -c the run goes
// on after a warning.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "cli/batch_bounds.hpp"
#include "cli/commands.hpp"
#include "cli/line_reader.hpp"
#include "cli/option_tables.hpp"
#include "cli/options.hpp"
#include "cli/output.hpp"
#include "cli/region.hpp"
#include "cli/report.hpp"
#include "cli/text_arena.hpp"
#include "core/base/worker_pool.hpp"
#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"
#include "core/kernels/sequence.hpp"

namespace kelpa::cli {

namespace {

constexpr std::string_view USAGE =
    "usage: kelpa faidx REF [REGION ...] [-r FILE] [-i] [-n WIDTH] [-c] [-o FILE] [--mark-strand rc|no|sign]\n"
    "\n"
    "Print each region as a FASTA record named after the region, wrapped at WIDTH\n"
    "bases, as samtools faidx does. A region is NAME, NAME:START, NAME:START-END or\n"
    "NAME:-END (1-based, inclusive; thousands separators and k, M, G suffixes\n"
    "allowed; an END of 0 is the record's end, a START of 0 an empty region);\n"
    "{NAME} quotes a name containing ':'. Without regions, only brings the index\n"
    "REF.fai up to date. Short options bundle as in '-ic -n80'.\n"
    "\n"
    "options:\n"
    "  -r, --region-file FILE    read regions from FILE, one a line ('-': standard\n"
    "                            input; gzip-compressed files are read too)\n"
    "  -i, --reverse-complement  print the reverse complement\n"
    "  -n, --length WIDTH        bases per line (default, and for a WIDTH below 1: 60)\n"
    "  -c, --continue            warn about a region that cannot be printed, print\n"
    "                            it empty and go on\n"
    "  -o, --output FILE         write to FILE instead of standard output\n"
    "      --mark-strand TYPE    rc: '/rc' after reverse complements (default);\n"
    "                            no: nothing; sign: '(+)' or '(-)' after every name\n"
    "  -h, --help                show this help and exit\n";

constexpr std::size_t DEFAULT_WIDTH = 60;

// The line width of -n as samtools reads it: the number strtol() finds at
// the start of the text (blanks, a sign, digits; the rest is ignored), or
// nothing when there is none or it is not positive, which samtools warns
// about and replaces by the default. A width past 2**64 - 1 is 2**64 - 1,
// as strtol() clamps (samtools' int wraps widths past 2**31 - 1 instead).
std::optional<std::size_t> parse_width(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || (text.front() >= '\t' && text.front() <= '\r')))
        text.remove_prefix(1);
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    std::size_t width = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), width);
    if (end == text.data() || negative) return std::nullopt;
    if (problem == std::errc::result_out_of_range) return SIZE_MAX;
    return width == 0 ? std::nullopt : std::optional<std::size_t>(width);
}

struct Settings {
    std::size_t width = DEFAULT_WIDTH;
    bool reverse = false;
    bool keep_going = false;
    std::string suffix;  // after every name
};

// Records of a batch are cut into lines this many bytes at a time.
constexpr std::size_t FORMAT_BLOCK = std::size_t{16} << 20;

// The regions of one batch and the records they become.
class FaidxJob {
public:
    FaidxJob(const core::Faidx& faidx, Output& out, const Settings& settings)
        : faidx_(faidx),
          out_(out),
          settings_(settings),
          bounds_(faidx) {
        // The file's bytes as they are; with -i reverse complemented as
        // samtools and bedtools complement.
        finishing_.utf8 = false;
        finishing_.reverse = settings.reverse;
        finishing_.complement = core::ComplementRule::KeepOthers;
    }

    // Takes one region; the batch keeps a copy of its text, so the caller's
    // may go. False when the run ends here (the reason reported).
    bool add(std::string_view text) {
        Region region;
        std::string problem;
        if (!parse_region(text, faidx_.entries(), faidx_.filename(), region, problem)) return refuse(text, problem);
        if (!region.inexact.empty()) {
            report_warning("region '" + std::string(text) + "': dropped the fractional part of '" +
                           std::string(region.inexact) + "'");
        }
        const std::string_view label = lines_.keep(text);
        const bool repeats = !requests_.empty() && region.entry == last_entry_;
        last_entry_ = region.entry;
        const std::size_t name_at = static_cast<std::size_t>(region.name.data() - text.data());
        requests_.push_back({label.substr(name_at, region.name.size()), region.start, region.end, repeats});
        labels_.push_back(label);
        bounds_.add(*region.entry, region.start, region.end >= region.start ? region.end - region.start + 1 : 0);
        return bounds_.full() ? run() : true;
    }

    // Prints the regions taken so far. False when the run ends here.
    bool run() {
        if (!requests_.empty()) {
            const auto planner = [this](std::size_t i, std::string_view name, const core::IndexEntry& entry,
                                        std::uint64_t start, std::uint64_t end) -> core::Result<core::FetchPlan> {
                core::FetchPlan plan = faidx_.plan_fetch(name, entry, start, end);
                if (!plan.warnings.empty()) {
                    const bool empty = plan.kind != core::FetchPlan::Kind::Extract;
                    report_warning((empty ? "Zero length sequence: " : "Truncated sequence: ") +
                                   std::string(labels_[i]));
                }
                return plan;
            };
            const bool done = core::run_batch(faidx_, requests_, nullptr, {}, finishing_, *this, planner,
                                              executor_for(requests_.size(), bounds_.bases()));
            format_records();
            requests_.clear();
            labels_.clear();
            texts_.clear();
            bounds_.clear();
            arena_.reset();
            lines_.reset();
            if (!done) {
                if (!failure_.empty()) {
                    out_.flush();
                    return report_and_stop(failure_);
                }
                return false;
            }
        }
        return out_.ok() || report_and_stop(out_.error());
    }

    // The sink of run_batch: the texts stay in the arena until the batch
    // is formatted.
    char* reserve(std::size_t, std::uint64_t bytes) { return arena_.take(bytes); }
    bool accept(std::size_t i, const core::BatchResult& result) {
        if (cut_short(result)) {
            failure_ = "region '" + std::string(labels_[i]) + "': " + describe_cut_short(faidx_);
            return false;
        }
        std::string_view text = result.text;
        if (!result.in_place && !text.empty()) {  // a temporary of run_batch's
            char* copy = arena_.take(text.size());
            std::copy(text.begin(), text.end(), copy);
            text = std::string_view(copy, text.size());
        }
        texts_.push_back(text);
        return true;
    }
    void failed(std::size_t i, const core::FaidxError& error) {
        failure_ = "region '" + std::string(labels_[i]) + "': " + describe(error);
    }

private:
    // A region that cannot be printed: its header, as samtools prints it
    // before it gives up on the region, then the end of the run, or with
    // -c a warning and on to the next.
    bool refuse(std::string_view text, const std::string& problem) {
        if (!run()) return false;
        write_record(text, {});
        if (!settings_.keep_going) {
            out_.flush();
            return report_and_stop(problem);
        }
        report_warning(problem);
        return true;
    }

    bool report_and_stop(const std::string& message) {
        if (!message.empty()) report_error(message);
        return false;
    }

    std::size_t header_size(std::string_view label) const { return label.size() + settings_.suffix.size() + 2; }
    // A width past any text (up to 2**64 - 1) is one line.
    std::size_t lines_size(std::size_t bases) const {
        return bases == 0 ? 0 : bases + (bases - 1) / settings_.width + 1;
    }

    char* format_header(std::string_view label, char* p) const {
        *p++ = '>';
        p = std::copy(label.begin(), label.end(), p);
        p = std::copy(settings_.suffix.begin(), settings_.suffix.end(), p);
        *p++ = '\n';
        return p;
    }

    // `text` in lines of the width at `p`, lines_size() bytes.
    void format_lines(std::string_view text, char* p) const {
        const std::size_t width = settings_.width;
        for (const char* in = text.data(); !text.empty();) {
            const std::size_t n = std::min(text.size(), width);
            std::memcpy(p, in, n);
            p[n] = '\n';
            p += n + 1;
            in += n;
            text.remove_prefix(n);
        }
    }

    // The records of the texts extracted so far, written in runs of about
    // FORMAT_BLOCK bytes: a run's records are cut into lines on the worker
    // pool into one block, each at its own offset, and written. A record
    // larger than that goes through the output buffer alone.
    void format_records() {
        const std::size_t count = texts_.size();
        offsets_.resize(count + 1);
        for (std::size_t begin = 0; begin < count;) {
            const std::size_t first = header_size(labels_[begin]) + lines_size(texts_[begin].size());
            if (first > FORMAT_BLOCK) {
                write_record(labels_[begin], texts_[begin]);
                ++begin;
                continue;
            }
            std::size_t end = begin;
            offsets_[begin] = 0;
            for (; end < count; ++end) {
                const std::size_t size = header_size(labels_[end]) + lines_size(texts_[end].size());
                if (offsets_[end] + size > FORMAT_BLOCK) break;
                offsets_[end + 1] = offsets_[end] + size;
            }
            format_run(begin, end);
            begin = end;
        }
    }

    // Records [begin, end), whose offsets_ run from 0, formatted and written.
    void format_run(std::size_t begin, std::size_t end) {
        if (block_ == nullptr) block_.reset(new char[FORMAT_BLOCK]);
        const auto body = [this, begin](std::size_t from, std::size_t to) {
            for (std::size_t i = begin + from; i < begin + to; ++i) {
                format_lines(texts_[i], format_header(labels_[i], block_.get() + offsets_[i]));
            }
        };
        const std::size_t count = end - begin;
        if (count < SMALL_BATCH) {
            body(0, count);
        } else {
            core::StagedBatch batch(count, 64, body);
            batch.finish();
        }
        out_.write_through(block_.get(), offsets_[end]);
    }

    // One record through the output buffer, whole lines a block's worth at
    // a time, or a line longer than a block a block at a time.
    void write_record(std::string_view label, std::string_view text) {
        const std::size_t head = header_size(label);
        format_header(label, out_.space(head));
        out_.commit(head);
        const std::size_t width = settings_.width;
        if (width >= Output::BLOCK) {
            for (; !text.empty(); text.remove_prefix(std::min(width, text.size()))) {
                out_.write_through(text.data(), std::min(width, text.size()));
                out_.append("\n");
            }
            return;
        }
        const std::size_t piece = Output::BLOCK / (width + 1) * width;
        while (!text.empty()) {
            const std::string_view part = text.substr(0, piece);
            const std::size_t size = lines_size(part.size());
            format_lines(part, out_.space(size));
            out_.commit(size);
            text.remove_prefix(part.size());
        }
    }

    const core::Faidx& faidx_;
    Output& out_;
    const Settings& settings_;
    core::Finishing finishing_;
    std::vector<core::RegionRequest> requests_;
    std::vector<std::string_view> labels_;
    std::vector<std::string_view> texts_;  // of the regions finished so far
    std::vector<std::size_t> offsets_;     // of each record in block_
    std::unique_ptr<char[]> block_;        // FORMAT_BLOCK bytes: the formatted records of a run
    const core::IndexEntry* last_entry_ = nullptr;
    BatchBounds bounds_;
    TextArena arena_;  // the texts
    TextArena lines_;  // the regions as given
    std::string failure_;
};

}  // namespace

int run_faidx(const std::vector<std::string>& args) {
    std::string problem;
    const std::optional<ParsedArgs> parsed = with_faidx_options([&](std::initializer_list<OptionSpec> options) {
        return parse_args(args, options, problem, Spelling::Getopt);
    });
    if (!parsed) return usage_error(problem);
    if (parsed->help()) {
        std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
        return 0;
    }
    if (parsed->positionals().empty()) return usage_error("the following arguments are required: REF");

    Settings settings;
    settings.reverse = parsed->has("reverse");
    settings.keep_going = parsed->has("continue");
    for (const std::string& width : parsed->values("width")) {
        const std::optional<std::size_t> value = parse_width(width);
        if (!value) report_warning("bad line length '" + width + "', using default:" + std::to_string(DEFAULT_WIDTH));
        settings.width = value.value_or(DEFAULT_WIDTH);
    }
    const std::string mark = parsed->value("mark").value_or("rc");
    if (mark == "rc") {
        settings.suffix = settings.reverse ? "/rc" : "";
    } else if (mark == "sign") {
        settings.suffix = settings.reverse ? "(-)" : "(+)";
    } else if (mark != "no") {
        return usage_error("argument --mark-strand: invalid choice: '" + mark + "' (choose from 'rc', 'no', 'sign')");
    }

    const std::string& path = parsed->positionals()[0];
    core::Result<std::unique_ptr<core::Faidx>> opened = open_reference(path);
    if (!opened) return fail(describe_open_failure(path, opened.error()));
    if ((*opened)->entries().empty()) return fail(describe_no_record(path));
    const core::Faidx& faidx = **opened;
    const std::optional<std::string> region_file = parsed->value("regions");
    if (!region_file && parsed->positionals().size() == 1) return 0;  // the index is up to date now

    std::optional<Output> out = Output::open(parsed->value("output").value_or(""), problem);
    if (!out) return fail(problem);
    FaidxJob job(faidx, *out, settings);
    if (region_file) {
        std::unique_ptr<LineReader> reader = LineReader::open(*region_file, "region file", problem);
        if (!reader) return fail(problem);
        for (bool reading = true; reading;) {
            std::string_view line;
            switch (reader->next(line)) {
                case LineReader::Next::Line: {
                    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
                    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
                    if (!line.empty() && !job.add(line)) return EXIT_FAILED;
                    break;
                }
                case LineReader::Next::Refill:
                    if (!reader->refill()) {
                        if (!job.run()) return EXIT_FAILED;  // the regions before are printed first
                        out->flush();
                        return fail(reader->error());
                    }
                    break;
                case LineReader::Next::End: reading = false; break;
            }
        }
        if (!job.run()) return EXIT_FAILED;
    }
    for (std::size_t i = 1; i < parsed->positionals().size(); ++i)
        if (!job.add(parsed->positionals()[i])) return EXIT_FAILED;
    if (!job.run()) return EXIT_FAILED;
    if (!out->flush()) return fail(out->error());
    return 0;
}

}  // namespace kelpa::cli
