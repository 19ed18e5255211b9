"""Sequence values: fields, text forms, equality, transforms, slicing and GC."""

import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import COMPLEMENT, Interrupting, fields, raised, random_seq
from kelpa import Sequence

U64 = 2**64


def Hook(action, value=0):
    """An integer whose conversion runs `action` first."""
    return type("Hook", (), {"__index__": lambda self: (action(), value)[1]})()


# ---- fields and text forms ---------------------------------------------------
def test_defaults_and_fields_stored_unchecked():
    s = Sequence()
    assert fields(s) == ("", "", None, None, False)
    assert (s.fancy_name, s.long_name, repr(s), str(s), len(s), s.orientation) == ("", "", ">\n", "", 0, None)
    s = Sequence("chr1", "ACGT", 90, 3, True)
    assert fields(s) == ("chr1", "ACGT", 90, 3, True)
    assert (str(s), repr(s), len(s)) == ("ACGT", ">chr1:90-3 (complement)\nACGT", 4)


@pytest.mark.parametrize(
    "name, start, end, comp, fancy_name, orientation",
    [
        ("chr1", 1, 4, False, "chr1:1-4", 1),
        ("chr1", 10, 20, True, "chr1:10-20 (complement)", None),
        ("chr1", 20, 10, True, "chr1:20-10 (complement)", -1),
        ("chr1", 3, 3, True, "chr1:3-3 (complement)", None),
        ("chr1", None, 20, True, "chr1 (complement)", None),
        ("chr1", 10, None, False, "chr1", None),
        ("", U64 - 1, 0, True, ":18446744073709551615-0 (complement)", -1),
        ("été", 1, 2, False, "été:1-2", 1),
    ],
)
def test_fancy_name_and_orientation(name, start, end, comp, fancy_name, orientation):
    s = Sequence(name, "AC", start, end, comp)
    assert (s.fancy_name, s.long_name, repr(s), s.orientation) == (
        fancy_name,
        fancy_name,
        f">{fancy_name}\nAC",
        orientation,
    )


def test_setters_replace_fields_and_derived_values_follow():
    s = Sequence("chr1", "ACGT", 1, 4)
    assert (s.orientation, s.fancy_name) == (1, "chr1:1-4")
    s.comp = True
    assert (s.orientation, s.fancy_name) == (None, "chr1:1-4 (complement)")
    s.start, s.end, s.name, s.seq = 10, 2, "chrX", "GGCC"
    assert fields(s) == ("chrX", "GGCC", 10, 2, True)
    assert (s.orientation, s.gc, str(s)) == (-1, 1.0, "GGCC")
    s.start, s.end = 5, None
    assert (s.start, s.end, s.fancy_name) == (5, None, "chrX (complement)")


def test_refused_changes_leave_the_fields_unchanged():
    s = Sequence("chr1", "ACGT", 1, 4)
    for field, value, error, message in [
        ("start", -1, OverflowError, "can't convert negative int to unsigned"),
        ("start", "1", TypeError, "argument 'start': 'str' object cannot be interpreted as an integer"),
        ("seq", None, TypeError, "argument 'seq': 'NoneType' object cannot be converted to 'PyString'"),
        ("comp", 1, TypeError, "argument 'comp': 'int' object cannot be converted to 'PyBool'"),
    ]:
        assert raised(error, setattr, s, field, value) == message
    for field in ("name", "seq", "start", "end", "comp"):
        assert raised(AttributeError, delattr, s, field) == "can't delete attribute"
    for prop in ("fancy_name", "long_name", "orientation", "complement", "reverse", "gc", "gc_strict", "gc_iupac"):
        with pytest.raises(AttributeError, match="not writable"):
            setattr(s, prop, s.seq)
    assert fields(s) == ("chr1", "ACGT", 1, 4, False)


# ---- equality ----------------------------------------------------------------
def test_equality_compares_only_the_text_and_there_is_no_order_or_hash():
    s = Sequence("chr1", "ACGT", 1, 4)
    for other, equal in [
        ("ACGT", True), ("acgt", False), ("ACG", False), (Sequence("other", "ACGT", 7, 3, True), True),
        (Sequence("chr1", "ACGA", 1, 4), False), (5, False), (None, False), (b"ACGT", False),
    ]:  # fmt: skip
        assert ((s == other), (other == s), (s != other), (other != s)) == (equal, equal, not equal, not equal)
    for compare in (lambda: s < Sequence(), lambda: s <= "ACGT", lambda: s > 1, lambda: "A" < s):
        with pytest.raises(TypeError):
            compare()
    assert Sequence.__hash__ is None
    with pytest.raises(TypeError):
        hash(s)


# ---- complement, reverse, reverse complement --------------------------------
def test_complement_reverse_and_reverse_complement():
    text = "".join(chr(i) for i in range(128))  # every ASCII character, against the table written out
    assert [(c, g) for c, g in zip(text, Sequence(seq=text).complement.seq, strict=True) if g != COMPLEMENT[c]] == []
    assert (
        "".join(COMPLEMENT[c] for c in "ACGTBVDHKMRYSWXNacgtbvdhkmryswxnUuEeZz-*.")
        == "TGCAVBHDMKYRSWXNtgcavbhdmkyrswxnNNNNNNNNN"
    )
    s = Sequence("chr1", "ACGTNacgtn-", 3, 13, False)
    assert fields(s.complement) == ("chr1", "TGCANtgcanN", 3, 13, True)
    assert s.complement.complement.comp is False and fields(s) == ("chr1", "ACGTNacgtn-", 3, 13, False)
    assert fields(Sequence("r", "UuU", None, 8, True).complement) == ("r", "NNN", None, 8, False)
    for comp in (False, True):
        assert fields(Sequence("chr1", "AACG", 10, 13, comp).reverse) == ("chr1", "GCAA", 13, 10, comp)
    assert fields(Sequence("chr1", "AACG", 10, None).reverse) == ("chr1", "GCAA", 10, None, False)
    assert fields(Sequence("chr1", "AACG", None, 13).reverse) == ("chr1", "GCAA", None, 13, False)
    rc = -Sequence("chr1", "AACG", 10, 13, False)
    assert (fields(rc), fields(-rc)) == (("chr1", "CGTT", 13, 10, True), ("chr1", "AACG", 10, 13, False))
    assert fields(-Sequence("r", "ACx", 5, None, True)) == ("r", "xGT", 5, None, False)
    paired = "ACGTBVDHKMRYSWXNacgtbvdhkmryswxn"
    assert (-(-Sequence(seq=paired))).seq == paired
    assert (-Sequence(seq=paired)).seq == Sequence(seq=paired).complement.reverse.seq


# ---- indexing and slicing ----------------------------------------------------
ACGTA = Sequence("chr1", "ACGTA", 1, 5)


@pytest.mark.parametrize(
    "key, expected",
    [
        (-1, ("A", 5)),
        (-5, ("A", 1)),
        (True, ("C", 2)),
        (5, IndexError("Index out of range")),
        (-6, IndexError("Index out of range")),
        (-(2**63), IndexError("Index out of range")),
        ("0", TypeError("Invalid index type")),
        (2**63, TypeError("Invalid index type")),
        (-(2**63) - 1, TypeError("Invalid index type")),
        (Interrupting(), KeyboardInterrupt()),  # an interruption in __index__ goes on as it is
    ],
)
def test_index(key, expected):
    if isinstance(expected, tuple):
        assert fields(ACGTA[key]) == ("chr1", expected[0], expected[1], expected[1], False)
        return
    with pytest.raises(type(expected)) as e:
        ACGTA[key]
    assert type(e.value) is type(expected) and str(e.value) == str(expected)


def test_index_and_slice_edge_cases():
    assert fields(Sequence("c", "ACGT", 10, None, True)[1]) == ("c", "C", 11, 11, True)
    assert fields(Sequence("c", "ACGT", None, 4)[-1]) == ("c", "T", None, None, False)
    for key in (slice(1, 3), slice(None, None, -1), slice(9, 0, -2)):
        for s in (Sequence("c", "ACGT", None, 4), Sequence("c", "ACGT", 2, None)):
            assert (s[key].start, s[key].end) == (None, None)
    with pytest.raises(ValueError, match="^slice step cannot be zero$"):
        ACGTA[::0]
    with pytest.raises(TypeError, match="slice indices must be integers"):
        ACGTA["a":]


def covered_slice(length, key):
    """Positions taken and the covered range [lo, hx) of a slice, by the
    rules Sequence slicing follows (independent of the implementation)."""
    a, b, k = key.indices(length)
    if k > 0:
        lo, hx = max(a, 0), (length if b < 0 else min(b, length))
        taken = list(range(lo, hx, k)) if lo < length and hx > lo else []
        return taken, lo, hx
    last = max(length - 1, 0)
    hi = last if a < 0 else min(a, last)
    if b > hi:
        return [], hi, hi
    lo, hx = (0 if b < 0 else b + 1), hi + 1
    return (list(range(hi, lo - 1, k)) if length else []), lo, hx


bound = st.one_of(st.none(), st.integers(-12, 12), st.sampled_from([-(2**63), 2**63 - 1, 2**70]))


@given(
    text=st.text(alphabet="ACGTN", max_size=10),
    a=bound,
    b=bound,
    k=st.one_of(st.none(), st.integers(-6, 6).filter(bool)),
    start=st.one_of(st.integers(0, 30), st.integers(U64 - 30, U64 - 1)),
)
def test_slicing_agrees_with_str_slicing_and_the_coordinate_rule(text, a, b, k, start):
    key = slice(a, b, k)
    r = Sequence("s", text, start, 99, True)[key]
    taken, lo, hx = covered_slice(len(text), key)
    assert r.seq == "".join(text[i] for i in taken)
    normalised_start, _, step = key.indices(len(text))
    if not (step < 0 and normalised_start == -1):
        assert r.seq == text[key]
    assert (r.name, r.comp) == ("s", True)
    assert (r.start, r.end) == ((start + lo) % U64, (start + hx - 1) % U64)


# ---- text that is not ASCII --------------------------------------------------
def test_non_ascii_text_is_handled_byte_by_byte():
    s = Sequence("n", "aé€😀", 1, 10)  # 1 + 2 + 3 + 4 bytes
    assert (len(s), str(s)) == (10, "aé€😀")
    assert [s[i].seq for i in (0, 1, 2, -4)] == ["a", "\xc3", "\xa9", "\xf0"]
    assert fields(s[1:3]) == ("n", "é", 2, 3, False)
    assert fields(s[3:]) == ("n", "€😀", 4, 10, False)
    assert (s.complement.seq, (-s).seq) == ("t" + "N" * 9, "N" * 9 + "t")
    assert (Sequence(seq="aéb")[::3].seq, Sequence(seq="Gé").gc) == ("ab", 1 / 3)
    t = Sequence("n", "aé", 1, 3)
    for operation in (lambda: t[0:2], lambda: t[2:], lambda: t[::2], lambda: t[::-1], lambda: t.reverse):
        with pytest.raises(UnicodeDecodeError):  # a result that cuts a character in two
            operation()
    assert fields(t) == ("n", "aé", 1, 3, False)


# ---- re-entrant access -------------------------------------------------------
def test_reading_or_writing_while_a_setter_converts_its_value_is_refused():
    s = Sequence("chr1", "ACGT", 1, 4)
    for read in (
        lambda: s.name, lambda: s.seq, lambda: str(s), lambda: repr(s), lambda: len(s), lambda: s.fancy_name,
        lambda: s.orientation, lambda: s.gc, lambda: s.gc_iupac, lambda: s.complement, lambda: -s, lambda: s[0],
        lambda: s[1:],
    ):  # fmt: skip
        assert raised(RuntimeError, setattr, s, "start", Hook(read, 7)) == "Already mutably borrowed"
        assert fields(s) == ("chr1", "ACGT", 1, 4, False)
        s.start = 1  # the access was released

    def rename():
        s.name = "x"

    assert raised(RuntimeError, setattr, s, "end", Hook(rename, 9)) == "Already borrowed"
    assert raised(RuntimeError, lambda: s[Hook(rename, 1) :]) == "Already borrowed"
    assert (
        raised(TypeError, lambda: s[Hook(rename, 1)]) == "Invalid index type"
    )  # an index conversion failure of any kind
    assert fields(s) == ("chr1", "ACGT", 1, 4, False)
    assert fields(s[Hook(lambda: (s.name, s.gc), 1)]) == ("chr1", "C", 2, 2, False)  # readers share


def test_comparing_a_sequence_being_written():
    s, twin, seen = Sequence("a", "ACGT"), Sequence("b", "ACGT"), []
    s.start = Hook(lambda: seen.extend([s == "ACGT", s != "ACGT", s == s, s == twin, twin == s]), 3)
    assert seen == [False, True, True, False, False] and (s.start, s == twin) == (3, True)

    def compare(result):  # s is being written, so the other operand decides, errors included
        try:
            return s != type("Other", (), {"__eq__": lambda self, other: result()})()
        except Exception as e:
            return type(e)

    def loud():
        raise LookupError("loud")

    no_truth = type("NoTruth", (), {"__bool__": lambda self: 1 / 0})
    s.start = Hook(lambda: seen.extend(compare(r) for r in (loud, no_truth, lambda: True)), 1)
    assert seen[5:] == [LookupError, ZeroDivisionError, False]


# ---- GC content --------------------------------------------------------------
WEIGHTS = {
    **dict.fromkeys("CGS", 1.0),
    **dict.fromkeys("ATW", 0.0),
    **dict.fromkeys("KMRY", 0.5),
    **dict.fromkeys("BV", 0.67),
    **dict.fromkeys("DH", 0.33),
    "N": 0.25,
}
RANDOM_TEXT = random_seq(random.Random(1), 65_537, "ACGTNBDHVKMRYSWacgtnbdhvkmryswUXZ-.0")


@pytest.mark.parametrize(
    "text",
    ["", "acgtNN", "NNNN", "SSWW", "UUUU", "BDHV", "GGgc-NNa"]
    + [pytest.param(RANDOM_TEXT[:n], id=f"random-{n}") for n in (1, 7, 15, 16, 17, 1000, 65_537)],
)
def test_gc_matches_a_plain_loop(text):
    s = Sequence("g", text)
    gc_count, bases = sum(text.count(c) for c in "CGcg"), sum(text.count(c) for c in "ACGTacgt")
    weights = [WEIGHTS[c.upper()] for c in text if c.upper() in WEIGHTS]
    iupac = 0.0
    for weight in weights:  # summed in text order, as the float result depends on it
        iupac += weight
    assert (s.gc, s.gc_strict, s.gc_iupac) == (
        gc_count / len(text) if text else 0.0,
        gc_count / bases if bases else 0.0,
        iupac / len(weights) if weights else 0.0,
    )
    assert all(type(v) is float for v in (s.gc, s.gc_strict, s.gc_iupac))
    if text == "acgtNN":
        assert (s.gc, s.gc_strict, s.gc_iupac) == (2 / 6, 0.5, 2.5 / 6)
