// The open room's remote half (open_remote.cpp): a FASTA file named by a URL.
#pragma once

#include <memory>
#include <string>

#include "core/base/error.hpp"
#include "core/base/utf8.hpp"
#include "core/fetch/faidx.hpp"
#include "core/index/index_file.hpp"

namespace kelpa::core {

// Makes the Faidx of the FASTA file at the URL parts.filename. The index
// comes from parts.indexname, a URL or a local path; a BGZF file's .gzi from
// the same place with ".gzi" in place of a final ".fai" (or added). A remote
// index is downloaded once and trusted. A local one is trusted too (no
// modification times across the network), and when it is missing (or
// always_build asks) and build_index allows, the file is read once as a
// stream and the index built there. Nothing is ever written beside the
// remote file.
Result<std::unique_ptr<Faidx>> open_remote(FaidxParts parts);

// The index at `index` (index_file.hpp), read from a local path or
// downloaded from a URL.
Status load_any_index(const std::string& index, NameTable& entries, Encoding encoding);

}  // namespace kelpa::core
