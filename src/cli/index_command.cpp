// kelpa index: writes REF.fai afresh, as samtools faidx REF does (and, for
// a BGZF-compressed REF, REF.gzi beside it). A file without any record is
// refused, as samtools refuses it; text before the first header is passed
// over, which samtools refuses.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/report.hpp"
#include "core/bgzf.hpp"
#include "core/faidx.hpp"
#include "core/fault_guard.hpp"
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

constexpr std::uint64_t PIECE = std::uint64_t{1} << 20;
constexpr std::uint64_t RELEASE = std::uint64_t{16} << 20;  // a multiple of PIECE and of the page size

// Copies a mapping out a piece at a time into a few buffers that the
// processor's caches hold, on a thread of its own, a few pieces ahead of
// the scan. The copies are guarded, so a file cut short meanwhile is an
// error, not SIGBUS. Without a thread (none could be started), each piece
// is copied when the scan asks for it.
class PieceCopier {
public:
    explicit PieceCopier(const core::Mapping& mapping)
        : mapping_(mapping), count_((mapping.length() + PIECE - 1) / PIECE) {
        for (auto& slot : slots_) slot.reset(new char[PIECE]);
        if (count_ < 2) return;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
        }
    }
    ~PieceCopier() {
        if (!thread_.joinable()) return;
        stop_.store(true);
        freed_.store(count_);
        freed_.notify_one();
        thread_.join();
    }
    PieceCopier(const PieceCopier&) = delete;
    PieceCopier& operator=(const PieceCopier&) = delete;

    std::uint64_t count() const { return count_; }

    // Piece k's text, once copied; nullopt when pages of it had gone from
    // the file. Pieces are asked for in order, each after done() of the one before.
    std::optional<std::string_view> get(std::uint64_t k) {
        if (!thread_.joinable()) {
            failed_[k % SLOTS] = !copy(k);
        } else {
            for (std::uint64_t copied; (copied = copied_.load(std::memory_order_acquire)) <= k;)
                copied_.wait(copied, std::memory_order_acquire);
        }
        if (failed_[k % SLOTS]) return std::nullopt;
        return std::string_view(slots_[k % SLOTS].get(), size(k));
    }

    // The scan is through with piece k: its buffer may take another.
    void done(std::uint64_t k) {
        freed_.store(k + 1, std::memory_order_release);
        freed_.notify_one();
    }

private:
    static constexpr std::uint64_t SLOTS = 4;

    std::size_t size(std::uint64_t k) const {
        return static_cast<std::size_t>(std::min(PIECE, mapping_.length() - k * PIECE));
    }

    bool copy(std::uint64_t k) {
        const char* piece = mapping_.data() + k * PIECE;
        const std::size_t n = size(k);
        char* into = slots_[k % SLOTS].get();
        if (!core::guarded_read(piece, n, [&] { std::memcpy(into, piece, n); })) return false;
        // Let go of the pages copied (the page cache keeps them), so the
        // resident set stays a few pieces in size.
        const std::uint64_t through = k * PIECE + n;
        if (through % RELEASE == 0)
            ::madvise(const_cast<char*>(mapping_.data()) + through - RELEASE, RELEASE, MADV_DONTNEED);
        return true;
    }

    void run() {
        for (std::uint64_t k = 0; k < count_; ++k) {
            for (std::uint64_t freed; k >= (freed = freed_.load(std::memory_order_acquire)) + SLOTS;)
                freed_.wait(freed, std::memory_order_acquire);
            if (stop_.load()) return;
            const bool ok = copy(k);
            failed_[k % SLOTS] = !ok;
            copied_.store(k + 1, std::memory_order_release);
            copied_.notify_one();
            if (!ok) return;
        }
    }

    const core::Mapping& mapping_;
    const std::uint64_t count_;
    std::unique_ptr<char[]> slots_[SLOTS];
    bool failed_[SLOTS] = {};  // the copy into the slot was cut short; read after copied_ says it is done
    std::atomic<std::uint64_t> copied_{0};  // pieces copied
    std::atomic<std::uint64_t> freed_{0};   // pieces the scan is through with
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The scan over a mapping of the file, cheaper than read() copying the
// whole file out of the kernel. A file that cannot be mapped, or whose
// mapping cannot be guarded (fault_guard.hpp), is read.
core::Result<std::vector<core::NamedEntry>> scan(const std::string& path, const core::UniqueFd& fd) {
    core::Mapping mapping;
    if (!mapping.map(fd.get())) return core::scan_fasta(path, core::Encoding::Bytes);
    if (!core::install_fault_handler()) return core::scan_fasta(path, core::Encoding::Bytes);
    ::madvise(const_cast<char*>(mapping.data()), mapping.length(), MADV_SEQUENTIAL);
    core::FastaTextScan text(path, core::Encoding::Bytes);
    PieceCopier pieces(mapping);
    for (std::uint64_t k = 0; k < pieces.count(); ++k) {
        const std::optional<std::string_view> piece = pieces.get(k);
        if (!piece) return core::FaidxError::io(path + " changed while it was indexed");
        if (core::Status fed = text.feed(*piece); !fed) return fed.take_error();
        pieces.done(k);
    }
    return text.finish();
}

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
    core::Result<std::vector<core::NamedEntry>> records = scan(path, *opened);
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
