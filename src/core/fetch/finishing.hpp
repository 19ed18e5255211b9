// What happens to extracted text before anyone sees it, as one value and
// one function for every path: the single fetch, both batch paths, record
// slices, spliced fetches and the program.
//
// The order is fixed: pad a text that came back short, upper-case, check
// that it is UTF-8 (the module's values are str), reverse complement.
#pragma once

#include <cstdint>
#include <string>

#include "core/base/error.hpp"
#include "core/kernels/sequence.hpp"

namespace kelpa::core {

struct Finishing {
    bool upper = false;                              // upper-case a..z
    const std::string* pad = nullptr;                // appended per missing base to a short text; outlives this
    bool reverse = false;                            // reverse complement every text
    ComplementRule complement = ComplementRule::ToN;  // the rule of the reverse complements
    bool utf8 = true;                                // text must be UTF-8 (the module); false: bytes (the program)
};

// The fast path, in place: `data` holds `written` bytes of a text of `count`
// bases. True when it is finished there: complete, and ASCII or taken as
// bytes. False when it needs finish_copy(): short (to pad), or not ASCII
// (to check). `reverse` reverse complements this text whatever the policy
// says of every text (a batch's minus-strand region).
inline bool finish_in_place(const Finishing& finishing, char* data, std::uint64_t written, std::uint64_t count,
                            bool reverse = false) {
    if (written != count || (finishing.utf8 && !is_ascii(data, written))) return false;
    if (finishing.upper) to_upper_ascii(data, written);
    if (reverse || finishing.reverse) reverse_complement_in_place(data, written, finishing.complement);
    return true;
}

// The slow path: `text` holds what was extracted of a text of `count`
// bases; pads, upper-cases, checks and reverse complements it (as above).
// The IO error "stream did not contain valid UTF-8" when it must be UTF-8
// and is not.
Status finish_copy(const Finishing& finishing, std::string& text, std::uint64_t count, bool reverse = false);

}  // namespace kelpa::core
