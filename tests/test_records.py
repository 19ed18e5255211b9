"""The record API: Fasta as a mapping of FastaRecord objects, record slicing
and iteration, rc and spliced fetches, and agreement of all of it with plain
Python slicing of the text that was written to the file."""

import inspect
import os
import random

import numpy as np
import pytest

import kelpa
from conftest import U64_MAX, ZERO, Interrupting, backwards, fields, oob, raised, random_seq, revcomp, write_fasta

REF = [
    ("zeta first record", "AAAACCCCGG", 4),
    ("alpha", "NNacgtNN", 4),
    ("dig", "ACGTAGCTTG", 4),
    ("mid", "TTG", 60),
    ("empty", "", 60),
]
NAMES = ["zeta", "alpha", "dig", "mid", "empty"]  # file order, not sorted
DIG = "ACGTAGCTTG"


def write_records(path, records, eol="\n"):
    """Write (header, seq, width) triples, each record wrapped at its own width."""
    text = "".join(write_fasta(path, [(h, s)], width=w, eol=eol) for h, s, w in records)
    with open(path, "w", encoding="ascii", newline="") as out:
        out.write(text)


@pytest.fixture
def ref_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_records("ref.fa", REF)
    return "ref.fa"


@pytest.fixture
def fasta(ref_path):
    return kelpa.Fasta(ref_path)


# ---- opening, closing, text forms ---------------------------------------------
@pytest.mark.parametrize("filename", ["data/ref.fa", 'we"ird.fa', "it's.fa", "back\\slash.fa", "with space.fa"])
def test_repr_shows_the_path_as_given(tmp_path, monkeypatch, filename):
    monkeypatch.chdir(tmp_path)
    os.mkdir("data")
    write_records(filename, REF)
    fasta, faidx = kelpa.Fasta(filename), kelpa.Faidx(filename)
    assert (repr(fasta), str(fasta), fasta.filename) == (f'Fasta("{filename}")', f'Fasta("{filename}")', filename)
    assert repr(faidx) == str(faidx) == f'Faidx("{filename}")'
    assert repr(kelpa.Faidx(os.path.abspath(filename))) == f'Faidx("{os.path.abspath(filename)}")'
    with pytest.raises(AttributeError):
        fasta.filename = "other.fa"


# The parameters in the order of the text signature (which test_module.py
# asserts), with their defaults.
PARAMETERS = {p.name: p.default for p in inspect.signature(kelpa.Fasta).parameters.values()}
PARAMETERS |= {"filename": None, "duplicate_action": "stop"}  # no default, and one the signature shows as ...


@pytest.mark.parametrize(
    "parameter, value, check",
    [
        ("as_raw", True, lambda f: f.get_seq("dig", 2, 3).start is None),
        ("strict_bounds", True, lambda f: pytest.raises(IndexError, f.get_seq, "dig", 0, 3)),
        ("one_based_attributes", False, lambda f: f.get_seq("dig", 2, 3).start == 1),
        ("sequence_always_upper", True, lambda f: f.get_seq("alpha", 3, 6).seq == "ACGT"),
        ("mutable", True, lambda f: str(f["dig"]) == DIG),
    ],
)
def test_constructor_maps_options_by_meaning(ref_path, parameter, value, check):
    positional = {**PARAMETERS, "filename": ref_path, parameter: value}.values()
    assert check(kelpa.Fasta(*positional)) and check(kelpa.Fasta(ref_path, **{parameter: value}))


def test_close_and_context_manager_keep_it_usable(fasta):
    assert fasta.close() is None and fasta.get_seq("dig", 1, 4).seq == "ACGT"
    with fasta as f:
        assert f is fasta
    assert str(fasta["dig"]) == DIG
    with pytest.raises(ValueError, match="^inside$"):
        with fasta:
            raise ValueError("inside")
    assert fasta.__exit__() is None and fasta.__exit__("any", 1, object()) is None
    assert fasta.fetch_many([("mid", 1, 3)])[0].seq == "TTG"


# ---- the mapping protocol --------------------------------------------------------
def test_names_in_file_order(fasta):
    assert fasta.keys() == NAMES and (len(fasta), len(fasta.keys())) == (31, 5)  # len: bases of all records
    assert all(type(r) is kelpa.FastaRecord for r in fasta.values())
    assert [r.name for r in fasta.values()] == [r.name for r in fasta] == NAMES
    assert [(n, r.name) for n, r in fasta.items()] == [(n, n) for n in NAMES]
    assert [fasta[i].name for i in range(len(NAMES))] == NAMES and fasta[np.uint8(2)].name == "dig"
    assert [name in fasta for name in ("zeta", "empty", "ZETA", "zeta first record")] == [True, True, False, False]


def test_duplicate_names_and_no_records(tmp_path):
    write_records(tmp_path / "dup.fa", [("b", "AAAA", 60), ("a", "CC", 60), ("b", "GGGGGG", 60)])
    fa = kelpa.Fasta(str(tmp_path / "dup.fa"))  # a repeated name keeps its first place and takes the last record
    assert (fa.keys(), fa[0].name, str(fa[0]), len(fa)) == (["b", "a"], "b", "GGGGGG", 8)
    write_fasta(tmp_path / "none.fa", [])
    fa = kelpa.Fasta(str(tmp_path / "none.fa"))
    assert (len(fa), fa.keys(), fa.values(), fa.items(), list(fa)) == (0, [], [], [], [])
    with pytest.raises(IndexError, match="^Index out of range$"):
        fa[0]


@pytest.mark.parametrize(
    "key, error, message",
    [
        (-1, TypeError, "Key must be string or integer"),
        (b"zeta", TypeError, "Key must be string or integer"),
        (5, IndexError, "Index out of range"),
        (U64_MAX, IndexError, "Index out of range"),
        ("ZETA", KeyError, "ZETA not in ref.fa."),
        ("zeta first record", KeyError, "zeta first record not in ref.fa."),
        (Interrupting(), KeyboardInterrupt, None),  # not made a TypeError
    ],
)
def test_bad_keys(fasta, key, error, message):
    with pytest.raises(error) as e:
        fasta[key]
    assert type(e.value) is error and e.value.args == ((message,) if message else ())


# ---- fetching through a Fasta --------------------------------------------------
def test_get_seq_and_rc(fasta):
    plain = fasta.get_seq("dig", 2, 5)
    assert fields(plain) == fields(fasta.get_seq("dig", 2, 5, rc=False)) == ("dig", "CGTA", 2, 5, False)
    assert fields(fasta.get_seq("dig", 2, 5, rc=True)) == fields(-plain) == ("dig", "TACG", 5, 2, True)
    assert fields(fasta.get_seq("alpha", 1, 8, np.bool_(True))) == ("alpha", "NNacgtNN", 8, 1, True)


@pytest.mark.parametrize(
    "intervals, seq, start, end",
    [
        ([(1, 3), (7, 9)], "ACGCTT", 1, 9),
        ([(7, 9), (1, 3)], "CTTACG", 7, 3),
        ([(1, 4), (3, 6)], "ACGTGTAG", 1, 6),
        ((), "", None, None),
    ],
)
def test_get_spliced_seq(fasta, intervals, seq, start, end):
    forward = fasta.get_spliced_seq("dig", intervals)
    assert fields(forward) == fields(fasta.get_spliced_seq("dig", intervals, rc=False))
    assert fields(forward) == ("dig", seq, start, end, False)
    assert fields(fasta.get_spliced_seq("dig", intervals, rc=True)) == ("dig", revcomp(seq), start, end, False)


def test_fetch_errors_pass_through(ref_path, capfd):
    fasta = kelpa.Fasta(ref_path)
    for call in (lambda: fasta.get_seq("chr9", 1, 2), lambda: fasta.get_spliced_seq("chr9", [(1, 2)])):
        with pytest.raises(Exception, match="^FetchError: Sequence 'chr9' not found$"):
            call()
    assert fasta.get_spliced_seq("dig", [(1, 2), (9, 12)], rc=True).seq == revcomp("AC" + "TG")
    assert capfd.readouterr().err == oob(9, 12, "dig", 10)
    with pytest.raises(IndexError, match="^start coordinate 5 is greater than end coordinate 4$"):
        kelpa.Fasta(ref_path, strict_bounds=True).get_spliced_seq("dig", [(1, 2), (5, 4)])


# ---- FastaRecord -------------------------------------------------------------------
def test_record_attributes(fasta):
    rec = fasta["zeta"]
    assert (rec.name, rec.long_name, repr(rec), len(rec), str(rec)) == (
        "zeta",
        "zeta",
        'FastaRecord("zeta")',
        10,
        "AAAACCCCGG",
    )
    for attribute in ("name", "long_name", "unpadded_len"):
        with pytest.raises(AttributeError):
            setattr(rec, attribute, 1)
    rec = fasta["empty"]
    assert (len(rec), list(rec), reversed(rec), rec.unpadded_len, rec[:].seq, str(rec)) == (0, [], [], 0, "", "")
    texts = {"a": "nnnn", "b": "NANN", "c": "ANNA", "d": "RYN", "e": "-AC-"}  # only N and n are padding
    write_fasta("pad.fa", list(texts.items()), width=3)
    assert [r.unpadded_len for r in kelpa.Fasta("pad.fa").values()] == [0, 1, 4, 2, 4]


# record[key] on dig (ACGTAGCTTG): seq, start, end, warnings. Under
# strict_bounds the warning is raised as IndexError instead.
INDEXING = [
    (-1, "G", 10, 10, ""),
    (True, "C", 2, 2, ""),
    (10, "", 11, 11, oob(11, 11, "dig", 10)),
    (-11, "", 0, 0, ZERO),
    (-12, "", U64_MAX, U64_MAX, oob(U64_MAX, U64_MAX, "dig", 10)),
    (-(2**63), "", 2**63 + 11, 2**63 + 11, oob(2**63 + 11, 2**63 + 11, "dig", 10)),
    (slice(None, None, "x"), DIG, 1, 10, ""),
    (slice(-100, 3), "ACG", 1, 3, ""),
    (slice(None, None, -3), DIG[::-3], 1, 10, ""),
    (slice(None, 6, 2), "AGA", 1, 6, ""),
    (slice(5, 5), "", 6, 5, backwards(6, 5)),
    (slice(0, 0), "", 1, 0, ZERO),
    (slice(100, None), "", 11, 11, oob(11, 10, "dig", 10)),
]


@pytest.mark.parametrize("key, seq, start, end, warnings", INDEXING)
def test_record_indexing(ref_path, capfd, key, seq, start, end, warnings):
    assert fields(kelpa.Fasta(ref_path)["dig"][key]) == ("dig", seq, start, end, False)
    assert capfd.readouterr().err == warnings
    strict = kelpa.Fasta(ref_path, strict_bounds=True)["dig"]
    if warnings:
        assert raised(IndexError, lambda: strict[key]) == warnings.removeprefix("WARNING: ").removesuffix("\n")
    else:
        assert fields(strict[key]) == ("dig", seq, start, end, False)


@pytest.mark.parametrize(
    "key, error, message",
    [
        ("x", TypeError, "Invalid index type"),
        (2**63, TypeError, "Invalid index type"),
        (-(2**63) - 1, TypeError, "Invalid index type"),
        (slice(1, 5, 0), ValueError, "slice step cannot be zero"),
        (slice("a", "b"), TypeError, "slice indices must be integers or None or have an __index__ method"),
        (Interrupting(), KeyboardInterrupt, ""),
    ],
)
def test_record_bad_keys(fasta, key, error, message):
    with pytest.raises(error) as e:
        fasta["dig"][key]
    assert type(e.value) is error and str(e.value) == message


# ---- iteration ----------------------------------------------------------------------
@pytest.mark.parametrize(
    "name, chunks",
    [
        ("zeta", [("AAAA", 1, 4), ("CCCC", 5, 8), ("GG", 9, 10)]),
        ("mid", [("TTG", 1, 3)]),
        ("empty", []),
    ],
)
def test_record_iterates_in_line_chunks(fasta, name, chunks):
    it = iter(fasta[name])
    assert type(it) is kelpa.SequenceIterator and iter(it) is it
    assert [fields(s) for s in it] == [(name, *c, False) for c in chunks]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    listing = fasta[name].__reversed__()
    assert type(listing) is list
    assert [(s.seq, s.start, s.end) for s in listing] == [(c[0][::-1], c[2], c[1]) for c in reversed(chunks)]


def test_iterators_are_independent(fasta):
    rec = fasta["zeta"]
    a, b = iter(rec), iter(rec)
    assert (next(a).seq, next(a).seq, next(b).seq) == ("AAAA", "CCCC", "AAAA")
    assert [s.seq for s in a] == ["GG"] and [s.seq for s in b] == ["CCCC", "GG"]
    records, names = iter(fasta), iter(fasta)
    assert type(records) is kelpa.FastaIterator and iter(records) is records
    assert next(records).name == "zeta"
    assert [r.name for r in names] == NAMES and [r.name for r in records] == NAMES[1:]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(records)


# ---- agreement with Python slicing of the written text -------------------------
def generated_records(rng):
    """Records with lower case and runs of N, one per line layout of interest."""
    records = []
    for i, width in enumerate([1, None, 7, 60, rng.randint(2, 80), rng.randint(2, 80)]):
        text = random_seq(rng, rng.choice([1, rng.randint(2, 40), rng.randint(41, 400)]), "ACGTacgt")
        for _ in range(rng.randint(0, 3)):
            at, run = rng.randrange(len(text) + 1), rng.choice("Nn") * rng.randint(1, 12)
            text = text[:at] + run + text[at:]
        records.append((f"r{i}", text, width))
    rng.shuffle(records)
    return records


def random_interval(rng, length):
    s = rng.randint(1, length)
    return s, rng.randint(s, length)


@pytest.mark.parametrize(
    "seed, eol, mutable", [(11, "\n", False), (12, "\r\n", False), (13, "\n", True), (14, "\r\n", True)]
)
def test_agrees_with_python_slicing(tmp_path, seed, eol, mutable):
    rng = random.Random(seed)
    records = generated_records(rng)
    path = str(tmp_path / "gen.fa")
    write_records(path, [(f"{n} generated", t, w) for n, t, w in records], eol=eol)
    texts = {n: t for n, t, _ in records}
    fasta = kelpa.Fasta(path, mutable=mutable)
    assert fasta.keys() == list(texts) and len(fasta) == sum(map(len, texts.values()))

    for name, text in texts.items():
        rec, n = fasta[name], len(text)
        assert (str(rec), len(rec), rec.unpadded_len) == (text, n, len(text.strip("Nn")))
        assert "".join(s.seq for s in rec) == text
        assert "".join(s.seq for s in reversed(rec)) == text[::-1]
        for i in rng.sample(range(-n, n), min(2 * n, 30)):
            assert rec[i].seq == text[i]
        bounds = [None] * 3 + list(range(-n - 3, n + 4))
        for _ in range(150):
            key = slice(
                rng.choice(bounds), rng.choice(bounds), rng.choice([None, 1, -1, 2, -2, 3, -3, 7, -7, n + 1, -n - 1])
            )
            assert rec[key].seq == text[key], key
        for _ in range(20):
            s, e = random_interval(rng, n)
            rc = rng.choice([None, False, True])
            assert fasta.get_seq(name, s, e, rc=rc).seq == (revcomp if rc else str)(text[s - 1 : e])
            intervals = [random_interval(rng, n) for _ in range(rng.randint(0, 4))]
            joined = "".join(text[a - 1 : b] for a, b in intervals)
            assert fasta.get_spliced_seq(name, intervals, rc=rc).seq == (revcomp if rc else str)(joined)

    longest = max(texts, key=lambda k: len(texts[k]))
    for count in (400, 1600):  # either side of the worker pool's threshold
        regions = [(name, *random_interval(rng, len(texts[name]))) for name in rng.choices(list(texts), k=count)]
        pairs = [random_interval(rng, len(texts[longest])) for _ in range(count)]
        for rc in (False, True):
            flip = revcomp if rc else str
            assert [fields(s) for s in fasta.fetch_many(regions, rc=rc)] == [
                (n, flip(texts[n][s - 1 : e]), *((e, s) if rc else (s, e)), rc) for n, s, e in regions
            ]
            assert [fields(s) for s in fasta.fetch_many_same_chr(longest, pairs, rc)] == [
                (longest, flip(texts[longest][s - 1 : e]), *((e, s) if rc else (s, e)), rc) for s, e in pairs
            ]
    assert fasta.fetch_many([], rc=True) == fasta.fetch_many_same_chr("chr9", [], rc=True) == []
