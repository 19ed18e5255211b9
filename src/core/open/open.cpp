#include "core/open/open.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/batch/bgzf_batch.hpp"
#include "core/bgzf/bgzf_text.hpp"
#include "core/index/index_builder.hpp"
#include "core/io/fault_guard.hpp"
#include "core/open/open_remote.hpp"
#include "core/remote/url.hpp"

namespace kelpa::core {

namespace {

bool later(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// Whether the index at `index_path` is to be built: it is missing (and
// building is allowed), or older than the FASTA file (and rebuilding is).
bool needs_building(const std::string& path, const std::string& index_path, const FaidxOptions& options) {
    if (is_url(index_path)) return false;  // downloaded, never built
    if (options.always_build) return true;
    struct stat index_status;
    if (::stat(index_path.c_str(), &index_status) != 0) return options.build_index;
    if (!options.build_index || !options.rebuild) return false;
    struct stat fasta_status;
    return ::stat(path.c_str(), &fasta_status) == 0 && later(fasta_status.st_mtim, index_status.st_mtim);
}

// Reads a BGZF file's .fai and .gzi, building both when either needs it,
// and gives its text.
Status open_bgzf(FaidxParts& parts, UniqueFd fd, std::uint64_t size) {
    const std::string& path = parts.filename;
    const std::string gzi_path = parts.options.gzi_name.value_or(path + ".gzi");
    if (Status regular = check_regular(gzi_path); !regular) return regular.take_error();
    auto raw = std::make_unique<FileBytes>(std::move(fd), size, path);
    const CompressedFile file{nullptr, raw.get(), size, path};
    Result<bool> marked = file.ends_with_eof_marker();
    if (!marked) return marked.take_error();
    parts.missing_eof_marker = !*marked;

    // The .fai and the .gzi are built together when either needs it.
    std::optional<BlockTable> table;
    if (needs_building(path, parts.indexname, parts.options) || needs_building(path, gzi_path, parts.options)) {
        Result<BlockTable> built =
            build_bgzf_indexes(file, gzi_path, parts.indexname, parts.entries, parts.options.encoding);
        if (!built) return built.take_error();
        table.emplace(std::move(built.value()));
    } else {
        Result<BlockTable> read = read_gzi(gzi_path, file);
        if (!read) return read.take_error();
        if (Status loaded = load_any_index(parts.indexname, parts.entries, parts.options.encoding); !loaded)
            return loaded.take_error();
        table.emplace(std::move(read.value()));
    }
    auto text = std::make_unique<BgzfText>(std::move(raw), std::move(*table));
    parts.batch_stage = bgzf_batch_stage(*text);
    parts.text = std::move(text);
    return {};
}

}  // namespace

Result<std::unique_ptr<Faidx>> open_faidx(std::string filename, std::optional<std::string> indexname,
                                          FaidxOptions options) {
    FaidxParts parts;
    parts.indexname = indexname ? std::move(*indexname) : filename + ".fai";
    parts.filename = std::move(filename);
    parts.options = std::move(options);
    const std::string& path = parts.filename;
    const std::string& index_path = parts.indexname;

    // A path holding a NUL character names no file: the system would see
    // only what comes before it, which is another file.
    if (path.find('\0') != std::string::npos) return FaidxError::fasta_not_found(path);
    // The one place where names are told apart: a URL is read over the network.
    if (is_url(path)) return open_remote(std::move(parts));
    struct stat fasta_status;
    if (::stat(path.c_str(), &fasta_status) != 0) return FaidxError::fasta_not_found(path);
    if (index_path.find('\0') != std::string::npos) return FaidxError::index_not_found(index_path);
    // Both paths are checked before anything is opened, so that neither a
    // FIFO nor a device can make the open or a read wait.
    if (Status regular = check_regular(path); !regular) return regular.take_error();
    if (!is_url(index_path)) {
        if (Status regular = check_regular(index_path); !regular) return regular.take_error();
    }

    Result<UniqueFd> opened = open_regular(path, parts.options.mutable_file ? O_RDWR : O_RDONLY);
    if (!opened) return opened.take_error();
    UniqueFd fd = std::move(opened.value());
    struct stat open_status;
    if (::fstat(fd.get(), &open_status) != 0) return FaidxError::os(errno, path);
    const auto size = static_cast<std::uint64_t>(open_status.st_size);

    // The kind of file comes from its first bytes, never from its name.
    Mapping mapping;
    const bool mapped = !parts.options.mutable_file && mapping.map(fd.get());
    std::string probe;
    std::string_view head;
    if (mapped) {
        head = std::string_view(mapping.data(),
                                static_cast<std::size_t>(std::min<std::uint64_t>(mapping.length(), FORMAT_PROBE_SIZE)));
    } else {
        Result<std::string> read = read_head(fd.get(), FORMAT_PROBE_SIZE);
        if (!read) return read.take_error();
        probe = std::move(read.value());
        head = probe;
    }
    const FileFormat format = detect_format(head);
    if (Status refused = refuse_format(format, path); !refused) return refused.take_error();

    // The one place where the kind of text is chosen.
    if (format == FileFormat::Bgzf) {
        mapping = Mapping();  // the compressed bytes are read with pread (bgzf_text.hpp)
        if (Status opened_bgzf = open_bgzf(parts, std::move(fd), size); !opened_bgzf) return opened_bgzf.take_error();
        return std::make_unique<Faidx>(std::move(parts));
    }
    // Unguarded, a mapping of a file that shrinks would end the process: such a file is read.
    if (mapped && install_fault_handler()) {
        fd.reset();
        auto text = std::make_unique<MappedText>(std::move(mapping), path, open_status);
        parts.mapped = text.get();
        parts.text = std::move(text);
    } else {
        parts.text = std::make_unique<RawText>(std::make_unique<FileBytes>(std::move(fd), size, path));
    }

    const bool build = needs_building(path, index_path, parts.options);
    const Encoding encoding = parts.options.encoding;
    Status loaded = build ? build_index(path, index_path, parts.entries, encoding)
                          : load_any_index(index_path, parts.entries, encoding);
    if (!loaded) return loaded.take_error();
    return std::make_unique<Faidx>(std::move(parts));
}

}  // namespace kelpa::core
