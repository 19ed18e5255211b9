// Building an index by scanning a FASTA file.
//
// One sequential pass, line by line: a line whose first byte is '>' is a
// header and its name is the first word after the '>', words separated by
// whitespace (base/utf8.hpp, Encoding: White_Space as UTF-8, ASCII whitespace as
// bytes); every other line is sequence text whose bases are its bytes minus
// trailing CR/LF. lenc and lenb come from a record's first sequence line.
// Records with an empty name, and lines before the first header, are left
// out. As UTF-8 (the default), text that is not valid UTF-8 fails the build
// ("stream did not contain valid UTF-8") before anything is written; as
// bytes, every byte is taken, 0x80..0xFF in names and bases alike.
//
// The fetch arithmetic (faidx.hpp) holds only for a uniform layout, so the
// scan refuses, with IOError naming the file, the record and the 1-based
// line number, a record in which
//   - a line has more bases than the first;
//   - a line that is shorter than the first, blank, or ends in another line
//     break than the first ("\n" against "\r\n") is followed by more sequence.
// So every line but the last has the first line's bases and bytes, the last
// may be shorter, and blank lines may only end a record. Records without
// sequence lines (or with blank lines only), unterminated last lines and
// lines before the first header are accepted as they are.
//
// Memory stays flat in line length: the file is streamed through a fixed
// 1 MiB buffer and only the current record's numbers and name are kept.
//
// For well-formed files (every line terminated, uniform widths, sequence
// lines of printing ASCII only) the output is byte for byte what `samtools
// faidx` writes, with "\n" and with "\r\n"; as bytes, whatever bytes the
// headers hold. Known differences on other files: samtools counts only
// printing ASCII (0x21..0x7E) as bases, where a sequence line's other bytes
// (spaces, control bytes, 0x7F..0xFF) are bases here, as bedtools counts
// them; and a record whose first sequence line is the file's unterminated
// last line gets lenb = its bytes (samtools adds one for the missing "\n").
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/utf8.hpp"
#include "core/bgzf/format.hpp"
#include "core/index/index_file.hpp"

namespace kelpa::core {

// The index scan over FASTA text handed over in pieces of any size, in file
// order (a read buffer, inflated blocks of a compressed file). `path` names
// the file in error messages.
class FastaTextScan {
public:
    explicit FastaTextScan(const std::string& path, Encoding encoding = Encoding::Utf8);
    ~FastaTextScan();
    FastaTextScan(const FastaTextScan&) = delete;
    FastaTextScan& operator=(const FastaTextScan&) = delete;

    Status feed(std::string_view piece);
    // The records, in file order, duplicates included.
    Result<std::vector<NamedEntry>> finish();

private:
    struct State;
    std::string path_;
    std::unique_ptr<State> state_;
};

// The records of the FASTA file at `fasta_path`, in file order, duplicates
// included: the one scan of the module and the program alike. The file is
// mapped and copied out a piece at a time on a second thread, ahead of the
// scan, under the SIGBUS guard (a file cut short meanwhile is an IO error
// naming it); a file that cannot be mapped or guarded is read.
Result<std::vector<NamedEntry>> scan_fasta(const std::string& fasta_path, Encoding encoding = Encoding::Utf8);

// Scans `fasta_path`, writes the index to `index_path` and fills `table`
// (a name seen twice keeps the later record's entry). Every failure is IO,
// and leaves any existing index at `index_path` as it was.
Status build_index(const std::string& fasta_path, const std::string& index_path, NameTable& table,
                   Encoding encoding = Encoding::Utf8);

// Writes `records` as the index at `index_path`, then fills `table` with
// them (a name seen twice keeps the later record's entry).
Status write_and_fill(const std::string& index_path, const std::vector<NamedEntry>& records, NameTable& table);

// The .gzi and the .fai of a BGZF-compressed FASTA file, built from one pass
// over its blocks in order (read through `file`) and both written; `table`
// is filled as by write_and_fill, and the block table comes back.
Result<BlockTable> build_bgzf_indexes(const CompressedFile& file, const std::string& gzi_path,
                                      const std::string& index_path, NameTable& table, Encoding encoding);

}  // namespace kelpa::core
