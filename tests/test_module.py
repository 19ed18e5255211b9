"""The module frame: import, the seven types, their text signatures and
docstrings, and the argument conventions shared by every constructor, method
and settable attribute (binding messages, conversion messages that name the
argument, OverflowError for out-of-range integers)."""

import importlib
import sys
import weakref

import numpy
import pytest

import kelpa
from conftest import raised

TYPE_NAMES = ["Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"]
NO_CONSTRUCTOR = TYPE_NAMES[3:]

FAIDX_FETCH_MANY_DOC = """\
High-performance batch fetch for many sequences

Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:
- Sequential processing for small batches (< 1000 regions) to avoid overhead
- Parallel processing for large batches to maximize throughput

Args:
    regions: List of (name, start, end) tuples specifying regions to fetch

Returns:
    List of Sequence objects in the same order as input regions

Example:
    >>> regions = [("chr1", 1000, 2000), ("chr2", 5000, 6000)]
    >>> sequences = faidx.fetch_many(regions)"""

FAIDX_FETCH_MANY_SAME_CHR_DOC = """\
Ultra-fast batch fetch for regions from the same chromosome

Optimized for BED file processing where many regions come from the same chromosome.
Uses smart batching like fetch_many but optimized for single chromosome access.

Args:
    name: Chromosome/sequence name
    regions: List of (start, end) tuples

Returns:
    List of Sequence objects in the same order as input regions

Example:
    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]
    >>> sequences = faidx.fetch_many_same_chr("chr1", regions)"""

FASTA_FETCH_MANY_DOC = """\
High-performance batch fetch for many sequences

This method is optimized for genomics workloads where you need to fetch
many sequences at once (e.g., 200,000+ regions). It uses parallel processing
and optimized memory access patterns for maximum throughput.

Args:
    regions: List of (name, start, end) tuples specifying regions to fetch
    rc: Optional boolean to reverse complement all sequences

Returns:
    List of Sequence objects in the same order as input regions

Example:
    >>> regions = [("chr1", 1000, 2000), ("chr2", 5000, 6000)]
    >>> sequences = fasta.fetch_many(regions)"""

FASTA_FETCH_MANY_SAME_CHR_DOC = """\
Ultra-fast batch fetch for regions from the same chromosome

This method is optimized for BED file processing where many regions
come from the same chromosome. It's significantly faster than fetch_many
when all regions are from the same chromosome.

Args:
    name: Chromosome/sequence name
    regions: List of (start, end) tuples
    rc: Optional boolean to reverse complement all sequences

Returns:
    List of Sequence objects in the same order as input regions

Example:
    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]
    >>> sequences = fasta.fetch_many_same_chr("chr1", regions)"""

SIGNATURES = [  # (object, __text_signature__, __doc__)
    (
        "Fasta",
        "(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
        "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, filt_function=None, "
        "one_based_attributes=True, read_long_names=False, duplicate_action=..., "
        "sequence_always_upper=False, rebuild=True, build_index=True)",
        "",
    ),
    (
        "Faidx",
        "(filename, indexname=None, as_raw=False, strict_bounds=False, sequence_always_upper=False, "
        "rebuild=True, build_index=True, one_based_attributes=True, default_seq=None, mutable=False, "
        "key_function=None, split_char=None, filt_function=None, read_long_names=False, "
        "duplicate_action=..., read_ahead=None)",
        "",
    ),
    ("Sequence", "(name=..., seq=..., start=None, end=None, comp=False)", ""),
    *[(name, None, None) for name in NO_CONSTRUCTOR],
    ("Faidx.fetch", "($self, name, start, end)", None),
    (
        "Faidx.fetch_entire_sequence",
        "($self, name)",
        "Ultra-fast method for fetching entire sequences - bypasses all bounds checking",
    ),
    ("Faidx.fetch_many", "($self, regions)", FAIDX_FETCH_MANY_DOC),
    ("Faidx.fetch_many_same_chr", "($self, name, regions)", FAIDX_FETCH_MANY_SAME_CHR_DOC),
    ("Fasta.fetch_many", "($self, regions, rc=None)", FASTA_FETCH_MANY_DOC),
    ("Fasta.fetch_many_same_chr", "($self, name, regions, rc=None)", FASTA_FETCH_MANY_SAME_CHR_DOC),
    ("Fasta.keys", "($self)", None),
    ("Fasta.values", "($self)", None),
    ("Fasta.items", "($self)", None),
    ("Fasta.get_seq", "($self, name, start, end, rc=None)", None),
    ("Fasta.get_spliced_seq", "($self, name, intervals, rc=None)", None),
    ("Fasta.close", "($self)", None),
    ("Fasta.__enter__", "($self)", None),
    ("Fasta.__exit__", "($self, _exc_type=None, _exc_value=None, _traceback=None)", None),
]


@pytest.fixture
def path(make_fasta):
    return make_fasta([("chr1", "ACGTACGTAC")])


def test_import_and_reimport():
    assert type(kelpa.__all__) is list and kelpa.__all__ == TYPE_NAMES
    assert [name for name in dir(kelpa) if not name.startswith("_")] == sorted(TYPE_NAMES)
    assert (kelpa._restore.__module__, kelpa._restore.__qualname__) == ("kelpa", "_restore")  # pickles' reconstructor
    first = sys.modules.pop("kelpa")  # a second import gives the same module
    try:
        again = importlib.import_module("kelpa")
        assert again is first and again.Sequence is first.Sequence
    finally:
        sys.modules["kelpa"] = first


@pytest.mark.parametrize("name, signature, doc", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_text_signatures_and_docstrings(name, signature, doc):
    obj = kelpa
    for part in name.split("."):
        obj = getattr(obj, part)
    assert (obj.__text_signature__, obj.__doc__) == (signature, doc)


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_types_present_themselves_as_final_builtins(name):
    cls = getattr(kelpa, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name in NO_CONSTRUCTOR:
        for args in ((), ("chr1",)):
            assert raised(TypeError, cls, *args) == "No constructor defined for " + name


def test_instances_take_no_extra_attributes_and_no_weak_references(path):
    fasta = kelpa.Fasta(path)
    for obj in [kelpa.Sequence(), kelpa.Faidx(path), fasta, fasta["chr1"], iter(fasta), iter(fasta["chr1"])]:
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.colour = "red"
        with pytest.raises(TypeError):
            weakref.ref(obj)


# ---- argument binding and conversion -----------------------------------------
BINDING_ERRORS = [  # (call on faidx, fasta, path; message)
    (lambda f, x, p: kelpa.Sequence("a", "b", 1, 2, False, 6),
     "Sequence.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda f, x, p: f.fetch("chr1", 1, 2, 3), "Faidx.fetch() takes 3 positional arguments but 4 were given"),
    (lambda f, x, p: x.keys(1), "Fasta.keys() takes 0 positional arguments but 1 was given"),
    (lambda f, x, p: x.__exit__(1, 2, 3, 4),
     "Fasta.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda f, x, p: f.fetch_many([], regions=[]), "Faidx.fetch_many() got multiple values for argument 'regions'"),
    (lambda f, x, p: kelpa.Fasta(p, index="x.fai"), "Fasta.__new__() got an unexpected keyword argument 'index'"),
    (lambda f, x, p: f.fetch("chr1", 1), "Faidx.fetch() missing 1 required positional argument: 'end'"),
    (lambda f, x, p: f.fetch(end=3), "Faidx.fetch() missing 2 required positional arguments: 'name' and 'start'"),
    (lambda f, x, p: x.get_seq(),
     "Fasta.get_seq() missing 3 required positional arguments: 'name', 'start', and 'end'"),
    (lambda f, x, p: kelpa.Faidx(indexname="x"), "Faidx.__new__() missing 1 required positional argument: 'filename'"),
    # check order: the positional count, then each keyword as given, then missing parameters
    (lambda f, x, p: f.fetch("chr1", 1, 2, 3, strand="-"),
     "Faidx.fetch() takes 3 positional arguments but 4 were given"),
    (lambda f, x, p: f.fetch("chr1", name="x", strand="-"), "Faidx.fetch() got multiple values for argument 'name'"),
    (lambda f, x, p: f.fetch("chr1", strand="-", name="x"),
     "Faidx.fetch() got an unexpected keyword argument 'strand'"),
    (lambda f, x, p: f.fetch(strand="-"), "Faidx.fetch() got an unexpected keyword argument 'strand'"),
]  # fmt: skip

NOT_STR, NOT_BOOL, NOT_INT = (
    "cannot be converted to 'PyString'",
    "cannot be converted to 'PyBool'",
    "cannot be interpreted as an integer",
)
CONVERSION_ERRORS = [
    (lambda f, x, p: kelpa.Sequence(name=5), f"argument 'name': 'int' object {NOT_STR}"),
    (lambda f, x, p: kelpa.Sequence(seq=None), f"argument 'seq': 'NoneType' object {NOT_STR}"),
    (lambda f, x, p: kelpa.Sequence(comp=numpy.int64(1)), f"argument 'comp': 'int64' object {NOT_BOOL}"),
    (lambda f, x, p: kelpa.Sequence(start=1.5), f"argument 'start': 'float' object {NOT_INT}"),
    (lambda f, x, p: kelpa.Sequence(name=1, seq=2), f"argument 'name': 'int' object {NOT_STR}"),  # the first one
    (lambda f, x, p: kelpa.Sequence(start="x", comp=1), f"argument 'start': 'str' object {NOT_INT}"),
    (lambda f, x, p: kelpa.Fasta(p.encode()), f"argument 'filename': 'bytes' object {NOT_STR}"),
    (lambda f, x, p: kelpa.Faidx(p, as_raw=None), f"argument 'as_raw': 'NoneType' object {NOT_BOOL}"),
    (lambda f, x, p: f.fetch("chr1", 1, "10"), f"argument 'end': 'str' object {NOT_INT}"),
    (lambda f, x, p: 1 in x, f"argument 'name': 'int' object {NOT_STR}"),
    (lambda f, x, p: x.get_seq("chr1", 1, 2, "yes"), f"argument 'rc': 'str' object {NOT_BOOL}"),
    (lambda f, x, p: f.fetch_many("chr1"), "argument 'regions': Can't extract `str` to `Vec`"),
    (lambda f, x, p: f.fetch_many({("chr1", 1, 2)}),
     "argument 'regions': 'set' object cannot be converted to 'Sequence'"),
    (lambda f, x, p: f.fetch_many(r for r in [("chr1", 1, 2)]),
     "argument 'regions': 'generator' object cannot be converted to 'Sequence'"),
    (lambda f, x, p: f.fetch_many([("chr1", 1)]),
     "argument 'regions': expected tuple of length 3, but got tuple of length 2"),
    (lambda f, x, p: f.fetch_many([(b"chr1", 1, 2)]), f"argument 'regions': 'bytes' object {NOT_STR}"),
    (lambda f, x, p: f.fetch_many([("chr1", 1, 2), ["chr1", 1, 2], ("chr1", 1)]),
     "argument 'regions': 'list' object cannot be converted to 'PyTuple'"),  # the first failure
    (lambda f, x, p: x.fetch_many_same_chr("chr1", [(1, 2, 3)]),
     "argument 'regions': expected tuple of length 2, but got tuple of length 3"),
    (lambda f, x, p: x.get_spliced_seq("chr1", [[1, 2]]),
     "argument 'intervals': 'list' object cannot be converted to 'PyTuple'"),
]  # fmt: skip


@pytest.mark.parametrize("call, message", BINDING_ERRORS + CONVERSION_ERRORS)
def test_binding_and_conversion_errors(path, capfd, call, message):
    assert raised(TypeError, lambda: call(kelpa.Faidx(path), kelpa.Fasta(path), path)) == message
    assert capfd.readouterr().err == ""  # nothing was fetched


def test_parameters_bind_by_position_or_keyword(path):
    faidx, fasta = kelpa.Faidx(path), kelpa.Fasta(path)
    results = [
        faidx.fetch("chr1", 2, 5),
        faidx.fetch(name="chr1", start=2, end=5),
        faidx.fetch("chr1", 2, end=5),
        faidx.fetch(end=5, start=2, name="chr1"),
        fasta.get_seq(name="chr1", start=2, end=5, rc=None),
        faidx.fetch_many(regions=[("chr1", numpy.uint64(2), numpy.int32(5))])[0],
        faidx.fetch_many_same_chr(regions=[(2, numpy.int64(5))], name="chr1")[0],
        fasta.fetch_many_same_chr(rc=False, regions=[(2, 5)], name="chr1")[0],
    ]
    assert {(r.name, r.seq, r.start, r.end, r.comp) for r in results} == {("chr1", "CGTA", 2, 5, False)}
    for s in (
        kelpa.Sequence(comp=True, end=4, start=1, seq="ACGT", name="chr1"),
        kelpa.Sequence("chr1", "ACGT", 1, 4, True),
    ):
        assert (s.name, s.seq, s.start, s.end, s.comp) == ("chr1", "ACGT", 1, 4, True)


def Index(value):
    """An object that is an integer only through __index__."""
    return type("Index", (), {"__index__": lambda self: value})()


NEGATIVE, TOO_BIG = "can't convert negative int to unsigned", "int too big to convert"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, x: kelpa.Sequence(start=-1), NEGATIVE),
        (lambda f, x: kelpa.Sequence(end=Index(2**64)), TOO_BIG),
        (lambda f, x: f.fetch("chr1", 1, -10), NEGATIVE),
        (lambda f, x: f.fetch_many([("chr1", 1, 2**64)]), TOO_BIG),
        (lambda f, x: f.fetch_many_same_chr("chr1", [(1, 2), (-1, 4)]), NEGATIVE),
        (lambda f, x: x.get_spliced_seq("chr1", [(1, -2)]), NEGATIVE),
        (lambda f, x: kelpa.Fasta(x.filename, read_ahead=-1), NEGATIVE),
    ],
)
def test_out_of_range_integers_raise_overflow_error_unchanged(path, call, message):
    with pytest.raises(OverflowError) as e:
        call(kelpa.Faidx(path), kelpa.Fasta(path))
    assert type(e.value) is OverflowError and str(e.value) == message


def test_integers_take_index_objects_and_booleans_take_numpy_bools(path):
    for value, expected in [
        (0, 0),
        (2**64 - 1, 2**64 - 1),
        (True, 1),
        (Index(7), 7),
        (numpy.int64(3), 3),
        (numpy.uint64(2**64 - 1), 2**64 - 1),
    ]:
        s = kelpa.Sequence(start=value, end=value)
        assert (s.start, s.end) == (expected, expected) and type(s.start) is int
    for value in (True, False, numpy.bool_(True), numpy.bool_(False)):
        s = kelpa.Sequence(comp=value)
        assert s.comp is bool(value)
        s.comp = not value
        assert s.comp is not bool(value)
        assert kelpa.Fasta(path, as_raw=value).get_seq("chr1", 1, 2).start == (None if value else 1)


def test_errors_raised_by_a_conversion():
    root = ValueError("root cause")

    class Broken:
        def __index__(self):
            raise TypeError("no number here") from root

    class Failing:
        def __index__(self):
            raise KeyError("inner")

    for field, assign in [
        ("start", lambda: kelpa.Sequence(start=Broken())),
        ("end", lambda: setattr(kelpa.Sequence(), "end", Broken())),
    ]:
        with pytest.raises(TypeError) as e:  # a TypeError is rewrapped, keeping its cause
            assign()
        assert str(e.value) == f"argument '{field}': no number here" and e.value.__cause__ is root
    with pytest.raises(KeyError) as e:  # anything else passes unchanged
        kelpa.Sequence(start=Failing())
    assert e.value.args == ("inner",)
