#include "encoding.hpp"

#include <cstring>

#include "sequence.hpp"

namespace kelpa::core {

namespace {

constexpr unsigned char PAD = 'N';

// Writes `count` copies of the `W`-byte pattern at `out`.
template <std::size_t W>
void repeat(const std::uint8_t* pattern, std::size_t count, std::uint8_t* out) {
    for (std::size_t k = 0; k < count; ++k) std::memcpy(out + k * W, pattern, W);
}

// out[k] = table[text[k]] for `W`-byte entries. `text` may lie inside the
// output ahead of what is written (at or after out + k * W when element k is
// written): each byte is read before anything overwrites it.
template <std::size_t W>
void look_up(const std::uint8_t* table, const std::uint8_t* text, std::size_t count, std::uint8_t* out) {
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint8_t byte = text[k];
        std::memcpy(out + k * W, table + std::size_t{byte} * W, W);
    }
}

// One plane's run of elements: padding, text, padding.
template <std::size_t W>
void encode_run(const std::uint8_t* table, const std::uint8_t* text, std::size_t lead, std::size_t count,
                std::size_t trail, std::uint8_t* out) {
    const std::uint8_t* pad = table + std::size_t{PAD} * W;
    repeat<W>(pad, lead, out);
    look_up<W>(table, text, count, out + lead * W);
    repeat<W>(pad, trail, out + (lead + count) * W);
}

using RunFunction = void (*)(const std::uint8_t*, const std::uint8_t*, std::size_t, std::size_t, std::size_t,
                             std::uint8_t*);

RunFunction run_for(unsigned width) {
    switch (width) {
        case 1: return encode_run<1>;
        case 2: return encode_run<2>;
        case 4: return encode_run<4>;
        case 8: return encode_run<8>;
        case 16: return encode_run<16>;
        case 32: return encode_run<32>;
        default: return nullptr;
    }
}

int channel_of(unsigned byte) {
    switch (byte) {
        case 'A': case 'a': return 0;
        case 'C': case 'c': return 1;
        case 'G': case 'g': return 2;
        case 'T': case 't': return 3;
        default: return -1;
    }
}

}  // namespace

RowEncoder RowEncoder::bytes(bool upper) {
    RowEncoder encoder(Layout::Interleaved, 1, 1);
    for (unsigned b = 0; b < 256; ++b)
        encoder.table_[b] = static_cast<std::uint8_t>(upper && b >= 'a' && b <= 'z' ? b - 'a' + 'A' : b);
    return encoder;
}

RowEncoder RowEncoder::codes(const std::array<std::int64_t, 256>& table, unsigned width) {
    RowEncoder encoder(Layout::Interleaved, width, 1);
    for (unsigned b = 0; b < 256; ++b) {
        // The low `width` bytes, in native byte order.
        if (width == 1) encoder.table_[b] = static_cast<std::uint8_t>(table[b]);
        else if (width == 2) {
            const auto value = static_cast<std::int16_t>(table[b]);
            std::memcpy(&encoder.table_[b * 2], &value, 2);
        } else if (width == 4) {
            const auto value = static_cast<std::int32_t>(table[b]);
            std::memcpy(&encoder.table_[b * 4], &value, 4);
        } else {
            std::memcpy(&encoder.table_[b * 8], &table[b], 8);
        }
    }
    return encoder;
}

RowEncoder RowEncoder::one_hot(unsigned width, const void* zero, const void* one, const void* other,
                               bool channels_first) {
    RowEncoder encoder = channels_first ? RowEncoder(Layout::Planar, width, 4)
                                        : RowEncoder(Layout::Interleaved, width * 4, 1);
    for (unsigned b = 0; b < 256; ++b) {
        const int hot = channel_of(b);
        for (unsigned channel = 0; channel < 4; ++channel) {
            const void* value = hot < 0 ? other : static_cast<int>(channel) == hot ? one : zero;
            const std::size_t at = channels_first ? (std::size_t{channel} * 256 + b) * width
                                                  : (std::size_t{b} * 4 + channel) * width;
            std::memcpy(&encoder.table_[at], value, width);
        }
    }
    return encoder;
}

void RowEncoder::encode_in_place(char* row, std::size_t before, std::size_t count, std::size_t after,
                                 bool rc) const {
    const std::size_t length = before + count + after;
    auto* const out = reinterpret_cast<std::uint8_t*>(row);
    std::uint8_t* const text = out + row_bytes(length) - count;
    if (rc) reverse_complement_in_place(reinterpret_cast<char*>(text), count, ComplementRule::ToN);
    const std::size_t lead = rc ? after : before;
    const std::size_t trail = rc ? before : after;
    const RunFunction run = run_for(width_);
    // Plane after plane: the last one, which the text lies in, last of all
    // (see look_up for why the text survives until it is read).
    const std::size_t plane_bytes = length * width_;
    for (unsigned plane = 0; plane < planes_; ++plane)
        run(table_.data() + std::size_t{plane} * 256 * width_, text, lead, count, trail, out + plane * plane_bytes);
}

void RowEncoder::encode(const char* text, std::size_t count, char* row, std::size_t before, std::size_t after,
                        bool rc) const {
    const std::size_t length = before + count + after;
    if (count > 0) std::memcpy(row + row_bytes(length) - count, text, count);
    encode_in_place(row, before, count, after, rc);
}

}  // namespace kelpa::core
