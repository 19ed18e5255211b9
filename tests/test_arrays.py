"""Regions as numpy arrays (kelpa_arrays), as a machine-learning loader uses
them: windows filled straight from the file, padded past the ends of their
record, reverse complemented on request, as bytes, codes or one-hot, and
regions of any length back to back for tokenizers and Arrow.

Every array is checked against Python slicing of the text the test wrote.
"""

import multiprocessing
import os
import random
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelpa
import kelpa_arrays
from conftest import REQUIRE_PEERS, fasta_source, plain_error, python_output, revcomp, write_fasta

ROOT = Path(__file__).resolve().parent.parent


# Records of every kind of byte a FASTA file holds: both cases, N, IUPAC
# letters, gaps; one record shorter than most windows, one empty.
RNG = random.Random(24)
RECORDS = {
    "chr1": "".join(RNG.choices("ACGTacgtNnRYKM-", k=3000)),
    "chr2": "".join(RNG.choices("ACGTN", k=1234)),
    "short": "acgTN",
    "empty": "",
    "chrM": "".join(RNG.choices("acgt", k=777)),
}
NAMES = list(RECORDS)


@pytest.fixture(scope="module", params=["plain", "bgzf", "mutable"])
def source(request, tmp_path_factory):
    """A kelpa.Fasta over RECORDS: a plain file, a BGZF file of small blocks, or opened mutable=True."""
    return fasta_source(tmp_path_factory.mktemp(request.param), RECORDS, request.param)


# ---- the truth, by slicing --------------------------------------------------------------
def window(name, start, end):
    seq = RECORDS[name]
    before = min(end - start, max(0, -start))
    inside = seq[max(start, 0) : max(min(end, len(seq)), 0)] if end > 0 else ""
    return "N" * before + inside + "N" * (end - start - before - len(inside))


def oriented(text, rc):
    return revcomp(text) if rc else text


DEFAULT_CODES = {c: i for i, c in enumerate("ACGT")} | {c: i for i, c in enumerate("acgt")}


def expected_codes(text, table=None):
    if table is None:
        return [DEFAULT_CODES.get(c, 4) for c in text]
    return [table[b] for b in text.encode()]


def expected_one_hot(text, n_value=0.0):
    return [
        [1.0 if c.upper() == letter else 0.0 for letter in "ACGT"] if c.upper() in "ACGT" else [n_value] * 4
        for c in text
    ]


def random_windows(rng, count, length):
    names = [rng.choice(NAMES) for _ in range(count)]
    starts = [rng.randint(-length - 3, len(RECORDS[n]) + 3) for n in names]
    return names, starts


# ---- every form against the text -----------------------------------------------------------
@pytest.mark.parametrize("count, length", [(7, 40), (150, 500)], ids=["caller", "pool"])
def test_fetch_gives_each_window_padded_and_oriented(source, count, length):
    rng = random.Random(count)
    names, starts = random_windows(rng, count, length)
    rc = [rng.random() < 0.5 for _ in names]
    got = kelpa_arrays.fetch(source, names, np.array(starts), length=length, rc=np.array(rc))
    assert got.dtype == np.uint8 and got.shape == (count, length)
    truth = [oriented(window(n, s, s + length), r) for n, s, r in zip(names, starts, rc)]
    assert [bytes(row).decode() for row in got] == truth
    upper = kelpa_arrays.fetch(source, names, starts, [s + length for s in starts], upper=True, rc=True)
    assert [bytes(row).decode() for row in upper] == [
        revcomp(window(n, s, s + length)).upper() for n, s in zip(names, starts)
    ]


@pytest.mark.parametrize("dtype", [np.uint8, np.int32, np.int64])
def test_codes_by_the_default_table_and_a_tokenizers_own(source, dtype):
    rng = random.Random(5)
    names, starts = random_windows(rng, 300, 300)
    rc = np.array([rng.random() < 0.5 for _ in names])
    got = kelpa_arrays.codes(source, names, starts, length=300, dtype=dtype, rc=rc)
    assert got.dtype == dtype and got.shape == (300, 300)
    texts = [oriented(window(n, s, s + 300), r) for n, s, r in zip(names, starts, rc)]
    assert got.tolist() == [expected_codes(t) for t in texts]
    # A table sees the complemented bytes; padding is its entry for "N".
    table = list(range(1000, 1256)) if dtype != np.uint8 else [255 - b for b in range(256)]
    for form in (table, np.array(table), bytes(table) if dtype == np.uint8 else table):
        got = kelpa_arrays.codes(source, names, starts, length=300, dtype=dtype, rc=rc, table=form)
        assert got.tolist() == [expected_codes(t, table) for t in texts]


@pytest.mark.parametrize("dtype", [np.bool_, np.uint8, np.float16, np.float32, np.float64])
@pytest.mark.parametrize("channels_first", [False, True])
def test_one_hot_in_every_dtype_and_layout(source, dtype, channels_first):
    rng = random.Random(7)
    names, starts = random_windows(rng, 140, 480)
    rc = np.array([rng.random() < 0.5 for _ in names])
    # A float dtype's largest number is held as n_value.
    n_value = float(np.finfo(dtype).max) if np.dtype(dtype).kind == "f" else 0
    got = kelpa_arrays.one_hot(
        source, names, starts, length=480, dtype=dtype, rc=rc, channels_first=channels_first, n_value=n_value
    )
    want = np.array(
        [expected_one_hot(oriented(window(n, s, s + 480), r), n_value) for n, s, r in zip(names, starts, rc)], dtype
    )
    if channels_first:
        want = want.transpose(0, 2, 1)
    assert got.dtype == dtype and got.shape == want.shape
    assert np.array_equal(got, want)
    # With n_value=1 every other byte lights up all channels (uint8 and bool hold 1).
    ones = kelpa_arrays.one_hot(source, ["short"], [-2], length=9, dtype=dtype, n_value=1)
    assert ones[0].tolist() == np.array(expected_one_hot(window("short", -2, 7), 1), dtype).tolist()


@pytest.mark.parametrize("count, length", [(300, 2000), (5, 70_000)], ids=["many rows", "rows of megabytes"])
def test_outputs_of_several_megabytes_are_filled_whole(source, count, length):
    # Fresh outputs this large are faulted in by the workers, a span each, before the
    # fill: rows of a few kilobytes, and rows of megabytes.
    rng = random.Random(11)
    names, starts = random_windows(rng, count, length)
    rc = np.array([rng.random() < 0.5 for _ in names])
    text = kelpa_arrays.fetch(source, names, starts, length=length, rc=rc)
    assert [bytes(row).decode() for row in text] == [
        oriented(window(n, s, s + length), r) for n, s, r in zip(names, starts, rc)
    ]
    upper = np.where((text >= ord("a")) & (text <= ord("z")), text - 32, text)
    hot = kelpa_arrays.one_hot(source, names, starts, length=length, rc=rc, dtype=np.float64)
    assert hot.nbytes > 10 << 20
    assert np.array_equal(hot, (upper[..., None] == np.frombuffer(b"ACGT", np.uint8)).astype(np.float64))
    whole = kelpa_arrays.ragged(source, ["chr1"] * 1500, np.zeros(1500, np.int64), np.full(1500, 3000))
    assert bytes(whole.data) == RECORDS["chr1"].encode() * 1500


def test_ragged_gives_each_region_clamped_to_its_record(source):
    rng = random.Random(9)
    regions = []
    for _ in range(400):
        name = rng.choice(NAMES)
        start = rng.randint(-50, len(RECORDS[name]) + 50)
        regions.append((name, start, start + rng.randint(0, 400)))
    texts = [RECORDS[n][max(s, 0) : max(min(e, len(RECORDS[n])), 0)] if e > 0 else "" for n, s, e in regions]
    for result in (
        kelpa_arrays.ragged(source, regions),
        kelpa_arrays.ragged(
            source, [r[0] for r in regions], np.array([r[1] for r in regions]), np.array([r[2] for r in regions])
        ),
    ):
        assert len(result) == len(regions)
        assert result.offsets.dtype == np.int64 and result.offsets.tolist()[0] == 0
        assert [result[i].decode() for i in range(len(result))] == texts
        assert result[-1] == texts[-1].encode()
        assert bytes(result.data) == "".join(texts).encode()
        assert np.diff(result.offsets).tolist() == [len(t) for t in texts]
    with pytest.raises(IndexError):
        result[len(regions)]


TAMPERING_SCRIPT = """
    import sys
    import numpy as np
    import kelpa, kelpa_arrays

    fasta = kelpa.Fasta(sys.argv[1])
    result = kelpa_arrays.ragged(fasta, [("chr1", 0, 10), ("chrM", 5, 30)])
    texts = [result[0], result[1]]
    for array in (result.data, result.offsets):
        try:
            array[0] = 1
        except ValueError as error:
            print(array.flags.writeable, error)
    # numpy lets an array that owns its memory be made writable again.
    result.offsets.setflags(write=True)
    result.offsets[:2] = [1 << 40, (1 << 40) + 100]
    print([result[0], result[1]] == texts, result)
    try:
        import pyarrow
    except ImportError:
        print("no pyarrow")
    else:
        print(pyarrow.array(result).to_pylist() == texts)
"""


def test_ragged_reads_its_own_bounds_whatever_is_written_into_offsets(source):
    lines = run_script(TAMPERING_SCRIPT, source.filename)
    assert lines[:3] == ["False assignment destination is read-only"] * 2 + ["True <Ragged: 2 regions, 35 bytes>"]
    if lines[3] == "no pyarrow" and REQUIRE_PEERS:
        pytest.fail("pyarrow is not installed (KELPA_REQUIRE_PEERS=1)")
    assert lines[3] in ("True", "no pyarrow")


@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_random_windows_off_both_ends_and_empty(source, data):
    length = data.draw(st.integers(0, 40))
    rows = data.draw(st.lists(st.tuples(st.sampled_from(NAMES), st.integers(-60, 3060), st.booleans()), max_size=12))
    names = [r[0] for r in rows]
    starts = np.array([r[1] for r in rows], np.int64)
    rc = np.array([r[2] for r in rows], bool)
    texts = [oriented(window(n, s, s + length), r) for n, s, r in rows]
    got = kelpa_arrays.fetch(source, names, starts, length=length, rc=rc)
    assert got.shape == (len(rows), length)
    assert [bytes(row).decode() for row in got] == texts
    assert kelpa_arrays.codes(source, names, starts, length=length, rc=rc).tolist() == [
        expected_codes(t) for t in texts
    ]
    hot = kelpa_arrays.one_hot(source, names, starts, length=length, rc=rc, dtype=np.float32, n_value=0.25)
    assert hot.tolist() == [expected_one_hot(t, 0.25) for t in texts]
    ends = starts + np.array([data.draw(st.integers(0, 80)) for _ in rows], np.int64)
    ragged = kelpa_arrays.ragged(source, names, starts, ends)
    assert [ragged[i].decode() for i in range(len(rows))] == [
        RECORDS[n][max(s, 0) : max(min(e, len(RECORDS[n])), 0)] if e > 0 else "" for n, s, e in zip(names, starts, ends)
    ]


def test_the_ways_of_giving_regions_agree(source):
    names = ["chr1", "chr2", "chr2", "chrM", "short"]
    starts = [0, -4, 1200, 770, 1]
    want = [window(n, s, s + 10) for n, s in zip(names, starts)]
    forms = [
        (names, starts, [s + 10 for s in starts]),
        (np.array(names), np.array(starts, np.int32), None),  # numpy str column
        (np.array(names, dtype=object), np.array(starts, np.int16), None),
        (np.array([n.encode() for n in names]), starts, None),  # bytes column
        ([NAMES.index(n) for n in names], starts, None),  # record positions
        (np.array([NAMES.index(n) for n in names], np.uint8), starts, None),
        ([(n, s, s + 10) for n, s in zip(names, starts)], None, None),  # tuples
    ]
    for names_form, starts_form, ends_form in forms:
        kwargs = {} if ends_form is not None or starts_form is None else {"length": 10}
        got = kelpa_arrays.fetch(source, names_form, starts_form, ends_form, **kwargs)
        assert [bytes(r).decode() for r in got] == want
    # Without length, the windows' own lengths, which must agree.
    assert kelpa_arrays.fetch(source, ["chr1"] * 3, [0, 5, 10], [0, 5, 10]).shape == (3, 0)
    assert kelpa_arrays.one_hot(source, [], [], length=7).shape == (0, 7, 4)
    assert kelpa_arrays.one_hot(source, [], [], length=7, channels_first=True).shape == (0, 4, 7)
    faidx = kelpa.Faidx(source.filename)
    assert kelpa_arrays.fetch(faidx, names, starts, length=10).tolist() == [list(w.encode()) for w in want]


UNICODE_RECORDS = {"é1": "ACGTACGTAA", "é2": "CCCCGGGGTT", "名前": "GATTACAGAT", "plain": "TTTTAAAACC"}


@pytest.fixture(scope="module")
def unicode_source(tmp_path_factory):
    path = tmp_path_factory.mktemp("unicode") / "ref.fa"
    path.write_bytes("".join(f">{name}\n{seq}\n" for name, seq in UNICODE_RECORDS.items()).encode())
    return kelpa.Fasta(os.fspath(path))


@pytest.mark.parametrize("function", ["fetch", "codes", "one_hot", "ragged"])
def test_names_beyond_ascii_find_their_own_record_in_every_form(unicode_source, function):
    names = ["é1", "é2", "名前", "é2", "plain", "é1", "名前"]
    texts = [UNICODE_RECORDS[n][1:6] for n in names]
    want = {
        "fetch": [list(t.encode()) for t in texts],
        "codes": [expected_codes(t) for t in texts],
        "one_hot": np.array([expected_one_hot(t) for t in texts], np.uint8).tolist(),
        "ragged": [t.encode() for t in texts],
    }[function]
    call = getattr(kelpa_arrays, function)
    for form in (
        names,
        np.array(names),
        np.array([n.encode() for n in names]),
        np.array(names, dtype=object),
        [(n, 1, 6) for n in names],
    ):
        got = call(unicode_source, form) if isinstance(form[0], tuple) else call(unicode_source, form, [1] * 7, [6] * 7)
        assert ([got[i] for i in range(len(got))] if function == "ragged" else got.tolist()) == want
    check_error(
        lambda: call(unicode_source, np.array(["é1", "é9"]), [0, 0], [4, 4]), KeyError, "row 1: no record named 'é9'"
    )


def test_out_is_filled_in_place_and_returned(source):
    names, starts = ["chr1", "chrM"], [-3, 770]
    for out, call in [
        (np.zeros((2, 12), np.uint8), lambda out: kelpa_arrays.fetch(source, names, starts, length=12, out=out)),
        (np.zeros((2, 12), np.int64),
         lambda out: kelpa_arrays.codes(source, names, starts, length=12, dtype=np.int64, out=out)),
        (np.zeros((2, 4, 12), np.float32), lambda out: kelpa_arrays.one_hot(
            source, names, starts, length=12, dtype="float32", channels_first=True, out=out)),
    ]:  # fmt: skip
        assert call(out) is out
        fresh = call(None)
        assert np.array_equal(out, fresh)
    # Any writable buffer of the right shape, e.g. shared memory between loaders.
    from multiprocessing import shared_memory

    shared = shared_memory.SharedMemory(create=True, size=2 * 12 * 4)
    try:
        view = np.ndarray((2, 12, 4), np.uint8, buffer=shared.buf)
        kelpa_arrays.one_hot(source, names, starts, length=12, out=view)
        assert np.array_equal(view, kelpa_arrays.one_hot(source, names, starts, length=12))
        del view
    finally:
        shared.close()
        shared.unlink()


# ---- errors ---------------------------------------------------------------------------------
ARGUMENT_ERRORS = [
    (dict(names=["chr1", "nope"], starts=[0, 0]), KeyError, "row 1: no record named 'nope'"),
    (dict(names=[0, 5], starts=[0, 0]), IndexError, "row 1: record position 5 is out of range for 5 records"),
    (dict(names=np.array([0, -1]), starts=[0, 0]), IndexError,
     "row 1: record position -1 is out of range for 5 records"),
    (dict(names=np.array([0, 2**64 - 1], np.uint64), starts=[0, 0]), IndexError,
     "row 1: record position 18446744073709551615 is out of range for 5 records"),
    (dict(names=np.array([b"chr1", b"\xff1"]), starts=[0, 0]), KeyError, "row 1: no record named b'\\xff1'"),
    (dict(names=["chr1"] * 3, starts=[0, 9, 3], ends=[5, 8, 8], length=None), ValueError,
     "row 1: start 9 is greater than end 8"),
    (dict(names=["chr1"] * 3, starts=[0, 0]), ValueError, "columns of different lengths: names has 3 rows, starts 2"),
    (dict(names=["chr1"], starts=[0], length=-1), ValueError, "length must be at least 0, got -1"),
    (dict(names=["chr1"], starts=[0], ends=[4]), ValueError, "both ends and length given"),
    (dict(names=["chr1"] * 2, starts=[0, 0], rc=[True]), ValueError,
     "columns of different lengths: rc has 1 values for 2 rows"),
    (dict(names=["chr1"] * 3, starts=[0, 0, 0], ends=[4, 4, 5], length=None), ValueError,
     "row 2: window length 5 differs from row 0's 4 (every window needs the same length; pass length= for "
     "windows of one size)"),
    (dict(names=["chr1"], starts=[0.5]), TypeError, "argument 'starts': expected integers, got an array of float64"),
    (dict(names=[1.5], starts=[0]), TypeError, "row 0: a name must be a str or an int, not 'float'"),
    (dict(names="chr1", starts=[0]), TypeError, "argument 'names': expected a sequence of names, got 'str'"),
    (dict(names=(n for n in ["chr1"]), starts=[0]), TypeError,
     "argument 'names': expected a sequence of names, got 'generator'"),
    (dict(names={"chr1": 0}, starts=[0]), TypeError, "argument 'names': expected a sequence of names, got 'dict'"),
    (dict(names=["chr1"], starts=[0], length=2**64), ValueError, "length 18446744073709551616 is too large"),
    (dict(names=[("chr1", np.uint64(2**64 - 1), 4)], length=None), ValueError,
     "row 0: start 18446744073709551615 is too large"),
    (dict(names=[("chr1", 0, 4), ("chr1", -(2**64), 4)], length=None), ValueError,
     "row 1: start -18446744073709551616 is too small"),
]  # fmt: skip


def check_error(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert info.value.args[0] == message


@pytest.mark.parametrize("arguments, kind, message", ARGUMENT_ERRORS)
def test_bad_regions_are_refused_before_anything_is_written(source, arguments, kind, message):
    arguments = {"length": 4, **arguments}
    if arguments["length"] is None:
        del arguments["length"]
    out = np.full((len(arguments.get("starts", arguments["names"])), 4, 4), 7, np.uint8)
    # Before 3.12 small ints are not immortal: their count moves with
    # everything else the interpreter does, so only the others are checked.
    counted = {key: value for key, value in arguments.items() if sys.version_info >= (3, 12) or type(value) is not int}
    before = {key: sys.getrefcount(value) for key, value in counted.items()}
    out_refs = sys.getrefcount(out)
    check_error(lambda: kelpa_arrays.one_hot(source, out=out, **arguments), kind, message)
    assert (out == 7).all()
    assert {key: sys.getrefcount(value) for key, value in counted.items()} == before
    assert sys.getrefcount(out) == out_refs


def run_script(script, *args):
    """The lines a script prints, run in a child: before a fault is mended, it may crash the interpreter."""
    return python_output(textwrap.dedent(script), *args).split("\n")[:-1]


CHANGING_LIST_SCRIPT = """
    import sys
    import kelpa, kelpa_arrays

    fasta = kelpa.Fasta(sys.argv[1])

    class Emptying:  # a position that empties the caller's list and refills it with other objects
        def __init__(self, items, value, filler):
            self.items, self.value, self.filler = items, value, filler

        def __index__(self):
            self.items.clear()
            self.items.extend([self.filler] * 5000)
            return self.value

    names = ["chr1", "chr2", "chrM"] * 20
    given = list(names)
    given[7] = Emptying(given, 4, "x" * 70)
    names[7] = 4
    starts = list(range(60))
    print((kelpa_arrays.fetch(fasta, given, starts, length=5) == kelpa_arrays.fetch(fasta, names, starts, length=5)).all())
    regions = [(n, s, s + 5) for n, s in zip(names, starts)]
    given = list(regions)
    given[7] = ("chr2", Emptying(given, 7, ("x" * 70, 1, 2)), 12)
    regions[7] = ("chr2", 7, 12)
    print((kelpa_arrays.fetch(fasta, given) == kelpa_arrays.fetch(fasta, regions)).all())
"""


def test_a_list_changed_while_it_is_read_is_read_as_it_was_given(source):
    # The names column and the region tuples are converted from a snapshot, as kelpa's batches are.
    assert run_script(CHANGING_LIST_SCRIPT, source.filename) == ["True", "True"]


OUT = "out must be a C-contiguous, writable array of dtype uint8 and shape (2, 3); got "
READ_ONLY = np.zeros((2, 3), np.uint8)
READ_ONLY.setflags(write=False)
BAD_OPTIONS = [  # function, options, the ValueError's message
    ("one_hot", dict(n_value=0.25), "n_value 0.25 cannot be held in uint8"),
    ("one_hot", dict(n_value=0.5, dtype=bool), "n_value 0.5 cannot be held in bool"),
    ("one_hot", dict(n_value=1e10, dtype=np.float16), "n_value 10000000000.0 cannot be held in float16"),
    ("one_hot", dict(n_value=65520, dtype=np.float16), "n_value 65520 cannot be held in float16"),
    ("one_hot", dict(n_value=-1e39, dtype=np.float32), "n_value -1e+39 cannot be held in float32"),
    ("one_hot", dict(dtype=np.int16), "dtype must be one of bool, uint8, float16, float32, float64, got int16"),
    ("codes", dict(dtype=np.float32), "dtype must be one of uint8, int32, int64, got float32"),
    ("codes", dict(table=[0] * 255), "table must have 256 entries, got 255"),
    ("codes", dict(table=[0] * 65 + [300] + [0] * 190), "table[65] is 300, which uint8 cannot hold"),
    ("codes", dict(dtype=np.int64, table=np.full(256, 2**64 - 1, np.uint64)),
     "table[0] is 18446744073709551615, which int64 cannot hold"),
    ("fetch", dict(out=np.zeros((2, 4), np.uint8)), OUT + "shape (2, 4)"),
    ("fetch", dict(out=np.zeros((2, 3), np.int8)), OUT + "dtype int8"),
    ("fetch", dict(out=np.zeros((3, 2), np.uint8).T), OUT + "an array that is not C-contiguous"),
    ("fetch", dict(out=bytes(6)), OUT + "shape (6,)"),
    ("fetch", dict(out=READ_ONLY), OUT + "a read-only array"),
]  # fmt: skip


def test_bad_options_and_outs_name_what_was_expected(source):
    good = dict(names=["chr1", "chr2"], starts=[0, 1], length=3)
    for function, options, message in BAD_OPTIONS:
        check_error(lambda: getattr(kelpa_arrays, function)(source, **good, **options), ValueError, message)
    for call, message in [
        (lambda: kelpa_arrays.fetch("ref.fa", **good), "argument 'source': expected kelpa.Faidx or kelpa.Fasta, got 'str'"),
        (lambda: kelpa_arrays.fetch(source, ["chr1"], [0], None, 3),
         "fetch() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: kelpa_arrays.fetch(source, ["chr1"], [0]), "give ends or length"),
    ]:  # fmt: skip
        check_error(call, TypeError, message)


def test_a_damaged_file_gives_what_a_fetch_gives(tmp_path):
    path = tmp_path / "ref.fa"
    text = write_fasta(path, [("a", "ACGT" * 50), ("b", "GATTACA" * 40)], width=20)
    # An index whose line width does not describe the file: every fill raises what a fetch raises.
    (tmp_path / "ref.fa.fai").write_text("a\t200\t3\t20\t21\nb\t280\t217\t30\t31\n")
    fasta = kelpa.Fasta(os.fspath(path), rebuild=False)
    message = plain_error(fasta.get_seq, "b", 1, 100)
    assert message.startswith("IOError: ")
    names, starts = ["a", "b"] * 400, [0, 0] * 400
    for call in (
        lambda: kelpa_arrays.one_hot(fasta, names[:2], starts[:2], length=100),
        lambda: kelpa_arrays.one_hot(fasta, names, starts, length=100),
        lambda: kelpa_arrays.ragged(fasta, names, starts, [100] * 800),
    ):
        assert plain_error(call) == message
    # A file cut short since it was indexed: the text a fetch gives, padded in windows.
    os.remove(tmp_path / "ref.fa.fai")
    kelpa.Fasta(os.fspath(path))  # builds the index
    path.write_text(text[:-30])  # b loses its last 28 bases
    fasta = kelpa.Fasta(os.fspath(path), rebuild=False)
    short = str(fasta.get_seq("b", 1, 280))
    assert len(short) == 252
    got = kelpa_arrays.ragged(fasta, ["b", "a", "b"] * 300, [0, 0, 250] * 300, [280, 10, 280] * 300)
    assert [got[i] for i in range(3)] == [short.encode(), b"ACGTACGTAC", short[250:].encode()]
    assert bytes(got.data) == (short + "ACGTACGTAC" + short[250:]).encode() * 300
    rows = kelpa_arrays.fetch(fasta, ["b"] * 300, [-2] * 300, length=284)
    assert bytes(rows[0]).decode() == "NN" + short + "N" * 30


# ---- threads and processes ------------------------------------------------------------------
def fill_in_child(fasta, seed):
    rng = random.Random(seed)
    names, starts = random_windows(rng, 200, 400)
    return names, starts, kelpa_arrays.one_hot(fasta, names, starts, length=400, rc=True)


def check_one_hot(names, starts, got, rc=True):
    want = np.array([expected_one_hot(oriented(window(n, s, s + 400), rc)) for n, s in zip(names, starts)], np.uint8)
    assert np.array_equal(got, want)


def test_loader_threads_and_a_spawn_pool_fill_from_one_fasta(source):
    with ThreadPoolExecutor(4) as threads:  # four threads, three fills each
        fills = list(threads.map(lambda seed: [fill_in_child(source, seed * 10 + r) for r in range(3)], range(4)))
    assert sum(map(len, fills)) == 12
    for names, starts, got in (fill for thread in fills for fill in thread):
        check_one_hot(names, starts, got)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        for names, starts, got in pool.starmap(fill_in_child, [(source, seed) for seed in range(4)]):
            check_one_hot(names, starts, got)


def test_both_modules_share_one_core_and_one_pool(tmp_path):
    path = tmp_path / "ref.fa"
    write_fasta(path, [("a", "ACGT" * 5000)])
    script = f"""
import os, sys, kelpa
assert "numpy" not in sys.modules
import kelpa_arrays
threads = lambda: len(os.listdir("/proc/self/task"))
fasta = kelpa.Fasta({os.fspath(path)!r})
before = threads()
fasta.fetch_many([("a", 1, 100)] * 2000)
counts = [threads() - before]
kelpa_arrays.one_hot(fasta, ["a"] * 2000, [0] * 2000, length=100)
kelpa_arrays.ragged(fasta, ["a"] * 2000, [0] * 2000, [100] * 2000)
counts.append(threads() - before)
maps = open("/proc/self/maps").read()
counts.append(len({{line.split()[-1] for line in maps.splitlines() if "libkelpa_core" in line}}))
print(*counts)
"""
    env = dict(os.environ, RAYON_NUM_THREADS="3")
    assert python_output(script, env=env).split() == ["3", "3", "1"]  # 3 workers, started once; one core library


# ---- Arrow ----------------------------------------------------------------------------------
def test_arrow_takes_ragged_without_a_copy(source):
    try:
        import pyarrow as pa
    except ImportError:
        if REQUIRE_PEERS:
            pytest.fail("pyarrow is not installed (KELPA_REQUIRE_PEERS=1)")
        pytest.skip("pyarrow is not installed")
    regions = [("chr1", -5, 20), ("empty", 0, 10), ("chr2", 1230, 1300), ("chrM", 0, 777)]
    result = kelpa_arrays.ragged(source, regions)
    array = pa.array(result)
    assert array.type == pa.large_binary() and array.null_count == 0
    assert array.to_pylist() == [result[i] for i in range(len(result))]
    _, offsets, data = array.buffers()
    assert np.frombuffer(offsets, np.int64).tolist() == result.offsets.tolist()
    assert data.address == result.data.ctypes.data
    del result
    assert array.to_pylist()[3] == RECORDS["chrM"].encode()  # the array keeps the buffers alive


# ---- the loader example -------------------------------------------------------------------
# (docs/arrays.md shows its batches() from the file itself and runs it, its output checked.)
def test_the_loader_example_runs():
    example = ROOT / "examples" / "loader.py"
    got = subprocess.run(
        [sys.executable, os.fspath(example)], capture_output=True, text=True, check=True, cwd=ROOT / "examples"
    )
    assert "batch" in got.stdout
