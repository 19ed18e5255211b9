// The options of the commands that take any: one table each, which the
// command parses with and the fuzz target of the argument parser reads too.
// A table is an initializer list, which lives as long as the call it is
// written in, so each is handed to `body` rather than kept.
#pragma once

#include <initializer_list>

#include "cli/options.hpp"

namespace kelpa::cli {

template <class Body>
decltype(auto) with_faidx_options(Body&& body) {
    return body({{"regions", {"-r", "--region-file"}, true},
                 {"reverse", {"-i", "--reverse-complement"}},
                 {"width", {"-n", "--length"}, true},
                 {"continue", {"-c", "--continue"}},
                 {"output", {"-o", "--output"}, true},
                 {"mark", {"--mark-strand"}, true}});
}

template <class Body>
decltype(auto) with_getfasta_options(Body&& body) {
    return body({{"ref", {"-fi"}, true},
                 {"bed", {"-bed"}, true},
                 {"output", {"-o", "--output", "-fo"}, true},
                 {"strand", {"-s", "--strand"}},
                 {"split", {"--split", "-split"}},
                 {"name", {"--name", "-name"}},
                 {"name_only", {"--name-only", "-nameOnly"}},
                 {"tab", {"--tab", "-tab"}}});
}

template <class Body>
decltype(auto) with_index_options(Body&& body) {
    return body({{"fai", {"--fai-idx"}, true}, {"gzi", {"--gzi-idx"}, true}});
}

}  // namespace kelpa::cli
