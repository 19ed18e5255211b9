"""Opening a FASTA file: building, reading and refreshing its .fai index,
and the errors a bad file, path or index gives.

Built indexes are checked against the layout of the text the tests wrote
and, when samtools is installed, against the index samtools writes.
"""

import json
import os
import random
import shutil
import subprocess
import sys

import pytest

import kelpa
from conftest import (
    INVALID_UTF8,
    LAYOUTS,
    POOL,
    PROGRAM,
    REQUIRE_PEERS,
    U64_MAX,
    expected_fai,
    nobody_directory,
    plain_error,
    preloading,
    random_seq,
    read_text,
    true_text,
    write_bytes,
    write_fasta,
)

T0 = 1_600_000_000 * 10**9  # an mtime well in the past, in ns
PERMISSION_DENIED = "IOError: Permission denied (os error 13)"


def set_mtime(path, ns):
    os.utime(path, ns=(ns, ns))


def open_error(*args, **kwargs):
    return plain_error(kelpa.Faidx, *args, **kwargs)


def samtools_index(path):
    subprocess.run(["samtools", "faidx", path], check=True, capture_output=True)
    return read_text(path + ".fai")


# ---- building ----------------------------------------------------------------
_rng = random.Random(1234)
RECORDS = [
    ("chr1 first record", random_seq(_rng, 250)),
    ("chr2", random_seq(_rng, 120)),  # a multiple of most widths below
    ("chr3", "A"),
    ("lower", random_seq(_rng, 97, "acgtn")),
    ("nruns", "N" * 70 + random_seq(_rng, 33) + "N" * 61),
]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_built_index_matches_the_layout_and_samtools(tmp_path, layout):
    path = os.fspath(tmp_path / "ref.fa")
    write_fasta(path, RECORDS, *LAYOUTS[layout])
    assert kelpa.Faidx(path).keys == [h.split()[0] for h, _ in RECORDS]
    ours = read_text(path + ".fai")
    assert ours == expected_fai(RECORDS, *LAYOUTS[layout])
    assert sorted(os.listdir(tmp_path)) == ["ref.fa", "ref.fa.fai"]  # no temporary file left
    if shutil.which("samtools") or REQUIRE_PEERS:
        os.remove(path + ".fai")
        assert samtools_index(path) == ours
        fa = kelpa.Faidx(path, build_index=False)  # reads samtools' index
        assert [fa.fetch_entire_sequence(h.split()[0]).seq for h, _ in RECORDS] == [s for _, s in RECORDS]


@pytest.mark.parametrize("seed", [1, 2])
def test_random_files_and_regions_match_samtools(tmp_path, samtools, seed):
    r = random.Random(seed)
    records = [
        (f"s{i}", random_seq(r, r.randrange(1, 400), r.choice(["ACGT", "acgtn", "ACGTNNNNNNNN"]))) for i in range(12)
    ]
    path = os.fspath(tmp_path / "rand.fa")
    write_fasta(path, records, r.choice([5, 50, 61, 80]), r.choice(["\n", "\r\n"]))
    fa = kelpa.Faidx(path)
    ours = read_text(path + ".fai")
    os.remove(path + ".fai")
    assert ours == samtools_index(path)
    regions = []
    for name, seq in records:
        for _ in range(8):
            s = r.randrange(1, len(seq) + 1)
            regions.append((name, s, r.randrange(s, len(seq) + 1)))
    (tmp_path / "regions.txt").write_text("".join(f"{n}:{s}-{e}\n" for n, s, e in regions))
    out = subprocess.run(
        [samtools, "faidx", path, "-r", os.fspath(tmp_path / "regions.txt")], check=True, capture_output=True, text=True
    ).stdout
    chunks = [chunk.partition("\n") for chunk in out.split(">")[1:]]
    assert [h for h, _, _ in chunks] == [f"{n}:{s}-{e}" for n, s, e in regions]
    assert [fa.fetch(*region).seq for region in regions] == [body.replace("\n", "") for _, _, body in chunks]


BUILD_QUIRKS = {  # FASTA bytes and the index they give
    "bare_header": (b">\nACGT\n>chr1\nAC\n", "chr1\t2\t13\t2\t3\n"),
    "blank_header": (b">   \nAC\n>b\nA\n", "b\t1\t11\t1\t2\n"),
    "trailing_spaces": (b">s\nAC  \nAC\n", "s\t6\t3\t4\t5\n"),
    "blank_lines_end_a_record": (b">a\nACGT\nAC\n\n\r\n>b\nA\n", "a\t6\t3\t4\t5\nb\t1\t17\t1\t2\n"),
    "blank_lines_only": (b">e\n\n\n>f\nA\n", "e\t0\t3\t0\t1\nf\t1\t8\t1\t2\n"),
    "one_base_lines": (b">a\nA\nC\nG\n", "a\t3\t3\t1\t2\n"),
    "last_line_ends_otherwise": (b">a\r\nAC\r\nA\n", "a\t3\t4\t2\t4\n"),
    "ragged_record_without_name": (b">\nAC\nACGT\nA\n>b\nA\n", "b\t1\t15\t1\t2\n"),
    "header_then_header": (b">a\n>b\nAC\n", "a\t0\t3\t0\t0\nb\t2\t6\t2\t3\n"),
    "header_at_eof": (b">a\nAC\n>b", "a\t2\t3\t2\t3\nb\t0\t8\t0\t0\n"),
    "text_before_first_header": (b"junk\nmo\nmore\n>a\nAC\n", "a\t2\t16\t2\t3\n"),
    "empty_file": (b"", ""),
    "duplicate_names": (b">d\nAC\n>e\nT\n>d\nACGT\n", "d\t2\t3\t2\t3\ne\t1\t9\t1\t2\nd\t4\t14\t4\t5\n"),
    "no_final_newline": (b">a\nACGT\nAC", "a\t6\t3\t4\t5\n"),
    "semicolon_line": (b">a\n;x\nAC\n", "a\t4\t3\t2\t3\n"),
    "crlf_header_only": (b">a x\r\nACGTA\nCCGGT\nGG\n", "a\t12\t6\t5\t6\n"),
    "crlf_without_final_lf": (b">a\r\nACGTA\r\nCC\r", "a\t7\t4\t5\t7\n"),
}


@pytest.mark.parametrize("quirk", BUILD_QUIRKS)
def test_build_quirk(tmp_path, quirk):
    data, fai = BUILD_QUIRKS[quirk]
    path = write_bytes(tmp_path / "q.fa", data)
    # A repeated name keeps its first place and takes the later numbers.
    assert kelpa.Faidx(path).keys == list(dict.fromkeys(line.split("\t")[0] for line in fai.splitlines()))
    assert read_text(path + ".fai") == fai
    assert sorted(os.listdir(tmp_path)) == ["q.fa", "q.fa.fai"]
    # Every region of every record, mapped and mutable, alone and in a batch
    # of the pool, is the text of the file's lines.
    truth = true_text(data)
    for fa in (kelpa.Faidx(path), kelpa.Faidx(path, mutable=True)):
        for name in fa.keys:
            regions = [(name, s, e) for s in range(1, len(truth[name]) + 1) for e in range(s, len(truth[name]) + 1)]
            expected = [truth[name][s - 1 : e] for _, s, e in regions]
            assert [fa.fetch(*region).seq for region in regions] == expected
            batch = regions * (POOL // max(len(regions), 1) + 1)
            assert [s.seq for s in fa.fetch_many(batch)][: len(regions)] == expected
            assert fa.fetch_entire_sequence(name).seq == truth[name]


LONGER = "is longer than the record's first line"
SHORTER = "is shorter than the record's first line but more sequence follows"
BLANK = "is blank but more sequence follows"
OTHER_END = "ends in another line break than the record's first line"
UNEVEN = "; every line of a record but its last must be as long as its first"
STRAY_CR = ' holds a carriage return that does not end it; lines must end in "\\n" or "\\r\\n"'
READ = 1 << 20  # the builder reads the file in pieces of this size
REFUSED_LAYOUTS = {  # FASTA bytes -> where the build stops, and why
    "longer_line": (b">r\nACGT\nTTTTGGGG\nCCCCAAAA\n", f"line 3 (in record 'r') {LONGER}{UNEVEN}"),
    "longer_last_line": (b">r\nACGT\nACGT\nACGTA\n", f"line 4 (in record 'r') {LONGER}{UNEVEN}"),
    "longer_unterminated_last_line": (b">r\nAC\nACG", f"line 3 (in record 'r') {LONGER}{UNEVEN}"),
    "shorter_line_in_the_middle": (b">a\nAC\nAC\n>b x\nACG\nA\nACG\n", f"line 6 (in record 'b') {SHORTER}{UNEVEN}"),
    "short_then_longer": (b">r\nACGT\nAC\nACGTACGT\n", f"line 3 (in record 'r') {SHORTER}{UNEVEN}"),
    "blank_line_then_sequence": (b">r\nACGT\n\nACGT\n", f"line 3 (in record 'r') {BLANK}{UNEVEN}"),
    "blank_line_after_header": (b">e\n\nACGT\n", f"line 2 (in record 'e') {BLANK}{UNEVEN}"),
    "blank_line_after_header_crlf": (b">e\r\n\r\nACGT\r\n", f"line 2 (in record 'e') {BLANK}{UNEVEN}"),
    "crlf_line_in_lf_file": (b">a\nACGTA\nCCGGT\r\nTTAAC\nGG\n", f"line 3 (in record 'a') {OTHER_END}{UNEVEN}"),
    "lf_line_in_crlf_file": (b">a\r\nACGTA\r\nCCGGT\nTTAAC\r\nG\r\n", f"line 3 (in record 'a') {OTHER_END}{UNEVEN}"),
    # A carriage return ends a line only before "\n" (or at the end of the file).
    "cr_line_ends": (b">a\rACGT\rGGGG\r>b\rTT\r", f"line 1 (a header line){STRAY_CR}"),
    "cr_inside_a_sequence_line": (b">a\nACGT\nAC\rGT\nGG\n", f"line 3 (in record 'a'){STRAY_CR}"),
    "cr_before_crlf": (b">a\nAC\r\r\nA\n", f"line 2 (in record 'a'){STRAY_CR}"),
    "cr_in_a_description": (b">a x\ry\nAC\n", f"line 1 (a header line){STRAY_CR}"),
    "cr_after_the_name": (b">a\r \nAC\n", f"line 1 (a header line){STRAY_CR}"),
    "cr_before_the_name": (b">\rb\nAC\n", f"line 1 (a header line){STRAY_CR}"),
    "cr_before_the_first_header": (b"x\ry\n>a\nAC\n", f"line 1{STRAY_CR}"),
    "cr_at_the_end_of_a_read_in_a_line": (
        b">a\n" + b"A" * (READ - 4) + b"\rACGT\n",
        f"line 2 (in record 'a'){STRAY_CR}",
    ),
    "cr_at_the_end_of_a_read_in_a_header": (
        b">a " + b"x" * (READ - 4) + b"\ry\nAC\n",
        f"line 1 (a header line){STRAY_CR}",
    ),
    "cr_in_a_crlf_file": (b">a\r\n" + b"ACGT\r\n" * 40 + b"AC\rG\r\n", f"line 42 (in record 'a'){STRAY_CR}"),
}


@pytest.mark.parametrize("case", REFUSED_LAYOUTS)
def test_uneven_layout_is_refused_and_an_old_index_stays(tmp_path, case):
    data, where = REFUSED_LAYOUTS[case]
    path = write_bytes(tmp_path / "ragged.fa", data)
    message = f"IOError: cannot index {path}: {where}"
    assert open_error(path) == message
    assert os.listdir(tmp_path) == ["ragged.fa"]
    old = b"old\t2\t3\t2\t3\r\n"  # a stale index is neither replaced nor touched
    write_bytes(path + ".fai", old)
    set_mtime(path + ".fai", T0)
    assert plain_error(kelpa.Fasta, path) == message
    with open(path + ".fai", "rb") as index:
        assert (index.read(), os.stat(path + ".fai").st_mtime_ns) == (old, T0)
    assert sorted(os.listdir(tmp_path)) == ["ragged.fa", "ragged.fa.fai"]
    if UNEVEN in where and (shutil.which("samtools") or REQUIRE_PEERS):  # which samtools refuses too
        refused = subprocess.run(["samtools", "faidx", path, "--fai-idx", f"{tmp_path}/s.fai"], capture_output=True)
        assert refused.returncode != 0


def test_invalid_utf8_builds_nothing(tmp_path):
    path = write_bytes(tmp_path / "bad.fa", b">a\nAC\xffGT\n")
    assert open_error(path) == INVALID_UTF8
    assert os.listdir(tmp_path) == ["bad.fa"]
    write_bytes(path, b">a\nAC\xc3GT\n")  # a stale index stays as it was
    write_bytes(path + ".fai", b"old\t2\t3\t2\t3\n")
    set_mtime(path + ".fai", T0)
    assert open_error(path) == INVALID_UTF8
    assert read_text(path + ".fai") == "old\t2\t3\t2\t3\n"
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "bad.fa.fai"]
    # The kelpa program reads bytes and indexes it; the module still refuses
    # its text, and an index whose names are not UTF-8.
    subprocess.run([PROGRAM, "index", path], check=True)
    assert read_text(path + ".fai") == "a\t5\t3\t5\t6\n"
    assert plain_error(kelpa.Faidx(path).fetch, "a", 1, 5) == INVALID_UTF8
    write_bytes(path, b">\xe9\nACGT\n")
    subprocess.run([PROGRAM, "index", path], check=True)
    assert open_error(path, build_index=False) == INVALID_UTF8


# fsync() fails with EIO on a file or on a directory, and succeeds at once otherwise.
FAILING_FSYNC = r"""
#include <errno.h>
#include <sys/stat.h>
int fsync(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0) return -1;
    if (%sS_ISDIR(status.st_mode)) { errno = EIO; return -1; }
    return 0;
}
"""


@pytest.mark.parametrize("failing", ["file", "directory"])
def test_index_that_cannot_be_made_durable_is_an_error(tmp_path, failing):
    folder = tmp_path / "d"
    folder.mkdir()
    path = os.fspath(folder / "p.fa")
    write_fasta(path, [("a", "ACGT")])
    write_bytes(path + ".fai", b"old\t2\t3\t2\t3\n")
    set_mtime(path + ".fai", T0)
    env = preloading(tmp_path, FAILING_FSYNC % ("!" if failing == "file" else ""))
    script = "import sys, kelpa\ntry: kelpa.Faidx(sys.argv[1])\nexcept Exception as e: print(e)"
    child = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True, env=env, timeout=60)
    assert child.stdout == "IOError: Input/output error (os error 5)\n", child.stderr
    program = subprocess.run([PROGRAM, "index", path], capture_output=True, text=True, env=env, timeout=60)
    assert (program.returncode, program.stderr) == (1, f"kelpa: error: {path}.fai: Input/output error\n")
    # Synced before it is renamed: an index that cannot be synced never
    # replaces the old one. A directory that cannot be synced comes too late.
    assert read_text(path + ".fai") == ("old\t2\t3\t2\t3\n" if failing == "file" else "a\t4\t3\t4\t5\n")
    assert sorted(os.listdir(folder)) == ["p.fa", "p.fa.fai"]


def test_index_permissions_follow_umask(make_fasta):
    path = make_fasta([("a", "ACGT")])
    for umask, mode in [(0o022, 0o644), (0o077, 0o600)]:
        old = os.umask(umask)
        try:
            kelpa.Faidx(path, indexname=f"{path}.{umask}.fai")
        finally:
            os.umask(old)
        assert os.stat(f"{path}.{umask}.fai").st_mode & 0o777 == mode


def test_explicit_index_paths(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    custom = os.fspath(tmp_path / "custom.idx")
    assert kelpa.Faidx(path, indexname=custom).keys == ["a"]
    assert read_text(custom) == "a\t4\t3\t4\t5\n"
    write_bytes(custom, b"other\t4\t3\t4\t5\n")
    assert kelpa.Faidx(path, indexname=custom, build_index=False).keys == ["other"]
    os.remove(custom)
    index = tmp_path / "idx"
    index.mkdir()
    set_mtime(index, T0)  # older than the FASTA file: the rebuild's rename fails
    for options in ({}, {"rebuild": False}):
        message = open_error(path, indexname=os.fspath(index), **options)
        assert message == f"IOError: {index} is not a regular file (a directory)"
    missing = os.fspath(tmp_path / "no" / "x.fai")
    assert open_error(path, indexname=missing) == "IOError: No such file or directory (os error 2)"
    assert open_error(path, indexname=missing, build_index=False) == f"IndexNotFoundError: {missing}"
    assert sorted(os.listdir(tmp_path)) == ["idx", "test.fa"] and os.listdir(index) == []


# ---- reading an existing index ----------------------------------------------
READ_FASTA = b">r\nACGTACGTAC\n>q\nTTTT\n"
R, Q = "r\t10\t3\t10\t11", "q\t4\t17\t4\t5"
READ_CASES = {  # index text -> the names read from it, in order
    "plain": (f"{R}\n{Q}\n", ["r", "q"]),
    "crlf": (f"{R}\r\n{Q}\r\n", ["r", "q"]),
    "no_final_newline": (f"{R}\n{Q}", ["r", "q"]),
    "unicode_whitespace_ends": (f"\u3000 {R}\u00a0\u2029\n", ["r"]),
    "plus_signs_and_zeros": ("r\t+10\t0003\t+10\t11\n", ["r"]),
    "blank_lines": (f"\n   \n\t\n{R}\n\n", ["r"]),
    "four_fields": (f"x\t1\t2\t3\n{R}\n", ["r"]),
    "six_fields": (f"{R}\t0\n{Q}\n", ["q"]),
    "empty_field_makes_six": (f"r\t10\t3\t\t10\t11\n{Q}\n", ["q"]),
    "empty": ("", []),
    "name_with_space": ("my r\t10\t3\t10\t11\n", ["my r"]),
    "duplicate": (f"r\t4\t3\t4\t5\n{Q}\n{R}\n", ["r", "q"]),
}


@pytest.mark.parametrize("case", READ_CASES)
def test_read_index(tmp_path, case):
    text, names = READ_CASES[case]
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", text.encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == names
    whole = {"r": "ACGTACGTAC", "my r": "ACGTACGTAC", "q": "TTTT"}
    assert [(fa.fetch_entire_sequence(n).seq, fa.fetch_entire_sequence(n).end) for n in names] == [
        (whole[n], len(whole[n])) for n in names
    ]
    assert read_text(path + ".fai") == text


@pytest.mark.parametrize(
    "line, message",
    [
        (b"name\tlength\toffset\tlinebases\tlinewidth", "FastaIndexingError: Invalid rlen"),
        (b"r\t\t3\t10\t11", "FastaIndexingError: Invalid rlen"),
        (b"r\t-10\t3\t10\t11", "FastaIndexingError: Invalid rlen"),
        (b"r\t1_0\t3\t10\t11", "FastaIndexingError: Invalid rlen"),
        (b"r\t++10\t3\t10\t11", "FastaIndexingError: Invalid rlen"),
        (b"r\t18446744073709551616\t3\t10\t11", "FastaIndexingError: Invalid rlen"),
        (b"r\tx\ty\tz\tw", "FastaIndexingError: Invalid rlen"),
        (b"r\t10\t3 \t10\t11", "FastaIndexingError: Invalid offset"),
        (b"r\t10\t0x3\t10\t11", "FastaIndexingError: Invalid offset"),
        (b"r\t10\t3\t1e1\t11", "FastaIndexingError: Invalid lenc"),
        ("r\t10\t3\t\uff11\uff10\t11".encode(), "FastaIndexingError: Invalid lenc"),
        (b"r\t10\t3\t10\t 11", "FastaIndexingError: Invalid lenb"),
        (b"q\xff\t4\t17\t4\t5", INVALID_UTF8),
        (b"r\tx\t3\t10\t11\nq\xff\t4\t17\t4\t5", "FastaIndexingError: Invalid rlen"),
    ],
)
def test_read_index_refuses_bad_lines(tmp_path, line, message):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", f"{Q}\n".encode() + line + b"\n")
    assert open_error(path, build_index=False) == message


def test_read_index_extremes(tmp_path):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", f"r\t10\t{U64_MAX}\t10\t11\nq\t{U64_MAX}\t17\t4\t5\n".encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == ["r", "q"]
    assert [(s.seq, s.end) for s in map(fa.fetch_entire_sequence, "rq")] == [("", 10), ("TTTT", U64_MAX)]
    names = [f"rec{i:07d}_" + "x" * (i % 50) for i in range(60_000)]
    write_bytes(path + ".fai", "".join(f"{n}\t10\t3\t10\t11\n" for n in names).encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == names and fa.fetch(names[-1], 1, 4).seq == "ACGT"


# ---- staleness ---------------------------------------------------------------
@pytest.mark.parametrize(
    "fasta_ns, index_ns, options, name",
    [
        (T0 + 1, T0, {}, "new"),
        (T0, T0, {}, "old"),
        (T0, T0 + 1, {}, "old"),
        (T0 + 1, T0, {"rebuild": False}, "old"),
        (T0 + 1, T0, {"build_index": False}, "old"),
    ],
    ids=["1ns_later", "equal", "older", "no_rebuild", "no_build"],
)
def test_staleness(tmp_path, fasta_ns, index_ns, options, name):
    path = write_bytes(tmp_path / "s.fa", b">new\nACGT\n")
    write_bytes(path + ".fai", b"old\t4\t5\t4\t5\n")
    set_mtime(path, fasta_ns)
    set_mtime(path + ".fai", index_ns)
    before = os.stat(path + ".fai")
    assert kelpa.Faidx(path, **options).keys == [name]
    assert read_text(path + ".fai") == name + "\t4\t5\t4\t5\n"
    assert sorted(os.listdir(tmp_path)) == ["s.fa", "s.fa.fai"]
    if name == "old":  # read, not written again
        assert (os.stat(path + ".fai").st_ino, os.stat(path + ".fai").st_mtime_ns) == (before.st_ino, index_ns)


# An index reached through symbolic links (a relative one into another
# directory, then an absolute one) is rebuilt where the last link points,
# beside the file it replaces; the links stay links. A dangling link gets its
# target made.
@pytest.mark.parametrize("by", ["module", "program"])
@pytest.mark.parametrize("stale", [True, False], ids=["stale", "dangling"])
def test_an_index_behind_symbolic_links_is_rebuilt_through_them(tmp_path, by, stale):
    path = write_bytes(tmp_path / "s.fa", b">new\nACGT\n")
    store = tmp_path / "store"
    store.mkdir()
    target = store / "real.fai"
    if stale:
        write_bytes(target, b"old\t4\t5\t4\t5\n")
        set_mtime(target, T0)
    os.symlink(target, store / "hop.fai")
    os.symlink("store/hop.fai", path + ".fai")
    if by == "module":
        assert kelpa.Faidx(path).keys == ["new"]
    else:
        done = subprocess.run([PROGRAM, "index", path], capture_output=True)
        assert (done.returncode, done.stderr) == (0, b"")
    assert os.readlink(path + ".fai") == "store/hop.fai" and os.readlink(store / "hop.fai") == str(target)
    assert read_text(target) == "new\t4\t5\t4\t5\n"
    assert sorted(os.listdir(tmp_path)) == ["s.fa", "s.fa.fai", "store"]
    assert sorted(os.listdir(store)) == ["hop.fai", "real.fai"]


# ---- errors on opening ---------------------------------------------------------
def test_missing_fasta_or_index(tmp_path):
    path = os.fspath(tmp_path / "gone.fa")
    write_bytes(path + ".fai", b"a\t4\t3\t4\t5\n")
    assert open_error(path) == f"FastaNotFoundError: {path}"
    assert plain_error(kelpa.Fasta, "no/such dir/x.fa") == "FastaNotFoundError: no/such dir/x.fa"
    os.rename(path + ".fai", path)
    assert open_error(path, build_index=False) == f"IndexNotFoundError: {path}.fai"
    assert os.listdir(tmp_path) == ["gone.fa"]
    # A NUL character ends a path for the system, which would open another
    # file: such a path names no file, whatever build_index says.
    for kind in (kelpa.Faidx, kelpa.Fasta):
        assert plain_error(kind, path + "\x00.fai") == f"FastaNotFoundError: {path}\x00.fai"
        for build in (True, False):
            named = os.fspath(tmp_path / "x.fai\x00y")
            assert plain_error(kind, path, indexname=named, build_index=build) == f"IndexNotFoundError: {named}"
    assert os.listdir(tmp_path) == ["gone.fa"]


# Permissions do not bind root, so each case opens the file in a child that
# drops to nobody first (or runs as the current user when that is not root).
CHILD = """
import json, os, sys
import kelpa
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
args, kwargs = json.loads(sys.argv[1])
try:
    print(json.dumps(kelpa.Faidx(*args, **kwargs).keys))
except Exception as e:
    print(json.dumps(type(e).__name__ + " " + str(e)))
"""

# Case -> (setup, options, result): setup sets the FASTA file's mode, the
# index's mode, the mode of the directory holding both, whether the index
# exists and whether it is older than the FASTA file. The default modes
# allow reading and nothing else, to the owner too.
PERMISSION_CASES = {
    "unreadable_fasta": (dict(fa=0o000), {}, PERMISSION_DENIED),
    "unreadable_fasta_no_index": (dict(fa=0o000, index=False, dir=0o777), {}, PERMISSION_DENIED),
    "mutable_read_only_fasta": (dict(), {"mutable": True}, PERMISSION_DENIED),
    "mutable_writable_fasta": (dict(fa=0o666), {"mutable": True}, ["a"]),
    "index_dir_not_writable": (dict(index=False), {}, PERMISSION_DENIED),
    "index_dir_not_writable_no_build": (dict(index=False), {"build_index": False}, "IndexNotFoundError: {fai}"),
    "stale_index_dir_not_writable": (dict(stale=True), {}, PERMISSION_DENIED),
    "stale_index_no_rebuild": (dict(stale=True), {"rebuild": False}, ["a"]),
    "unreadable_index": (dict(fai=0o000), {}, "IndexNotFoundError: {fai}"),
    "dir_not_searchable": (dict(dir=0o000), {}, "FastaNotFoundError: {fa}"),
}


@pytest.mark.parametrize("case", PERMISSION_CASES)
def test_permissions(case):
    setup, options, result = PERMISSION_CASES[case]
    top = nobody_directory()
    directory = os.path.join(top, "d")
    try:
        os.mkdir(directory)
        path = os.path.join(directory, "p.fa")
        write_fasta(path, [("a", "ACGT")])
        set_mtime(path, T0 + (1 if setup.get("stale") else 0))
        if setup.get("index", True):
            write_bytes(path + ".fai", b"a\t4\t3\t4\t5\n")
            set_mtime(path + ".fai", T0)
            os.chmod(path + ".fai", setup.get("fai", 0o444))
        os.chmod(path, setup.get("fa", 0o444))
        os.chmod(directory, setup.get("dir", 0o555))
        before = {n: read_text(os.path.join(directory, n)) for n in os.listdir(directory)}
        done = subprocess.run(
            [sys.executable, "-c", CHILD, json.dumps([[path], options])], capture_output=True, text=True, timeout=60
        )
        if "Operation not permitted" in done.stderr:
            pytest.skip("cannot drop privileges")
        assert done.returncode == 0, done.stderr
        if isinstance(result, str):
            result = "Exception " + result.format(fa=path, fai=path + ".fai")
        assert json.loads(done.stdout) == result
        assert {n: read_text(os.path.join(directory, n)) for n in os.listdir(directory)} == before
    finally:
        if os.path.isdir(directory):
            os.chmod(directory, 0o755)
        shutil.rmtree(top)
