"""Sequence values: fields, text forms, equality, transforms, slicing and GC."""

import random

import pytest
from hypothesis import given, strategies as st

from conftest import random_seq
from kelpa import Sequence

U64 = 2**64


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


class Hook:
    """An integer whose conversion runs `action` first."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


# ---- fields and text forms ---------------------------------------------------


def test_defaults():
    s = Sequence()
    assert fields(s) == ("", "", None, None, False)
    assert (s.fancy_name, s.long_name, repr(s), str(s), len(s), s.orientation) == ("", "", ">\n", "", 0, None)


def test_fields_are_stored_unchecked():
    s = Sequence("chr1", "ACGT", 90, 3, True)
    assert fields(s) == ("chr1", "ACGT", 90, 3, True)
    assert (str(s), repr(s), len(s)) == ("ACGT", ">chr1:90-3 (complement)\nACGT", 4)


@pytest.mark.parametrize("name, start, end, comp, expected", [
    ("chr1", 1, 4, False, "chr1:1-4"),
    ("chr1", 10, 20, True, "chr1:10-20 (complement)"),
    ("chr1", None, 20, True, "chr1 (complement)"),
    ("chr1", 10, None, False, "chr1"),
    ("chr1", 0, U64 - 1, False, "chr1:0-18446744073709551615"),
    ("", 5, 7, False, ":5-7"),
    ("", None, None, True, " (complement)"),
    ("été", 1, 2, False, "été:1-2"),
])
def test_fancy_name_and_long_name(name, start, end, comp, expected):
    s = Sequence(name, "AC", start, end, comp)
    assert s.fancy_name == expected
    assert s.long_name == expected
    assert repr(s) == ">" + expected + "\nAC"


@pytest.mark.parametrize("start, end, comp, expected", [
    (None, None, False, None), (1, None, False, None), (None, 4, True, None),
    (1, 4, False, 1), (1, 4, True, None), (4, 1, True, -1), (4, 1, False, None),
    (3, 3, False, None), (3, 3, True, None), (0, U64 - 1, False, 1), (U64 - 1, 0, True, -1),
])
def test_orientation(start, end, comp, expected):
    assert Sequence("chr1", "ACGT", start, end, comp).orientation == expected


def test_setters_replace_fields_and_derived_values_follow():
    s = Sequence("chr1", "ACGT", 1, 4)
    assert (s.orientation, s.fancy_name) == (1, "chr1:1-4")
    s.comp = True
    assert (s.orientation, s.fancy_name) == (None, "chr1:1-4 (complement)")
    s.start, s.end, s.name, s.seq = 10, 2, "chrX", "GGCC"
    assert fields(s) == ("chrX", "GGCC", 10, 2, True)
    assert (s.orientation, s.gc, str(s)) == (-1, 1.0, "GGCC")
    s.start = None
    assert (s.start, s.fancy_name, s.orientation) == (None, "chrX (complement)", None)
    s.start, s.end = 5, None
    assert (s.start, s.end, s.fancy_name) == (5, None, "chrX (complement)")


@pytest.mark.parametrize("field, value, error, message", [
    ("start", -1, OverflowError, None),
    ("end", 2**64, OverflowError, None),
    ("start", "1", TypeError, "argument 'start': 'str' object cannot be interpreted as an integer"),
    ("name", 1, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("seq", None, TypeError, "argument 'seq': 'NoneType' object cannot be converted to 'PyString'"),
    ("comp", None, TypeError, "argument 'comp': 'NoneType' object cannot be converted to 'PyBool'"),
    ("comp", 1, TypeError, "argument 'comp': 'int' object cannot be converted to 'PyBool'"),
])
def test_refused_assignment_leaves_the_field_unchanged(field, value, error, message):
    s = Sequence("chr1", "ACGT", 1, 4, False)
    with pytest.raises(error) as e:
        setattr(s, field, value)
    if message is not None:
        assert str(e.value) == message
    assert fields(s) == ("chr1", "ACGT", 1, 4, False)


@pytest.mark.parametrize("field", ["name", "seq", "start", "end", "comp"])
def test_fields_cannot_be_deleted(field):
    s = Sequence("chr1", "ACGT", 1, 4)
    with pytest.raises(AttributeError) as e:
        delattr(s, field)
    assert str(e.value) == "can't delete attribute"
    assert fields(s) == ("chr1", "ACGT", 1, 4, False)


@pytest.mark.parametrize("prop", ["fancy_name", "long_name", "orientation", "complement", "reverse",
                                  "gc", "gc_strict", "gc_iupac"])
def test_derived_properties_are_read_only(prop):
    s = Sequence("chr1", "ACGT", 1, 4)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(s, prop, s.seq)


# ---- equality ----------------------------------------------------------------

EQUAL_CASES = [
    ("ACGT", "ACGT", True),
    ("ACGT", "acgt", False),
    ("ACGT", "ACG", False),
    ("", "", True),
    ("é", "é", True),
    ("ACGT", Sequence("other", "ACGT", 7, 3, True), True),
    ("ACGT", Sequence("chr1", "ACGA", 1, 4), False),
    ("ACGT", 5, False),
    ("ACGT", None, False),
    ("ACGT", b"ACGT", False),
    ("ACGT", ["ACGT"], False),
]


@pytest.mark.parametrize("text, other, equal", EQUAL_CASES)
def test_equality_compares_only_the_text(text, other, equal):
    s = Sequence("chr1", text, 1, 4)
    assert (s == other) is equal
    assert (other == s) is equal
    assert (s != other) is (not equal)
    assert (other != s) is (not equal)


@pytest.mark.parametrize("compare", [
    lambda s: s < Sequence(), lambda s: s <= "ACGT", lambda s: s > 1, lambda s: s >= s, lambda s: "A" < s,
])
def test_ordering_is_not_supported(compare):
    with pytest.raises(TypeError):
        compare(Sequence("chr1", "ACGT"))


def test_sequences_are_unhashable():
    assert Sequence.__hash__ is None
    with pytest.raises(TypeError):
        hash(Sequence("chr1", "ACGT"))


# ---- complement, reverse, reverse complement --------------------------------


def expected_complement_table():
    """The complement of each ASCII character, written out independently."""
    table = {chr(i): "N" for i in range(128)}
    for a, b in ["AT", "BV", "CG", "DH", "KM", "RY", "SS", "WW", "XX"]:
        for x, y in [(a, b), (a.lower(), b.lower())]:
            table[x], table[y] = y, x
    table["n"] = "n"
    return table


def test_complement_of_every_ascii_character():
    table = expected_complement_table()
    text = "".join(chr(i) for i in range(128))
    got = Sequence(seq=text).complement.seq
    assert len(got) == 128
    assert [(c, g) for c, g in zip(text, got) if g != table[c]] == []
    assert "".join(table[c] for c in "ACGTBVDHKMRYSWXNacgtbvdhkmryswxnUuEeZz-*.") == \
        "TGCAVBHDMKYRSWXNtgcavbhdmkyrswxnNNNNNNNNN"


def test_complement():
    s = Sequence("chr1", "ACGTNacgtn-", 3, 13, False)
    c = s.complement
    assert fields(c) == ("chr1", "TGCANtgcanN", 3, 13, True)
    assert c.complement.comp is False
    assert fields(s) == ("chr1", "ACGTNacgtn-", 3, 13, False)
    assert fields(Sequence("r", "UuU", None, 8, True).complement) == ("r", "NNN", None, 8, False)


def test_reverse_exchanges_coordinates_when_both_are_present():
    for comp in (False, True):
        assert fields(Sequence("chr1", "AACG", 10, 13, comp).reverse) == ("chr1", "GCAA", 13, 10, comp)
    assert fields(Sequence("chr1", "AACG", 10, None).reverse) == ("chr1", "GCAA", 10, None, False)
    assert fields(Sequence("chr1", "AACG", None, 13).reverse) == ("chr1", "GCAA", None, 13, False)
    s = Sequence("chr1", "AACG", 10, 13)
    with pytest.raises(TypeError):
        s.reverse()


def test_reverse_complement():
    s = Sequence("chr1", "AACG", 10, 13, False)
    rc = -s
    assert fields(rc) == ("chr1", "CGTT", 13, 10, True)
    assert fields(-rc) == ("chr1", "AACG", 10, 13, False)
    assert fields(s) == ("chr1", "AACG", 10, 13, False)
    assert fields(-Sequence("r", "ACx", 5, None, True)) == ("r", "xGT", 5, None, False)
    paired = "ACGTBVDHKMRYSWXNacgtbvdhkmryswxn"
    assert (-(-Sequence(seq=paired))).seq == paired
    assert (-Sequence(seq=paired)).seq == Sequence(seq=paired).complement.reverse.seq


# ---- indexing ----------------------------------------------------------------

ACGTA = Sequence("chr1", "ACGTA", 1, 5)


INDEX_ERRORS = {IndexError: "Index out of range", TypeError: "Invalid index type"}


@pytest.mark.parametrize("key, expected", [
    (0, ("A", 1)), (-1, ("A", 5)), (2, ("G", 3)), (-5, ("A", 1)), (True, ("C", 2)),
    (5, IndexError), (-6, IndexError), (2**63 - 1, IndexError), (-(2**63), IndexError),
    ("0", TypeError), (1.5, TypeError), (None, TypeError), ([0], TypeError), (2**63, TypeError), (-(2**63) - 1, TypeError),
])
def test_index(key, expected):
    if isinstance(expected, tuple):
        r = ACGTA[key]
        assert type(r) is Sequence
        assert fields(r) == ("chr1", expected[0], expected[1], expected[1], False)
        return
    with pytest.raises(expected) as e:
        ACGTA[key]
    assert str(e.value) == INDEX_ERRORS[expected]


def test_index_coordinates_come_from_start_alone():
    assert fields(Sequence("c", "ACGT", 10, None, True)[1]) == ("c", "C", 11, 11, True)
    assert fields(Sequence("c", "ACGT", None, 4)[-1]) == ("c", "T", None, None, False)


# ---- slicing -----------------------------------------------------------------


@pytest.mark.parametrize("key, seq, start, end", [
    (slice(1, 3), "CG", 2, 3),
    (slice(3, 1), "", 4, 1),
    (slice(10, 20), "", 6, 5),
    (slice(None, None, 2), "AGA", 1, 5),
    (slice(None, None, -1), "ATGCA", 1, 5),
    (slice(3, 0, -1), "TGC", 2, 4),
    (slice(None, None, -2), "AGA", 1, 5),
    (slice(-10, None, -1), "ATGCA", 1, 5),
    (slice(-10, 2, -1), "AT", 4, 5),
    (slice(1, None, 3), "CA", 2, 5),
    (slice(-2**70, 2**70), "ACGTA", 1, 5),
])
def test_slice_examples(key, seq, start, end):
    assert fields(ACGTA[key]) == ("chr1", seq, start, end, False)


def test_slice_edge_cases():
    for step in (-1, -2, -7):
        assert fields(Sequence("e", "", 7, 9)[::step]) == ("e", "", 7, 7, False)
        assert fields(Sequence("e", "", 7, 9)[5:2:step]) == ("e", "", 7, 7, False)
    assert fields(Sequence("z", "ACGT", 0, 3)[0:0]) == ("z", "", 0, U64 - 1, False)
    assert fields(Sequence("w", "ACGT", U64 - 1, 2, True)[1:3]) == ("w", "CG", 0, 1, True)
    for key in (slice(1, 3), slice(None, None, -1), slice(9, 0, -2)):
        for s in (Sequence("c", "ACGT", None, 4), Sequence("c", "ACGT", 2, None)):
            assert (s[key].start, s[key].end) == (None, None)
    with pytest.raises(ValueError, match="slice step cannot be zero"):
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
    a=bound, b=bound,
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
    assert len(s) == 10
    assert str(s) == "aé€😀"
    assert [s[i].seq for i in (0, 1, 2, -4)] == ["a", "\xc3", "\xa9", "\xf0"]
    assert fields(s[1:3]) == ("n", "é", 2, 3, False)
    assert fields(s[3:]) == ("n", "€😀", 4, 10, False)
    assert s.complement.seq == "t" + "N" * 9
    assert (-s).seq == "N" * 9 + "t"
    assert Sequence(seq="aéb")[::3].seq == "ab"
    assert Sequence(seq="Gé").gc == 1 / 3


@pytest.mark.parametrize("operation", [
    lambda s: s[0:2], lambda s: s[2:], lambda s: s[::2], lambda s: s[::-1], lambda s: s.reverse,
])
def test_byte_results_that_cut_a_character_raise_unicode_decode_error(operation):
    s = Sequence("n", "aé", 1, 3)
    with pytest.raises(UnicodeDecodeError):
        operation(s)
    assert fields(s) == ("n", "aé", 1, 3, False)


# ---- re-entrant access -------------------------------------------------------


@pytest.mark.parametrize("read", [
    lambda s: s.name, lambda s: s.seq, lambda s: str(s), lambda s: repr(s), lambda s: len(s),
    lambda s: s.fancy_name, lambda s: s.orientation, lambda s: s.gc, lambda s: s.gc_iupac,
    lambda s: s.complement, lambda s: -s, lambda s: s[0], lambda s: s[1:],
])
def test_reading_while_a_setter_converts_its_value_is_refused(read):
    s = Sequence("chr1", "ACGT", 1, 4)
    with pytest.raises(RuntimeError) as e:
        s.start = Hook(lambda: read(s), 7)
    assert str(e.value) == "Already mutably borrowed"
    assert fields(s) == ("chr1", "ACGT", 1, 4, False)
    s.start = 7  # the access was released
    assert s.start == 7


def test_writing_while_reading_or_writing_is_refused():
    s = Sequence("chr1", "ACGT", 1, 4)

    def rename():
        s.name = "x"

    with pytest.raises(RuntimeError) as e:
        s.end = Hook(rename, 9)
    assert str(e.value) == "Already borrowed"
    with pytest.raises(RuntimeError) as e:
        s[Hook(rename, 1):]
    assert str(e.value) == "Already borrowed"
    with pytest.raises(TypeError) as e:  # an index conversion failure of any kind
        s[Hook(rename, 1)]
    assert str(e.value) == "Invalid index type"
    assert fields(s) == ("chr1", "ACGT", 1, 4, False)
    assert fields(s[Hook(lambda: (s.name, s.gc), 1)]) == ("chr1", "C", 2, 2, False)  # readers share


def test_equality_with_a_sequence_being_written():
    s, twin = Sequence("a", "ACGT"), Sequence("b", "ACGT")
    seen = []
    s.start = Hook(lambda: seen.extend([s == "ACGT", s != "ACGT", s == s, s == twin, twin == s]), 3)
    assert seen == [False, True, True, False, False]
    assert (s.start, s == twin) == (3, True)


def test_inequality_propagates_errors_of_the_reflected_comparison():
    class NoTruth:
        def __bool__(self):
            raise ArithmeticError("no truth value")

    class Other:
        def __init__(self, result):
            self.result = result

        def __eq__(self, other):
            return self.result()

    def loud():
        raise LookupError("loud")

    s, seen = Sequence(seq="A"), []

    def compare():  # s is being written, so the other operand decides
        for other in (Other(loud), Other(NoTruth), Other(lambda: True)):
            try:
                seen.append(s != other)
            except Exception as e:
                seen.append(type(e))

    s.start = Hook(compare, 1)
    assert seen == [LookupError, ArithmeticError, False]


# ---- GC content --------------------------------------------------------------

WEIGHTS = {**dict.fromkeys("CGS", 1.0), **dict.fromkeys("ATW", 0.0), **dict.fromkeys("KMRY", 0.5),
           **dict.fromkeys("BV", 0.67), **dict.fromkeys("DH", 0.33), "N": 0.25}


def gc_plain(text):
    data = text.encode()
    return data.count(b"C") + data.count(b"G") + data.count(b"c") + data.count(b"g"), len(data)


def gc_iupac_plain(text):
    total, count = 0.0, 0
    for c in text:
        weight = WEIGHTS.get(c.upper() if "a" <= c <= "z" else c)
        if weight is not None:
            total += weight
            count += 1
    return total / count if count else 0.0


@pytest.mark.parametrize("text, gc, strict", [
    ("", 0.0, 0.0),
    ("ACGT", 0.5, 0.5),
    ("acgtNN", 2 / 6, 0.5),
    ("NNNN", 0.0, 0.0),
    ("SSWW", 0.0, 0.0),
    ("-", 0.0, 0.0),
    ("UUUU", 0.0, 0.0),
    ("BDHV", 0.0, 0.0),
    ("GGgc-NNa", 4 / 8, 4 / 5),
])
def test_gc_examples(text, gc, strict):
    s = Sequence("g", text)
    assert (s.gc, s.gc_strict, s.gc_iupac) == (gc, strict, gc_iupac_plain(text))
    assert all(type(v) is float for v in (s.gc, s.gc_strict, s.gc_iupac))


def test_gc_iupac_weights_are_summed_in_text_order():
    assert Sequence(seq="acgtNN").gc_iupac == (0 + 1.0 + 1.0 + 0 + 0.25 + 0.25) / 6
    assert Sequence(seq="NNNN").gc_iupac == 0.25
    assert Sequence(seq="SSWW").gc_iupac == 0.5
    assert Sequence(seq="BDHV").gc_iupac == (((0.67 + 0.33) + 0.33) + 0.67) / 4
    assert Sequence(seq="ACGT").gc_iupac == 0.5
    assert Sequence(seq="-").gc_iupac == 0.0


@pytest.mark.parametrize("length", [1, 7, 8, 9, 15, 16, 17, 1000, 65_537, 100_000])
def test_gc_matches_a_plain_loop_on_random_text(length):
    rng = random.Random(length)
    text = random_seq(rng, length, "ACGTNBDHVKMRYSWacgtnbdhvkmryswUXZ-.0")
    s = Sequence("r", text)
    gc_count, total = gc_plain(text)
    bases = sum(text.count(c) for c in "ACGTacgt")
    assert s.gc == gc_count / total
    assert s.gc_strict == (gc_count / bases if bases else 0.0)
    assert s.gc_iupac == gc_iupac_plain(text)
