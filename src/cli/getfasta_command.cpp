// kelpa getfasta: the features of a BED file as one-line FASTA records (or
// name<TAB>sequence lines), as bedtools getfasta prints them.
//
// Features are read in batches (batch_bounds.hpp), planned by the core's
// coordinate rules (Faidx::plan_fetch): a feature whose plan comes with
// warnings, or on a sequence the index lacks, is skipped with bedtools' own
// warning line, byte for byte (a missing sequence at each of its lines, as
// bedtools tells it). Warnings come in line order, as bedtools prints them.
// The texts are extracted on the worker pool and written in input order;
// reverse complements (-s) are made while writing.
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

#include "cli/batch_bounds.hpp"
#include "cli/bed.hpp"
#include "cli/commands.hpp"
#include "cli/line_reader.hpp"
#include "cli/option_tables.hpp"
#include "cli/options.hpp"
#include "cli/output.hpp"
#include "cli/report.hpp"
#include "cli/text_arena.hpp"
#include "core/batch/batch.hpp"
#include "core/fetch/faidx.hpp"
#include "core/kernels/sequence.hpp"

namespace kelpa::cli {

namespace {

// The file's bytes as they are; a minus-strand feature printed whole is
// reverse complemented by the batch (its request says so), as bedtools
// complements, and one printed in blocks once they are joined.
const core::Finishing FINISHING{false, nullptr, false, core::ComplementRule::KeepOthers, false};

constexpr std::string_view USAGE =
    "usage: kelpa getfasta REF BED [-s] [--split] [--name] [--name-only] [--tab] [-o FILE]\n"
    "       kelpa getfasta -fi REF -bed BED [-fo FILE] [-s] [-split] [-name] [-nameOnly] [-tab]\n"
    "\n"
    "Print one record, on one line, for each feature of a BED file (0-based,\n"
    "half-open), named CHROM:START-END, as bedtools getfasta does. BED is a file\n"
    "('-' or 'stdin': standard input; gzip-compressed files are read too).\n"
    "\n"
    "options:\n"
    "  -s, --strand          reverse-complement features on the - strand; the name\n"
    "                        gets '(STRAND)'\n"
    "      --split, -split   join the blocks of BED12 features\n"
    "      --name, -name     name records NAME::CHROM:START-END after the BED name\n"
    "      --name-only, -nameOnly\n"
    "                        name records after the BED name alone (--name wins\n"
    "                        when both are given)\n"
    "      --tab, -tab       print NAME<TAB>SEQUENCE lines\n"
    "  -o, --output FILE     write to FILE instead of standard output (also -fo)\n"
    "  -h, --help            show this help and exit\n";

struct Settings {
    bool strand = false;
    bool split = false;
    bool name = false;
    bool name_only = false;
    bool tab = false;
};

struct Feature {
    BedFeature bed;
    std::size_t pieces = 1;  // requests: its blocks with --split, else 1
    bool skipped = false;    // planned out, with a warning
};

// The features of one batch, as read from the BED file.
struct Batch {
    static constexpr std::size_t MAX_WARNINGS = 1 << 16;

    explicit Batch(const core::Faidx& faidx) : bounds(faidx) {}

    std::vector<Feature> features;
    std::vector<core::RegionRequest> requests;
    std::vector<std::size_t> owner;  // feature of each request
    // Of its lines, each with the number of features before it: told as
    // the batch is planned, in line order with the features' own.
    std::vector<std::pair<std::size_t, std::string>> warnings;
    std::string_view last_chrom;
    const core::IndexEntry* last_entry = nullptr;  // of last_chrom
    BatchBounds bounds;
    TextArena lines;  // the lines of its features, which they point into

    // Full of regions, or of warnings: a BED file of lines on sequences the
    // index lacks holds no feature that would end the batch.
    bool full() const { return bounds.full() || warnings.size() >= MAX_WARNINGS; }
    void clear() {
        features.clear();
        requests.clear();
        owner.clear();
        warnings.clear();
        bounds.clear();
        lines.reset();
    }
};

// Reads the BED file in batches and prints them. While the workers extract
// one batch, the calling thread reads the next (up to the end of the window
// of the file read so far; each batch keeps copies of its lines, so the
// window is refilled whenever it is used up).
class GetfastaJob {
public:
    GetfastaJob(const core::Faidx& faidx, Output& out, const Settings& settings, LineReader& reader)
        : faidx_(faidx),
          out_(out),
          settings_(settings),
          reader_(reader),
          batches_{Batch(faidx), Batch(faidx)} {}

    // Prints every feature of the BED file. False when the run ends early
    // (what ended it was told).
    bool run_all() {
        for (;;) {
            if (bad_line_ != 0) {  // the lines before it are printed first
                if (!run()) return false;
                return report_bad_line();
            }
            if (filling().full()) {
                if (!run()) return false;
                continue;
            }
            std::string_view line;
            switch (reader_.next(line)) {
                case LineReader::Next::End: return run();
                case LineReader::Next::Refill:
                    if (!reader_.refill()) {
                        if (!run()) return false;  // the lines before are printed first
                        out_.flush();
                        report_error(reader_.error());
                        return false;
                    }
                    break;
                case LineReader::Next::Line: add(line, reader_.line_number()); break;
            }
        }
    }

    // Takes one line of the BED file into the batch being filled; a line
    // that cannot be read is kept as the bad one.
    void add(std::string_view text, std::size_t number) {
        Batch& batch = filling();
        const std::string_view line = batch.lines.keep(text);
        BedFeature bed;
        switch (parse_bed_line(line, bed, settings_.split ? &blocks_ : nullptr, bad_problem_)) {
            case BedLine::Skip: return;
            case BedLine::Bad: bad_line_ = number; return;
            case BedLine::Feature: break;
        }
        const bool repeats = !batch.requests.empty() && bed.chrom == batch.last_chrom;
        if (!repeats) {
            const core::IndexEntry* entry = faidx_.entries().find(bed.chrom);
            if (entry == nullptr) {
                batch.warnings.emplace_back(batch.features.size(), "WARNING. chromosome (" + std::string(bed.chrom) +
                                                                       ") was not found in the FASTA file. Skipping.");
                return;
            }
            batch.last_chrom = bed.chrom;
            batch.last_entry = entry;
        }
        Feature& feature = batch.features.emplace_back(Feature{bed});
        if (settings_.split && !blocks_.empty()) {
            feature.pieces = blocks_.size();
            const bool whole = blocks_.size() == 1;
            for (std::size_t b = 0; b < blocks_.size(); ++b) {
                batch.requests.push_back(
                    {bed.chrom, blocks_[b].first + 1, blocks_[b].second, repeats || b > 0, whole && minus_strand(bed)});
                batch.owner.push_back(batch.features.size() - 1);
            }
        } else {
            batch.requests.push_back({bed.chrom, bed.start + 1, bed.end, repeats, minus_strand(bed)});
            batch.owner.push_back(batch.features.size() - 1);
        }
        batch.bounds.add(*batch.last_entry, bed.start + 1, bed.end - bed.start);
    }

    // Prints the batch being filled; the next one is filled meanwhile. False
    // when the run ends here.
    bool run() {
        Batch& batch = filling();
        filling_ ^= 1;
        told_ = 0;
        bool done = true;
        if (!batch.requests.empty()) {
            running_ = &batch;
            planned_ = 0;
            const auto planner = [this](std::size_t i, std::string_view name, const core::IndexEntry& entry,
                                        std::uint64_t start, std::uint64_t end) -> core::Result<core::FetchPlan> {
                ++planned_;
                tell_warnings(*running_, running_->owner[i]);
                Feature& feature = running_->features[running_->owner[i]];
                core::FetchPlan plan = faidx_.plan_fetch(name, entry, start, end);
                if (!plan.warnings.empty() && !feature.skipped) {
                    feature.skipped = true;
                    skip_warning(feature.bed, entry.rlen);
                }
                if (feature.skipped) plan.kind = core::FetchPlan::Kind::Empty;
                return plan;
            };
            prefixes_.assign(batch.requests.size(), {});
            done = core::run_batch(faidx_, batch.requests, nullptr, {}, FINISHING, *this, planner,
                                   executor_for(batch.requests.size(), batch.bounds.bases()));
            send_span();
            arena_.reset();
            headers_.reset();
            running_ = nullptr;
        }
        if (done) tell_warnings(batch, batch.features.size());
        batch.clear();
        if (!done && !failure_.empty()) {
            out_.flush();
            report_error(failure_);
            return false;
        }
        // Otherwise a batch stops early only when a write failed.
        if (!out_.ok()) report_error(out_.error());
        return done && out_.ok();
    }

    // Called by run_batch around its waits for the pool: once every region
    // is planned and handed over, the next batch is read meanwhile.
    template <class Work>
    void wait(Work&& work) {
        if (running_ != nullptr && planned_ == running_->requests.size()) read_ahead();
        work();
    }

    // The sink of run_batch. The text of a feature printed whole is
    // extracted right behind its header in the arena, so that a run of
    // such records goes out from there in one write, without a copy. The
    // header is formatted here, into a small arena of its own, and the
    // worker that writes the text puts it in place (on_worker): a store of
    // this thread into the far larger text arena costs more than
    // formatting it. The worker also ends the record's line.
    char* reserve(std::size_t i, std::uint64_t bytes) {
        const Feature& feature = running_->features[running_->owner[i]];
        if (feature.pieces != 1) return arena_.take(bytes);
        format_header(feature.bed, header_);
        char* header = headers_.take(header_.size());
        std::copy(header_.begin(), header_.end(), header);
        prefixes_[i] = std::string_view(header, header_.size());
        return arena_.take(header_.size() + bytes + 1) + header_.size();
    }
    void on_worker(std::size_t i, char* text, std::uint64_t size) const {
        const Feature& feature = running_->features[running_->owner[i]];
        if (feature.pieces != 1) return;
        const std::string_view header = prefixes_[i];
        std::copy(header.begin(), header.end(), text - header.size());
        text[size] = '\n';
    }
    bool accept(std::size_t i, const core::BatchResult& result) {
        const Feature& feature = running_->features[running_->owner[i]];
        if (feature.skipped) return true;
        if (cut_short(result)) {
            failure_ = feature_label(feature.bed) + ": " + describe_cut_short(faidx_);
            return false;
        }
        if (feature.pieces == 1) {
            if (result.in_place) {  // in the arena, framed by on_worker
                const char* text = result.text.data();
                send(text - prefixes_[i].size(), text + result.text.size() + 1);
            } else {
                write_record(feature, result.text, false);
            }
        } else {
            joined_.append(result.text);
            if (++pieces_seen_ == feature.pieces) {
                write_record(feature, joined_, minus_strand(feature.bed));
                joined_.clear();
                pieces_seen_ = 0;
            }
        }
        return out_.ok();
    }
    void failed(std::size_t i, const core::FaidxError& error) {
        failure_ = feature_label(running_->features[running_->owner[i]].bed) + ": " + describe(error);
    }

private:
    // Whether the feature's text is printed reverse complemented.
    bool minus_strand(const BedFeature& bed) const { return settings_.strand && bed.strand == "-"; }

    static std::string feature_label(const BedFeature& bed) {
        return std::string(bed.chrom) + ":" + std::to_string(bed.start) + "-" + std::to_string(bed.end);
    }

    Batch& filling() { return batches_[filling_]; }

    // Reads lines into the batch being filled until it is full, the window
    // of the file is used up, or a line is bad.
    void read_ahead() {
        while (bad_line_ == 0 && !filling().full()) {
            std::string_view line;
            if (reader_.next(line) != LineReader::Next::Line) return;  // the main loop refills or ends
            add(line, reader_.line_number());
        }
    }

    // Tells the warnings of the lines before feature `k` of `batch` not told yet.
    void tell_warnings(const Batch& batch, std::size_t k) {
        for (; told_ < batch.warnings.size() && batch.warnings[told_].first <= k; ++told_)
            report_peer_line(batch.warnings[told_].second);
    }

    bool report_bad_line() {
        out_.flush();
        report_error(reader_.path() + ", line " + std::to_string(bad_line_) + ": " + bad_problem_);
        return false;
    }

    void skip_warning(const BedFeature& bed, std::uint64_t length) {
        const std::string where = "Feature (" + std::string(bed.chrom) + ":" + std::to_string(bed.start) + "-" +
                                  std::to_string(bed.end) + ")";
        if (bed.start == bed.end) {
            report_peer_line(where + " has length = 0, Skipping.");
        } else {
            report_peer_line(where + " beyond the length of " + std::string(bed.chrom) + " size (" +
                             std::to_string(length) + " bp).  Skipping.");
        }
    }

    // >[NAME::]CHROM:START-END[(STRAND)] or >NAME[(STRAND)], and what
    // follows the name ('\n', or a tab with --tab).
    void format_header(const BedFeature& bed, std::string& header) const {
        header.clear();
        if (!settings_.tab) header.push_back('>');
        if (settings_.name_only) {
            header.append(bed.name);
        } else {
            if (settings_.name) header.append(bed.name).append("::");
            char number[24];
            header.append(bed.chrom).push_back(':');
            header.append(number, std::to_chars(number, number + sizeof number, bed.start).ptr).push_back('-');
            header.append(number, std::to_chars(number, number + sizeof number, bed.end).ptr);
        }
        if (settings_.strand) header.append("(").append(bed.strand).append(")");
        header.push_back(settings_.tab ? '\t' : '\n');
    }

    // Whole records in the arena, [begin, end): joined to the run before
    // when they follow it, written when they do not.
    void send(const char* begin, const char* end) {
        if (begin != span_end_) send_span();
        if (span_begin_ == nullptr) span_begin_ = begin;
        span_end_ = end;
    }
    void send_span() {
        if (span_begin_ != nullptr) out_.write_through(span_begin_, static_cast<std::size_t>(span_end_ - span_begin_));
        span_begin_ = span_end_ = nullptr;
    }

    // A record through the output buffer, after whatever went before it;
    // `reverse`: its reverse complement (the blocks of a --split feature,
    // joined).
    void write_record(const Feature& feature, std::string_view text, bool reverse) {
        send_span();
        const BedFeature& bed = feature.bed;
        format_header(bed, header_);
        out_.append(header_);
        // A long text goes out a block at a time, from its end when reversed.
        while (!text.empty()) {
            const std::size_t n = std::min(text.size(), Output::BLOCK);
            char* q = out_.space(n);
            if (reverse) {
                core::reverse_complement(text.data() + text.size() - n, n, q, core::ComplementRule::KeepOthers);
                text.remove_suffix(n);
            } else {
                std::copy(text.data(), text.data() + n, q);
                text.remove_prefix(n);
            }
            out_.commit(n);
        }
        out_.append("\n");
    }

    const core::Faidx& faidx_;
    Output& out_;
    const Settings& settings_;
    LineReader& reader_;
    BedBlocks blocks_;
    Batch batches_[2];
    std::size_t filling_ = 0;       // the batch lines go into
    Batch* running_ = nullptr;      // the batch on the workers
    std::size_t planned_ = 0;       // of its requests
    std::size_t told_ = 0;          // of its warnings
    std::size_t bad_line_ = 0;      // number of the bad line found, if any
    std::string bad_problem_;
    TextArena arena_;
    TextArena headers_;           // the headers of the records in the arena
    std::vector<std::string_view> prefixes_;  // each request's header there, if any
    std::string header_;
    const char* span_begin_ = nullptr;  // records in the arena not written yet
    const char* span_end_ = nullptr;
    std::string joined_;  // the blocks of a --split feature so far
    std::size_t pieces_seen_ = 0;
    std::string failure_;
};

}  // namespace

int run_getfasta(const std::vector<std::string>& args) {
    std::string problem;
    const std::optional<ParsedArgs> parsed = with_getfasta_options(
        [&](std::initializer_list<OptionSpec> options) { return parse_args(args, options, problem); });
    if (!parsed) return usage_error(problem);
    if (parsed->help()) {
        std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
        return 0;
    }
    std::vector<std::string> files = parsed->positionals();
    const std::optional<std::string> ref = parsed->value("ref"), bed = parsed->value("bed");
    if (ref) files.insert(files.begin(), *ref);
    if (bed) files.push_back(*bed);
    if (files.empty()) return usage_error("the following arguments are required: REF, BED");
    if (files.size() == 1)
        return usage_error(std::string("the following arguments are required: ") + (bed ? "REF" : "BED"));
    if (files.size() > 2) return usage_error("unrecognized arguments: " + files[2]);
    if (files[1] == "stdin") files[1] = "-";  // as bedtools names standard input
    Settings settings;
    settings.strand = parsed->has("strand");
    settings.split = parsed->has("split");
    settings.name = parsed->has("name");
    settings.name_only = parsed->has("name_only") && !settings.name;  // bedtools' -name wins, first or not
    settings.tab = parsed->has("tab");

    const std::string& path = files[0];
    core::Result<std::unique_ptr<core::Faidx>> opened = open_reference(path);
    if (!opened) return fail(describe_open_failure(path, opened.error()));
    if ((*opened)->entries().empty()) return fail(describe_no_record(path));
    std::unique_ptr<LineReader> reader = LineReader::open(files[1], "BED file", problem);
    if (!reader) return fail(problem);
    std::optional<Output> out = Output::open(parsed->value("output").value_or(""), problem);
    if (!out) return fail(problem);

    GetfastaJob job(**opened, *out, settings, *reader);
    if (!job.run_all()) return EXIT_FAILED;
    if (!out->flush()) return fail(out->error());
    return 0;
}

}  // namespace kelpa::cli
