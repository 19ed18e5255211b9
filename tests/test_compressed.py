"""BGZF-compressed FASTA files: every front door gives what it gives on the
uncompressed file, the .fai and .gzi interoperate with bgzip and samtools,
other compressed formats are refused by content, and damaged files give a
clear IOError.

The BGZF files are written by tests/bgzf_writer.py with Python's zlib at
several block sizes; files and index pairs made by bgzip and samtools are
checked too (CI installs them).
"""

import json
import os
import random
import shutil
import subprocess
import textwrap

import pytest
from bgzf_writer import EOF_MARKER, bgzf_bytes, gzi_bytes, write_bgzf

import kelpa
from conftest import POOL, python_output, raised, random_seq, read_text, write_bytes, write_fasta

RNG = random.Random(77)
RECORDS = [
    ("chr1 first", random_seq(RNG, 5000, "ACGTacgtN")),
    ("empty", ""),
    ("one", "G"),
    ("chr2", random_seq(RNG, 1234)),
    ("chr3", random_seq(RNG, 777, "acgt")),
]
BLOCKINGS = {
    "bgzip": {},
    "1k": {"block_size": 1000},
    "61": {"block_size": 61},
    "ragged": {"block_sizes": [1, 7, 300, 2, 4096, 1]},
    "empty_first": {"block_size": 1000, "empty_first": True},
}


def pair(tmp_path, blocking, width=60, eol="\n"):
    """A plain FASTA file and its BGZF twin."""
    plain = os.fspath(tmp_path / "plain.fa")
    text = write_fasta(plain, RECORDS, width, eol)
    packed = os.fspath(tmp_path / "packed.fa.gz")
    write_bgzf(packed, text, **BLOCKINGS[blocking])
    return plain, packed


def outcome(call):
    try:
        return call()
    except Exception as error:
        return (type(error).__name__, str(error))


def same_everywhere(plain, packed, **options):
    """Every kind of call gives the same on both files."""
    a, b = kelpa.Fasta(plain, **options), kelpa.Fasta(packed, **options)
    fa, fb = kelpa.Faidx(plain, **options), kelpa.Faidx(packed, **options)
    assert a.keys() == b.keys()
    rng = random.Random(5)
    for name in a.keys():
        n = len(a[name])
        regions = [(rng.randrange(0, n + 3), rng.randrange(0, n + 3)) for _ in range(30)] + [(1, n), (n, n)]
        for s, e in regions:
            assert outcome(lambda: fa.fetch(name, s, e).seq) == outcome(lambda: fb.fetch(name, s, e).seq)
        assert fa.fetch_entire_sequence(name).seq == fb.fetch_entire_sequence(name).seq
        for k in (5, POOL + 5):  # one by one, and on the pool
            many = [(name, s, e) for s, e in (regions * (k // len(regions) + 1))[:k]]
            assert outcome(lambda: [x.seq for x in fa.fetch_many(many)]) == outcome(
                lambda: [x.seq for x in fb.fetch_many(many)]
            )
            pairs = [(s, e) for _, s, e in many]
            assert outcome(lambda: [(x.seq, x.start) for x in a.fetch_many_same_chr(name, pairs, rc=True)]) == outcome(
                lambda: [(x.seq, x.start) for x in b.fetch_many_same_chr(name, pairs, rc=True)]
            )
        ra, rb = a[name], b[name]
        for key in (slice(None), slice(3, 40), slice(-50, None), slice(None, None, -3), slice(10, 2, -1), 7, -1):
            assert outcome(lambda: str(ra[key])) == outcome(lambda: str(rb[key]))
        assert [str(x) for x in ra] == [str(x) for x in rb]
        assert [str(x) for x in reversed(ra)] == [str(x) for x in reversed(rb)]
        if n > 20:
            spliced = [(1, 5), (n - 9, n)]
            assert a.get_spliced_seq(name, spliced, rc=True).seq == b.get_spliced_seq(name, spliced, rc=True).seq


@pytest.mark.parametrize("blocking", BLOCKINGS)
def test_bgzf_gives_what_the_plain_file_gives(tmp_path, capfd, blocking):
    plain, packed = pair(tmp_path, blocking)
    same_everywhere(plain, packed)
    same_everywhere(plain, packed, mutable=True, sequence_always_upper=True, default_seq="N")
    same_everywhere(plain, packed, strict_bounds=True, one_based_attributes=False)
    captured = capfd.readouterr().err.splitlines()
    assert captured[: len(captured) // 2] == captured[len(captured) // 2 :]  # the same warnings, twice over
    # The .fai describes the text, as the plain file's does.
    assert read_text(packed + ".fai") == read_text(plain + ".fai")
    assert (
        sorted(os.listdir(tmp_path)) == "packed.fa.gz packed.fa.gz.fai packed.fa.gz.gzi plain.fa plain.fa.fai".split()
    )


def test_bgzf_layout_checks_and_crlf(tmp_path):
    plain, packed = pair(tmp_path, "61", width=13, eol="\r\n")
    same_everywhere(plain, packed)
    ragged = os.fspath(tmp_path / "ragged.fa.gz")
    write_bgzf(ragged, b">r\nACGT\nTTTTGGGG\n", block_size=5)
    assert raised(Exception, lambda: kelpa.Faidx(ragged)) == (
        f"IOError: cannot index {ragged}: line 3 (in record 'r') is longer than the "
        "record's first line; every line of a record but its last must be as long as its first"
    )
    made = "packed.fa.gz packed.fa.gz.fai packed.fa.gz.gzi plain.fa plain.fa.fai ragged.fa.gz"
    assert sorted(os.listdir(tmp_path)) == made.split()


@pytest.mark.parametrize("blocking", ["1k", "empty_first"])
def test_index_pair_is_built_read_and_rebuilt(tmp_path, blocking):
    plain, packed = pair(tmp_path, blocking)
    blocks = bgzf_bytes(open(plain, "rb").read(), **BLOCKINGS[blocking])[1]
    kelpa.Faidx(packed)
    with open(packed + ".gzi", "rb") as gzi:
        assert gzi.read() == gzi_bytes(blocks)
    os.remove(packed + ".gzi")  # either one missing: both are built again
    fai_before = os.stat(packed + ".fai").st_mtime_ns
    kelpa.Faidx(packed)
    assert os.path.exists(packed + ".gzi") and os.stat(packed + ".fai").st_mtime_ns >= fai_before
    os.remove(packed + ".gzi")
    assert raised(Exception, lambda: kelpa.Faidx(packed, build_index=False)) == f"IndexNotFoundError: {packed}.gzi"


def test_bgzip_and_samtools_files_and_indexes(tmp_path, bgzip, samtools):
    plain, _ = pair(tmp_path, "bgzip")
    made = os.fspath(tmp_path / "made.fa")
    shutil.copy(plain, made)
    subprocess.run([bgzip, "-i", made], check=True)  # made.fa.gz and its .gzi
    ours = os.fspath(tmp_path / "ours.fa.gz")
    shutil.copy(made + ".gz", ours)
    kelpa.Faidx(ours)
    with open(made + ".gz.gzi", "rb") as theirs, open(ours + ".gzi", "rb") as mine:
        assert mine.read() == theirs.read()
    # An empty first block: (0, 0) stands for the first block of text, as in
    # bgzip's own index of the file.
    joined = os.fspath(tmp_path / "joined.fa.gz")
    write_bgzf(joined, read_text(plain), block_size=1000, empty_first=True)
    subprocess.run([bgzip, "-r", joined], check=True)
    with open(joined + ".gzi", "rb") as theirs:
        made_by_bgzip = theirs.read()
    os.remove(joined + ".gzi")
    kelpa.Faidx(joined)
    with open(joined + ".gzi", "rb") as mine:
        assert mine.read() == made_by_bgzip
    out = subprocess.run([samtools, "faidx", joined, "chr2:600-1234"], check=True, capture_output=True, text=True)
    assert out.stdout.partition("\n")[2].replace("\n", "") == kelpa.Faidx(joined).fetch("chr2", 600, 1234).seq
    subprocess.run([samtools, "faidx", made + ".gz"], check=True)
    # samtools leaves records without bases out of its index
    assert read_text(made + ".gz.fai") == read_text(ours + ".fai").replace("empty\t0\t5103\t0\t0\n", "")
    # samtools' pair is read as it is, and samtools reads ours.
    theirs = kelpa.Faidx(made + ".gz", build_index=False)
    regions = ["chr1:1-100", "chr1:4990-5000", "chr2:600-1234", "one:1-1", "chr3:5-5"]
    out = subprocess.run([samtools, "faidx", ours] + regions, check=True, capture_output=True, text=True).stdout
    chunks = [chunk.partition("\n")[2].replace("\n", "") for chunk in out.split(">")[1:]]
    for region, chunk in zip(regions, chunks):
        name, _, span = region.partition(":")
        s, e = map(int, span.split("-"))
        assert theirs.fetch(name, s, e).seq == chunk


@pytest.mark.parametrize(
    "head, kind",
    [
        (b"\x1f\x8b\x08\x00" + b"\x00" * 6, "gzip"),
        (b"BZh91AY&SY", "bzip2"),
        (bytes.fromhex("fd377a585a00") + b"\x00" * 6, "xz"),
        (bytes.fromhex("28b52ffd") + b"\x00" * 6, "zstd"),
    ],
)
def test_other_compression_is_refused_by_content(tmp_path, head, kind):
    path = write_bytes(tmp_path / "ref.fa", head + b"\x00" * 100)  # the name says nothing
    if kind == "gzip":
        expected = (
            f"IOError: {path}: the file is gzip- but not BGZF-compressed; compress the uncompressed "
            "file with bgzip to make it readable at random"
        )
    else:
        expected = f"IOError: {path}: the file is {kind}-compressed; only uncompressed and BGZF-compressed (bgzip) files are read"
    assert raised(Exception, kelpa.Fasta, path) == expected
    assert os.listdir(tmp_path) == ["ref.fa"]


DAMAGED_SCRIPT = textwrap.dedent("""
    import json, sys
    import kelpa
    path, fetch_only = sys.argv[1], sys.argv[2] == "fetch"

    def attempt(call):
        try:
            return ["opened", call(kelpa.Faidx(path, build_index=not fetch_only))]
        except Exception as e:
            return ["error", str(e)]

    print(json.dumps([
        attempt(lambda fa: fa.fetch("r", 1, 36000).seq[:3]),  # ten blocks, streamed through the pool
        attempt(lambda fa: [x.seq[:3] for x in fa.fetch_many([("r", s, s + 99) for s in range(1, 35900, 30)])][:2]),
    ]))
""")


def damage(data, blocks, how):
    second = blocks[1][0]
    if how == "truncated":
        return data[: second + 30]
    if how == "bad_crc":
        end = blocks[2][0]
        return data[: end - 8] + bytes([data[end - 8] ^ 1]) + data[end - 7 :]
    if how == "bad_deflate":
        return data[: second + 18] + b"\xff" * 8 + data[second + 26 :]
    return data


@pytest.mark.parametrize(
    "how, fetch_only, message",
    [
        ("truncated", False, "BGZF block at offset {second}"),
        ("bad_crc", False, "BGZF block at offset {second}"),
        ("bad_deflate", False, "BGZF block at offset {second}"),
        ("bad_crc", True, "BGZF block at offset {second}"),  # an index made before the damage: found when fetching
        ("gzi_past_end", True, "{path}.gzi"),
        ("gzi_out_of_order", True, "{path}.gzi"),
        ("gzi_not_at_a_block", True, "offset"),
    ],
)
def test_damaged_files_give_a_clear_error(tmp_path, how, fetch_only, message):
    text = b">r\n" + b"".join(random_seq(RNG, 60).encode() + b"\n" for _ in range(600))
    data, blocks = bgzf_bytes(text, block_size=4000)
    path = os.fspath(tmp_path / "d.fa.gz")
    write_bytes(path, data)
    if fetch_only:
        kelpa.Faidx(path)  # a sound .fai and .gzi first
        os.utime(path, ns=(0, 0))  # older than its index: not built again
    gzi = list(blocks)
    if how == "gzi_past_end":
        gzi[3] = (len(data) + 100, gzi[3][1])
    elif how == "gzi_out_of_order":
        gzi[2], gzi[3] = gzi[3], gzi[2]
    elif how == "gzi_not_at_a_block":
        gzi[2] = (gzi[2][0] + 5, gzi[2][1])
    if how.startswith("gzi"):
        write_bytes(path + ".gzi", gzi_bytes(gzi))
        os.utime(path, ns=(0, 0))
    else:
        write_bytes(path, damage(data, blocks, how))
        if fetch_only:
            os.utime(path, ns=(0, 0))
    expected = message.format(second=blocks[1][0], path=path)
    single, batch = json.loads(python_output(DAMAGED_SCRIPT, path, "fetch" if fetch_only else "build", timeout=60))
    assert single[0] == "error" and single[1].startswith("IOError: ") and expected in single[1], single
    if how in ("gzi_past_end", "gzi_out_of_order") or not fetch_only:  # refused when opened
        assert batch == single
    else:  # the first region that needs the damaged block fails the batch
        assert batch[0] == "error" and batch[1].startswith("Error fetching region ") and expected in batch[1], batch
    for kind, detail in (single, batch):
        assert "UTF-8" not in detail


def test_missing_end_marker_warns(tmp_path, capfd):
    text = b">r\nACGT\n"
    data, _ = bgzf_bytes(text)
    path = write_bytes(tmp_path / "noeof.fa.gz", data[: -len(EOF_MARKER)])
    assert kelpa.Faidx(path).fetch("r", 1, 4).seq == "ACGT"
    assert capfd.readouterr().err == f"WARNING: {path}: no BGZF end-of-file marker; the file may be truncated\n"
