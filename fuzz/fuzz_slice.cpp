// Fuzz target: Sequence slicing arithmetic, plan_slice / gather_slice, for
// any text length and any start, stop and step (None included), normalised
// as the interpreter does it before kelpa sees them (PySlice_Unpack, then
// PySlice_AdjustIndices, restated here).
//
// The selected bytes must be those of Python's slicing, with the one
// documented departure: with a negative step, a start normalised to -1 (a
// start below -length) reads from the last byte instead of selecting nothing.
// Every selected position must lie in the covered range [lo, hx) the
// coordinates are taken from. The text is a heap block of exactly `length`
// bytes and the output exactly `count`, so ASan reports any stray access.
//
// Input format: length (two bytes, at most 4096), then start, stop and step,
// each a byte (even: None) and, when it is odd, a number drawn by
// fuzz::Input::number. The empty input is the whole text, [::].
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "core/kernels/sequence.hpp"

namespace {

constexpr std::int64_t SSIZE_MAX_ = INT64_MAX;
constexpr std::int64_t SSIZE_MIN_ = INT64_MIN;

std::optional<std::int64_t> maybe_number(fuzz::Input& input) {
    if ((input.byte() & 1) == 0) return std::nullopt;
    return static_cast<std::int64_t>(input.number());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const auto length = static_cast<std::int64_t>(input.raw(2) % 4097);
    const std::optional<std::int64_t> start = maybe_number(input);
    const std::optional<std::int64_t> stop = maybe_number(input);
    const std::optional<std::int64_t> given_step = maybe_number(input);

    // PySlice_Unpack: a zero step is an error, and the step is kept above
    // -PY_SSIZE_T_MAX so that -step cannot overflow.
    std::int64_t k = given_step.value_or(1);
    if (k == 0) return 0;
    if (k < -SSIZE_MAX_) k = -SSIZE_MAX_;
    std::int64_t a = start.value_or(k < 0 ? SSIZE_MAX_ : 0);
    std::int64_t b = stop.value_or(k < 0 ? SSIZE_MIN_ : SSIZE_MAX_);
    // PySlice_AdjustIndices.
    for (std::int64_t* v : {&a, &b}) {
        if (*v < 0) {
            *v += length;
            if (*v < 0) *v = k < 0 ? -1 : 0;
        } else if (*v >= length) {
            *v = k < 0 ? length - 1 : length;
        }
    }

    // The positions selected, the slow way.
    std::vector<std::int64_t> positions;
    if (k > 0) {
        for (std::int64_t i = a; i < b; i += k) {
            positions.push_back(i);
            if (i > INT64_MAX - k) break;
        }
    } else {
        const std::int64_t from = a == -1 ? length - 1 : a;
        for (std::int64_t i = from; i > b; i += k) {
            positions.push_back(i);
            if (i < INT64_MIN - k) break;
        }
    }

    const std::unique_ptr<char[]> text(new char[static_cast<std::size_t>(length)]);
    for (std::int64_t i = 0; i < length; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>(i * 7 + i / 256);

    const kelpa::core::SlicePlan plan = kelpa::core::plan_slice(static_cast<std::size_t>(length), a, b, k);
    FUZZ_CHECK(plan.count == positions.size(), std::to_string(plan.count) + " bytes selected, expected " +
                                                   std::to_string(positions.size()) + " (length " +
                                                   std::to_string(length) + ", " + std::to_string(a) + ":" +
                                                   std::to_string(b) + ":" + std::to_string(k) + ")");
    const std::unique_ptr<char[]> out(new char[plan.count]);
    kelpa::core::gather_slice(text.get(), plan, out.get());
    for (std::size_t j = 0; j < positions.size(); ++j) {
        const std::int64_t i = positions[j];
        FUZZ_CHECK(out[j] == text[static_cast<std::size_t>(i)], "byte " + std::to_string(j));
        FUZZ_CHECK(static_cast<std::uint64_t>(i) >= plan.lo && static_cast<std::uint64_t>(i) < plan.hx,
                   "position " + std::to_string(i) + " outside [" + std::to_string(plan.lo) + ", " +
                       std::to_string(plan.hx) + ")");
    }
    return 0;
}
