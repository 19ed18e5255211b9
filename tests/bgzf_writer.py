"""BGZF files written with Python's zlib, so that no test needs bgzip.

A BGZF file is a series of gzip members ("blocks") of at most 64 KiB of text
each, every one with a BC extra subfield giving its own size (BSIZE, the
block's bytes - 1), and an empty block as end-of-file marker:

    write_bgzf(path, text, block_size=65280)   the file; returns its blocks
    bgzf_bytes(text, block_size=65280)         the same as bytes and blocks
    gzi_bytes(blocks)                          the .gzi bgzip -i writes

`blocks` is the list of (compressed offset, text offset) of every block that
holds text, the first one included. bgzip cuts its blocks at 65280 bytes of
text, the default here. `block_sizes` (a list, cycled) gives blocks of
varying sizes instead, down to 1 byte; `eof=False` leaves the end marker
out; `empty_first=True` puts an empty block (an end marker, as in files
joined with cat) first and between the first two blocks of text; `level` is
the deflate level.
"""

import itertools
import struct
import zlib

MAX_TEXT = 65536
BGZIP_BLOCK = 65280
EOF_MARKER = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def block(text, level=6):
    """One BGZF block holding `text` (at most 64 KiB)."""
    if len(text) > MAX_TEXT:
        raise ValueError("a BGZF block holds at most 65536 bytes of text")
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    data = compressor.compress(text) + compressor.flush()
    size = 18 + len(data) + 8
    if size > 65536:
        raise ValueError("text that does not compress into one block; use smaller blocks")
    header = b"\x1f\x8b\x08\x04" + b"\x00" * 4 + b"\x00\xff" + struct.pack("<HBBHH", 6, ord("B"), ord("C"), 2, size - 1)
    return header + data + struct.pack("<II", zlib.crc32(text), len(text))


def bgzf_bytes(text, block_size=BGZIP_BLOCK, block_sizes=None, eof=True, empty_first=False, level=6):
    """The BGZF file of `text` (bytes or str) and its blocks."""
    if isinstance(text, str):
        text = text.encode("utf-8")
    sizes = itertools.cycle(block_sizes) if block_sizes else itertools.repeat(block_size)
    out = bytearray(EOF_MARKER if empty_first else b"")
    blocks = []
    at = 0
    while at < len(text):
        size = next(sizes)
        if not 1 <= size <= MAX_TEXT:
            raise ValueError("block sizes lie in 1..65536")
        if empty_first and len(blocks) == 1:
            out += EOF_MARKER
        blocks.append((len(out), at))
        out += block(text[at : at + size], level)
        at += size
    if eof:
        out += EOF_MARKER
    return bytes(out), blocks


def write_bgzf(path, text, **options):
    """Writes the BGZF file of `text` to `path`; returns its blocks."""
    data, blocks = bgzf_bytes(text, **options)
    with open(path, "wb") as out:
        out.write(data)
    return blocks


def gzi_bytes(blocks):
    """The .gzi of a file with these blocks, as bgzip -i writes it: a u64
    count, then (compressed, text offset) pairs of every block of text after
    the first (which (0, 0) stands for, wherever it lies); a file without
    text gets count 2^64 - 1."""
    if not blocks:
        return struct.pack("<Q", 2**64 - 1)
    rest = blocks[1:]
    return struct.pack("<Q", len(rest)) + b"".join(struct.pack("<QQ", c, u) for c, u in rest)
