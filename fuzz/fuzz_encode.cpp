// Fuzz target: the row encodings of the array forms, RowEncoder (bytes,
// integer codes by any table, one-hot of every element width in both
// layouts), for any text, any padding on either side and either
// orientation, with the text in the row's last bytes (encode_in_place, as a
// batch leaves it) and elsewhere (encode).
//
// Checked against a plain loop: the window's bytes (padding 'N', the text,
// padding 'N'), reverse complemented by COMPLEMENT_TABLE and reversed when
// asked, then each byte turned into its element by the encoding's rule. The
// row is a heap block of exactly its size, so ASan reports any stray access.
//
// Input format: kind (one byte), width choice (one byte), rc (one byte),
// padding before and after (a byte each), then for codes 256 table entries
// of 8 bytes each (with width choice bit 0x10, made a table of the base
// alone: every byte takes the entry of its base's upper-case letter, or N's);
// the rest is the text (at most 4096 bytes).
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "core/kernels/encoding.hpp"
#include "core/kernels/sequence.hpp"

namespace {

using kelpa::core::RowEncoder;

bool same(const void* a, const void* b, std::size_t size) { return size == 0 || std::memcmp(a, b, size) == 0; }

int channel_of(unsigned char byte) {
    switch (byte) {
        case 'A':
        case 'a': return 0;
        case 'C':
        case 'c': return 1;
        case 'G':
        case 'g': return 2;
        case 'T':
        case 't': return 3;
        default: return -1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const unsigned kind = input.byte() % 4;  // bytes, codes, one-hot, one-hot channels first
    const unsigned width_choice = input.byte();
    const bool rc = (input.byte() & 1) != 0;
    const std::size_t before = input.byte();
    const std::size_t after = input.byte();

    const bool upper = (width_choice & 1) != 0;
    static constexpr unsigned CODE_WIDTHS[] = {1, 2, 4, 8};
    const unsigned width = CODE_WIDTHS[width_choice % 4];
    std::array<std::int64_t, 256> table{};
    if (kind == 1) {
        for (auto& entry : table) entry = static_cast<std::int64_t>(input.raw(8));
        // Now and then a table of the base alone (the fast path's kind).
        if ((width_choice & 0x10) != 0) {
            for (unsigned b = 0; b < 256; ++b) {
                const int base = channel_of(static_cast<unsigned char>(b));
                table[b] = table[base < 0 ? 'N' : "ACGT"[base]];
            }
        }
    }
    std::array<unsigned char, 8> zero{}, one{}, other{};
    for (unsigned b = 0; b < width; ++b) {
        one[b] = static_cast<unsigned char>(0x11 * (b + 1));
        other[b] = static_cast<unsigned char>(0xA0 + b);
    }

    const std::string_view rest = input.rest();
    const std::string text(rest.substr(0, 4096));

    const RowEncoder encoder = kind == 0 ? RowEncoder::bytes(upper)
                               : kind == 1
                                   ? RowEncoder::codes(table, width)
                                   : RowEncoder::one_hot(width, zero.data(), one.data(), other.data(), kind == 3);
    const std::size_t length = before + text.size() + after;

    // The plain loop.
    std::string window = std::string(before, 'N') + text + std::string(after, 'N');
    if (rc) {
        std::string reversed(window.rbegin(), window.rend());
        for (char& c : reversed) c = static_cast<char>(kelpa::core::COMPLEMENT_TABLE[static_cast<unsigned char>(c)]);
        window = reversed;
    }
    const std::size_t element = kind == 0 ? 1 : width;
    const std::size_t row_bytes = length * element * (kind >= 2 ? 4 : 1);
    FUZZ_CHECK(encoder.row_bytes(length) == row_bytes);
    std::vector<unsigned char> expected(row_bytes);
    for (std::size_t k = 0; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(window[k]);
        if (kind == 0) {
            expected[k] = upper && byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 32) : byte;
        } else if (kind == 1) {
            const auto value = static_cast<std::uint64_t>(table[byte]);
            for (unsigned b = 0; b < width; ++b) expected[k * width + b] = static_cast<unsigned char>(value >> (8 * b));
        } else {
            const int hot = channel_of(byte);
            for (int channel = 0; channel < 4; ++channel) {
                const unsigned char* value = hot < 0 ? other.data() : channel == hot ? one.data() : zero.data();
                const std::size_t at = kind == 3 ? (channel * length + k) * width : (k * 4 + channel) * width;
                std::memcpy(&expected[at], value, width);
            }
        }
    }

    // In place: the text in the row's last bytes.
    auto row = std::make_unique<char[]>(row_bytes);
    std::memset(row.get(), 0x5A, row_bytes);
    if (!text.empty()) std::memcpy(row.get() + row_bytes - text.size(), text.data(), text.size());
    encoder.encode_in_place(row.get(), before, text.size(), after, rc);
    FUZZ_CHECK(same(row.get(), expected.data(), row_bytes), "encode_in_place");

    // From a text elsewhere.
    auto copy = std::make_unique<char[]>(text.size() + 1);
    if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
    std::memset(row.get(), 0x5A, row_bytes);
    encoder.encode(copy.get(), text.size(), row.get(), before, after, rc);
    FUZZ_CHECK(same(row.get(), expected.data(), row_bytes), "encode");
    FUZZ_CHECK(same(copy.get(), text.data(), text.size()), "encode changed its text");
    return 0;
}
