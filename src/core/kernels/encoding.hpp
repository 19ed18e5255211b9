// Rows of an array made from a window's text: the bytes themselves, one
// integer code per base, or a one-hot encoding.
//
// A row holds `length` elements: the window's bases in order, where bases
// outside the record are padding. Every byte of text becomes one element
// through a 256-entry table, and padding is the table's entry for 'N' (or
// for another byte the encoder names). With
// `rc`, the row is the window's reverse complement: its bytes are
// complemented by COMPLEMENT_TABLE and reversed first, then encoded (so a
// table sees complemented bytes, and the padding trades places).
//
// An element is written as a fixed pattern of bytes per base:
//   Interleaved  `width` bytes per base, one after the other (bytes, codes,
//                a one-hot base's four channels side by side)
//   Planar       four planes of `length` elements of `width` bytes each
//                (a one-hot encoding with the channels first)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelpa::core {

class RowEncoder {
public:
    enum class Layout : std::uint8_t { Interleaved, Planar };

    // The text's bytes, upper-cased ('a'..'z') on request.
    static RowEncoder bytes(bool upper);
    // One integer of `width` bytes (1, 2, 4 or 8, native byte order) per
    // base: the low `width` bytes of table[byte].
    static RowEncoder codes(const std::array<std::int64_t, 256>& table, unsigned width);
    // Four channels (A, C, G, T, case ignored) of `width` bytes each (1, 2,
    // 4 or 8): `one` in the base's channel and `zero` in the others; every
    // other byte gets `other` in all four. The values are the element's bytes.
    static RowEncoder one_hot(unsigned width, const void* zero, const void* one, const void* other,
                              bool channels_first);
    // Four channels of `width` bytes each, of any values: byte b's channel c
    // is elements[(b * 4 + c) * width, ... + width). Padding is the element
    // of byte `pad` ('N' in the other encodings).
    static RowEncoder channels(unsigned width, const std::uint8_t* elements, unsigned pad, bool channels_first);

    Layout layout() const { return layout_; }
    // Bytes of a row of `length` elements.
    std::size_t row_bytes(std::size_t length) const { return length * width_ * planes_; }

    // Encodes the row of a window of before + count + after bases (genome
    // order: `before` padding, `count` bytes of text, `after` padding) at
    // `row`, whose text lies in the row's last `count` bytes (the text is
    // overwritten). Every byte of the row is written once.
    void encode_in_place(char* row, std::size_t before, std::size_t count, std::size_t after, bool rc) const;
    // The same for a text elsewhere (it may not overlap the row).
    void encode(const char* text, std::size_t count, char* row, std::size_t before, std::size_t after, bool rc) const;

private:
    RowEncoder(Layout layout, unsigned width, unsigned planes)
        : layout_(layout),
          width_(width),
          planes_(planes),
          table_(std::size_t{256} * width * planes) {}

    // What the table is, for the fast paths: any table; the bytes
    // themselves (upper-cased or not); or a function of the base alone
    // (A, C, G, T in either case, or any other byte).
    enum class Shape : std::uint8_t { Any, Bytes, ByBase };
    void find_shape(bool bytes);
    // `complemented`: the elements of the bytes' complements (only with
    // complemented_ made: one byte per base, by base).
    void encode_plane(unsigned plane, const std::uint8_t* text, std::size_t lead, std::size_t count, std::size_t trail,
                      std::uint8_t* out, bool complemented = false) const;

    Layout layout_;
    unsigned width_;   // bytes per base and plane
    unsigned planes_;  // 1, or 4 (planar)
    // Interleaved: entry b at [b * width, (b + 1) * width). Planar: plane p's
    // entry b at [(p * 256 + b) * width, ...).
    std::vector<std::uint8_t> table_;
    Shape shape_ = Shape::Any;
    bool upper_ = false;
    unsigned pad_ = 'N';  // the byte whose element padding is
    // ByBase with 1, 2 or 4 bytes per base and plane: per plane, the
    // elements of A, C, G, T, other, back to back from byte 0 (as many as
    // 16 bytes hold), and the element of any other byte, repeated.
    std::array<std::array<std::uint8_t, 16>, 4> by_base_{};
    std::array<std::array<std::uint8_t, 16>, 4> other_{};
    // One byte per base, by base: the table and by_base_ of each byte's
    // complement (COMPLEMENT_TABLE), so that a reverse complement is the
    // text encoded through them and then reversed; empty otherwise.
    std::vector<std::uint8_t> complemented_;
    std::array<std::uint8_t, 16> by_base_complemented_{};
};

}  // namespace kelpa::core
