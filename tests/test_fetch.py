"""Fetching single regions and whole records through Faidx: the text, the
coordinates the result carries, the warnings and errors of bad coordinates,
and the options that shape the result.

Expected text comes from slicing the text the test wrote.
"""

import os
import random

import pytest

import kelpa
from conftest import random_seq, write_fasta

U64_MAX = 2**64 - 1
INVALID_UTF8 = "IOError: stream did not contain valid UTF-8"
ZERO = "WARNING: coordinates cannot be 0 (1-based indexing)\n"
NOT_STR = "object cannot be converted to 'PyString'"


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)
    return os.fspath(path)


def oob(start, end, name="r", length=10):
    return f"WARNING: coordinates {start}-{end} are out of bounds for sequence '{name}' of length {length}\n"


def backwards(start, end):
    return f"WARNING: start coordinate {start} is greater than end coordinate {end}\n"


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def raises_plain(call):
    """The message of the plain Exception (no subclass) that call() raises."""
    with pytest.raises(Exception) as info:
        call()
    assert type(info.value) is Exception
    return str(info.value)


@pytest.fixture
def ten(make_fasta):
    """Record r of 10 bases on lines of 4, an empty record and a short one."""
    return make_fasta([("r", "ABCDEFGHIJ"), ("empty", ""), ("s", "xyz")], width=4)


# ---------------------------------------------------------------------------
# Text and coordinates against slicing
# ---------------------------------------------------------------------------

LAYOUTS = {
    "lf60": (60, "\n"),
    "crlf60": (60, "\r\n"),
    "lf7": (7, "\n"),
    "crlf1": (1, "\r\n"),
    "single_line": (None, "\n"),
    "crlf_single_line": (None, "\r\n"),
}


@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "mutable"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_fetch_matches_slicing(make_fasta, layout, mutable):
    width, eol = LAYOUTS[layout]
    rng = random.Random(layout)
    records = [(f"chr{i} desc", random_seq(rng, n, "ACGTacgtN")) for i, n in enumerate([1, 7, 60, 61, 500])]
    fa = kelpa.Faidx(make_fasta(records, width, eol), mutable=mutable)
    for header, seq in records:
        name, n, w = header.split()[0], len(seq), width or len(seq)
        regions = [(1, n), (1, 1), (n, n)] + [tuple(sorted(rng.sample(range(1, n + 1), 2))) for _ in range(40) if n > 1]
        regions += [(s, e) for s in (w - 1, w, w + 1) for e in (w, w + 1, w + 2) if 1 <= s <= e <= n]
        for s, e in regions:
            assert fields(fa.fetch(name, s, e)) == (name, seq[s - 1 : e], s, e, False)
        assert fields(fa.fetch_entire_sequence(name)) == (name, seq, 1, n, False)


@pytest.mark.parametrize(
    "data, name, region, text",
    [
        (b">r\nABCD\nEFGH\nIJ\n", "r", (3, 6), "CDEF"),
        (b">r\r\nABCD\r\nEFGH\r\nIJ\r\n", "r", (3, 6), "CDEF"),
        (b">r some description\nABCD\nEF\n", "r", (2, 6), "BCDEF"),
        (b">  r\nAC  \nAC  \n", "r", (1, 8), "AC  AC  "),
        (b">r\n\nABCD\n", "r", (1, 4), ""),  # no line width to work from
    ],
)
def test_file_quirks(tmp_path, capfd, data, name, region, text):
    fa = kelpa.Faidx(write_bytes(tmp_path / "q.fa", data))
    assert fa.fetch(name, *region).seq == text
    assert capfd.readouterr().err == ""


class Three:
    def __index__(self):
        return 3


def test_argument_forms(ten):
    fa = kelpa.Faidx(ten)
    expected = ("r", "CDEF", 3, 6, False)
    assert fields(fa.fetch("r", 3, 6)) == expected
    assert fields(fa.fetch(name="r", start=3, end=6)) == expected
    assert fields(fa.fetch("r", 3, end=6)) == expected
    assert fields(fa.fetch("r", Three(), 6)) == expected
    assert fields(fa.fetch_entire_sequence(name="s")) == ("s", "xyz", 1, 3, False)


@pytest.mark.parametrize(
    "method, args, kwargs, error, message",
    [
        ("fetch", ("r", -1, 10), {}, OverflowError, "can't convert negative int to unsigned"),
        ("fetch", ("r", 1, -10), {}, OverflowError, "can't convert negative int to unsigned"),
        ("fetch", ("r", 2**64, 10), {}, OverflowError, None),
        ("fetch", ("r", 1.5, 9), {}, TypeError, "argument 'start': 'float' object cannot be interpreted as an integer"),
        ("fetch", ("r", 1, "10"), {}, TypeError, "argument 'end': 'str' object cannot be interpreted as an integer"),
        ("fetch", (1, 1, 10), {}, TypeError, f"argument 'name': 'int' {NOT_STR}"),
        ("fetch", (b"r", 1, 10), {}, TypeError, f"argument 'name': 'bytes' {NOT_STR}"),
        ("fetch", ("r", 1), {}, TypeError, "Faidx.fetch() missing 1 required positional argument: 'end'"),
        ("fetch", ("r", 1, 2, 3), {}, TypeError, "Faidx.fetch() takes 3 positional arguments but 4 were given"),
        ("fetch", ("r", 1, 2), {"start": 1}, TypeError, "Faidx.fetch() got multiple values for argument 'start'"),
        ("fetch", ("r", 1, 2), {"stop": 1}, TypeError, "Faidx.fetch() got an unexpected keyword argument 'stop'"),
        ("fetch_entire_sequence", (5,), {}, TypeError, f"argument 'name': 'int' {NOT_STR}"),
    ],
)
def test_argument_errors(ten, capfd, method, args, kwargs, error, message):
    with pytest.raises(error) as info:
        getattr(kelpa.Faidx(ten), method)(*args, **kwargs)
    assert type(info.value) is error
    assert message is None or str(info.value) == message
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------
# Names: lookups, keys, membership, text form
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["x", "R", "r ", " r", "", "it's", "chr\u00c4"])
def test_unknown_name(ten, capfd, name):
    fa = kelpa.Faidx(ten, strict_bounds=True)
    message = f"FetchError: Sequence '{name}' not found"
    assert raises_plain(lambda: fa.fetch(name, 1, 2)) == message
    assert raises_plain(lambda: fa.fetch_entire_sequence(name)) == message
    with pytest.raises(Exception):
        try:
            fa.fetch(name, 1, 2)
        except (LookupError, ValueError, OSError):
            pytest.fail("caught by a specific exception class")
    assert capfd.readouterr().err == ""


def test_keys_and_membership(ten):
    fa = kelpa.Faidx(ten)
    assert fa.keys == ["r", "empty", "s"] and all(type(k) is str for k in fa.keys)
    assert fa.keys is not fa.keys
    assert [n in fa for n in ("r", "R", "r ", "", "empty")] == [True, False, False, False, True]
    with pytest.raises(TypeError, match="not callable"):
        fa.keys()
    with pytest.raises(TypeError) as info:
        1 in fa
    assert str(info.value) == f"argument 'name': 'int' {NOT_STR}"
    with pytest.raises(TypeError):
        len(fa)
    with pytest.raises(TypeError):
        iter(fa)


@pytest.mark.parametrize("filename", ["plain.fa", "with space.fa", 'quote"in.fa', "it's.fa", "back\\slash.fa"])
def test_repr_shows_path_unescaped(tmp_path, monkeypatch, filename):
    path = os.fspath(tmp_path / filename)
    write_fasta(path, [("a", "ACGT")])
    fa = kelpa.Faidx(path)
    assert repr(fa) == str(fa) == 'Faidx("' + path + '")'
    assert fa.fetch("a", 2, 3).seq == "CG"
    monkeypatch.chdir(tmp_path)
    assert repr(kelpa.Faidx(filename)) == 'Faidx("' + filename + '")'


# ---------------------------------------------------------------------------
# Coordinate rules
# ---------------------------------------------------------------------------

# (start, end) -> (seq, start, end, standard error) for the 10-base record r.
LENIENT = [
    ((1, 10), ("ABCDEFGHIJ", 1, 10, "")),
    ((3, 6), ("CDEF", 3, 6, "")),
    ((10, 10), ("J", 10, 10, "")),
    ((8, 15), ("HIJ", 8, 10, oob(8, 15))),
    ((10, 11), ("J", 10, 10, oob(10, 11))),
    ((11, 20), ("", 11, 11, oob(11, 20))),
    ((11, 5), ("", 11, 11, oob(11, 5))),
    ((U64_MAX, U64_MAX), ("", U64_MAX, U64_MAX, oob(U64_MAX, U64_MAX))),
    ((0, 5), ("", 0, 5, ZERO)),
    ((5, 0), ("", 5, 0, ZERO)),
    ((0, 0), ("", 0, 0, ZERO)),
    ((0, 15), ("", 0, 10, oob(0, 15) + ZERO)),
    ((7, 3), ("", 7, 3, backwards(7, 3))),
]


@pytest.mark.parametrize("region, expected", LENIENT, ids=[f"{s}-{e}" for (s, e), _ in LENIENT])
def test_lenient_coordinates(ten, capfd, region, expected):
    s = kelpa.Faidx(ten).fetch("r", *region)
    out, err = capfd.readouterr()
    assert (s.seq, s.start, s.end, err, out) == (*expected, "")
    assert s.name == "r" and s.comp is False


STRICT = [
    ((1, 10), "ABCDEFGHIJ"),
    ((3, 6), "CDEF"),
    ((8, 15), IndexError("coordinates 8-15 are out of bounds for sequence 'r' of length 10")),
    ((11, 12), IndexError("coordinates 11-12 are out of bounds for sequence 'r' of length 10")),
    ((0, 15), IndexError("coordinates 0-15 are out of bounds for sequence 'r' of length 10")),
    ((0, 5), IndexError("coordinates cannot be 0 (1-based indexing)")),
    ((5, 0), IndexError("coordinates cannot be 0 (1-based indexing)")),
    ((7, 3), IndexError("start coordinate 7 is greater than end coordinate 3")),
]


@pytest.mark.parametrize("region, expected", STRICT, ids=[f"{s}-{e}" for (s, e), _ in STRICT])
def test_strict_coordinates(ten, capfd, region, expected):
    fa = kelpa.Faidx(ten, strict_bounds=True)
    if isinstance(expected, str):
        assert fields(fa.fetch("r", *region)) == ("r", expected, *region, False)
    else:
        with pytest.raises(IndexError) as info:
            fa.fetch("r", *region)
        assert type(info.value) is IndexError and str(info.value) == str(expected)
    assert capfd.readouterr() == ("", "")


def test_empty_record(ten, capfd):
    fa = kelpa.Faidx(ten)
    assert fields(fa.fetch("empty", 1, 1)) == ("empty", "", 1, 1, False)
    assert capfd.readouterr().err == oob(1, 1, "empty", 0)
    assert fields(fa.fetch_entire_sequence("empty")) == ("empty", "", 1, 0, False)
    with pytest.raises(IndexError, match=r"^coordinates 1-1 are out of bounds for sequence 'empty' of length 0$"):
        kelpa.Faidx(ten, strict_bounds=True).fetch("empty", 1, 1)
    strict = kelpa.Faidx(ten, strict_bounds=True)
    assert [strict.fetch_entire_sequence(n).seq for n in strict.keys] == ["ABCDEFGHIJ", "", "xyz"]
    assert capfd.readouterr() == ("", "")


# ---------------------------------------------------------------------------
# Options
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, region, start, end",
    [
        ({}, (5, 10), 5, 10),
        ({"one_based_attributes": False}, (5, 10), 4, 10),
        ({"one_based_attributes": False}, (8, 15), 7, 10),
        ({"as_raw": True}, (5, 10), None, None),
        ({"as_raw": True, "one_based_attributes": False}, (5, 10), None, None),
        # The empty results of the warning paths keep their coordinates.
        ({"as_raw": True}, (0, 5), 0, 5),
        ({"as_raw": True}, (7, 3), 7, 3),
        ({"one_based_attributes": False}, (11, 20), 11, 11),
        # None: the whole record.
        ({}, None, 1, 10),
        ({"one_based_attributes": False}, None, 0, 10),
        ({"as_raw": True}, None, None, None),
    ],
)
def test_reported_coordinates(ten, capfd, options, region, start, end):
    fa = kelpa.Faidx(ten, **options)
    s = fa.fetch_entire_sequence("r") if region is None else fa.fetch("r", *region)
    first, last = region or (1, 10)
    assert (s.seq, s.start, s.end) == ("ABCDEFGHIJ"[first - 1 : last] if first else "", start, end)
    capfd.readouterr()


def test_sequence_always_upper(make_fasta):
    text = "acgtNn-*0123.xyz[]{}~ACGT"
    path = make_fasta([("u", text)], width=7)
    upper = "".join(c.upper() if "a" <= c <= "z" else c for c in text)
    fa = kelpa.Faidx(path, sequence_always_upper=True)
    assert fa.fetch_entire_sequence("u").seq == upper and fa.fetch("u", 3, 20).seq == upper[2:20]
    assert kelpa.Faidx(path).fetch("u", 1, 25).seq == text


@pytest.fixture
def truncated(tmp_path):
    """A FASTA file cut short after it was indexed, and the record text left in it."""
    seq = random_seq(random.Random(5), 100, "acgt")
    path = os.fspath(tmp_path / "cut.fa")
    text = write_fasta(path, [("a", "ACGT"), ("r", seq)], width=10)
    kelpa.Faidx(path)
    os.truncate(path, len(text) - 20)  # the last line and 8 bases of the one before
    return path, seq, seq[:82]


@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "mutable"])
@pytest.mark.parametrize(
    "default_seq, upper, pad",
    [(None, False, ""), ("N", False, "N"), ("xy", False, "xy"), ("\u00d1", False, "\u00d1"), ("n", True, "N")],
)
def test_default_seq_pads_short_text(truncated, capfd, mutable, default_seq, upper, pad):
    path, seq, left = truncated
    fa = kelpa.Faidx(path, rebuild=False, default_seq=default_seq, sequence_always_upper=upper, mutable=mutable)
    case = str.upper if upper else str
    assert fa.fetch("r", 71, 90).seq == case(left[70:]) + pad * 8
    assert fa.fetch("r", 95, 100).seq == pad * 6
    assert fa.fetch("r", 75, 120).seq == case(left[74:]) + pad * 18
    assert fa.fetch("r", 1, 50).seq == case(seq[:50])
    assert fa.fetch_entire_sequence("r").seq == case(left)  # never padded
    capfd.readouterr()


def test_stored_only_options_change_nothing(tmp_path, capfd):
    records = [(f"c{i}|x", random_seq(random.Random(i), 150)) for i in range(5)]
    path = os.fspath(tmp_path / "o.fa")
    write_fasta(path, records, width=50)

    def never(*args):
        raise AssertionError("called")

    plain = kelpa.Faidx(path)
    loaded = kelpa.Faidx(path, key_function=never, filt_function=never, split_char="|", read_long_names=True,
                         duplicate_action="no such action", read_ahead=U64_MAX)
    assert loaded.keys == plain.keys == [h for h, _ in records]
    for name in plain.keys:
        for region in [(1, 150), (40, 60), (0, 3), (140, 200)]:
            assert fields(loaded.fetch(name, *region)) == fields(plain.fetch(name, *region))
        assert fields(loaded.fetch_entire_sequence(name)) == fields(plain.fetch_entire_sequence(name))
    capfd.readouterr()


# ---------------------------------------------------------------------------
# Index entries that do not match the file
# ---------------------------------------------------------------------------

ODD_FASTA = b">r\nACGTACGTAC\nGGTTC\n>q\nTTAA\n"
FLAT = ODD_FASTA.decode().replace("\n", "")  # any text fetched is a piece of it
ODD_ENTRIES = {
    "lenb_below_lenc": "r\t15\t3\t10\t4",
    "lenb_zero": "r\t15\t3\t10\t0",
    "lenc_zero": "r\t15\t3\t0\t11",
    "lenc_above_rlen": "r\t15\t3\t100\t101",
    "offset_inside_header": "r\t15\t1\t10\t11",
    "offset_at_end": f"r\t15\t{len(ODD_FASTA)}\t10\t11",
    "offset_past_end": "r\t15\t1000\t10\t11",
    "offset_u64_max": f"r\t15\t{U64_MAX}\t10\t11",
    "lenb_u64_max": f"r\t15\t3\t2\t{U64_MAX}",
    "lenc_lenb_u64_max": f"r\t{U64_MAX}\t3\t{U64_MAX}\t{U64_MAX}",
    "rlen_u64_max": f"r\t{U64_MAX}\t3\t10\t11",
    "rlen_beyond_file": "r\t1000\t3\t10\t11",
}


@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "mutable"])
@pytest.mark.parametrize("entry", ODD_ENTRIES)
def test_mismatched_entry_stays_inside_file(tmp_path, capfd, entry, mutable):
    path = write_bytes(tmp_path / "odd.fa", ODD_FASTA)
    q_offset = ODD_FASTA.index(b">q\n") + 3
    write_bytes(path + ".fai", f"{ODD_ENTRIES[entry]}\nq\t4\t{q_offset}\t4\t5\n".encode())
    rlen = int(ODD_ENTRIES[entry].split("\t")[1])
    regions = [(1, 1), (1, 10), (3, 14), (11, 15), (1, 15)]
    if rlen == U64_MAX:
        regions += [(2**32, 2**32 + 20), (2**63, 2**63 + 5), (U64_MAX - 5, U64_MAX)]
    for pad in (None, "N"):
        fa = kelpa.Faidx(path, build_index=False, mutable=mutable, default_seq=pad)
        calls = [(lambda r=r: fa.fetch("r", *r), r[1] - r[0] + 1) for r in regions]
        if rlen < 2**20:
            calls.append((lambda: fa.fetch_entire_sequence("r"), None))
        for call, n in calls:
            try:
                got = call().seq
            except Exception as e:  # refusing is fine; a plain Exception only
                assert type(e) is Exception
                continue
            core = got.rstrip("N") if pad and n else got
            assert core in FLAT and len(core) <= (n or rlen)
            assert got == core + ("N" * (n - len(core)) if pad and n else "")
        assert fa.fetch("q", 1, 4).seq == "TTAA"
    capfd.readouterr()


# ---------------------------------------------------------------------------
# Text that is not ASCII
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "mutable"])
def test_utf8_text_is_decoded(tmp_path, mutable):
    text = "A\u00c4B\u00e9C\u20acx"  # 1 + 2 + 1 + 2 + 1 + 3 + 1 = 11 bytes
    path = write_bytes(tmp_path / "u.fa", f">u\n{text}\n".encode())
    fa = kelpa.Faidx(path, mutable=mutable)
    assert fields(fa.fetch_entire_sequence("u")) == ("u", text, 1, 11, False)
    assert (fa.fetch("u", 1, 3).seq, fa.fetch("u", 7, 11).seq) == ("A\u00c4", "C\u20acx")
    assert kelpa.Faidx(path, sequence_always_upper=True).fetch("u", 1, 11).seq == "A\u00c4B\u00e9C\u20acX"
    for region in [(1, 2), (3, 3), (7, 9)]:  # each cuts a character in two
        assert raises_plain(lambda: fa.fetch("u", *region)) == INVALID_UTF8


@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "mutable"])
def test_invalid_utf8_in_fasta(tmp_path, mutable):
    path = write_bytes(tmp_path / "bin.fa", b">r\nAC\xffGT\nAC\xe9\n")
    write_bytes(path + ".fai", b"r\t8\t3\t5\t6\n")
    fa = kelpa.Faidx(path, build_index=False, mutable=mutable)
    assert (fa.fetch("r", 1, 2).seq, fa.fetch("r", 4, 7).seq) == ("AC", "GTAC")
    assert raises_plain(lambda: fa.fetch("r", 1, 5)) == INVALID_UTF8
    assert raises_plain(lambda: fa.fetch("r", 6, 8)) == INVALID_UTF8
    assert raises_plain(lambda: fa.fetch_entire_sequence("r")) == INVALID_UTF8


# ---------------------------------------------------------------------------
# Records and offsets beyond 32 bits
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "mutable"])
def test_offsets_beyond_4gib(tmp_path, capfd, mutable):
    # A sparse file: one record of more than 2^32 bases of which only the
    # last lines are written, then a short record that starts past 4 GiB.
    rlen, offset = 2**32 + 1000, 5
    last_line = (rlen - 1) // 60
    first_line = last_line - 3
    tail = random_seq(random.Random(11), rlen - first_line * 60)
    small_offset = offset + last_line * 61 + (rlen - last_line * 60) + 1 + len(">small\n")
    path = os.fspath(tmp_path / "big.fa")
    try:
        with open(path, "wb") as f:
            f.write(b">big\n")
            f.truncate(offset + first_line * 61)
            f.seek(offset + first_line * 61)
            f.write("".join(tail[i : i + 60] + "\n" for i in range(0, len(tail), 60)).encode())
            f.write(b">small\nACGTACGT\n")
        write_bytes(path + ".fai", f"big\t{rlen}\t{offset}\t60\t61\nsmall\t8\t{small_offset}\t8\t9\n".encode())
        fa = kelpa.Faidx(path, build_index=False, mutable=mutable)
        first = first_line * 60 + 1
        assert first > 2**32 and small_offset > 2**32
        assert fa.fetch("big", first, rlen).seq == tail
        assert fa.fetch("big", rlen - 70, rlen - 2).seq == tail[-71:-2]
        assert fa.fetch("big", rlen - 5, rlen + 3).seq == tail[-6:]
        assert capfd.readouterr().err == oob(rlen - 5, rlen + 3, "big", rlen)
        assert fields(fa.fetch("small", 2, 7)) == ("small", "CGTACG", 2, 7, False)
        assert fa.fetch_entire_sequence("small").seq == "ACGTACGT"
    finally:
        os.remove(path)
