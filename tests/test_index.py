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
import tempfile

import pytest

import kelpa
from conftest import random_seq, write_fasta

U64_MAX = 2**64 - 1
T0 = 1_600_000_000 * 10**9  # an mtime well in the past, in ns
PERMISSION_DENIED = "IOError: Permission denied (os error 13)"
INVALID_UTF8 = "IOError: stream did not contain valid UTF-8"


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)
    return os.fspath(path)


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode()


def set_mtime(path, ns):
    os.utime(path, ns=(ns, ns))


def open_error(*args, **kwargs):
    """The message of the plain Exception that Faidx(*args, **kwargs) raises."""
    with pytest.raises(Exception) as info:
        kelpa.Faidx(*args, **kwargs)
    assert type(info.value) is Exception
    assert info.value.args == (str(info.value),) and info.value.__cause__ is None
    return str(info.value)


def expected_fai(records, width, eol):
    """The index of a well-formed file written by write_fasta."""
    lines, offset = [], 0
    for header, seq in records:
        offset += len(">" + header + eol)
        lenc = min(width or len(seq), len(seq))
        lines.append(f"{header.split()[0]}\t{len(seq)}\t{offset}\t{lenc}\t{lenc + len(eol) if seq else 0}\n")
        offset += len(seq) + (-(-len(seq) // lenc) if seq else 0) * len(eol)
    return "".join(lines)


# ---------------------------------------------------------------------------
# Building
# ---------------------------------------------------------------------------

_rng = random.Random(1234)
RECORDS = [
    ("chr1 first record", random_seq(_rng, 250)),
    ("chr2", random_seq(_rng, 120)),  # a multiple of most widths below
    ("chr3", "A"),
    ("lower", random_seq(_rng, 97, "acgtn")),
    ("nruns", "N" * 70 + random_seq(_rng, 33) + "N" * 61),
    ("chrM", random_seq(_rng, 61)),
]
LAYOUTS = {
    "lf60": (60, "\n"),
    "crlf60": (60, "\r\n"),
    "lf7": (7, "\n"),
    "crlf13": (13, "\r\n"),
    "lf1": (1, "\n"),
    "single_line": (None, "\n"),
    "crlf_single_line": (None, "\r\n"),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_build_index_of_layout(tmp_path, layout):
    path = os.fspath(tmp_path / "ref.fa")
    write_fasta(path, RECORDS, *LAYOUTS[layout])
    fa = kelpa.Faidx(path)
    assert read_text(path + ".fai") == expected_fai(RECORDS, *LAYOUTS[layout])
    assert fa.keys == [h.split()[0] for h, _ in RECORDS]
    assert sorted(os.listdir(tmp_path)) == ["ref.fa", "ref.fa.fai"]  # no temporary file left


# Layout quirks: FASTA bytes and the index they give.
BUILD_QUIRKS = {
    "description": (b">chr1 desc text\nACGT\nAC\n", "chr1\t6\t16\t4\t5\n"),
    "tab_before_description": (b">chr3\tdesc\nAC\n", "chr3\t2\t11\t2\t3\n"),
    "nbsp_before_description": (">chr1\u00a0desc\nAC\n".encode(), "chr1\t2\t12\t2\t3\n"),
    "leading_spaces": (b">  chr2 x\nACGT\n", "chr2\t4\t10\t4\t5\n"),
    "bare_header": (b">\nACGT\n>chr1\nAC\n", "chr1\t2\t13\t2\t3\n"),
    "blank_header": (b">   \nAC\n>b\nA\n", "b\t1\t11\t1\t2\n"),
    "trailing_spaces": (b">s\nAC  \nAC\n", "s\t6\t3\t4\t5\n"),
    "blank_line_after_header": (b">e\n\nACGT\n", "e\t4\t3\t0\t1\n"),
    "blank_line_after_header_crlf": (b">e\r\n\r\nACGT\r\n", "e\t4\t4\t0\t2\n"),
    "header_then_header": (b">a\n>b\nAC\n", "a\t0\t3\t0\t0\nb\t2\t6\t2\t3\n"),
    "header_at_eof": (b">a\nAC\n>b", "a\t2\t3\t2\t3\nb\t0\t8\t0\t0\n"),
    "text_before_first_header": (b"junk\nmore\n>a\nAC\n", "a\t2\t13\t2\t3\n"),
    "no_header": (b"ACGT\nACGT\n", ""),
    "space_before_gt": (b" >a\nAC\n", ""),
    "empty_file": (b"", ""),
    "duplicate_names": (b">d\nAC\n>e\nT\n>d\nACGT\n", "d\t2\t3\t2\t3\ne\t1\t9\t1\t2\nd\t4\t14\t4\t5\n"),
    "no_final_newline": (b">a\nACGT\nAC", "a\t6\t3\t4\t5\n"),
    "crlf": (b">a\r\nACGT\r\nAC\r\n", "a\t6\t4\t4\t6\n"),
    "cr_run": (b">a\nAC\r\r\nA\n", "a\t3\t3\t2\t5\n"),
    "uneven_lines": (b">a\nACG\nACGTA\nA\n", "a\t9\t3\t3\t4\n"),
    "semicolon_line": (b">a\n;x\nAC\n", "a\t4\t3\t2\t3\n"),
    "non_ascii": (">chr\u00c4\nA\u00e9\n".encode(), "chr\u00c4\t3\t7\t3\t4\n"),
}


@pytest.mark.parametrize("quirk", BUILD_QUIRKS)
def test_build_quirk(tmp_path, quirk):
    data, fai = BUILD_QUIRKS[quirk]
    path = write_bytes(tmp_path / "q.fa", data)
    fa = kelpa.Faidx(path)
    assert read_text(path + ".fai") == fai
    assert fa.keys == list(dict.fromkeys(line.split("\t")[0] for line in fai.splitlines()))
    assert sorted(os.listdir(tmp_path)) == ["q.fa", "q.fa.fai"]


def test_keys_follow_file_order(make_fasta):
    names = [f"chr{i}" for i in range(300)]
    random.Random(3).shuffle(names)
    # A repeated name keeps its first place and takes the later numbers.
    fa = kelpa.Faidx(make_fasta([(n, "ACGT") for n in names] + [(names[5], "GGGTT")]))
    assert fa.keys == names
    assert fa.fetch_entire_sequence(names[5]).seq == "GGGTT"


def test_invalid_utf8_builds_nothing(tmp_path):
    path = write_bytes(tmp_path / "bad.fa", b">a\nAC\xffGT\n")
    assert open_error(path) == INVALID_UTF8
    assert os.listdir(tmp_path) == ["bad.fa"]
    # A stale index stays as it was.
    write_bytes(path, b">a\nAC\xc3GT\n")
    write_bytes(path + ".fai", b"old\t2\t3\t2\t3\n")
    set_mtime(path + ".fai", T0)
    assert open_error(path) == INVALID_UTF8
    assert read_text(path + ".fai") == "old\t2\t3\t2\t3\n"
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "bad.fa.fai"]


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664)])
def test_index_permissions_follow_umask(make_fasta, umask, mode):
    path = make_fasta([("a", "ACGT")])
    old = os.umask(umask)
    try:
        kelpa.Faidx(path)
    finally:
        os.umask(old)
    assert os.stat(path + ".fai").st_mode & 0o777 == mode


def test_index_path_is_a_directory(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    index = tmp_path / "idx"
    index.mkdir()
    set_mtime(index, T0)  # older than the FASTA file: the rebuild's rename fails
    assert open_error(path, indexname=os.fspath(index)) == "IOError: Is a directory (os error 21)"
    assert sorted(os.listdir(tmp_path)) == ["idx", "test.fa"] and os.listdir(index) == []
    assert open_error(path, indexname=os.fspath(index), rebuild=False) == "IOError: Is a directory (os error 21)"


def test_index_in_missing_directory(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    index = os.fspath(tmp_path / "no" / "x.fai")
    assert open_error(path, indexname=index) == "IOError: No such file or directory (os error 2)"
    assert open_error(path, indexname=index, build_index=False) == f"IndexNotFoundError: {index}"
    assert sorted(os.listdir(tmp_path)) == ["test.fa"]


# ---------------------------------------------------------------------------
# Reading an existing index
# ---------------------------------------------------------------------------

READ_FASTA = b">r\nACGTACGTAC\n>q\nTTTT\n"
R, Q = "r\t10\t3\t10\t11", "q\t4\t17\t4\t5"

# Index text -> the names read from it, in order.
READ_CASES = {
    "plain": (f"{R}\n{Q}\n", ["r", "q"]),
    "crlf": (f"{R}\r\n{Q}\r\n", ["r", "q"]),
    "no_final_newline": (f"{R}\n{Q}", ["r", "q"]),
    "leading_tab": (f"\t{R}\n", ["r"]),
    "trailing_tab": (f"{R}\t\n", ["r"]),
    "unicode_whitespace_ends": (f"\u3000 {R}\u00a0\u2029\n", ["r"]),
    "plus_signs": ("r\t+10\t+3\t+10\t+11\n", ["r"]),
    "leading_zeros": ("r\t010\t0003\t10\t11\n", ["r"]),
    "blank_lines": (f"\n   \n\t\n{R}\n\n", ["r"]),
    "four_fields": (f"x\t1\t2\t3\n{R}\n", ["r"]),
    "six_fields": (f"{R}\t0\n{Q}\n", ["q"]),
    "only_six_fields": (f"{R}\t0\n{Q}\t0\n", []),
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
    for name in names:
        s = fa.fetch_entire_sequence(name)
        assert (s.seq, s.end) == (whole[name], len(whole[name]))
    if not names:
        with pytest.raises(Exception, match="^FetchError: Sequence 'r' not found$"):
            fa.fetch("r", 1, 1)
    assert read_text(path + ".fai") == text


@pytest.mark.parametrize(
    "line, message",
    [
        ("name\tlength\toffset\tlinebases\tlinewidth", "Invalid rlen"),
        ("r\tx\t3\t10\t11", "Invalid rlen"),
        ("r\t\t3\t10\t11", "Invalid rlen"),
        ("r\t-10\t3\t10\t11", "Invalid rlen"),
        ("r\t1_0\t3\t10\t11", "Invalid rlen"),
        ("r\t++10\t3\t10\t11", "Invalid rlen"),
        ("r\t18446744073709551616\t3\t10\t11", "Invalid rlen"),
        ("r\tx\ty\tz\tw", "Invalid rlen"),
        ("r\t10\t-3\t10\t11", "Invalid offset"),
        ("r\t10\t3 \t10\t11", "Invalid offset"),
        ("r\t10\t0x3\t10\t11", "Invalid offset"),
        ("r\t10\t3\t1e1\t11", "Invalid lenc"),
        ("r\t10\t3\t\uff11\uff10\t11", "Invalid lenc"),
        ("r\t10\t3\t10\t 11", "Invalid lenb"),
        ("r\t10\t3\t10\t18446744073709551616", "Invalid lenb"),
    ],
)
def test_read_index_bad_number(tmp_path, line, message):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", f"{Q}\n{line}\n".encode())
    assert open_error(path, build_index=False) == f"FastaIndexingError: {message}"


def test_read_index_u64_max(tmp_path):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", f"r\t10\t{U64_MAX}\t10\t11\nq\t{U64_MAX}\t17\t4\t5\n".encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == ["r", "q"]
    assert (fa.fetch_entire_sequence("r").seq, fa.fetch_entire_sequence("r").end) == ("", 10)
    assert (fa.fetch_entire_sequence("q").seq, fa.fetch_entire_sequence("q").end) == ("TTTT", U64_MAX)


@pytest.mark.parametrize(
    "text, message",
    [
        (f"{R}\n".encode() + b"q\xff\t4\t17\t4\t5\n", INVALID_UTF8),
        (b"r\tx\t3\t10\t11\nq\xff\t4\t17\t4\t5\n", "FastaIndexingError: Invalid rlen"),
    ],
)
def test_read_index_invalid_utf8(tmp_path, text, message):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", text)
    assert open_error(path, build_index=False) == message


def test_read_large_index(tmp_path):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    names = [f"rec{i:07d}_" + "x" * (i % 50) for i in range(60_000)]
    write_bytes(path + ".fai", "".join(f"{n}\t10\t3\t10\t11\n" for n in names).encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == names and fa.fetch(names[-1], 1, 4).seq == "ACGT"


# ---------------------------------------------------------------------------
# Staleness
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fasta_ns, index_ns, options, names",
    [
        (T0 + 1, T0, {}, ["new"]),
        (T0 + 10**9, T0, {}, ["new"]),
        (T0, T0, {}, ["old"]),
        (T0, T0 + 1, {}, ["old"]),
        (T0 + 1, T0, {"rebuild": False}, ["old"]),
        (T0 + 1, T0, {"build_index": False}, ["old"]),
    ],
    ids=["1ns_later", "1s_later", "equal", "older", "no_rebuild", "no_build"],
)
def test_staleness(tmp_path, fasta_ns, index_ns, options, names):
    path = write_bytes(tmp_path / "s.fa", b">new\nACGT\n")
    write_bytes(path + ".fai", b"old\t4\t5\t4\t5\n")
    set_mtime(path, fasta_ns)
    set_mtime(path + ".fai", index_ns)
    assert kelpa.Faidx(path, **options).keys == names
    assert read_text(path + ".fai") == names[0] + "\t4\t5\t4\t5\n"
    assert sorted(os.listdir(tmp_path)) == ["s.fa", "s.fa.fai"]


def test_second_open_reads_without_rebuilding(make_fasta):
    path = make_fasta([("a", "ACGT" * 40), ("b", "GG")])
    kelpa.Faidx(path)
    before = os.stat(path + ".fai")
    assert kelpa.Faidx(path).keys == ["a", "b"]
    after = os.stat(path + ".fai")
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)


def test_explicit_indexname_is_used_unchanged(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    index = os.fspath(tmp_path / "custom.idx")
    assert kelpa.Faidx(path, indexname=index).keys == ["a"]
    assert read_text(index) == "a\t4\t3\t4\t5\n"
    assert sorted(os.listdir(tmp_path)) == ["custom.idx", "test.fa"]
    write_bytes(index, b"other\t4\t3\t4\t5\n")
    assert kelpa.Faidx(path, indexname=index, build_index=False).keys == ["other"]


# ---------------------------------------------------------------------------
# Errors on opening
# ---------------------------------------------------------------------------


def test_missing_fasta(tmp_path):
    path = os.fspath(tmp_path / "gone.fa")
    write_bytes(path + ".fai", b"a\t4\t3\t4\t5\n")
    assert open_error(path) == f"FastaNotFoundError: {path}"
    assert open_error("no/such dir/x.fa") == "FastaNotFoundError: no/such dir/x.fa"
    assert sorted(os.listdir(tmp_path)) == ["gone.fa.fai"]
    for other in (OSError, LookupError, ValueError):
        with pytest.raises(Exception) as info:
            try:
                kelpa.Faidx(path)
            except other:
                pytest.fail(f"caught as {other.__name__}")
        assert type(info.value) is Exception


def test_missing_index_without_build(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    assert open_error(path, build_index=False) == f"IndexNotFoundError: {path}.fai"
    assert os.listdir(tmp_path) == ["test.fa"]


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
    top = tempfile.mkdtemp(prefix="kelpa-perm-")  # tmp_path may be private to root
    directory = os.path.join(top, "d")
    try:
        os.chmod(top, 0o755)
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


# ---------------------------------------------------------------------------
# Agreement with samtools
# ---------------------------------------------------------------------------


def samtools_index(samtools, path):
    subprocess.run([samtools, "faidx", path], check=True, capture_output=True)
    return read_text(path + ".fai")


@pytest.mark.parametrize("layout", LAYOUTS)
def test_index_matches_samtools(tmp_path, samtools, layout):
    ours, theirs = os.fspath(tmp_path / "ours.fa"), os.fspath(tmp_path / "theirs.fa")
    write_fasta(ours, RECORDS, *LAYOUTS[layout])
    write_fasta(theirs, RECORDS, *LAYOUTS[layout])
    kelpa.Faidx(ours)
    assert read_text(ours + ".fai") == samtools_index(samtools, theirs)
    fa = kelpa.Faidx(theirs, build_index=False)
    assert [fa.fetch_entire_sequence(h.split()[0]).seq for h, _ in RECORDS] == [s for _, s in RECORDS]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_files_match_samtools(tmp_path, samtools, seed):
    r = random.Random(seed)
    alphabets = ["ACGT", "acgtn", "ACGTNNNNNNNN"]
    records = [(f"s{i}", random_seq(r, r.randrange(1, 400), r.choice(alphabets))) for i in range(12)]
    path = os.fspath(tmp_path / "rand.fa")
    write_fasta(path, records, r.choice([5, 50, 60, 61, 80]), r.choice(["\n", "\r\n"]))
    fa = kelpa.Faidx(path)
    ours = read_text(path + ".fai")
    os.remove(path + ".fai")
    assert ours == samtools_index(samtools, path)

    regions = []
    for name, seq in records:
        for _ in range(8):
            s = r.randrange(1, len(seq) + 1)
            regions.append((name, s, r.randrange(s, len(seq) + 1)))
    region_file = tmp_path / "regions.txt"
    region_file.write_text("".join(f"{n}:{s}-{e}\n" for n, s, e in regions))
    out = subprocess.run(
        [samtools, "faidx", path, "-r", os.fspath(region_file)], check=True, capture_output=True, text=True
    ).stdout
    chunks = out.split(">")[1:]
    assert len(chunks) == len(regions)
    for (name, s, e), chunk in zip(regions, chunks):
        header, _, body = chunk.partition("\n")
        assert header == f"{name}:{s}-{e}"
        assert fa.fetch(name, s, e).seq == body.replace("\n", "")
