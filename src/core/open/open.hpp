// Where a path or a URL becomes a Faidx: the one place that tells a local
// file from a remote one, a mapping from a file read with pread, and plain
// text from BGZF, and that decides whether the index is read or built.
//
// A new kind of source enters here: this room makes its text (a TextSource)
// and reads or builds its index; the fetch and batch rooms read through it
// without learning which kind it is.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/base/error.hpp"
#include "core/fetch/faidx.hpp"

namespace kelpa::core {

// Opens `filename`: checks it exists, maps it (or keeps it open when
// `mutable_file` is set or mapping fails), builds the index when it is
// missing or older than the FASTA file (as the options allow) and reads it.
// `indexname` defaults to filename + ".fai". A URL (remote/url.hpp) is read
// over the network; its index comes from a URL, or from a local path where
// it may be built (open_remote.cpp).
Result<std::unique_ptr<Faidx>> open_faidx(std::string filename, std::optional<std::string> indexname,
                                          FaidxOptions options);

}  // namespace kelpa::core
