"""Fetching single regions and whole records through Faidx: the text, the
coordinates the result carries, the warnings and errors of bad coordinates,
and the options that shape the result.

Expected text comes from slicing the text the test wrote.
"""

import random

import pytest

import kelpa
from conftest import (
    INVALID_UTF8,
    LAYOUTS,
    MAPPED_OR_NOT,
    U64_MAX,
    ZERO,
    backwards,
    fields,
    oob,
    plain_error,
    random_seq,
    write_bytes,
    write_fasta,
)


@pytest.fixture
def ten(make_fasta):
    """Record r of 10 bases on lines of 4, an empty record and a short one."""
    return make_fasta([("r", "ABCDEFGHIJ"), ("empty", ""), ("s", "xyz")], width=4)


# ---- text and coordinates against slicing -----------------------------------
@MAPPED_OR_NOT
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


@pytest.mark.parametrize("seed", range(6))
def test_every_region_of_random_uniform_files(tmp_path, seed):
    """The layout checks of the build and of each fetch refuse nothing that is sound."""
    rng = random.Random(seed)
    records = [(f"s{i}", random_seq(rng, rng.randrange(0, 36), "ACGTacgtN")) for i in range(5)]
    eol = rng.choice(["\n", "\r\n"])
    text = write_fasta(tmp_path / "u.fa", records, rng.randrange(1, 13), eol)
    if rng.random() < 0.5:  # no line end after the last line
        write_bytes(tmp_path / "u.fa", text.removesuffix(eol).encode())
    path = str(tmp_path / "u.fa")
    for fa in (kelpa.Faidx(path), kelpa.Faidx(path, mutable=True)):
        for name, seq in records:
            regions = [(s, e) for s in range(1, len(seq) + 1) for e in range(s, len(seq) + 1)]
            assert [fa.fetch(name, s, e).seq for s, e in regions] == [seq[s - 1 : e] for s, e in regions]
            pooled = (regions * (1000 // max(len(regions), 1) + 1))[: max(1000, len(regions))]
            assert [x.seq for x in fa.fetch_many([(name, s, e) for s, e in pooled])] == [
                seq[s - 1 : e] for s, e in pooled
            ]
            assert fa.fetch_entire_sequence(name).seq == seq


@pytest.mark.parametrize(
    "data, region, text",
    [
        (b">r some description\nABCD\nEF\n", (2, 6), "BCDEF"),
        (b">  r\nAC  \nAC  \n", (1, 8), "AC  AC  "),
        (b">r\nABCD\nAB\n\n\n", (3, 6), "CDAB"),  # blank lines end the record
    ],
)
def test_file_quirks(tmp_path, capfd, data, region, text):
    assert kelpa.Faidx(write_bytes(tmp_path / "q.fa", data)).fetch("r", *region).seq == text
    assert capfd.readouterr().err == ""


# ---- names ------------------------------------------------------------------
@pytest.mark.parametrize("name", ["x", "R", "r ", "", "it's", "chr\u00c4"])
def test_unknown_name(ten, capfd, name):
    fa = kelpa.Faidx(ten, strict_bounds=True)
    message = f"FetchError: Sequence '{name}' not found"
    assert plain_error(fa.fetch, name, 1, 2) == plain_error(fa.fetch_entire_sequence, name) == message
    assert capfd.readouterr().err == ""


def test_keys_and_membership(ten):
    fa = kelpa.Faidx(ten)
    assert fa.keys == ["r", "empty", "s"] and all(type(k) is str for k in fa.keys)
    assert fa.keys is not fa.keys
    assert [n in fa for n in ("r", "R", "r ", "", "empty")] == [True, False, False, False, True]
    for call in (lambda: fa.keys(), lambda: len(fa), lambda: iter(fa), lambda: fa["r"]):
        with pytest.raises(TypeError):
            call()


# ---- coordinate rules ---------------------------------------------------------
# (start, end) -> (seq, start, end, warnings) for the 10-base record r. Under
# strict_bounds the first warning is raised as IndexError instead.
COORDINATES = [
    ((1, 10), ("ABCDEFGHIJ", 1, 10, "")),
    ((8, 15), ("HIJ", 8, 10, oob(8, 15, "r", 10))),
    ((11, 20), ("", 11, 11, oob(11, 20, "r", 10))),
    ((11, 5), ("", 11, 11, oob(11, 5, "r", 10))),
    ((U64_MAX, U64_MAX), ("", U64_MAX, U64_MAX, oob(U64_MAX, U64_MAX, "r", 10))),
    ((0, 5), ("", 0, 5, ZERO)),
    ((5, 0), ("", 5, 0, ZERO)),
    ((0, 15), ("", 0, 10, oob(0, 15, "r", 10) + ZERO)),
    ((7, 3), ("", 7, 3, backwards(7, 3))),
]


@pytest.mark.parametrize("region, expected", COORDINATES, ids=[f"{s}-{e}" for (s, e), _ in COORDINATES])
def test_bad_coordinates_warn_or_raise(ten, capfd, region, expected):
    s = kelpa.Faidx(ten).fetch("r", *region)
    out, err = capfd.readouterr()
    assert (fields(s), err, out) == (("r", *expected[:3], False), expected[3], "")
    strict = kelpa.Faidx(ten, strict_bounds=True)
    if not expected[3]:
        assert fields(strict.fetch("r", *region)) == fields(s)
    else:
        with pytest.raises(IndexError) as info:
            strict.fetch("r", *region)
        assert type(info.value) is IndexError
        assert str(info.value) == expected[3].splitlines()[0].removeprefix("WARNING: ")
    assert capfd.readouterr() == ("", "")


def test_empty_record(ten, capfd):
    fa, strict = kelpa.Faidx(ten), kelpa.Faidx(ten, strict_bounds=True)
    assert fields(fa.fetch("empty", 1, 1)) == ("empty", "", 1, 1, False)
    assert capfd.readouterr().err == oob(1, 1, "empty", 0)
    assert fields(fa.fetch_entire_sequence("empty")) == ("empty", "", 1, 0, False)
    with pytest.raises(IndexError, match=r"^coordinates 1-1 are out of bounds for sequence 'empty' of length 0$"):
        strict.fetch("empty", 1, 1)
    assert [strict.fetch_entire_sequence(n).seq for n in strict.keys] == ["ABCDEFGHIJ", "", "xyz"]
    assert capfd.readouterr() == ("", "")


# ---- options -------------------------------------------------------------------
@pytest.mark.parametrize(
    "options, region, start, end",
    [
        ({"one_based_attributes": False}, (5, 10), 4, 10),
        ({"one_based_attributes": False}, (8, 15), 7, 10),
        ({"as_raw": True, "one_based_attributes": False}, (5, 10), None, None),
        # The empty results of the warning paths keep their coordinates.
        ({"as_raw": True}, (0, 5), 0, 5),
        ({"as_raw": True}, (7, 3), 7, 3),
        ({"one_based_attributes": False}, (11, 20), 11, 11),
        # None: the whole record.
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
    assert (fa.fetch_entire_sequence("u").seq, fa.fetch("u", 3, 20).seq) == (upper, upper[2:20])
    assert kelpa.Faidx(path).fetch("u", 1, 25).seq == text


def test_stored_only_options_change_nothing(make_fasta, capfd):
    path = make_fasta([(f"c{i}|x", random_seq(random.Random(i), 150)) for i in range(3)], width=50)
    never = lambda *args: pytest.fail("called")
    plain = kelpa.Faidx(path)
    loaded = kelpa.Faidx(
        path,
        key_function=never,
        filt_function=never,
        split_char="|",
        read_long_names=True,
        duplicate_action="no such action",
        read_ahead=U64_MAX,
    )
    assert loaded.keys == plain.keys == ["c0|x", "c1|x", "c2|x"]
    regions = [(n, s, e) for n in plain.keys for s, e in [(1, 150), (40, 60), (0, 3), (140, 200)]]
    assert [fields(loaded.fetch(*r)) for r in regions] == [fields(plain.fetch(*r)) for r in regions]
    whole = lambda f: [fields(f.fetch_entire_sequence(n)) for n in f.keys]
    assert whole(loaded) == whole(plain)
    capfd.readouterr()


# ---- text that is not ASCII ----------------------------------------------------
@MAPPED_OR_NOT
def test_utf8_text_is_decoded(tmp_path, mutable):
    text = "A\u00c4B\u00e9C\u20acx"  # 1 + 2 + 1 + 2 + 1 + 3 + 1 = 11 bytes
    path = write_bytes(tmp_path / "u.fa", f">u\n{text}\n".encode())
    fa = kelpa.Faidx(path, mutable=mutable)
    assert fields(fa.fetch_entire_sequence("u")) == ("u", text, 1, 11, False)
    assert (fa.fetch("u", 1, 3).seq, fa.fetch("u", 7, 11).seq) == ("A\u00c4", "C\u20acx")
    assert kelpa.Faidx(path, sequence_always_upper=True).fetch("u", 1, 11).seq == "A\u00c4B\u00e9C\u20acX"
    for region in [(1, 2), (3, 3), (7, 9)]:  # each cuts a character in two
        assert plain_error(fa.fetch, "u", *region) == INVALID_UTF8
