// kelpa getfasta: the features of a BED file as one-line FASTA records (or
// name<TAB>sequence lines), as bedtools getfasta prints them.
//
// Features are read in batches, planned by the core's coordinate rules
// (Faidx::plan_fetch): a feature whose plan comes with warnings, or on a
// sequence the index lacks, is skipped with a warning in bedtools' words.
// The texts are extracted on the worker pool and written in input order;
// reverse complements (-s) are made while writing.
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <unordered_set>

#include "cli/bed.hpp"
#include "cli/commands.hpp"
#include "cli/line_reader.hpp"
#include "cli/options.hpp"
#include "cli/output.hpp"
#include "cli/report.hpp"
#include "cli/text_arena.hpp"
#include "core/batch.hpp"
#include "core/faidx.hpp"
#include "core/sequence.hpp"

namespace kelpa::cli {

namespace {

constexpr std::string_view USAGE =
    "usage: kelpa getfasta REF BED [-s] [--split] [--name | --name-only] [--tab] [-o FILE]\n"
    "       kelpa getfasta -fi REF -bed BED [-fo FILE] [-s] [-split] [-name | -nameOnly] [-tab]\n"
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
    "                        name records after the BED name alone\n"
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

class GetfastaJob {
public:
    GetfastaJob(const core::Faidx& faidx, Output& out, const Settings& settings, std::string bed_path)
        : faidx_(faidx), out_(out), settings_(settings), bed_path_(std::move(bed_path)) {}

    // Takes one line of the BED file. False when the run ends here.
    bool add(std::string_view line, std::size_t number) {
        BedFeature bed;
        std::string problem;
        switch (parse_bed_line(line, bed, settings_.split ? &blocks_ : nullptr, problem)) {
            case BedLine::Skip: return true;
            case BedLine::Bad:
                if (!run()) return false;
                out_.flush();
                report_error(bed_path_ + ", line " + std::to_string(number) + ": " + problem);
                return false;
            case BedLine::Feature: break;
        }
        const bool repeats = !requests_.empty() && bed.chrom == last_chrom_;
        if (!repeats) {
            const core::IndexEntry* entry = faidx_.entries().find(bed.chrom);
            if (entry == nullptr) {
                if (missing_.insert(std::string(bed.chrom)).second) {
                    report_warning("chromosome (" + std::string(bed.chrom) +
                                   ") was not found in the FASTA file. Skipping.");
                }
                return true;
            }
            last_chrom_ = bed.chrom;
        }
        Feature& feature = features_.emplace_back(Feature{bed});
        if (settings_.split && !blocks_.empty()) {
            feature.pieces = blocks_.size();
            for (std::size_t b = 0; b < blocks_.size(); ++b) {
                requests_.push_back({bed.chrom, blocks_[b].first + 1, blocks_[b].second, repeats || b > 0});
                owner_.push_back(features_.size() - 1);
            }
        } else {
            requests_.push_back({bed.chrom, bed.start + 1, bed.end, repeats});
            owner_.push_back(features_.size() - 1);
        }
        bases_ += bed.end - bed.start;
        return requests_.size() < BATCH_REGIONS && bases_ < BATCH_BASES ? true : run();
    }

    // Prints the features taken so far. False when the run ends here.
    bool run() {
        if (!requests_.empty()) {
            const auto planner = [this](std::size_t i, std::string_view name, const core::IndexEntry& entry,
                                        std::uint64_t start, std::uint64_t end) -> core::Result<core::FetchPlan> {
                Feature& feature = features_[owner_[i]];
                core::FetchPlan plan = faidx_.plan_fetch(name, entry, start, end);
                if (!plan.warnings.empty() && !feature.skipped) {
                    feature.skipped = true;
                    skip_warning(feature.bed, entry.rlen);
                }
                if (feature.skipped) plan.kind = core::FetchPlan::Kind::Empty;
                return plan;
            };
            records_.assign(requests_.size(), nullptr);
            prefixes_.assign(requests_.size(), {});
            const bool done = core::run_batch(faidx_, requests_, nullptr, {}, false, *this, planner);
            send_span();
            requests_.clear();
            owner_.clear();
            features_.clear();
            bases_ = 0;
            arena_.reset();
            headers_.reset();
            if (!done) {
                if (!failure_.empty()) {
                    out_.flush();
                    report_error(failure_);
                }
                return false;
            }
        }
        if (!out_.ok() && !out_.closed()) report_error(out_.error());
        return out_.ok();
    }

    // The sink of run_batch. The text of a feature printed whole is
    // extracted right behind its header in the arena, so that a run of
    // such records goes out from there in one write, without a copy. The
    // header is formatted here, into a small arena of its own, and the
    // worker that writes the text puts it in place: a store of this thread
    // into the far larger text arena costs more than formatting it.
    char* reserve(std::size_t i, std::uint64_t bytes) {
        const Feature& feature = features_[owner_[i]];
        if (feature.pieces != 1) return arena_.take(bytes);
        format_header(feature.bed, header_);
        char* header = headers_.take(header_.size());
        std::copy(header_.begin(), header_.end(), header);
        prefixes_[i] = std::string_view(header, header_.size());
        char* record = arena_.take(header_.size() + bytes + 1);
        records_[i] = record;
        return record + header_.size();
    }
    std::string_view prefix(std::size_t i) const { return prefixes_[i]; }
    bool finished(std::size_t i, const core::BatchResult& result) {
        const Feature& feature = features_[owner_[i]];
        if (feature.skipped) return true;
        if (feature.pieces == 1) {
            if (records_[i] != nullptr && result.in_place) {
                char* text = const_cast<char*>(result.text.data());
                if (settings_.strand && feature.bed.strand == "-")
                    core::reverse_complement_in_place(text, result.text.size(), core::ComplementRule::KeepOthers);
                text[result.text.size()] = '\n';
                send(records_[i], text + result.text.size() + 1);
            } else {
                write_record(feature, result.text);
            }
        } else {
            joined_.append(result.text);
            if (++pieces_seen_ == feature.pieces) {
                write_record(feature, joined_);
                joined_.clear();
                pieces_seen_ = 0;
            }
        }
        return out_.ok();
    }
    void failed(std::size_t i, const core::FaidxError& error) {
        const BedFeature& bed = features_[owner_[i]].bed;
        failure_ = std::string(bed.chrom) + ":" + std::to_string(bed.start) + "-" + std::to_string(bed.end) + ": " +
                   error.display();
    }

private:
    void skip_warning(const BedFeature& bed, std::uint64_t length) {
        const std::string where = "Feature (" + std::string(bed.chrom) + ":" + std::to_string(bed.start) + "-" +
                                  std::to_string(bed.end) + ")";
        if (bed.start == bed.end) {
            report_warning(where + " has length = 0, Skipping.");
        } else {
            report_warning(where + " beyond the length of " + std::string(bed.chrom) + " size (" +
                           std::to_string(length) + " bp). Skipping.");
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

    // A record through the output buffer, after whatever went before it.
    void write_record(const Feature& feature, std::string_view text) {
        send_span();
        const BedFeature& bed = feature.bed;
        format_header(bed, header_);
        out_.append(header_);
        const bool reverse = settings_.strand && bed.strand == "-";
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
    std::string bed_path_;
    BedBlocks blocks_;
    std::vector<Feature> features_;
    std::vector<core::RegionRequest> requests_;
    std::vector<std::size_t> owner_;  // feature of each request
    std::string_view last_chrom_;
    std::unordered_set<std::string> missing_;  // sequences already warned about
    std::uint64_t bases_ = 0;
    TextArena arena_;
    std::vector<char*> records_;  // where each request's record starts in the arena, if there
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
    const std::optional<ParsedArgs> parsed = parse_args(args,
                                                        {{"ref", {"-fi"}, true},
                                                         {"bed", {"-bed"}, true},
                                                         {"output", {"-o", "--output", "-fo"}, true},
                                                         {"strand", {"-s", "--strand"}},
                                                         {"split", {"--split", "-split"}},
                                                         {"name", {"--name", "-name"}},
                                                         {"name_only", {"--name-only", "-nameOnly"}},
                                                         {"tab", {"--tab", "-tab"}}},
                                                        problem);
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
    settings.name_only = parsed->has("name_only");
    settings.tab = parsed->has("tab");
    if (settings.name && settings.name_only)
        return usage_error("argument --name-only: not allowed with argument --name");

    const std::string& path = files[0];
    core::Result<std::unique_ptr<core::Faidx>> opened = core::Faidx::open(path, std::nullopt, faidx_options());
    if (!opened) return fail(describe_open_failure(path, opened.error()));
    std::unique_ptr<LineReader> reader = LineReader::open(files[1], "BED file", problem);
    if (!reader) return fail(problem);
    std::optional<Output> out = Output::open(parsed->value("output").value_or(""), problem);
    if (!out) return fail(problem);

    GetfastaJob job(**opened, *out, settings, files[1]);
    for (;;) {
        std::string_view line;
        const LineReader::Next next = reader->next(line);
        if (next == LineReader::Next::End) break;
        if (next == LineReader::Next::Line) {
            if (!job.add(line, reader->line_number())) return EXIT_FAILED;
            continue;
        }
        if (!job.run()) return EXIT_FAILED;
        if (!reader->refill()) {
            out->flush();
            return fail(reader->error());
        }
    }
    if (!job.run()) return EXIT_FAILED;
    if (!out->flush()) return out->closed() ? EXIT_FAILED : fail(out->error());
    return 0;
}

}  // namespace kelpa::cli
