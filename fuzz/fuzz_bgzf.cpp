// Fuzz target: BGZF files and their .gzi, through the block scan, the .gzi
// writer and reader, the ordered reader, random reads and the block stream.
//
// The input chooses a text, how it is cut into blocks (empty blocks too),
// the deflate level, damage done to the compressed bytes (bytes and words
// overwritten, the file cut short) and the .gzi to read it by: the one the
// scan gives, that one with an entry changed, or raw bytes. The file is
// read through a memfd path, by pread or from a mapping.
//
// The truth is a decoding of the damaged bytes done here by the BGZF rules
// alone (bgzf/format.hpp): blocks one after another, each a gzip header with FLG.FEXTRA
// and a BC subfield giving BSIZE, raw deflate ending exactly at the 8-byte
// trailer, at most 64 KiB of text, ISIZE and CRC32 (computed here) matching.
// When that decoding succeeds:
//   - the scan succeeds, its table lists the blocks with text as the .gzi
//     rule has it ((0, 0) for the first block with text, then every other
//     one at its offset), and the .gzi written from it is those pairs byte
//     for byte and reads back as the same table;
//   - every reader over the scan's table succeeds and gives the text.
// Whatever the truth, any read that succeeds, by whatever table, gives the
// truth's text (when the truth has one), and every failure is an IO error
// naming the file or the .gzi. An undamaged file is always readable.
//
// Input format: flags, a level, up to 15 block sizes (2 bytes each; 0 is an
// empty block), damage operations, a .gzi choice, then the text (repeated
// to a length the input gives, so that texts of several 64 KiB blocks come
// up). Missing bytes read as zeros.
#include <libdeflate.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "core/bgzf/format.hpp"

using kelpa::core::BgzfBlock;
using kelpa::core::BgzfReader;
using kelpa::core::BlockStream;
using kelpa::core::BlockTable;
using kelpa::core::CompressedFile;
using kelpa::core::ErrorKind;
using kelpa::core::FaidxError;

namespace {

constexpr std::size_t MAX_TEXT = 65536;

std::uint32_t crc32_by_hand(std::string_view text) {
    static const auto table = [] {
        std::vector<std::uint32_t> t(256);
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char byte : text) c = table[(c ^ byte) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void put64(std::string& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}

std::uint32_t get(std::string_view bytes, std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint32_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return v;
}

// One block of `text`, or nothing when its deflate data does not fit.
std::optional<std::string> make_block(libdeflate_compressor* compressor, std::string_view text) {
    std::string data(libdeflate_deflate_compress_bound(compressor, text.size()), '\0');
    const std::size_t size =
        libdeflate_deflate_compress(compressor, text.data(), text.size(), data.data(), data.size());
    if (size == 0 || 18 + size + 8 > 65536) return std::nullopt;
    std::string block("\x1f\x8b\x08\x04\0\0\0\0\0\xff", 10);
    put16(block, 6);
    block += "BC";
    put16(block, 2);
    put16(block, static_cast<std::uint32_t>(18 + size + 8 - 1));
    block.append(data.data(), size);
    put32(block, crc32_by_hand(text));
    put32(block, static_cast<std::uint32_t>(text.size()));
    return block;
}

struct Truth {
    std::optional<std::string> text;       // nothing: not a readable BGZF file
    std::vector<BgzfBlock> text_blocks;    // (compressed, text) of each block with text
};

// The BGZF rules, block after block.
Truth decode_by_hand(std::string_view file, libdeflate_decompressor* decompressor) {
    Truth truth;
    std::string text;
    std::size_t at = 0;
    std::vector<char> out(MAX_TEXT);
    while (at < file.size()) {
        const std::string_view rest = file.substr(at);
        if (rest.size() < 12) return truth;
        if (get(rest, 0, 2) != 0x8b1f || get(rest, 2, 1) != 8 || (get(rest, 3, 1) & 4) == 0) return truth;
        const std::size_t xlen = get(rest, 10, 2);
        if (rest.size() < 12 + xlen) return truth;
        std::optional<std::size_t> bsize;
        for (std::size_t sub = 12; sub + 4 <= 12 + xlen;) {
            const std::size_t length = get(rest, sub + 2, 2);
            if (rest[sub] == 'B' && rest[sub + 1] == 'C' && length == 2 && sub + 6 <= 12 + xlen) {
                bsize = get(rest, sub + 4, 2);
                break;
            }
            sub += 4 + length;
        }
        if (!bsize) return truth;
        const std::size_t block_size = *bsize + 1;
        if (block_size < 12 + xlen + 8 || rest.size() < block_size) return truth;
        const std::uint32_t crc = get(rest, block_size - 8, 4);
        const std::uint32_t isize = get(rest, block_size - 4, 4);
        if (isize > MAX_TEXT) return truth;
        if (isize != 0) {  // an empty block's deflate data is never looked at
            std::size_t used = 0;
            std::size_t made = 0;
            const std::size_t deflate_size = block_size - 12 - xlen - 8;
            if (libdeflate_deflate_decompress_ex(decompressor, rest.data() + 12 + xlen, deflate_size, out.data(),
                                                 MAX_TEXT, &used, &made) != LIBDEFLATE_SUCCESS ||
                used != deflate_size || made != isize || crc32_by_hand(std::string_view(out.data(), made)) != crc)
                return truth;
            truth.text_blocks.push_back({at, text.size()});
            text.append(out.data(), made);
        }
        at += block_size;
    }
    truth.text = std::move(text);
    return truth;
}

// The .gzi of these blocks with text, by the rule bgzip follows.
std::string gzi_by_hand(const std::vector<BgzfBlock>& text_blocks) {
    std::string out;
    if (text_blocks.empty()) {
        put64(out, UINT64_MAX);
        return out;
    }
    put64(out, text_blocks.size() - 1);
    for (std::size_t i = 1; i < text_blocks.size(); ++i) {
        put64(out, text_blocks[i].compressed);
        put64(out, text_blocks[i].text);
    }
    return out;
}

std::string read_file(const std::string& path) {
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
    std::fclose(f);
    return bytes;
}

void check_clean(const FaidxError& error, const std::string& file, const std::string& gzi) {
    FUZZ_CHECK(error.kind() == ErrorKind::IO, error.payload());
    const std::string& message = error.payload();
    FUZZ_CHECK(message.rfind(file + ": ", 0) == 0 || message.rfind(gzi + ": ", 0) == 0, message);
}

// Reads all of `table`'s text every way there is; `must` says the reads have
// to succeed. A read that succeeds must give the truth's text.
void read_every_way(const CompressedFile& file, const BlockTable& table, const Truth& truth, bool must,
                    const std::string& gzi_path, fuzz::Input& input) {
    const auto agrees = [&](std::uint64_t at, std::string_view got, const char* how) {
        if (!truth.text) return;
        const std::string_view want =
            std::string_view(*truth.text).substr(std::min<std::size_t>(at, truth.text->size()), got.size());
        FUZZ_CHECK(got == want, std::string(how) + " at " + std::to_string(at) + ": " + fuzz::hex_preview(got));
    };
    const auto failed = [&](const FaidxError& error, const char* how) {
        check_clean(error, file.name, gzi_path);
        FUZZ_CHECK(!must, std::string(how) + ": " + error.payload());
    };

    std::string ordered;
    const kelpa::core::Status in_order =
        kelpa::core::read_text_in_order(file, table, [&](const char* text, std::size_t size) -> kelpa::core::Status {
            ordered.append(text, size);
            return {};
        });
    if (in_order) {
        // Every block listed was inflated and every gap between them walked:
        // the whole file is sound.
        FUZZ_CHECK(truth.text.has_value(), "read_text_in_order read a file that is not sound");
        FUZZ_CHECK(ordered.size() == table.text_size());
        agrees(0, ordered, "read_text_in_order");
        if (truth.text) FUZZ_CHECK(ordered.size() == truth.text->size());
    } else {
        failed(in_order.error(), "read_text_in_order");
    }

    BgzfReader reader(file, table);
    for (int round = 0; round < 3; ++round) {
        const std::uint64_t size = table.text_size();
        const std::uint64_t at = size == 0 ? input.byte() : input.raw(3) % (size + 2);
        const std::uint64_t count = input.byte() % 2 ? input.raw(3) : input.number();
        const std::uint64_t room = at >= size ? 0 : std::min<std::uint64_t>(count, size - at);
        std::string out(room, '\0');
        kelpa::core::Result<std::uint64_t> got = reader.read(at, count, out.data());
        if (got) {
            FUZZ_CHECK(*got == room, std::to_string(*got) + " of " + std::to_string(room));
            agrees(at, out, "BgzfReader::read");
        } else {
            failed(got.error(), "BgzfReader::read");
        }
    }

    if (table.text_size() == 0) return;
    const std::size_t first = input.byte() % table.size();
    const std::size_t last = first + input.byte() % (table.size() - first);
    BlockStream stream(reader, first, last);
    for (std::size_t index = first; index <= last; ++index) {
        kelpa::core::Result<std::optional<std::string_view>> block = stream.block(index);
        if (!block) {
            failed(block.error(), "BlockStream");
            return;
        }
        if (*block) {
            FUZZ_CHECK((*block)->size() == table.text_end(index) - table[index].text);
            agrees(table[index].text, **block, "BlockStream");
        } else {
            auto cached = reader.block(index);  // the pool was busy: read it through the reader
            if (!cached) {
                failed(cached.error(), "BgzfReader::block");
                return;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::MemoryFile memory;
    // The .gzi goes through the core's atomic writer, so it needs a real
    // directory: a file of the process's own, removed when it exits.
    static const struct GziPath {
        std::string path;
        GziPath() {
            char name[] = "/tmp/kelpa-fuzz-bgzf-XXXXXX";
            const int fd = ::mkstemp(name);
            if (fd < 0) fuzz::fail("mkstemp");
            ::close(fd);
            path = name;
        }
        ~GziPath() { ::unlink(path.c_str()); }
    } gzi_file;
    const std::string& gzi_path = gzi_file.path;
    static libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();

    fuzz::Input input(data, size);
    const std::uint8_t flags = input.byte();
    const int level = input.byte() % 10;
    std::vector<std::size_t> sizes(input.byte() % 16);
    for (std::size_t& s : sizes) s = input.raw(2) % (MAX_TEXT + 1);
    struct Damage {
        std::uint8_t kind;
        std::uint32_t position;
        std::uint32_t value;
    };
    std::vector<Damage> damage(input.byte() % 4);
    for (Damage& d : damage)
        d = {input.byte(), static_cast<std::uint32_t>(input.raw(4)), static_cast<std::uint32_t>(input.raw(4))};
    const std::uint8_t gzi_mode = input.byte() % 4;
    const std::size_t gzi_entry = input.byte();
    const std::uint64_t gzi_value = input.number();
    const std::size_t gzi_raw = input.byte();
    const std::size_t repeat_to = (flags & 2) ? input.raw(3) % 400000 : 0;
    std::string_view seed = input.rest();
    std::string gzi_bytes_raw(seed.substr(0, std::min(seed.size(), gzi_raw)));
    if (gzi_mode == 3) seed.remove_prefix(gzi_bytes_raw.size());
    std::string text(seed);
    while (!seed.empty() && text.size() < repeat_to) text.append(seed.substr(0, repeat_to - text.size()));

    // The file: the chosen blocks, then blocks of bgzip's size, then (mostly) the end marker.
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
        libdeflate_alloc_compressor(level), libdeflate_free_compressor);
    if (!compressor) return 0;
    std::string file;
    std::size_t at = 0;
    std::size_t next_size = 0;
    while (at < text.size() || next_size < sizes.size()) {
        std::size_t want = next_size < sizes.size() ? sizes[next_size++] : 65280;
        want = std::min(want, text.size() - at);
        std::optional<std::string> block;
        while (!(block = make_block(compressor.get(), std::string_view(text).substr(at, want)))) want /= 2;
        file += *block;
        at += want;
    }
    if ((flags & 1) == 0)
        file.append(reinterpret_cast<const char*>(kelpa::core::BGZF_EOF_MARKER), kelpa::core::BGZF_EOF_SIZE);
    const bool undamaged = damage.empty();
    for (const Damage& d : damage) {
        if (file.empty()) break;
        const std::size_t p = d.position % file.size();
        switch (d.kind % 4) {
            case 0: file[p] = static_cast<char>(d.value); break;
            case 1: file.resize(d.position % (file.size() + 1)); break;
            case 2:
                for (std::size_t i = 0; i < 4 && p + i < file.size(); ++i)
                    file[p + i] ^= static_cast<char>(d.value >> (8 * i));
                break;
            default:
                for (std::size_t i = 0; i < 2 && p + i < file.size(); ++i)
                    file[p + i] = static_cast<char>(d.value >> (8 * i));
                break;
        }
    }

    const Truth truth = decode_by_hand(file, decompressor);
    if (undamaged) FUZZ_CHECK(truth.text && *truth.text == text, "the undamaged file does not decode by hand");

    const std::string& path = memory.write(file.data(), file.size());
    const int fd = std::stoi(path.substr(path.rfind('/') + 1));
    const kelpa::core::FileBytes bytes(kelpa::core::UniqueFd(::dup(fd)), file.size(), path);
    CompressedFile compressed{nullptr, &bytes, file.size(), path};
    void* mapping = nullptr;
    if ((flags & 4) && !file.empty()) {  // read from a mapping instead of by pread
        mapping = ::mmap(nullptr, file.size(), PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapping == MAP_FAILED) fuzz::fail("mmap");
        compressed.data = static_cast<const char*>(mapping);
    }

    kelpa::core::Result<BlockTable> scanned = kelpa::core::scan_blocks(compressed);
    if (truth.text) {
        FUZZ_CHECK(scanned.ok(), scanned.error().payload());
        FUZZ_CHECK(scanned->text_size() == truth.text->size());
        std::vector<BgzfBlock> expected = truth.text_blocks;
        if (expected.empty()) expected.push_back({0, 0});
        expected[0].compressed = 0;
        FUZZ_CHECK(scanned->size() == expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            FUZZ_CHECK((*scanned)[i].compressed == expected[i].compressed && (*scanned)[i].text == expected[i].text);
    } else if (!scanned) {
        check_clean(scanned.error(), path, gzi_path);
    }

    std::optional<BlockTable> table;
    std::string correct_gzi;
    if (scanned) {
        FUZZ_CHECK(kelpa::core::write_gzi(gzi_path, *scanned).ok());
        correct_gzi = read_file(gzi_path);
        if (truth.text) FUZZ_CHECK(correct_gzi == gzi_by_hand(truth.text_blocks), fuzz::hex_preview(correct_gzi));
        kelpa::core::Result<BlockTable> reread = kelpa::core::read_gzi(gzi_path, compressed);
        FUZZ_CHECK(reread.ok(), reread.error().payload());
        FUZZ_CHECK(reread->size() == scanned->size() && reread->text_size() == scanned->text_size());
        for (std::size_t i = 0; i < scanned->size(); ++i)
            FUZZ_CHECK((*reread)[i].compressed == (*scanned)[i].compressed && (*reread)[i].text == (*scanned)[i].text);
        table = std::move(scanned.value());
    }

    // The table the reads go by: the scan's, or one read from another .gzi.
    bool must = truth.text.has_value();
    if (gzi_mode != 0) {
        std::string gzi = gzi_mode == 3 ? gzi_bytes_raw : correct_gzi;
        if (gzi_mode == 2 && gzi.size() >= 8) {
            const std::size_t word = gzi_entry % (gzi.size() / 8);
            std::string value;
            put64(value, gzi_value);
            gzi.replace(word * 8, 8, value);
        } else if (gzi_mode == 1 && gzi.size() > 8) {
            gzi.resize(gzi.size() - (gzi_entry % 2 ? 16 : 8));  // an entry, or half of one, cut off
        }
        must = must && gzi == correct_gzi;
        if (std::FILE* out = std::fopen(gzi_path.c_str(), "wb")) {
            std::fwrite(gzi.data(), 1, gzi.size(), out);
            std::fclose(out);
        }
        kelpa::core::Result<BlockTable> read = kelpa::core::read_gzi(gzi_path, compressed);
        if (read) {
            table = std::move(read.value());
        } else {
            check_clean(read.error(), path, gzi_path);
            FUZZ_CHECK(!must, read.error().payload());
            table.reset();
        }
    }
    if (table) read_every_way(compressed, *table, truth, must, gzi_path, input);
    if (mapping != nullptr) ::munmap(mapping, file.size());
    return 0;
}
