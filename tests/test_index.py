"""Opening a FASTA file: building, reading and refreshing its .fai index,
and the errors a bad file, path or index gives.

Built indexes are checked against the layout of the text the tests wrote
and, when samtools is installed, against the index samtools writes for the
same file.
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
PERMISSION_DENIED = "IOError: Permission denied (os error 13)"
INVALID_UTF8 = "IOError: stream did not contain valid UTF-8"


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)
    return os.fspath(path)


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode()


def expected_fai(records, width=60, eol="\n"):
    """The index of a well-formed file written by write_fasta."""
    lines, offset = [], 0
    for header, seq in records:
        offset += len(">" + header + eol)
        lenc = min(width or len(seq), len(seq))
        lenb = lenc + len(eol) if seq else 0
        lines.append(f"{header.split()[0]}\t{len(seq)}\t{offset}\t{lenc}\t{lenb}\n")
        nlines = -(-len(seq) // lenc) if seq else 0
        offset += len(seq) + nlines * len(eol)
    return "".join(lines)


def open_error(*args, **kwargs):
    """The message of the Exception that Faidx(*args, **kwargs) raises."""
    with pytest.raises(Exception) as info:
        kelpa.Faidx(*args, **kwargs)
    assert type(info.value) is Exception
    return str(info.value)


def set_mtime_ns(path, ns):
    os.utime(path, ns=(ns, ns))


T0 = 1_600_000_000 * 10**9  # an mtime safely in the past, in ns


# ---------------------------------------------------------------------------
# Building
# ---------------------------------------------------------------------------

rng = random.Random(1234)
LAYOUT_RECORDS = [
    ("chr1 first record", random_seq(rng, 250)),
    ("chr2", random_seq(rng, 120)),  # a multiple of the common widths
    ("chr3", random_seq(rng, 1)),
    ("lower", random_seq(rng, 97, "acgtn")),
    ("nruns", "N" * 70 + random_seq(rng, 33) + "N" * 61),
    ("chrM", random_seq(rng, 61)),
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
def test_build_writes_index_of_layout(tmp_path, layout):
    width, eol = LAYOUTS[layout]
    path = os.fspath(tmp_path / "ref.fa")
    write_fasta(path, LAYOUT_RECORDS, width=width, eol=eol)
    fa = kelpa.Faidx(path)
    assert read_text(path + ".fai") == expected_fai(LAYOUT_RECORDS, width, eol)
    assert fa.keys == [h.split()[0] for h, _ in LAYOUT_RECORDS]
    assert sorted(os.listdir(tmp_path)) == ["ref.fa", "ref.fa.fai"]


# Layout quirks: FASTA bytes and the index they must give.
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
    "empty_file": (b"", ""),
    "duplicate_names": (b">d\nAC\n>d\nACGT\n", "d\t2\t3\t2\t3\nd\t4\t9\t4\t5\n"),
    "no_final_newline": (b">a\nACGT\nAC", "a\t6\t3\t4\t5\n"),
    "crlf": (b">a\r\nACGT\r\nAC\r\n", "a\t6\t4\t4\t6\n"),
    "cr_run": (b">a\nAC\r\r\nA\n", "a\t3\t3\t2\t5\n"),
    "uneven_lines": (b">a\nACG\nACGTA\nA\n", "a\t9\t3\t3\t4\n"),
    "semicolon_line": (b">a\n;x\nAC\n", "a\t4\t3\t2\t3\n"),
    "space_before_gt": (b" >a\nAC\n", ""),
    "non_ascii_name": (">chr\u00c4\nAC\n".encode(), "chr\u00c4\t2\t7\t2\t3\n"),
}


@pytest.mark.parametrize("quirk", BUILD_QUIRKS)
def test_build_quirk(tmp_path, quirk):
    data, fai = BUILD_QUIRKS[quirk]
    path = write_bytes(tmp_path / "q.fa", data)
    fa = kelpa.Faidx(path)
    assert read_text(path + ".fai") == fai
    names = list(dict.fromkeys(line.split("\t")[0] for line in fai.splitlines()))
    assert fa.keys == names
    assert sorted(os.listdir(tmp_path)) == ["q.fa", "q.fa.fai"]


def test_duplicate_name_keeps_later_numbers(make_fasta):
    fa = kelpa.Faidx(make_fasta([("d", "AC"), ("e", "T"), ("d", "GGGT")]))
    assert fa.keys == ["d", "e"]
    assert fa.fetch_entire_sequence("d").seq == "GGGT"


def test_keys_follow_first_appearance(make_fasta):
    names = [f"chr{i}" for i in range(300)]
    random.Random(3).shuffle(names)
    fa = kelpa.Faidx(make_fasta([(n, "ACGT") for n in names]))
    assert fa.keys == names
    assert fa.keys == fa.keys


def test_build_rejects_invalid_utf8_and_writes_nothing(tmp_path):
    path = write_bytes(tmp_path / "bad.fa", b">a\nAC\xffGT\n")
    assert open_error(path) == INVALID_UTF8
    assert os.listdir(tmp_path) == ["bad.fa"]


def test_failed_rebuild_keeps_old_index(tmp_path):
    path = write_bytes(tmp_path / "bad.fa", b">a\nAC\xc3GT\n")
    write_bytes(path + ".fai", b"old\t2\t3\t2\t3\n")
    set_mtime_ns(path + ".fai", T0)
    set_mtime_ns(path, T0 + 1)
    assert open_error(path) == INVALID_UTF8
    assert read_text(path + ".fai") == "old\t2\t3\t2\t3\n"
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "bad.fa.fai"]


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664)])
def test_built_index_permissions_follow_umask(make_fasta, umask, mode):
    path = make_fasta([("a", "ACGT")])
    old = os.umask(umask)
    try:
        kelpa.Faidx(path)
    finally:
        os.umask(old)
    assert os.stat(path + ".fai").st_mode & 0o777 == mode


def test_rebuild_replaces_index_file(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    write_bytes(path + ".fai", b"old\t4\t3\t4\t5\n" * 50)
    old_inode = os.stat(path + ".fai").st_ino
    set_mtime_ns(path + ".fai", T0)
    set_mtime_ns(path, T0 + 1)
    assert kelpa.Faidx(path).keys == ["a"]
    assert read_text(path + ".fai") == "a\t4\t3\t4\t5\n"
    assert os.stat(path + ".fai").st_ino != old_inode
    assert sorted(os.listdir(tmp_path)) == ["test.fa", "test.fa.fai"]


def test_index_path_that_is_a_directory(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    index = tmp_path / "idx"
    index.mkdir()
    # Older than the FASTA file: a rebuild is attempted and its rename fails.
    set_mtime_ns(index, T0)
    assert open_error(path, indexname=os.fspath(index)) == "IOError: Is a directory (os error 21)"
    assert sorted(os.listdir(tmp_path)) == ["idx", "test.fa"]
    assert os.listdir(index) == []
    # Not older: it is read, and reading a directory fails.
    assert open_error(path, indexname=os.fspath(index), rebuild=False) == "IOError: Is a directory (os error 21)"


def test_index_in_missing_directory(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    index = os.fspath(tmp_path / "no" / "such" / "x.fai")
    assert open_error(path, indexname=index) == "IOError: No such file or directory (os error 2)"
    assert open_error(path, indexname=index, build_index=False) == f"IndexNotFoundError: {index}"
    assert sorted(os.listdir(tmp_path)) == ["test.fa"]


def test_empty_fasta_gives_empty_index(tmp_path):
    path = write_bytes(tmp_path / "empty.fa", b"")
    fa = kelpa.Faidx(path)
    assert fa.keys == []
    assert read_text(path + ".fai") == ""
    with pytest.raises(Exception, match="^FetchError: Sequence 'a' not found$"):
        fa.fetch("a", 1, 1)


# ---------------------------------------------------------------------------
# Reading an existing index
# ---------------------------------------------------------------------------

READ_FASTA = b">r\nACGTACGTAC\n>q\nTTTT\n"
R_LINE = "r\t10\t3\t10\t11"
Q_LINE = "q\t4\t17\t4\t5"

# Index text -> the names it gives (each fetched whole against READ_FASTA).
READ_CASES = {
    "plain": (f"{R_LINE}\n{Q_LINE}\n", ["r", "q"]),
    "crlf": (f"{R_LINE}\r\n{Q_LINE}\r\n", ["r", "q"]),
    "no_final_newline": (f"{R_LINE}\n{Q_LINE}", ["r", "q"]),
    "leading_tab": (f"\t{R_LINE}\n", ["r"]),
    "trailing_tab": (f"{R_LINE}\t\n", ["r"]),
    "surrounding_spaces": (f"  {R_LINE}  \n", ["r"]),
    "unicode_whitespace_ends": (f"\u3000{R_LINE}\u00a0\u2029\n", ["r"]),
    "plus_signs": ("r\t+10\t+3\t+10\t+11\n", ["r"]),
    "leading_zeros": ("r\t010\t0003\t10\t11\n", ["r"]),
    "blank_lines": (f"\n   \n\t\n{R_LINE}\n\n", ["r"]),
    "four_fields": (f"x\t1\t2\t3\n{R_LINE}\n", ["r"]),
    "six_fields": (f"{R_LINE}\t0\n{Q_LINE}\n", ["q"]),
    "only_six_fields": (f"{R_LINE}\t0\n{Q_LINE}\t0\n", []),
    "empty_field_makes_six": (f"r\t10\t3\t\t10\t11\n{Q_LINE}\n", ["q"]),
    "empty": ("", []),
    "duplicate_keeps_first_position": (f"r\t4\t3\t4\t5\n{Q_LINE}\n{R_LINE}\n", ["r", "q"]),
}


@pytest.mark.parametrize("case", READ_CASES)
def test_read_index(tmp_path, case):
    text, names = READ_CASES[case]
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", text.encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == names
    whole = {"r": "ACGTACGTAC", "q": "TTTT"}
    for name in names:
        s = fa.fetch_entire_sequence(name)
        assert (s.seq, s.start, s.end) == (whole[name], 1, len(whole[name]))
    assert read_text(path + ".fai") == text


def test_read_index_name_with_space(tmp_path):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", b"my r\t10\t3\t10\t11\n")
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == ["my r"]
    assert fa.fetch("my r", 2, 4).seq == "CGT"


@pytest.mark.parametrize(
    "line, message",
    [
        ("name\tlength\toffset\tlinebases\tlinewidth", "Invalid rlen"),
        ("r\tx\t3\t10\t11", "Invalid rlen"),
        ("r\t\t3\t10\t11", "Invalid rlen"),
        ("r\t-10\t3\t10\t11", "Invalid rlen"),
        ("r\t1_0\t3\t10\t11", "Invalid rlen"),
        ("r\t++10\t3\t10\t11", "Invalid rlen"),
        ("r\t+\t3\t10\t11", "Invalid rlen"),
        ("r\t18446744073709551616\t3\t10\t11", "Invalid rlen"),
        ("r\tx\ty\tz\tw", "Invalid rlen"),
        ("r\t10\t-3\t10\t11", "Invalid offset"),
        ("r\t10\t3 \t10\t11", "Invalid offset"),
        ("r\t10\t0x3\t10\t11", "Invalid offset"),
        ("r\t10\t99999999999999999999\t10\t11", "Invalid offset"),
        ("r\t10\t3\t1e1\t11", "Invalid lenc"),
        ("r\t10\t3\t10.0\t11", "Invalid lenc"),
        ("r\t10\t3\t\uff11\uff10\t11", "Invalid lenc"),
        ("r\t10\t3\t10\t 11", "Invalid lenb"),
        ("r\t10\t3\t10\t18446744073709551616", "Invalid lenb"),
    ],
)
def test_read_index_bad_number(tmp_path, line, message):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    # A good line first: the error is not about the first line only.
    write_bytes(path + ".fai", f"{Q_LINE}\n{line}\n".encode())
    assert open_error(path, build_index=False) == f"FastaIndexingError: {message}"


def test_read_index_u64_max(tmp_path):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", f"r\t10\t{U64_MAX}\t10\t11\nq\t{U64_MAX}\t17\t4\t5\n".encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == ["r", "q"]
    s = fa.fetch_entire_sequence("r")
    assert (s.seq, s.end) == ("", 10)
    s = fa.fetch_entire_sequence("q")
    assert (s.seq, s.end) == ("TTTT", U64_MAX)


def test_read_index_invalid_utf8(tmp_path):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", f"{R_LINE}\n".encode() + b"q\xff\t4\t17\t4\t5\n")
    assert open_error(path, build_index=False) == INVALID_UTF8


def test_read_index_bad_number_before_invalid_utf8(tmp_path):
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    write_bytes(path + ".fai", b"r\tx\t3\t10\t11\nq\xff\t4\t17\t4\t5\n")
    assert open_error(path, build_index=False) == "FastaIndexingError: Invalid rlen"


def test_read_large_index_in_order(tmp_path):
    # Far more than one read buffer of lines, and a line across a boundary.
    path = write_bytes(tmp_path / "r.fa", READ_FASTA)
    names = [f"rec{i:07d}_" + "x" * (i % 50) for i in range(60_000)]
    lines = [f"{n}\t10\t3\t10\t11\n" for n in names]
    write_bytes(path + ".fai", "".join(lines).encode())
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == names
    assert fa.fetch(names[-1], 1, 4).seq == "ACGT"


# ---------------------------------------------------------------------------
# Staleness
# ---------------------------------------------------------------------------


@pytest.fixture
def stale(tmp_path):
    """A FASTA file whose index names its one record "old" instead of "new"."""
    path = write_bytes(tmp_path / "s.fa", b">new\nACGT\n")
    write_bytes(path + ".fai", b"old\t4\t5\t4\t5\n")
    return path


@pytest.mark.parametrize(
    "fasta_ns, index_ns, options, names",
    [
        (T0 + 1, T0, {}, ["new"]),
        (T0 + 10**9, T0, {}, ["new"]),
        (T0, T0, {}, ["old"]),
        (T0, T0 + 1, {}, ["old"]),
        (T0 + 1, T0, {"rebuild": False}, ["old"]),
        (T0 + 1, T0, {"build_index": False}, ["old"]),
        (T0 + 1, T0, {"rebuild": False, "build_index": False}, ["old"]),
    ],
    ids=["1ns_later", "1s_later", "equal", "older", "no_rebuild", "no_build", "neither"],
)
def test_staleness(stale, fasta_ns, index_ns, options, names):
    set_mtime_ns(stale, fasta_ns)
    set_mtime_ns(stale + ".fai", index_ns)
    assert kelpa.Faidx(stale, **options).keys == names
    expected = "new\t4\t5\t4\t5\n" if names == ["new"] else "old\t4\t5\t4\t5\n"
    assert read_text(stale + ".fai") == expected


def test_second_open_reads_without_rebuilding(make_fasta):
    path = make_fasta([("a", "ACGT" * 40), ("b", "GG")])
    kelpa.Faidx(path)
    before = os.stat(path + ".fai")
    fa = kelpa.Faidx(path)
    after = os.stat(path + ".fai")
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert fa.keys == ["a", "b"]


def test_explicit_indexname_is_used_unchanged(tmp_path, make_fasta):
    path = make_fasta([("a", "ACGT")])
    index = os.fspath(tmp_path / "custom.idx")
    fa = kelpa.Faidx(path, indexname=index)
    assert fa.keys == ["a"]
    assert read_text(index) == "a\t4\t3\t4\t5\n"
    assert sorted(os.listdir(tmp_path)) == ["custom.idx", "test.fa"]

    write_bytes(index, b"other\t4\t3\t4\t5\n")
    assert kelpa.Faidx(path, indexname=index, build_index=False).keys == ["other"]
    assert open_error(path, indexname=index + "2", build_index=False) == f"IndexNotFoundError: {index}2"


def test_relative_paths(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_fasta("rel.fa", [("a", "ACGT")])
    fa = kelpa.Faidx("rel.fa")
    assert repr(fa) == 'Faidx("rel.fa")'
    assert read_text(tmp_path / "rel.fa.fai") == "a\t4\t3\t4\t5\n"


# ---------------------------------------------------------------------------
# Errors on opening
# ---------------------------------------------------------------------------


def test_missing_fasta(tmp_path):
    path = os.fspath(tmp_path / "gone.fa")
    write_bytes(path + ".fai", b"a\t4\t3\t4\t5\n")
    assert open_error(path) == f"FastaNotFoundError: {path}"
    assert open_error("no/such dir/x.fa") == "FastaNotFoundError: no/such dir/x.fa"
    assert sorted(os.listdir(tmp_path)) == ["gone.fa.fai"]


def test_missing_index_without_build(make_fasta, tmp_path):
    path = make_fasta([("a", "ACGT")])
    assert open_error(path, build_index=False) == f"IndexNotFoundError: {path}.fai"
    assert os.listdir(tmp_path) == ["test.fa"]


@pytest.mark.parametrize("catch", [OSError, KeyError, IndexError, ValueError, LookupError])
def test_open_errors_are_plain_exceptions(tmp_path, catch):
    with pytest.raises(Exception) as info:
        try:
            kelpa.Faidx(os.fspath(tmp_path / "gone.fa"))
        except catch:
            pytest.fail(f"caught by {catch.__name__}")
    assert type(info.value) is Exception
    assert info.value.__cause__ is None and info.value.args == (str(info.value),)


def test_mutable_opens_without_writing(make_fasta):
    path = make_fasta([("a", "ACGTACGTAC"), ("b", "TT")], width=4)
    set_mtime_ns(path, T0)
    with open(path, "rb") as f:
        before = f.read()
    fa = kelpa.Faidx(path, mutable=True)
    assert fa.fetch("a", 3, 9).seq == "GTACGTA"
    del fa
    with open(path, "rb") as f:
        assert f.read() == before
    assert os.stat(path).st_mtime_ns == T0


# Permission cases need a user that permissions apply to: the child drops
# to nobody when the tests run as root.
CHILD = """
import json, os, sys
import kelpa
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
args, kwargs = json.loads(sys.argv[1])
try:
    result = {"keys": kelpa.Faidx(*args, **kwargs).keys}
except Exception as e:
    result = {"type": type(e).__name__, "error": str(e)}
print(json.dumps(result))
"""


@pytest.fixture
def shared_dir():
    """A directory outside the private tmp_path that other users can enter."""
    path = tempfile.mkdtemp(prefix="kelpa-perm-")
    os.chmod(path, 0o755)
    yield path
    for root, dirs, _ in os.walk(path):
        for d in dirs:
            os.chmod(os.path.join(root, d), 0o755)
    shutil.rmtree(path)


def open_as_other_user(*args, **kwargs):
    if os.geteuid() == 0 and not hasattr(os, "setgroups"):
        pytest.skip("cannot drop privileges")
    done = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps([args, kwargs])],
        capture_output=True,
        text=True,
        timeout=60,
    )
    if done.returncode != 0 and "PermissionError" in done.stderr and "setuid" in done.stderr:
        pytest.skip("cannot drop privileges")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def fresh_fasta(directory, mode=0o644, with_index=True):
    path = os.path.join(directory, "p.fa")
    write_fasta(path, [("a", "ACGT")])
    if with_index:
        write_bytes(path + ".fai", b"a\t4\t3\t4\t5\n")
        set_mtime_ns(path, T0)
        set_mtime_ns(path + ".fai", T0)
        os.chmod(path + ".fai", 0o644)
    os.chmod(path, mode)
    return path


@pytest.mark.parametrize("with_index", [True, False])
def test_unreadable_fasta(shared_dir, with_index):
    path = fresh_fasta(shared_dir, mode=0o000, with_index=with_index)
    os.chmod(shared_dir, 0o777)
    before = sorted(os.listdir(shared_dir))
    assert open_as_other_user(path) == {"type": "Exception", "error": PERMISSION_DENIED}
    assert sorted(os.listdir(shared_dir)) == before


def test_mutable_on_read_only_fasta(shared_dir):
    path = fresh_fasta(shared_dir, mode=0o644)
    assert open_as_other_user(path, mutable=True) == {"type": "Exception", "error": PERMISSION_DENIED}
    assert open_as_other_user(path) == {"keys": ["a"]}
    os.chmod(path, 0o666)
    assert open_as_other_user(path, mutable=True) == {"keys": ["a"]}


def test_index_directory_not_writable(shared_dir):
    path = fresh_fasta(shared_dir, with_index=False)
    assert open_as_other_user(path) == {"type": "Exception", "error": PERMISSION_DENIED}
    assert os.listdir(shared_dir) == ["p.fa"]
    assert open_as_other_user(path, build_index=False) == {
        "type": "Exception",
        "error": f"IndexNotFoundError: {path}.fai",
    }


def test_stale_index_in_directory_not_writable(shared_dir):
    path = fresh_fasta(shared_dir)
    set_mtime_ns(path, T0 + 1)
    assert open_as_other_user(path) == {"type": "Exception", "error": PERMISSION_DENIED}
    assert sorted(os.listdir(shared_dir)) == ["p.fa", "p.fa.fai"]
    assert read_text(path + ".fai") == "a\t4\t3\t4\t5\n"
    assert open_as_other_user(path, rebuild=False) == {"keys": ["a"]}


def test_unreadable_index(shared_dir):
    path = fresh_fasta(shared_dir)
    os.chmod(path + ".fai", 0o000)
    assert open_as_other_user(path) == {"type": "Exception", "error": f"IndexNotFoundError: {path}.fai"}


def test_fasta_behind_closed_directory(shared_dir):
    inner = os.path.join(shared_dir, "closed")
    os.mkdir(inner)
    path = fresh_fasta(inner)
    os.chmod(inner, 0o700)
    assert open_as_other_user(path) == {"type": "Exception", "error": f"FastaNotFoundError: {path}"}


# ---------------------------------------------------------------------------
# Agreement with samtools
# ---------------------------------------------------------------------------


def samtools_index(samtools, path):
    subprocess.run([samtools, "faidx", path], check=True, capture_output=True)
    return read_text(path + ".fai")


@pytest.mark.parametrize("layout", LAYOUTS)
def test_index_matches_samtools(tmp_path, samtools, layout):
    width, eol = LAYOUTS[layout]
    ours, theirs = tmp_path / "ours.fa", tmp_path / "theirs.fa"
    write_fasta(ours, LAYOUT_RECORDS, width=width, eol=eol)
    write_fasta(theirs, LAYOUT_RECORDS, width=width, eol=eol)
    kelpa.Faidx(os.fspath(ours))
    with open(ours.with_suffix(".fa.fai"), "rb") as f:
        assert f.read().decode() == samtools_index(samtools, os.fspath(theirs))


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_files_match_samtools(tmp_path, samtools, seed):
    r = random.Random(seed)
    records = [
        (f"s{i}", random_seq(r, r.randrange(1, 400), r.choice(["ACGT", "acgtn", "ACGTNNNNNNNN"])))
        for i in range(12)
    ]
    width, eol = r.choice([5, 50, 60, 61, 80]), r.choice(["\n", "\r\n"])
    path = os.fspath(tmp_path / "rand.fa")
    write_fasta(path, records, width=width, eol=eol)
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


def test_samtools_index_is_read(tmp_path, samtools):
    path = os.fspath(tmp_path / "st.fa")
    write_fasta(path, LAYOUT_RECORDS, width=70, eol="\r\n")
    samtools_index(samtools, path)
    fa = kelpa.Faidx(path, build_index=False)
    assert fa.keys == [h.split()[0] for h, _ in LAYOUT_RECORDS]
    for header, seq in LAYOUT_RECORDS:
        assert fa.fetch_entire_sequence(header.split()[0]).seq == seq
