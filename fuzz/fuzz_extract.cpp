// Fuzz target: region extraction from a mapped file,
// extract_sequence_from_mmap(base, length, entry, first, count, out), for any
// entry (any 64-bit numbers: lenb < lenc, offsets past the end, values whose
// arithmetic overflows) and any coordinates, over a small "mapping".
//
// The mapping is a heap block of exactly `length` bytes, so ASan reports any
// read outside [base, base + length). `out` is sized to the most the walk can
// produce, min(count, length - position), so a store that runs ahead of the
// bytes copied is caught as well.
//
// The result must equal this reading of the rules, done with 128-bit numbers:
//
//   nothing when count, lenc or rlen is 0, when first is 0, or when the
//   position of base `first`,
//       offset + (first - 1) / lenc * lenb + (first - 1) % lenc,
//   is not inside the mapping; else the bytes from that position up to the
//   window end
//       min(position + count + lenb + ceil(count / lenc) * max(lenb - lenc, 0), length)
//   with every CR and LF dropped, cut to `count`.
//
// Input format: rlen, offset, lenc, lenb, first, count (each drawn by
// fuzz::Input::number), then the mapped bytes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common.hpp"
#include "core/faidx.hpp"

using kelpa::core::IndexEntry;

namespace {

using u128 = unsigned __int128;

// Byte position of base `first`, exact (it fits 128 bits), or nothing when
// there is no such base to place (lenc 0 or first 0).
std::optional<u128> position_of(const IndexEntry& e, std::uint64_t first) {
    if (e.lenc == 0 || first == 0) return std::nullopt;
    return u128{e.offset} + u128{(first - 1) / e.lenc} * e.lenb + (first - 1) % e.lenc;
}

std::string extract_by_hand(std::string_view mapping, const IndexEntry& e, std::uint64_t first, std::uint64_t count) {
    if (count == 0 || e.rlen == 0) return {};
    const u128 length = mapping.size();
    const std::optional<u128> start = position_of(e, first);
    if (!start || *start >= length) return {};
    const u128 position = *start;
    const u128 lines = (u128{count} + e.lenc - 1) / e.lenc;
    const u128 slack = e.lenb > e.lenc ? e.lenb - e.lenc : 0;
    // lines * slack < 2^128; when it is below `length` every term of the sum
    // is below 2^64, so the sum cannot wrap.
    u128 window_end = length;
    const u128 spread = lines * slack;
    if (spread < length) {
        const u128 sum = position + count + e.lenb + spread;
        window_end = std::min(sum, length);
    }
    std::string out;
    for (u128 i = position; i < window_end && out.size() < count; ++i) {
        const char c = mapping[static_cast<std::size_t>(i)];
        if (c != '\r' && c != '\n') out.push_back(c);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    IndexEntry entry;
    entry.rlen = input.number();
    entry.offset = input.number();
    entry.lenc = input.number();
    entry.lenb = input.number();
    const std::uint64_t first = input.number();
    const std::uint64_t count = input.number();
    const std::string_view bytes = input.rest();

    const std::size_t length = bytes.size();
    const std::unique_ptr<char[]> mapping(new char[length]);
    std::copy(bytes.begin(), bytes.end(), mapping.get());

    const std::string expected = extract_by_hand(bytes, entry, first, count);

    // Room for what the walk can produce at most (see above).
    std::uint64_t room = 0;
    if (const auto position = position_of(entry, first); position && *position < length)
        room = std::min<std::uint64_t>(count, static_cast<std::uint64_t>(length - *position));
    const std::unique_ptr<char[]> out(new char[room]);

    const std::uint64_t copied =
        kelpa::core::extract_sequence_from_mmap(mapping.get(), length, entry, first, count, out.get());
    FUZZ_CHECK(copied <= count, std::to_string(copied) + " bases for a count of " + std::to_string(count));
    FUZZ_CHECK(copied <= room, std::to_string(copied) + " bases written into room for " + std::to_string(room));
    FUZZ_CHECK(copied == expected.size(),
               std::to_string(copied) + " bases, expected " + std::to_string(expected.size()));
    FUZZ_CHECK(std::string_view(out.get(), copied) == expected,
               "got " + fuzz::hex_preview({out.get(), copied}) + ", expected " + fuzz::hex_preview(expected));
    return 0;
}
