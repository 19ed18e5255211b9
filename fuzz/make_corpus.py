"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

    python3 fuzz/make_corpus.py

The seeds are small hand-made files: index and FASTA files with the layouts
that matter (CRLF, empty lines, '>' alone, duplicate names, six-column and
title lines, non-ASCII names and White_Space), and encoded requests for the
extraction, slicing and command-line parser targets. The files are kept in the repository; this
script says what they are and remakes them.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAX = 2**64 - 1


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data.encode("utf-8") if isinstance(data, str) else data)


def shifted(shift, rest):
    """The filler mode of the reader and builder targets: 0xFF, a two-byte
    shift, then the bytes that follow the filler."""
    return b"\xff" + struct.pack("<H", shift) + (rest.encode("utf-8") if isinstance(rest, str) else rest)


# --- fuzz_index_reader: .fai files --------------------------------------

READER = {
    "plain.fai": "chr1\t248\t6\t60\t61\nchr2\t10\t265\t4\t5\n",
    "crlf.fai": "chr1\t248\t6\t60\t61\r\nchr2\t10\t265\t4\t5\r\n",
    "no_final_newline.fai": "a\t4\t3\t4\t5\nb\t0\t12\t0\t0",
    "six_columns.fai": "r\t4\t3\t4\t5\t9\nq\t4\t3\t4\t5\n",
    "title.fai": "name\tlength\toffset\tlinebases\tlinewidth\n",
    "duplicate.fai": "a\t1\t2\t3\t4\nb\t9\t9\t9\t9\na\t5\t6\t7\t8\n",
    "padded.fai": "\ta\t+1\t02\t3\t4\t\n   \n\n\t\n x y\t1\t2\t3\t4 \n",
    "limits.fai": "big\t18446744073709551615\t0\t1\t1\nover\t1\t18446744073709551616\t1\t1\n",
    "bad_numbers.fai": "a\t1\t2\t-3\t4\nb\t1\t2\t3\t4 5\n",
    "nonascii.fai": "\u00a0chr\u00c4\u3000\t7\t9\t7\t8\u2029\n\u0085x\u200a\t1\t1\t1\t1\n",
    "invalid_utf8.fai": b"a\t1\t2\t3\t4\n\xc3(\t1\t2\t3\t4\n",
    "boundary.fai": shifted(4090, "a\t1\t2\t3\t4\nb\t5\t6\t7\t8\n"),
}

# --- fuzz_index_builder: FASTA files ------------------------------------

BUILDER = {
    "simple.fa": ">chr1 first record\nACGTACGTAC\nACGTACGTAC\nACG\n>chr2\nTTTT\nTT\n",
    "crlf.fa": ">chr1 desc\r\nACGTACGTAC\r\nACG\r\n>chr2\r\nTT\r\n",
    "empty_lines.fa": ">a\n\nACGT\n\n>b\n\n",
    "lone_gt.fa": ">\nACGT\n>x\nAC\n>   \nGG\n",
    "duplicate.fa": ">a\nAAAA\n>b\nC\n>a\nGG\nG\n",
    "before_header.fa": "ACGT\n;comment\n>a\nAC\n",
    "no_final_newline.fa": ">a\nACGT\nAC",
    "header_at_end.fa": ">a\nAC\n>b",
    "spaces.fa": ">  chr2  desc\nAC GT \t\n\r\r\n",
    "nonascii.fa": ">\u00a0chr\u00c4\u3000desc\nAC\u00e9GT\n>\u2028\nA\n",
    "invalid_utf8.fa": b">a\nAC\xff\n",
    "boundary.fa": shifted(4093, ">b\nAC\u00c4\n>c\u3000d\nT\n"),
}


# --- fuzz_extract: an entry and coordinates, or the builder's index ------


def number(value):
    """The encoding of fuzz::Input::number."""
    if value < 256:
        return bytes([0, value])
    if value < 65536:
        return bytes([1]) + struct.pack("<H", value)
    if value >= MAX - 255:
        return bytes([2, MAX - value])
    if value < 2**32:
        return bytes([3]) + struct.pack("<I", value)
    return bytes([4]) + struct.pack("<Q", value)


MAPPED, OPEN_FILE, BUILT, BYTES = 0, 1, 2, 4


def request(rlen, offset, lenc, lenb, first, count, fasta, flags=MAPPED):
    return bytes([flags]) + b"".join(number(v) for v in (rlen, offset, lenc, lenb, first, count)) + fasta


def built(start, end, fasta, flags=BUILT):
    return bytes([flags]) + number(start) + number(end) + (fasta.encode("utf-8") if isinstance(fasta, str) else fasta)


WRAPPED = b">r\nACGT\nACGT\nAC\n"
WRAPPED_CRLF = b">r\r\nACGT\r\nACGT\r\nAC\r\n"
EXTRACT = {
    "wrapped": request(10, 3, 4, 5, 3, 4, WRAPPED),
    "wrapped_all": request(10, 3, 4, 5, 1, 10, WRAPPED),
    "crlf": request(10, 4, 4, 6, 3, 6, WRAPPED_CRLF),
    "past_end": request(10, 3, 4, 5, 9, 50, WRAPPED),
    "truncated": request(20, 3, 4, 5, 5, 16, WRAPPED[:-3]),
    "wrong_width": request(10, 3, 3, 4, 1, 10, WRAPPED),
    "wrong_line_end": request(10, 4, 4, 5, 1, 10, WRAPPED_CRLF),
    "lenb_below_lenc": request(10, 3, 4, 2, 5, 6, WRAPPED),
    "lenc_zero": request(10, 3, 0, 1, 1, 4, WRAPPED),
    "offset_past_mapping": request(10, 1000, 4, 5, 1, 4, WRAPPED),
    "overflowing_line": request(MAX, 3, 1, MAX, MAX, 4, WRAPPED),
    "overflowing_count": request(MAX, 3, 4, 5, 1, MAX, WRAPPED),
    "huge_slack": request(MAX, 0, 1, 2**63, 1, 2**40, b"AC\nGT\n"),
    "one_line": request(40, 3, 40, 41, 7, 30, b">s\n" + b"ACGT" * 10 + b"\n"),
    "long_lines": request(300, 3, 100, 101, 50, 200, b">s\n" + (b"A" * 50 + b"C" * 50 + b"\n") * 3),
    "empty_file": request(1, 0, 1, 1, 1, 1, b""),
    "built_simple": built(3, 12, BUILDER["simple.fa"]),
    "built_crlf": built(2, 9, BUILDER["crlf.fa"]),
    "built_empty_lines": built(1, MAX, BUILDER["empty_lines.fa"]),
    "built_duplicate": built(2, 3, BUILDER["duplicate.fa"]),
    "built_before_header": built(0, 1, BUILDER["before_header.fa"]),
    "built_no_final_newline": built(4, 6, BUILDER["no_final_newline.fa"]),
    "built_header_at_end": built(1, 2, BUILDER["header_at_end.fa"]),
    "built_nonascii": built(2, 4, BUILDER["nonascii.fa"]),
    "built_long_lines": built(70, 250, b">s x\n" + (b"ACGTN" * 40 + b"\n") * 5 + b"ACG\n\n>t\nA\n"),
    "built_last_line_crlf": built(1, MAX, b">a\nACGT\nAC\r\n>b\r\nAC\r\nA\n"),
    "built_bytes": built(2, 5, b">r\xff x\nAC\xfeGT\nA\x80\n>s\xc3(\nGG\n", BUILT | BYTES),
    "built_bytes_latin1_space": built(1, MAX, b">r\xa0s\x85\nACGT\r\nA\r\n", BUILT | BYTES),
}
# Every request again, read through the open file instead of the mapping.
EXTRACT.update({name + "_open_file": bytes([data[0] | OPEN_FILE]) + data[1:] for name, data in list(EXTRACT.items())})


# --- fuzz_slice: length, start, stop, step ------------------------------


def optional(value):
    if value is None:
        return b"\x00"
    return b"\x01" + number(value % 2**64)


def slice_request(length, start, stop, step):
    return struct.pack("<H", length) + optional(start) + optional(stop) + optional(step)


SLICE = {
    "range": slice_request(10, 2, 8, 1),
    "reversed": slice_request(10, None, None, -1),
    "reversed_far_start": slice_request(10, -100, None, -1),
    "stepped": slice_request(100, 5, None, 3),
    "stepped_back": slice_request(100, 80, 2, -7),
    "negative_bounds": slice_request(50, -10, -2, 2),
    "empty_text": slice_request(0, None, None, -2),
    "huge_step": slice_request(30, None, None, -(2**63)),
    "past_end": slice_request(10, 20, 30, 1),
}


# --- fuzz_cli_parsers: regions, BED lines and arguments ----------------

REGION, BED, ARGUMENTS = 0, 1, 2


def table(names):
    """The name table of a region request: (name, rlen) pairs."""
    out = bytes([len(names)])
    for name, rlen in names:
        raw = name.encode("utf-8")
        out += number(rlen) + bytes([len(raw)]) + raw
    return out


def region_text(names, text):
    return bytes([REGION]) + table(names) + b"\x00" + text.encode("utf-8")


def region_written(names, index, form, styles, first, last, braces=False):
    """form: 0 NAME:S, 1 NAME:S-E, 2 NAME:-E, 3 NAME:S-; styles: the first
    position's in the low four bits, the second's in the high four (0 plain,
    1 separators, 2 blanks and '+', 3 k/M/G, 4 exponent, 5 zeros, 6 a fraction
    dropped)."""
    return (
        bytes([REGION])
        + table(names)
        + b"\x01"
        + bytes([index, form | (4 if braces else 0), styles])
        + number(first)
        + number(last)
    )


def bed(line, blocks=False):
    return bytes([BED, 1 if blocks else 0]) + line.encode("utf-8")


def arguments(options, *args):
    """options: 0 faidx's, 1 getfasta's, 2 none."""
    return bytes([ARGUMENTS, options]) + b"\x00".join(a.encode("utf-8") for a in args)


NAMES = [("chr1", 1000), ("chr2", 50), ("HLA:01", 20), ("HLA", 30), ("HLA:01:5", 7), ("{x}", 9)]
BED12 = "chr1\t100\t200\tgene\t0\t-\t100\t200\t0\t2\t10,20,\t0,80,"
CLI = {
    "region_whole": region_text(NAMES, "chr1"),
    "region_range": region_text(NAMES, "chr1:10-20"),
    "region_start": region_text(NAMES, "chr2:30"),
    "region_to_end": region_text(NAMES, "chr2:30-"),
    "region_minus_end": region_text(NAMES, "chr2:-5"),
    "region_empty": region_text(NAMES, "chr2:0-"),
    "region_dash": region_text(NAMES, "chr2:-"),
    "region_reversed": region_text(NAMES, "chr1:20-10"),
    "region_past_end": region_text(NAMES, "chr2:60-"),
    "region_separators": region_text(NAMES, "chr1:1,000-2,000"),
    "region_suffixes": region_text(NAMES, "chr1: +1.5k-2e6"),
    "region_fraction": region_text(NAMES, "chr1:1.25-3.5"),
    "region_huge": region_text(NAMES, "chr1:99999999999999999999999-"),
    "region_colon_name": region_text(NAMES, "HLA:01:5-9"),
    "region_ambiguous": region_text(NAMES, "HLA:01"),
    "region_braces": region_text(NAMES, "{HLA:01}:5-9"),
    "region_brace_name": region_text(NAMES, "{{x}}"),
    "region_no_brace": region_text(NAMES, "{chr1:5"),
    "region_after_brace": region_text(NAMES, "{chr1}5"),
    "region_unknown": region_text(NAMES, "chr3:1-2"),
    "region_not_a_position": region_text(NAMES, "chr1:1x-2"),
    "region_no_names": region_text([], "chr1"),
    "written_plain": region_written(NAMES, 0, 1, 0x00, 5, 900),
    "written_separators": region_written(NAMES, 0, 1, 0x11, 1234567, 2345678),
    "written_blanks": region_written(NAMES, 1, 2, 0x02, 0, 40),
    "written_suffix": region_written(NAMES, 0, 3, 0x33, 5000, 0),
    "written_exponent": region_written(NAMES, 2, 1, 0x44, 12, 2**64 - 1, braces=True),
    "written_zeros": region_written(NAMES, 3, 0, 0x55, 7, 0),
    "written_inexact": region_written(NAMES, 0, 1, 0x66, 3, 8),
    "bed_three": bed("chr1\t0\t10"),
    "bed_six": bed("chr1\t5\t10\tname\t0\t+"),
    "bed_blocks": bed(BED12, blocks=True),
    "bed_blocks_trailing_tabs": bed(BED12 + "\t\t", blocks=True),
    "bed_blocks_none": bed("chr1\t0\t9\tn\t0\t+\t0\t9\t0\t0\t\t", blocks=True),
    "bed_block_outside": bed("chr1\t0\t9\tn\t0\t+\t0\t9\t0\t1\t5\t6", blocks=True),
    "bed_block_zero": bed("chr1\t0\t9\tn\t0\t+\t0\t9\t0\t1\t0\t0", blocks=True),
    "bed_comment": bed("# a comment"),
    "bed_track": bed("track name=x"),
    "bed_blank": bed(" \t "),
    "bed_two_columns": bed("chr1\t5"),
    "bed_negative": bed("chr1\t-1\t5"),
    "bed_reversed": bed("chr1\t9\t5"),
    "bed_overflow": bed("chr1\t0\t18446744073709551616"),
    "args_faidx": arguments(0, "-i", "-n", "60", "ref.fa", "chr1:1-10", "--", "-c"),
    "args_bundled": arguments(0, "-icn80", "-ochr2.fa", "--rev", "ref.fa"),
    "args_ambiguous": arguments(0, "--re", "x"),
    "args_long_value": arguments(0, "--length=70", "--mark-strand=rc", "ref.fa"),
    "args_missing_value": arguments(0, "ref.fa", "-n"),
    "args_help": arguments(0, "-ih", "ref.fa"),
    "args_getfasta": arguments(1, "-fi", "ref.fa", "-bed", "a.bed", "-s", "-split", "-nameOnly", "-"),
    "args_no_value": arguments(1, "--split=yes"),
    "args_unknown": arguments(1, "-x", "ref.fa"),
    "args_none": arguments(2, "ref.fa", "--", "--help"),
}


# --- fuzz_bgzf: BGZF files, damage and .gzi -----------------------------


def bgzf_request(
    text, flags=0, level=6, sizes=(), damage=(), gzi_mode=0, gzi_entry=0, gzi_value=0, gzi_raw=b"", repeat_to=0
):
    """flags: 1 no end marker, 2 repeat the text to `repeat_to` bytes, 4 read
    from a mapping; damage: (kind, position, value) with kind 0 a byte,
    1 cut the file, 2 xor a word, 3 two bytes; gzi_mode: 0 the scan's table,
    1 its .gzi cut short, 2 a word of it replaced, 3 `gzi_raw` as the .gzi."""
    out = bytes([flags, level, len(sizes)]) + b"".join(struct.pack("<H", n) for n in sizes)
    out += bytes([len(damage)]) + b"".join(struct.pack("<BII", k, p, v) for k, p, v in damage)
    out += bytes([gzi_mode, gzi_entry]) + number(gzi_value) + bytes([len(gzi_raw)])
    if flags & 2:
        out += struct.pack("<I", repeat_to)[:3]
    return out + gzi_raw + (text.encode("utf-8") if isinstance(text, str) else text)


FASTA = ">chr1 first\nACGTACGTAC\nACGTAC\n>chr2\nTTTTGGGGCC\nA\n"
BGZF = {
    "plain": bgzf_request(FASTA),
    "small_blocks": bgzf_request(FASTA, sizes=(5, 1, 7, 3, 20)),
    "empty_blocks": bgzf_request(FASTA, sizes=(0, 10, 0, 0, 10)),
    "no_end_marker": bgzf_request(FASTA, flags=1, sizes=(9,)),
    "mapped": bgzf_request(FASTA, flags=4, sizes=(0, 12)),
    "several_64k": bgzf_request("ACGTTGCAN\n", flags=2, level=1, repeat_to=200000),
    "stored": bgzf_request(bytes(range(256)) * 4, level=0, sizes=(300, 700)),
    "bad_crc": bgzf_request(FASTA, sizes=(10, 10), damage=((2, 40, 1),)),
    "bad_isize": bgzf_request(FASTA, sizes=(10,), damage=((0, 41, 9),)),
    "bad_bsize": bgzf_request(FASTA, sizes=(10,), damage=((3, 16, 5),)),
    "truncated": bgzf_request(FASTA, sizes=(10, 10), damage=((1, 50, 0),)),
    "gzi_cut": bgzf_request(FASTA, sizes=(10, 10, 10), gzi_mode=1, gzi_entry=1),
    "gzi_offset": bgzf_request(FASTA, sizes=(10, 10, 10), gzi_mode=2, gzi_entry=1, gzi_value=3),
    "gzi_text_offset": bgzf_request(FASTA, sizes=(10, 10, 10), gzi_mode=2, gzi_entry=2, gzi_value=11),
    "gzi_raw": bgzf_request(FASTA, sizes=(10, 10), gzi_mode=3, gzi_raw=struct.pack("<QQQ", 1, 40, 10)),
}


# --- fuzz_encode: kind, width, rc, padding before and after, [table], text -


def encode_request(kind, width, rc, before, after, text, table=None):
    head = bytes([kind, width, int(rc), before, after])
    if table is not None:
        head += b"".join(struct.pack("<q", value) for value in table)
    return head + text


ENCODE = {
    "bytes_upper_rc": encode_request(0, 1, True, 3, 2, b"ACGTacgtNnRY-\xff"),
    "codes_int32": encode_request(1, 2, False, 0, 4, b"acgtNACGT", [(b * 7919) % 1000 - 500 for b in range(256)]),
    "codes_by_base": encode_request(1, 0x12, True, 2, 3, b"ACGTacgtNnRY-" * 3, list(range(256))),
    "codes_int64_rc": encode_request(1, 3, True, 5, 0, b"GATTACA", [b - 128 for b in range(256)]),
    "one_hot_float32": encode_request(2, 2, False, 5, 0, b"acgtACGTn"),
    "one_hot_planar_rc": encode_request(3, 3, True, 0, 7, b"ACGGTTx"),
    "all_padding": encode_request(2, 0, True, 9, 9, b""),
}


def main():
    for target, seeds in [
        ("fuzz_encode", ENCODE),
        ("fuzz_bgzf", BGZF),
        ("fuzz_index_reader", READER),
        ("fuzz_index_builder", BUILDER),
        ("fuzz_extract", EXTRACT),
        ("fuzz_slice", SLICE),
        ("fuzz_cli_parsers", CLI),
    ]:
        for name, data in seeds.items():
            write(target, name, data)


if __name__ == "__main__":
    main()
