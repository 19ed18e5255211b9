#include "core/fetch/finishing.hpp"

#include <new>

namespace kelpa::core {

Status finish_copy(const Finishing& finishing, std::string& text, std::uint64_t count, bool reverse) {
    if (text.size() < count && finishing.pad && !finishing.pad->empty()) {
        const std::string& pad = *finishing.pad;
        const std::uint64_t missing = count - text.size();
        if (missing > (text.max_size() - text.size()) / pad.size()) throw std::bad_alloc();
        text.reserve(text.size() + missing * pad.size());
        for (std::uint64_t i = 0; i < missing; ++i) text.append(pad);
    }
    if (finishing.upper) to_upper_ascii(text.data(), text.size());
    if (finishing.utf8 && !is_valid_utf8(text.data(), text.size())) return FaidxError::invalid_utf8();
    if (reverse || finishing.reverse) reverse_complement_in_place(text.data(), text.size(), finishing.complement);
    return {};
}

}  // namespace kelpa::core
