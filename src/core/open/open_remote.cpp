// A FASTA file named by a URL (remote/http.hpp, remote/http_bytes.hpp).
#include <sys/stat.h>

#include <algorithm>
#include <mutex>

#include "core/open/open_remote.hpp"

#include "core/batch/bgzf_batch.hpp"
#include "core/bgzf/bgzf_text.hpp"
#include "core/index/index_builder.hpp"
#include "core/remote/http.hpp"
#include "core/remote/http_bytes.hpp"

namespace kelpa::core {

namespace {

bool exists(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

std::string gzi_beside(const std::string& index) {
    constexpr std::string_view FAI = ".fai";
    if (index.size() > FAI.size() && index.compare(index.size() - FAI.size(), FAI.size(), FAI) == 0)
        return index.substr(0, index.size() - FAI.size()) + ".gzi";
    return index + ".gzi";
}

// A remote file read once from start to end (building its index): its
// bytes fetched WINDOW at a time, each window's requests all at once; the
// last two windows are kept for readers a little behind (the workers that
// inflate a BGZF file's blocks).
class StreamedBytes final : public RawSource {
public:
    static constexpr std::uint64_t WINDOW = std::uint64_t{32} << 20;

    explicit StreamedBytes(const RawSource& raw) : raw_(raw) {}

    std::uint64_t size() const override { return raw_.size(); }
    bool shrunk() const override { return raw_.shrunk(); }
    const std::string& name() const override { return raw_.name(); }

    Result<std::string_view> read(std::uint64_t offset, std::size_t n, char* scratch) const override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            const auto covers = [&](const Window& window) {
                return window.held && offset >= window.begin && offset + n <= window.end;
            };
            if (!covers(windows_[0]) && !covers(windows_[1]) && offset < raw_.size()) {
                const std::uint64_t begin = offset - offset % (std::uint64_t{1} << 20);
                const std::uint64_t end = std::max(begin + WINDOW, offset + n) + BGZF_MAX_BLOCK;
                Result<ReadHold> held = raw_.hold({ByteRange{begin, end}});
                if (!held) return held.take_error();
                windows_[1] = std::move(windows_[0]);
                windows_[0] = Window{begin, end, std::move(held.value())};
            }
        }
        return raw_.read(offset, n, scratch);
    }

private:
    struct Window {
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
        ReadHold held;
    };
    const RawSource& raw_;
    mutable std::mutex lock_;
    mutable Window windows_[2];
};

// The records of a remote plain FASTA file, read once as a stream.
Result<std::vector<NamedEntry>> scan_remote(const RawSource& raw, Encoding encoding) {
    const StreamedBytes stream(raw);
    FastaTextScan scan(raw.name(), encoding);
    constexpr std::size_t PIECE = std::size_t{4} << 20;
    std::vector<char> buffer(PIECE);
    for (std::uint64_t at = 0; at < raw.size();) {
        Result<std::string_view> got = stream.read(at, PIECE, buffer.data());
        if (!got) return got.take_error();
        if (got->empty()) return changed_while_open_error(raw.name());
        if (Status fed = scan.feed(*got); !fed) return fed.take_error();
        at += got->size();
    }
    return scan.finish();
}

// An index's text, downloaded or read from a local file.
Status load_index(const std::string& index, NameTable& entries, Encoding encoding) {
    if (!is_url(index)) return read_index(index, entries, encoding);
    Result<std::string> text = download(index);
    if (!text) return text.take_error();
    return parse_index(*text, entries, encoding);
}

Result<BlockTable> load_gzi(const std::string& gzi, const CompressedFile& file) {
    if (!is_url(gzi)) return read_gzi(gzi, file);
    Result<std::string> bytes = download(gzi);
    if (!bytes) return bytes.take_error();
    return gzi_from_bytes(*bytes, gzi, file);
}

}  // namespace

Status load_any_index(const std::string& index, NameTable& entries, Encoding encoding) {
    return load_index(index, entries, encoding);
}

Result<std::unique_ptr<Faidx>> open_remote(FaidxParts parts) {
    const std::string& url = parts.filename;
    const std::string& index = parts.indexname;
    const FaidxOptions& options = parts.options;
    if (index.find('\0') != std::string::npos) return FaidxError::index_not_found(index);
    std::string head;
    Result<std::unique_ptr<HttpBytes>> opened = HttpBytes::open(url, FORMAT_PROBE_SIZE, head);
    if (!opened) return opened.take_error();
    std::unique_ptr<HttpBytes> raw = std::move(opened.value());
    const FileFormat format = detect_format(head);
    if (Status refused = refuse_format(format, url); !refused) return refused.take_error();
    const bool local = !is_url(index);
    const std::string gzi = options.gzi_name.value_or(gzi_beside(index));
    const bool bgzf = format == FileFormat::Bgzf;
    const bool build =
        local && options.build_index && (options.always_build || !exists(index) || (bgzf && !exists(gzi)));

    if (bgzf) {
        const CompressedFile file{nullptr, raw.get(), raw->size(), url};
        Result<bool> marked = file.ends_with_eof_marker();
        if (!marked) return marked.take_error();
        parts.missing_eof_marker = !*marked;
        std::optional<BlockTable> table;
        if (build) {
            const StreamedBytes stream(*raw);
            const CompressedFile streamed{nullptr, &stream, raw->size(), url};
            Result<BlockTable> built = build_bgzf_indexes(streamed, gzi, index, parts.entries, options.encoding);
            if (!built) return built.take_error();
            table.emplace(std::move(built.value()));
        } else {
            if (Status loaded = load_index(index, parts.entries, options.encoding); !loaded) return loaded.take_error();
            Result<BlockTable> read = load_gzi(gzi, file);
            if (!read) return read.take_error();
            table.emplace(std::move(read.value()));
        }
        auto text = std::make_unique<BgzfText>(std::move(raw), std::move(*table));
        parts.batch_stage = bgzf_batch_stage(*text);
        parts.text = std::move(text);
    } else {
        if (build) {
            Result<std::vector<NamedEntry>> records = scan_remote(*raw, options.encoding);
            if (!records) return records.take_error();
            if (Status written = write_and_fill(index, *records, parts.entries); !written) return written.take_error();
        } else if (Status loaded = load_index(index, parts.entries, options.encoding); !loaded) {
            return loaded.take_error();
        }
        parts.text = std::make_unique<RawText>(std::move(raw));
    }
    return std::make_unique<Faidx>(std::move(parts));
}

}  // namespace kelpa::core
