"""The record API: Fasta as a mapping of FastaRecord objects, record slicing
and iteration, rc and spliced fetches, and agreement of all of it with plain
Python slicing of the text that was written to the file."""

import gc
import itertools
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelpa
from conftest import random_seq, write_fasta

# The nucleotide complement: IUPAC letters map in pairs keeping their case,
# "n" stays "n", and every other byte becomes "N".
COMPLEMENT = {chr(b): "N" for b in range(128)}
for pair in "AT BV CG DH GC HD KM MK RY SS TA VB WW XX YR".split():
    COMPLEMENT[pair[0]], COMPLEMENT[pair[0].lower()] = pair[1], pair[1].lower()
COMPLEMENT["n"] = "n"


def revcomp(text):
    return "".join(COMPLEMENT[c] for c in reversed(text))


def write_records(path, records, eol="\n"):
    """Write (header, seq, width) triples, each record wrapped at its own width."""
    text = "".join(write_fasta(path, [(h, s)], width=w, eol=eol) for h, s, w in records)
    with open(path, "w", encoding="ascii", newline="") as out:
        out.write(text)
    return text


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


REF = [
    ("zeta first record", "AAAACCCCGG", 4),
    ("alpha", "NNacgtNN", 4),
    ("dig", "ACGTAGCTTG", 4),
    ("mid", "TTG", 60),
    ("empty", "", 60),
]
NAMES = ["zeta", "alpha", "dig", "mid", "empty"]  # file order, not sorted
DIG = "ACGTAGCTTG"


@pytest.fixture
def ref_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_records("ref.fa", REF)
    return "ref.fa"


@pytest.fixture
def fasta(ref_path):
    return kelpa.Fasta(ref_path)


# --- constructing a Fasta ----------------------------------------------------

def test_repr_and_filename(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.mkdir("data")
    write_records("data/ref.fa", REF)
    write_records('we"ird.fa', REF)
    fa = kelpa.Fasta("data/ref.fa")
    assert repr(fa) == str(fa) == 'Fasta("data/ref.fa")'
    assert fa.filename == "data/ref.fa"
    assert repr(kelpa.Fasta('we"ird.fa')) == 'Fasta("we"ird.fa")'
    with pytest.raises(AttributeError):
        fa.filename = "other.fa"


PARAMETERS = ["filename", "indexname", "default_seq", "key_function", "as_raw", "strict_bounds",
              "read_ahead", "mutable", "split_char", "filt_function", "one_based_attributes",
              "read_long_names", "duplicate_action", "sequence_always_upper", "rebuild", "build_index"]
DEFAULTS = [None, None, None, None, False, False, None, False, None, None, True, False, "stop",
            False, True, True]


def refuses_zero(f):
    with pytest.raises(IndexError):
        f.get_seq("dig", 0, 3)
    return True


@pytest.mark.parametrize("parameter, value, check", [
    ("as_raw", True, lambda f: f.get_seq("dig", 2, 3).start is None),
    ("strict_bounds", True, refuses_zero),
    ("one_based_attributes", False, lambda f: f.get_seq("dig", 2, 3).start == 1),
    ("sequence_always_upper", True, lambda f: f.get_seq("alpha", 3, 6).seq == "ACGT"),
    ("mutable", True, lambda f: str(f["dig"]) == DIG),
])
def test_constructor_maps_options_by_meaning(ref_path, parameter, value, check):
    args = [ref_path] + DEFAULTS[1:]
    args[PARAMETERS.index(parameter)] = value
    assert check(kelpa.Fasta(*args))
    assert check(kelpa.Fasta(ref_path, **{parameter: value}))


@pytest.mark.parametrize("kwargs, error, message", [
    ({}, TypeError, "Fasta.__new__() missing 1 required positional argument: 'filename'"),
    ({"filename": "missing.fa"}, Exception, "FastaNotFoundError: missing.fa"),
    ({"filename": "ref.fa", "as_raw": 1},
     TypeError, "argument 'as_raw': 'int' object cannot be converted to 'PyBool'"),
    ({"filename": "ref.fa", "duplicate_action": None},
     TypeError, "argument 'duplicate_action': 'NoneType' object cannot be converted to 'PyString'"),
    ({"filename": "ref.fa", "nonsense": 1},
     TypeError, "Fasta.__new__() got an unexpected keyword argument 'nonsense'"),
])
def test_constructor_errors(ref_path, kwargs, error, message):
    with pytest.raises(error) as e:
        kelpa.Fasta(**kwargs)
    assert type(e.value) is error and str(e.value) == message


def test_constructor_numpy_bool_and_negative_read_ahead(ref_path):
    assert refuses_zero(kelpa.Fasta(ref_path, strict_bounds=np.bool_(True)))
    with pytest.raises(OverflowError):
        kelpa.Fasta(ref_path, read_ahead=-1)


def test_close_and_context_manager_keep_it_usable(fasta):
    assert fasta.close() is None
    assert fasta.get_seq("dig", 1, 4).seq == "ACGT"
    with fasta as f:
        assert f is fasta
    assert str(fasta["dig"]) == DIG
    with pytest.raises(ValueError, match="^inside$"):
        with fasta:
            raise ValueError("inside")
    assert fasta.__exit__() is None
    assert fasta.__exit__("any", 1, object()) is None
    with pytest.raises(TypeError) as e:
        fasta.__exit__(1, 2, 3, 4)
    assert str(e.value) == "Fasta.__exit__() takes from 0 to 3 positional arguments but 4 were given"
    assert fasta.fetch_many([("mid", 1, 3)])[0].seq == "TTG"


# --- the mapping protocol ----------------------------------------------------

def test_names_in_file_order(fasta):
    assert fasta.keys() == NAMES
    values = fasta.values()
    assert all(type(r) is kelpa.FastaRecord for r in values)
    assert [r.name for r in values] == NAMES
    assert [(n, r.name) for n, r in fasta.items()] == [(n, n) for n in NAMES]
    assert [r.name for r in fasta] == NAMES
    assert [fasta[i].name for i in range(len(NAMES))] == NAMES
    assert fasta[np.uint8(2)].name == "dig"


def test_duplicate_names_keep_first_position_and_last_record(tmp_path):
    path = str(tmp_path / "dup.fa")
    write_records(path, [("b", "AAAA", 60), ("a", "CC", 60), ("b", "GGGGGG", 60)])
    fa = kelpa.Fasta(path)
    assert fa.keys() == ["b", "a"]
    assert fa[0].name == "b" and str(fa[0]) == "GGGGGG"
    assert len(fa) == 8


def test_len_is_total_bases(fasta):
    assert len(fasta) == 31
    assert len(fasta.keys()) == 5


def test_empty_index(tmp_path):
    path = str(tmp_path / "none.fa")
    write_fasta(path, [])
    fa = kelpa.Fasta(path)
    assert (len(fa), fa.keys(), fa.values(), fa.items(), list(fa)) == (0, [], [], [], [])
    with pytest.raises(IndexError, match="^Index out of range$"):
        fa[0]


def test_membership(fasta):
    assert "zeta" in fasta and "empty" in fasta
    assert "ZETA" not in fasta and "zeta first record" not in fasta
    with pytest.raises(TypeError) as e:
        1 in fasta
    assert str(e.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("key, error, message", [
    (-1, TypeError, "Key must be string or integer"),
    (1.5, TypeError, "Key must be string or integer"),
    (None, TypeError, "Key must be string or integer"),
    (b"zeta", TypeError, "Key must be string or integer"),
    (2**64, TypeError, "Key must be string or integer"),
    (5, IndexError, "Index out of range"),
    (2**64 - 1, IndexError, "Index out of range"),
])
def test_bad_keys(fasta, key, error, message):
    with pytest.raises(error) as e:
        fasta[key]
    assert str(e.value) == message


@pytest.mark.parametrize("key", ["chr9", "ZETA", "zeta first record", ""])
def test_missing_name_is_key_error(fasta, key):
    with pytest.raises(KeyError) as e:
        fasta[key]
    assert e.value.args == (f"{key} not in ref.fa.",)


# --- fetching through a Fasta ------------------------------------------------

def test_get_seq_and_rc(fasta):
    plain = fasta.get_seq("dig", 2, 5)
    assert fields(plain) == ("dig", "CGTA", 2, 5, False)
    for same in (fasta.get_seq("dig", 2, 5, rc=False), fasta.get_seq("dig", 2, 5, None),
                 fasta.get_seq(name="dig", start=2, end=5)):
        assert fields(same) == fields(plain)
    flipped = fasta.get_seq("dig", 2, 5, rc=True)
    assert fields(flipped) == fields(-plain) == ("dig", "TACG", 5, 2, True)
    assert fields(fasta.get_seq("alpha", 1, 8, np.bool_(True))) == ("alpha", "NNacgtNN", 8, 1, True)


@pytest.mark.parametrize("intervals, seq, start, end", [
    ([(1, 3), (7, 9)], "ACGCTT", 1, 9),
    ([(7, 9), (1, 3)], "CTTACG", 7, 3),
    ([(1, 4), (3, 6)], "ACGTGTAG", 1, 6),
    ([(2, 2)], "C", 2, 2),
    ((), "", None, None),
])
def test_get_spliced_seq(fasta, intervals, seq, start, end):
    forward = fasta.get_spliced_seq("dig", intervals)
    assert fields(forward) == ("dig", seq, start, end, False)
    assert fields(fasta.get_spliced_seq("dig", intervals, rc=False)) == fields(forward)
    assert fields(fasta.get_spliced_seq("dig", intervals, rc=True)) == ("dig", revcomp(seq), start, end, False)


def test_fetch_errors_pass_through(ref_path, capfd):
    fasta = kelpa.Fasta(ref_path)
    with pytest.raises(Exception, match="^FetchError: Sequence 'chr9' not found$"):
        fasta.get_seq("chr9", 1, 2)
    with pytest.raises(Exception, match="^FetchError: Sequence 'chr9' not found$"):
        fasta.get_spliced_seq("chr9", [(1, 2)])
    assert fasta.get_spliced_seq("dig", [(1, 2), (9, 12)], rc=True).seq == revcomp("AC" + "TG")
    assert capfd.readouterr().err == (
        "WARNING: coordinates 9-12 are out of bounds for sequence 'dig' of length 10\n")
    strict = kelpa.Fasta(ref_path, strict_bounds=True)
    with pytest.raises(IndexError, match="^start coordinate 5 is greater than end coordinate 4$"):
        strict.get_spliced_seq("dig", [(1, 2), (5, 4)])


@pytest.mark.parametrize("call, error, message", [
    (lambda f: f.get_seq(), TypeError,
     "Fasta.get_seq() missing 3 required positional arguments: 'name', 'start', and 'end'"),
    (lambda f: f.get_seq("dig", 1, 2, rc=1), TypeError,
     "argument 'rc': 'int' object cannot be converted to 'PyBool'"),
    (lambda f: f.get_seq("dig", 1, 2, "yes"), TypeError,
     "argument 'rc': 'str' object cannot be converted to 'PyBool'"),
    (lambda f: f.get_spliced_seq("dig", [(1, 2)], rc=0), TypeError,
     "argument 'rc': 'int' object cannot be converted to 'PyBool'"),
    (lambda f: f.fetch_many([("dig", 1, 2)], rc="no"), TypeError,
     "argument 'rc': 'str' object cannot be converted to 'PyBool'"),
    (lambda f: f.get_spliced_seq("dig", [[1, 2]]), TypeError,
     "argument 'intervals': 'list' object cannot be converted to 'PyTuple'"),
    (lambda f: f.get_spliced_seq("dig", "12"), TypeError,
     "argument 'intervals': Can't extract `str` to `Vec`"),
    (lambda f: f.get_spliced_seq("dig", ((1, 2) for _ in range(2))), TypeError,
     "argument 'intervals': 'generator' object cannot be converted to 'Sequence'"),
    (lambda f: f.get_spliced_seq("dig", [(1, 2, 3)]), TypeError,
     "argument 'intervals': expected tuple of length 2, but got tuple of length 3"),
    (lambda f: f.fetch_many("dig"), TypeError, "argument 'regions': Can't extract `str` to `Vec`"),
    (lambda f: f.fetch_many_same_chr("dig", [(1, 2, 3)]), TypeError,
     "argument 'regions': expected tuple of length 2, but got tuple of length 3"),
    (lambda f: f.fetch_many([], None, 3), TypeError,
     "Fasta.fetch_many() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_fetch_argument_errors(fasta, call, error, message):
    with pytest.raises(error) as e:
        call(fasta)
    assert str(e.value) == message


@pytest.mark.parametrize("call", [
    lambda f: f.get_seq("dig", -1, 2),
    lambda f: f.get_spliced_seq("dig", [(1, -2)]),
    lambda f: f.fetch_many_same_chr("dig", [(1, 2), (-1, 2)]),
])
def test_negative_coordinates_overflow(fasta, call):
    with pytest.raises(OverflowError):
        call(fasta)


@pytest.mark.parametrize("count", [3, 1000])
def test_batch_rc_is_negated_batch(fasta, count):
    regions = [("dig", i % 10 + 1, 10) for i in range(count - 1)] + [("alpha", 2, 7)]
    plain = fasta.fetch_many(regions)
    assert [fields(s) for s in fasta.fetch_many(regions, rc=True)] == [fields(-s) for s in plain]
    assert [fields(s) for s in fasta.fetch_many(regions, rc=False)] == [fields(s) for s in plain]
    pairs = [(s, e) for _, s, e in regions[:-1]] + [(1, 1)]
    plain = fasta.fetch_many_same_chr("dig", pairs)
    assert [fields(s) for s in fasta.fetch_many_same_chr("dig", pairs, True)] == [fields(-s) for s in plain]
    assert fasta.fetch_many([], rc=True) == []
    assert fasta.fetch_many_same_chr("chr9", [], rc=True) == []


FASTA_FETCH_MANY_DOC = "\n".join([
    "High-performance batch fetch for many sequences",
    "",
    "This method is optimized for genomics workloads where you need to fetch",
    "many sequences at once (e.g., 200,000+ regions). It uses parallel processing",
    "and optimized memory access patterns for maximum throughput.",
    "",
    "Args:",
    "    regions: List of (name, start, end) tuples specifying regions to fetch",
    "    rc: Optional boolean to reverse complement all sequences",
    "",
    "Returns:",
    "    List of Sequence objects in the same order as input regions",
    "",
    "Example:",
    '    >>> regions = [("chr1", 1000, 2000), ("chr2", 5000, 6000)]',
    "    >>> sequences = fasta.fetch_many(regions)",
])

FASTA_FETCH_MANY_SAME_CHR_DOC = "\n".join([
    "Ultra-fast batch fetch for regions from the same chromosome",
    "",
    "This method is optimized for BED file processing where many regions",
    "come from the same chromosome. It's significantly faster than fetch_many",
    "when all regions are from the same chromosome.",
    "",
    "Args:",
    "    name: Chromosome/sequence name",
    "    regions: List of (start, end) tuples",
    "    rc: Optional boolean to reverse complement all sequences",
    "",
    "Returns:",
    "    List of Sequence objects in the same order as input regions",
    "",
    "Example:",
    "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]",
    '    >>> sequences = fasta.fetch_many_same_chr("chr1", regions)',
])


@pytest.mark.parametrize("method, signature", [
    ("keys", "($self)"), ("values", "($self)"), ("items", "($self)"),
    ("get_seq", "($self, name, start, end, rc=None)"),
    ("get_spliced_seq", "($self, name, intervals, rc=None)"),
    ("fetch_many", "($self, regions, rc=None)"),
    ("fetch_many_same_chr", "($self, name, regions, rc=None)"),
    ("close", "($self)"), ("__enter__", "($self)"),
    ("__exit__", "($self, _exc_type=None, _exc_value=None, _traceback=None)"),
])
def test_method_signatures(method, signature):
    assert getattr(kelpa.Fasta, method).__text_signature__ == signature


def test_batch_docstrings():
    assert kelpa.Fasta.fetch_many.__doc__ == FASTA_FETCH_MANY_DOC
    assert kelpa.Fasta.fetch_many_same_chr.__doc__ == FASTA_FETCH_MANY_SAME_CHR_DOC


# --- FastaRecord ---------------------------------------------------------------

def test_record_attributes(fasta):
    rec = fasta["zeta"]
    assert (rec.name, rec.long_name, repr(rec), len(rec), str(rec)) == (
        "zeta", "zeta", 'FastaRecord("zeta")', 10, "AAAACCCCGG")
    for attribute in ("name", "long_name", "unpadded_len"):
        with pytest.raises(AttributeError):
            setattr(rec, attribute, 1)


@pytest.mark.parametrize("text, unpadded", [
    ("NNacgtNN", 4), ("ACGT", 4), ("nnnn", 0), ("NNNN", 0), ("NANN", 1), ("nAn", 1),
    ("ANNA", 4), ("RYN", 2), ("-AC-", 4), ("NNNNNNNNNNA", 1),
])
def test_unpadded_len(tmp_path, text, unpadded):
    path = str(tmp_path / "pad.fa")
    write_fasta(path, [("p", text)], width=4)
    assert kelpa.Fasta(path)["p"].unpadded_len == unpadded


def test_empty_record(fasta, capfd):
    rec = fasta["empty"]
    assert (len(rec), list(rec), reversed(rec), rec.unpadded_len) == (0, [], [], 0)
    assert rec[:].seq == "" and str(rec) == ""


OOB = "WARNING: coordinates {0}-{0} are out of bounds for sequence 'dig' of length 10\n"

# record[key] on dig (ACGTAGCTTG): seq, start, end, warnings
INDEXING = [
    (0, "A", 1, 1, ""),
    (-1, "G", 10, 10, ""),
    (9, "G", 10, 10, ""),
    (-10, "A", 1, 1, ""),
    (True, "C", 2, 2, ""),
    (np.int64(3), "T", 4, 4, ""),
    (10, "", 11, 11, OOB.format(11)),
    (-11, "", 0, 0, "WARNING: coordinates cannot be 0 (1-based indexing)\n"),
    (-12, "", 2**64 - 1, 2**64 - 1, OOB.format(2**64 - 1)),
    (2**62, "", 2**62 + 1, 2**62 + 1, OOB.format(2**62 + 1)),
    (-2**63, "", 2**63 + 11, 2**63 + 11, OOB.format(2**63 + 11)),
    (slice(2, 5), "GTA", 3, 5, ""),
    (slice(None), DIG, 1, 10, ""),
    (slice(0, 10), DIG, 1, 10, ""),
    (slice(0, 10, 1), DIG, 1, 10, ""),
    (slice(None, None, "x"), DIG, 1, 10, ""),
    (slice(-3, None), "TTG", 8, 10, ""),
    (slice(None, -8), "AC", 1, 2, ""),
    (slice(5, 100), "GCTTG", 6, 10, ""),
    (slice(-100, 3), "ACG", 1, 3, ""),
    (slice(None, None, -1), DIG[::-1], 1, 10, ""),
    (slice(None, None, 2), DIG[::2], 1, 10, ""),
    (slice(None, None, -3), DIG[::-3], 1, 10, ""),
    (slice(0, 6, 2), "AGA", 1, 6, ""),
    (slice(None, 6, 2), "AGA", 1, 6, ""),
    (slice(5, 5), "", 6, 5, "WARNING: start coordinate 6 is greater than end coordinate 5\n"),
    (slice(0, 0), "", 1, 0, "WARNING: coordinates cannot be 0 (1-based indexing)\n"),
    (slice(100, None), "", 11, 11,
     "WARNING: coordinates 11-10 are out of bounds for sequence 'dig' of length 10\n"),
]


@pytest.mark.parametrize("key, seq, start, end, warnings", INDEXING)
def test_record_indexing(fasta, capfd, key, seq, start, end, warnings):
    out = fasta["dig"][key]
    assert fields(out) == ("dig", seq, start, end, False)
    assert capfd.readouterr().err == warnings


@pytest.mark.parametrize("key", [
    slice(8, 2, -2), slice(1, 8, 3), slice(-2, None, -3), slice(None, 3, -1), slice(7, None, -2),
    slice(2, None, 4), slice(-100, None, -1), slice(100, None, -1), slice(-100, 100, 3),
    slice(100, -100, -4), slice(3, 3, 2), slice(3, 2, -1), slice(None, -100, -1),
])
def test_stepped_slices_select_python_bases(fasta, key):
    assert fasta["dig"][key].seq == DIG[key]


@pytest.mark.parametrize("key, message", [
    (10, "coordinates 11-11 are out of bounds for sequence 'dig' of length 10"),
    (-11, "coordinates cannot be 0 (1-based indexing)"),
    (-12, "coordinates 18446744073709551615-18446744073709551615 are out of bounds "
          "for sequence 'dig' of length 10"),
    (slice(5, 5), "start coordinate 6 is greater than end coordinate 5"),
    (slice(0, 0), "coordinates cannot be 0 (1-based indexing)"),
    (slice(100, None), "coordinates 11-10 are out of bounds for sequence 'dig' of length 10"),
])
def test_record_indexing_strict(ref_path, key, message):
    rec = kelpa.Fasta(ref_path, strict_bounds=True)["dig"]
    with pytest.raises(IndexError) as e:
        rec[key]
    assert str(e.value) == message
    assert rec[2:5].seq == "GTA" and rec[-1].seq == "G" and rec[0:6:2].seq == "AGA"


@pytest.mark.parametrize("key, error, message", [
    ("x", TypeError, "Invalid index type"),
    (1.5, TypeError, "Invalid index type"),
    (None, TypeError, "Invalid index type"),
    ([1], TypeError, "Invalid index type"),
    (2**63, TypeError, "Invalid index type"),
    (-2**63 - 1, TypeError, "Invalid index type"),
    (slice(None, None, 0), ValueError, "slice step cannot be zero"),
    (slice(1, 5, 0), ValueError, "slice step cannot be zero"),
    (slice("a", "b"), TypeError, "slice indices must be integers or None or have an __index__ method"),
])
def test_record_bad_keys(fasta, key, error, message):
    with pytest.raises(error) as e:
        fasta["dig"][key]
    assert type(e.value) is error and str(e.value) == message


def test_reversed_lists_chunks_backwards(fasta):
    chunks = fasta["dig"].__reversed__()
    assert type(chunks) is list
    assert [(s.seq, s.start, s.end) for s in chunks] == [("GT", 10, 9), ("TCGA", 8, 5), ("TGCA", 4, 1)]
    assert [s.seq for s in reversed(fasta["zeta"])] == ["GG", "CCCC", "AAAA"]


# --- iterators -----------------------------------------------------------------

@pytest.mark.parametrize("name, chunks", [
    ("zeta", [("AAAA", 1, 4), ("CCCC", 5, 8), ("GG", 9, 10)]),
    ("alpha", [("NNac", 1, 4), ("gtNN", 5, 8)]),
    ("mid", [("TTG", 1, 3)]),
    ("empty", []),
])
def test_record_iterates_in_line_chunks(fasta, name, chunks):
    it = iter(fasta[name])
    assert type(it) is kelpa.SequenceIterator and iter(it) is it
    assert [fields(s) for s in it] == [(name, *c, False) for c in chunks]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_iterators_are_independent(fasta):
    rec = fasta["zeta"]
    a, b = iter(rec), iter(rec)
    assert next(a).seq == "AAAA" and next(a).seq == "CCCC"
    assert next(b).seq == "AAAA"
    assert [s.seq for s in a] == ["GG"] and [s.seq for s in b] == ["CCCC", "GG"]

    records, names = iter(fasta), iter(fasta)
    assert type(records) is kelpa.FastaIterator and iter(records) is records
    assert next(records).name == "zeta"
    assert [r.name for r in names] == NAMES
    assert [r.name for r in records] == NAMES[1:]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(records)


REVERSED_SCRIPT = "import kelpa, sys; print(len(reversed(kelpa.Fasta(sys.argv[1], rebuild=False)['bad'])))"


@pytest.mark.parametrize("hand_written", [False, True])
def test_record_without_line_width_still_ends(tmp_path, hand_written):
    path = str(tmp_path / "flat.fa")
    if hand_written:
        write_fasta(path, [("bad", "ACGTACGT")])
        with open(path + ".fai", "w") as fai:
            fai.write("bad\t8\t5\t0\t9\n")
    else:
        with open(path, "w") as fa:
            fa.write(">bad\n\nACGTACGT\n")  # an empty first line: no bases per line
    rec = kelpa.Fasta(path, rebuild=False)["bad"]
    assert len(rec) == 8
    chunks = list(itertools.islice(iter(rec), 3))
    assert [(s.start, s.end) for s in chunks] == [(1, 8)]
    proc = subprocess.run([sys.executable, "-c", REVERSED_SCRIPT, path],
                          capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "1\n"), proc.stderr


# --- types and lifetimes --------------------------------------------------------

@pytest.mark.parametrize("name", ["FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"])
def test_no_constructor(name):
    for args in ((), ("x",)):
        with pytest.raises(TypeError) as e:
            getattr(kelpa, name)(*args)
        assert str(e.value) == "No constructor defined for " + name


def test_records_and_iterators_keep_their_fasta(ref_path):
    rec = kelpa.Fasta(ref_path)["dig"]
    records = iter(kelpa.Fasta(ref_path))
    chunks = iter(kelpa.Fasta(ref_path)["zeta"])
    values = kelpa.Fasta(ref_path).values()
    gc.collect()
    assert str(rec) == DIG and rec[1:3].seq == "CG"
    assert [r.name for r in records] == NAMES
    assert [s.seq for s in chunks] == ["AAAA", "CCCC", "GG"]
    assert str(values[2]) == DIG


def test_dropping_records_releases_their_fasta(fasta):
    before = sys.getrefcount(fasta)
    held = [fasta["dig"], fasta[0], fasta.values(), fasta.items(), iter(fasta), iter(fasta["zeta"])]
    assert sys.getrefcount(fasta) > before
    del held
    assert sys.getrefcount(fasta) == before


# --- agreement with Python slicing of the written text ------------------------

def generated_records(rng):
    """Records with lower case and runs of N, one per line layout of interest."""
    widths = [1, None, 7, 60, rng.randint(2, 80), rng.randint(2, 80)]
    records = []
    for i, width in enumerate(widths):
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


@pytest.mark.parametrize("seed, eol", [(11, "\n"), (12, "\r\n"), (13, "\n"), (14, "\r\n")])
def test_agrees_with_python_slicing(tmp_path, seed, eol):
    rng = random.Random(seed)
    records = generated_records(rng)
    path = str(tmp_path / "gen.fa")
    write_records(path, [(f"{n} generated", t, w) for n, t, w in records], eol=eol)
    texts = {n: t for n, t, _ in records}
    fasta = kelpa.Fasta(path)
    assert fasta.keys() == [n for n, _, _ in records]
    assert len(fasta) == sum(map(len, texts.values()))

    for name, text in texts.items():
        rec, n = fasta[name], len(text)
        assert (str(rec), len(rec), rec.unpadded_len) == (text, n, len(text.strip("Nn")))
        assert "".join(s.seq for s in rec) == text
        assert "".join(s.seq for s in reversed(rec)) == text[::-1]
        for i in rng.sample(range(-n, n), min(2 * n, 30)):
            assert rec[i].seq == text[i]
        bounds = [None] * 3 + list(range(-n - 3, n + 4))
        for _ in range(150):
            key = slice(rng.choice(bounds), rng.choice(bounds),
                        rng.choice([None, 1, -1, 2, -2, 3, -3, 7, -7, n + 1, -n - 1]))
            assert rec[key].seq == text[key], key
        for _ in range(20):
            s, e = random_interval(rng, n)
            rc = rng.choice([None, False, True])
            got = fasta.get_seq(name, s, e, rc=rc)
            assert got.seq == (revcomp if rc else str)(text[s - 1:e])
            intervals = [random_interval(rng, n) for _ in range(rng.randint(0, 4))]
            joined = "".join(text[a - 1:b] for a, b in intervals)
            assert fasta.get_spliced_seq(name, intervals, rc=rc).seq == (revcomp if rc else str)(joined)

    for count in (400, 1600):
        for rc in (False, True):
            regions = []
            for _ in range(count):
                name = rng.choice(list(texts))
                regions.append((name, *random_interval(rng, len(texts[name]))))
            out = fasta.fetch_many(regions, rc=rc)
            want = [texts[n][s - 1:e] for n, s, e in regions]
            assert [s.seq for s in out] == [revcomp(w) if rc else w for w in want]
            name = max(texts, key=lambda k: len(texts[k]))
            pairs = [random_interval(rng, len(texts[name])) for _ in range(count)]
            out = fasta.fetch_many_same_chr(name, pairs, rc=rc)
            want = [texts[name][s - 1:e] for s, e in pairs]
            assert [s.seq for s in out] == [revcomp(w) if rc else w for w in want]
            assert [(s.start, s.end) for s in out] == [(e, s) if rc else (s, e) for s, e in pairs]
