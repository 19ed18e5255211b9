"""Batch fetches on Faidx: fetch_many, fetch_many_same_chr and the worker pool.

Below 1000 regions a batch runs region by region on the calling thread (with
the warnings and exceptions of a single fetch); from 1000 regions on it runs on
the process-wide worker pool, which clamps silently and reports the lowest
failing position.
"""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kelpa
from conftest import random_seq, write_fasta

POOL = 1000  # smallest batch that runs on the worker pool

RNG = random.Random(7)
CHR1 = random_seq(RNG, 100)  # shorter than a pool batch
CHR2 = random_seq(RNG, 1500)  # at least one base per region of a pool batch
LOWER = "acgtnNACGTxy-*" * 3


@pytest.fixture
def ref(make_fasta):
    return make_fasta([("chr1 first", CHR1), ("chr2", CHR2), ("low", LOWER)], width=60)


@pytest.fixture
def faidx(ref):
    return kelpa.Faidx(ref)


def run_batch(f, method, regions):
    """Run `regions` (name, start, end) through fetch_many, or through
    fetch_many_same_chr with the name of the first region."""
    if method == "fetch_many":
        return f.fetch_many(regions)
    return f.fetch_many_same_chr(regions[0][0], [(s, e) for _, s, e in regions])


def padded(count, placed, filler=("chr1", 1, 1)):
    """`count` regions: `placed` maps positions to regions, the rest is filler."""
    return [placed.get(i, filler) for i in range(count)]


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


BOTH = pytest.mark.parametrize("method", ["fetch_many", "fetch_many_same_chr"])


# --- the interface ---------------------------------------------------------

FETCH_MANY_DOC = "\n".join([
    "High-performance batch fetch for many sequences",
    "",
    "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:",
    "- Sequential processing for small batches (< 1000 regions) to avoid overhead",
    "- Parallel processing for large batches to maximize throughput",
    "",
    "Args:",
    "    regions: List of (name, start, end) tuples specifying regions to fetch",
    "",
    "Returns:",
    "    List of Sequence objects in the same order as input regions",
    "",
    "Example:",
    '    >>> regions = [("chr1", 1000, 2000), ("chr2", 5000, 6000)]',
    "    >>> sequences = faidx.fetch_many(regions)",
])

FETCH_MANY_SAME_CHR_DOC = "\n".join([
    "Ultra-fast batch fetch for regions from the same chromosome",
    "",
    "Optimized for BED file processing where many regions come from the same chromosome.",
    "Uses smart batching like fetch_many but optimized for single chromosome access.",
    "",
    "Args:",
    "    name: Chromosome/sequence name",
    "    regions: List of (start, end) tuples",
    "",
    "Returns:",
    "    List of Sequence objects in the same order as input regions",
    "",
    "Example:",
    "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]",
    '    >>> sequences = faidx.fetch_many_same_chr("chr1", regions)',
])


@pytest.mark.parametrize("method, signature, doc", [
    ("fetch_many", "($self, regions)", FETCH_MANY_DOC),
    ("fetch_many_same_chr", "($self, name, regions)", FETCH_MANY_SAME_CHR_DOC),
])
def test_docstrings(method, signature, doc):
    func = getattr(kelpa.Faidx, method)
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc


@pytest.mark.parametrize("call, message", [
    (lambda f: f.fetch_many(),
     "Faidx.fetch_many() missing 1 required positional argument: 'regions'"),
    (lambda f: f.fetch_many([], []),
     "Faidx.fetch_many() takes 1 positional arguments but 2 were given"),
    (lambda f: f.fetch_many([], regions=[]),
     "Faidx.fetch_many() got multiple values for argument 'regions'"),
    (lambda f: f.fetch_many(regions=[], rc=True),
     "Faidx.fetch_many() got an unexpected keyword argument 'rc'"),
    (lambda f: f.fetch_many_same_chr(),
     "Faidx.fetch_many_same_chr() missing 2 required positional arguments: 'name' and 'regions'"),
    (lambda f: f.fetch_many_same_chr("chr1"),
     "Faidx.fetch_many_same_chr() missing 1 required positional argument: 'regions'"),
])
def test_argument_binding_errors(faidx, call, message):
    with pytest.raises(TypeError) as e:
        call(faidx)
    assert str(e.value) == message


def test_keywords_and_index_objects(faidx):
    expected = [CHR1[0:4], CHR1[4:8]]
    by_keyword = faidx.fetch_many(regions=[("chr1", 1, 4), ("chr1", 5, 8)])
    same_chr = faidx.fetch_many_same_chr(regions=[(1, 4), (5, 8)], name="chr1")
    numpy_ints = faidx.fetch_many([("chr1", np.uint64(1), np.int64(4)), ("chr1", 5, np.int32(8))])
    for result in (by_keyword, same_chr, numpy_ints):
        assert [s.seq for s in result] == expected


# --- small batches -----------------------------------------------------------

def test_one_region(faidx):
    out = faidx.fetch_many([("chr1", 1, 4)])
    assert type(out) is list
    assert [fields(s) for s in out] == [("chr1", CHR1[:4], 1, 4, False)]
    assert fields(out[0]) == fields(faidx.fetch("chr1", 1, 4))


def test_same_chr_keeps_order(faidx):
    out = faidx.fetch_many_same_chr("chr1", [(5, 8), (1, 4), (5, 8)])
    assert [(s.seq, s.start, s.end) for s in out] == [
        (CHR1[4:8], 5, 8), (CHR1[0:4], 1, 4), (CHR1[4:8], 5, 8)]


def test_tuple_container_and_mixed_records(faidx):
    out = faidx.fetch_many((("chr2", 1400, 1500), ("chr1", 100, 100), ("low", 1, 42)))
    assert [s.seq for s in out] == [CHR2[1399:1500], CHR1[99], LOWER]
    assert [s.name for s in out] == ["chr2", "chr1", "low"]


@pytest.mark.parametrize("call", [
    lambda f: f.fetch_many([]),
    lambda f: f.fetch_many(()),
    lambda f: f.fetch_many_same_chr("chr1", []),
    lambda f: f.fetch_many_same_chr("no-such-record", []),
    lambda f: f.fetch_many_same_chr("no-such-record", ()),
])
def test_empty_batches(faidx, call):
    assert call(faidx) == []


# --- bad input ---------------------------------------------------------------

BAD_REGIONS = [
    ("chr1", "Can't extract `str` to `Vec`"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    ({("chr1", 1, 2)}, "'set' object cannot be converted to 'Sequence'"),
    ({"chr1": (1, 2)}, "'dict' object cannot be converted to 'Sequence'"),
    ((r for r in [("chr1", 1, 2)]), "'generator' object cannot be converted to 'Sequence'"),
    (iter([("chr1", 1, 2)]), "'list_iterator' object cannot be converted to 'Sequence'"),
    ([["chr1", 1, 2]], "'list' object cannot be converted to 'PyTuple'"),
    ([("chr1", 1, 2), "chr1"], "'str' object cannot be converted to 'PyTuple'"),
    ([("chr1", 1)], "expected tuple of length 3, but got tuple of length 2"),
    ([("chr1", 1, 2, 3)], "expected tuple of length 3, but got tuple of length 4"),
    ([(1, 1, 2)], "'int' object cannot be converted to 'PyString'"),
    ([(b"chr1", 1, 2)], "'bytes' object cannot be converted to 'PyString'"),
    ([("chr1", 1.5, 2)], "'float' object cannot be interpreted as an integer"),
    ([("chr1", 1, "2")], "'str' object cannot be interpreted as an integer"),
    # items are converted in order; the first failure is reported
    ([("chr1", 1, 2), ["chr1", 1, 2], ("chr1", 1)], "'list' object cannot be converted to 'PyTuple'"),
    ([("chr1", 1), ["chr1", 1, 2]], "expected tuple of length 3, but got tuple of length 2"),
]


@pytest.mark.parametrize("regions, message", BAD_REGIONS)
def test_fetch_many_rejects_bad_regions(faidx, regions, message):
    with pytest.raises(TypeError) as e:
        faidx.fetch_many(regions)
    assert str(e.value) == "argument 'regions': " + message


BAD_PAIRS = [
    ("chr1", "Can't extract `str` to `Vec`"),
    ((p for p in [(1, 2)]), "'generator' object cannot be converted to 'Sequence'"),
    ([[1, 2]], "'list' object cannot be converted to 'PyTuple'"),
    ([(1,)], "expected tuple of length 2, but got tuple of length 1"),
    ([("chr1", 1, 2)], "expected tuple of length 2, but got tuple of length 3"),
    ([(1, 2.0)], "'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("regions, message", BAD_PAIRS)
def test_fetch_many_same_chr_rejects_bad_regions(faidx, regions, message):
    with pytest.raises(TypeError) as e:
        faidx.fetch_many_same_chr("chr1", regions)
    assert str(e.value) == "argument 'regions': " + message


def test_fetch_many_same_chr_rejects_bad_name(faidx):
    with pytest.raises(TypeError) as e:
        faidx.fetch_many_same_chr(1, [(1, 2)])
    assert str(e.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("call", [
    lambda f: f.fetch_many([("chr1", -1, 4)]),
    lambda f: f.fetch_many([("chr1", 1, -4)]),
    lambda f: f.fetch_many([("chr1", 1, 2**64)]),
    lambda f: f.fetch_many_same_chr("chr1", [(1, 2), (-1, 4)]),
])
def test_negative_or_oversized_coordinates_overflow(faidx, call):
    with pytest.raises(OverflowError) as e:
        call(faidx)
    assert not str(e.value).startswith("argument")


@pytest.mark.parametrize("count", [2, POOL + 1])
def test_bad_input_fetches_nothing(faidx, capfd, count):
    # The first region would warn if it were fetched before the bad last one.
    regions = [("chr1", 150, 200)] * (count - 1) + [("chr1", 1)]
    with pytest.raises(TypeError):
        faidx.fetch_many(regions)
    assert capfd.readouterr().err == ""


# --- unknown names -----------------------------------------------------------

@pytest.mark.parametrize("count, positions", [(1, [0]), (10, [3, 7]), (POOL - 1, [0, 998])])
def test_unknown_name_sequential(faidx, count, positions):
    placed = {p: (f"x{p}", 1, 1) for p in positions}
    with pytest.raises(Exception) as e:
        faidx.fetch_many(padded(count, placed))
    assert type(e.value) is Exception
    assert str(e.value) == f"FetchError: Sequence 'x{positions[0]}' not found"


def test_sequential_stops_at_first_failure(faidx, capfd):
    regions = [("chr1", 95, 200), ("x", 1, 1), ("chr1", 96, 200)]
    with pytest.raises(Exception, match="^FetchError: Sequence 'x' not found$"):
        faidx.fetch_many(regions)
    # The region before the failure was fetched (it warned), the one after not.
    assert capfd.readouterr().err == (
        "WARNING: coordinates 95-200 are out of bounds for sequence 'chr1' of length 100\n")


@pytest.mark.parametrize("count, positions", [
    (POOL, [0]), (POOL, [5, 700]), (POOL, [999]), (POOL, [998, 999]), (5000, [4321, 4999]),
])
def test_unknown_name_in_pool_reports_lowest_position(faidx, capfd, count, positions):
    placed = {p: (f"x{p}", 1, 1) for p in reversed(positions)}
    with pytest.raises(RuntimeError) as e:
        faidx.fetch_many(padded(count, placed))
    p = positions[0]
    assert str(e.value) == f"Error fetching region {p}: Fetch error: Sequence 'x{p}' not found"
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("count", [1, POOL - 1, POOL])
def test_same_chr_unknown_name_fails_before_fetching(faidx, count):
    with pytest.raises(Exception) as e:
        faidx.fetch_many_same_chr("chrX", [(1, 1)] * count)
    assert type(e.value) is Exception
    assert str(e.value) == "FetchError: Sequence 'chrX' not found"


# --- the threshold and the coordinate rules on either side ----------------

def test_input_order_at_threshold(faidx, capfd):
    regions = [("chr2", i + 1, i + 1) for i in range(POOL)]
    for out in (faidx.fetch_many(regions), run_batch(faidx, "same", regions)):
        assert len(out) == POOL
        assert all(s.seq == CHR2[i] and s.start == s.end == i + 1 for i, s in enumerate(out))
    assert capfd.readouterr().err == ""


def oob(s, e, length=100, name="chr1"):
    return f"WARNING: coordinates {s}-{e} are out of bounds for sequence '{name}' of length {length}\n"


ZERO = "WARNING: coordinates cannot be 0 (1-based indexing)\n"

# region -> (seq, start, end, warnings) on the calling thread, chr1 of 100 bases
SEQUENTIAL_LENIENT = [
    ((1, 100), CHR1, 1, 100, ""),
    ((95, 200), CHR1[94:], 95, 100, oob(95, 200)),
    ((150, 200), "", 150, 150, oob(150, 200)),
    ((101, 101), "", 101, 101, oob(101, 101)),
    ((0, 3), "", 0, 3, ZERO),
    ((0, 200), "", 0, 100, oob(0, 200) + ZERO),
    ((6, 5), "", 6, 5, "WARNING: start coordinate 6 is greater than end coordinate 5\n"),
]

# region -> (seq, start, end) on the worker pool: no warnings at all
POOL_LENIENT = [
    ((1, 100), CHR1, 1, 100),
    ((95, 200), CHR1[94:], 95, 100),
    ((100, 300), CHR1[99], 100, 100),
    ((150, 200), "", 150, 150),
    ((150, 120), "", 150, 150),
    ((101, 101), "", 101, 101),
    ((0, 3), CHR1[:3], 1, 3),
    ((0, 0), CHR1[0], 1, 1),
    ((6, 5), "", 6, 5),
    ((5, 0), "", 5, 1),
]


@BOTH
@pytest.mark.parametrize("region, seq, start, end, warnings", SEQUENTIAL_LENIENT)
def test_lenient_coordinates_sequential(faidx, capfd, method, region, seq, start, end, warnings):
    regions = padded(POOL - 1, {500: ("chr1", *region)})
    out = run_batch(faidx, method, regions)[500]
    assert (out.seq, out.start, out.end) == (seq, start, end)
    assert capfd.readouterr().err == warnings


@BOTH
@pytest.mark.parametrize("region, seq, start, end", POOL_LENIENT)
def test_lenient_coordinates_pool(faidx, capfd, method, region, seq, start, end):
    regions = padded(POOL, {500: ("chr1", *region)})
    out = run_batch(faidx, method, regions)
    assert (out[500].seq, out[500].start, out[500].end) == (seq, start, end)
    assert out[499].seq == out[501].seq == CHR1[0]
    assert capfd.readouterr().err == ""


@BOTH
@pytest.mark.parametrize("region, message", [
    ((95, 200), "coordinates 95-200 are out of bounds for sequence 'chr1' of length 100"),
    ((0, 200), "coordinates 0-200 are out of bounds for sequence 'chr1' of length 100"),
    ((0, 3), "coordinates cannot be 0 (1-based indexing)"),
    ((3, 0), "coordinates cannot be 0 (1-based indexing)"),
    ((6, 5), "start coordinate 6 is greater than end coordinate 5"),
])
def test_strict_bounds_sequential(ref, method, region, message):
    f = kelpa.Faidx(ref, strict_bounds=True)
    with pytest.raises(IndexError) as e:
        run_batch(f, method, padded(POOL - 1, {10: ("chr1", *region)}))
    assert str(e.value) == message


@BOTH
@pytest.mark.parametrize("region", [(0, 3), (3, 0), (0, 0), (6, 5), (101, 101), (100, 101), (150, 200)])
def test_strict_bounds_pool(ref, method, region):
    f = kelpa.Faidx(ref, strict_bounds=True)
    regions = padded(POOL, {10: ("chr1", *region), 20: ("chr1", 0, 1)})
    with pytest.raises(RuntimeError) as e:
        run_batch(f, method, regions)
    where = "10" if method == "fetch_many" else "10 from chr1"
    s, e_ = region
    assert str(e.value) == (f"Error fetching region {where}: Invalid region: "
                            f"Invalid region chr1:{s}-{e_} (sequence length: 100)")


@BOTH
def test_strict_bounds_pool_accepts_valid_regions(ref, method):
    f = kelpa.Faidx(ref, strict_bounds=True)
    regions = padded(POOL, {0: ("chr1", 1, 100), 1: ("chr1", 100, 100), 2: ("chr1", 5, 5)})
    out = run_batch(f, method, regions)
    assert [s.seq for s in out[:3]] == [CHR1, CHR1[99], CHR1[4]]


@pytest.mark.parametrize("first, second, message", [
    (("chr1", 0, 1), ("nope", 1, 1),
     "Error fetching region 10: Invalid region: Invalid region chr1:0-1 (sequence length: 100)"),
    (("nope", 1, 1), ("chr1", 0, 1),
     "Error fetching region 10: Fetch error: Sequence 'nope' not found"),
])
def test_pool_reports_lowest_failure_of_any_kind(ref, first, second, message):
    f = kelpa.Faidx(ref, strict_bounds=True)
    with pytest.raises(RuntimeError) as e:
        f.fetch_many(padded(POOL, {10: first, 20: second}))
    assert str(e.value) == message


@pytest.mark.parametrize("options", [
    {},
    {"sequence_always_upper": True},
    {"one_based_attributes": False},
    {"as_raw": True},
    {"mutable": True},
])
@pytest.mark.parametrize("count", [1, POOL])
def test_options_agree_with_single_fetch(ref, options, count):
    f = kelpa.Faidx(ref, **options)
    regions = [("low", 3, 40), ("chr1", 2, 99), ("chr2", 1, 1500)]
    out = f.fetch_many(regions + [("chr1", 1, 1)] * (count - len(regions)))
    for s, region in zip(out, regions):
        assert fields(s) == fields(f.fetch(*region))


# --- agreement with the file's text ----------------------------------------

LAYOUTS = [
    pytest.param(60, "\n", {}, id="wrapped-60"),
    pytest.param(1, "\n", {}, id="one-base-lines"),
    pytest.param(7, "\r\n", {}, id="crlf-7"),
    pytest.param(None, "\n", {}, id="single-line"),
    pytest.param(13, "\r\n", {"mutable": True}, id="read-through-file"),
]


@pytest.mark.parametrize("width, eol, options", LAYOUTS)
@pytest.mark.parametrize("count", [300, POOL, 4000])
def test_batches_match_text(tmp_path, width, eol, options, count):
    rng = random.Random(count * 31 + (width or 0))
    texts = {f"r{i}": random_seq(rng, rng.randint(1, 700), "ACGTNacgtn") for i in range(5)}
    path = str(tmp_path / "layout.fa")
    write_fasta(path, list(texts.items()), width=width, eol=eol)
    f = kelpa.Faidx(path, **options)

    regions = []
    for _ in range(count):
        name = rng.choice(list(texts))
        length = len(texts[name])
        s = rng.randint(1, length)
        regions.append((name, s, rng.randint(s, length)))
    out = f.fetch_many(regions)
    assert [s.seq for s in out] == [texts[n][s - 1:e] for n, s, e in regions]
    assert [(s.name, s.start, s.end) for s in out] == regions

    pairs = [(s, e) for n, s, e in regions if n == "r0"] * (count // 50 + 1)
    out = f.fetch_many_same_chr("r0", pairs)
    assert [s.seq for s in out] == [texts["r0"][s - 1:e] for s, e in pairs]


def test_a_million_tiny_regions(faidx):
    n = 1_000_000
    out = faidx.fetch_many([("chr2", i % 1500 + 1, i % 1500 + 1) for i in range(n)])
    assert len(out) == n
    for i in list(range(0, n, 9973)) + [n - 1]:
        assert (out[i].seq, out[i].start) == (CHR2[i % 1500], i % 1500 + 1)
    del out
    out = faidx.fetch_many_same_chr("chr1", [(i % 100 + 1, i % 100 + 2) for i in range(n)])
    for i in list(range(0, n, 9973)) + [n - 1]:
        p = i % 100
        assert out[i].seq == CHR1[p:p + 2]


# --- re-entry and Python threads -------------------------------------------

def test_conversion_may_reenter_the_same_faidx(faidx):
    class Reentrant:
        def __index__(self):
            return len(faidx.fetch_many([("chr1", 1, 3)])[0].seq)

    out = faidx.fetch_many([("chr1", 1, Reentrant())] * POOL)
    assert {s.seq for s in out} == {CHR1[:3]}


def test_python_threads_share_the_pool(faidx):
    regions = [("chr2", i % 1500 + 1, 1500) for i in range(2 * POOL)]
    expected = [CHR2[i % 1500:] for i in range(2 * POOL)]
    failures = []

    def work():
        for _ in range(3):
            if [s.seq for s in faidx.fetch_many(regions)] != expected:
                failures.append("mismatch")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


# --- the worker pool ---------------------------------------------------------

POOL_SCRIPT = textwrap.dedent("""
    import os, sys
    import kelpa

    def threads():
        return len(os.listdir("/proc/self/task"))

    at_import = threads()
    f = kelpa.Faidx(sys.argv[1])
    text = f.fetch("chr2", 1, 1500).seq
    small = f.fetch_many([("chr2", i + 1, i + 1) for i in range(999)])
    after_small = threads()
    out = f.fetch_many([("chr2", i % 1500 + 1, i % 1500 + 1) for i in range(3000)])
    assert [s.seq for s in out] == [text[i % 1500] for i in range(3000)]
    after_pool = threads()
    os.environ["RAYON_NUM_THREADS"] = "7"
    out = f.fetch_many_same_chr("chr2", [(1, i + 1) for i in range(1500)])
    assert [s.seq for s in out] == [text[:i + 1] for i in range(1500)]
    print(at_import, after_small, after_pool, threads())
""")

DEFAULT = None  # one worker per online processor


@pytest.mark.parametrize("env, workers", [
    ({}, DEFAULT),
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "4", "RAYON_RS_NUM_CPUS": "1"}, 4),
    ({"RAYON_NUM_THREADS": "0"}, DEFAULT),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, DEFAULT),
    ({"RAYON_NUM_THREADS": "garbage", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "1"}, 1),
    ({"RAYON_NUM_THREADS": " 2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "garbage"}, DEFAULT),
    ({"RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_RS_NUM_CPUS": "+1"}, 1),
    ({"RAYON_RS_NUM_CPUS": "0"}, DEFAULT),
    ({"RAYON_RS_NUM_CPUS": "many"}, DEFAULT),
])
def test_pool_size_from_environment(ref, env, workers):
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    proc = subprocess.run([sys.executable, "-c", POOL_SCRIPT, ref], env={**base, **env},
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    at_import, after_small, after_pool, at_end = map(int, proc.stdout.split())
    if workers is DEFAULT:
        workers = max(1, os.sysconf("SC_NPROCESSORS_ONLN"))
    # No thread before the first parallel batch; then the workers, and the
    # size is not read again.
    assert (at_import, after_small) == (1, 1)
    assert after_pool == at_end == 1 + workers


def wait_for_child(pid, limit=120):
    deadline = time.monotonic() + limit
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("forked child did not finish")
        time.sleep(0.02)


@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
def test_forked_child_runs_pool_batches(faidx):
    regions = [("chr2", i + 1, 1500) for i in range(1500)]
    expected = [CHR2[i:] for i in range(1500)]
    assert [s.seq for s in faidx.fetch_many(regions)] == expected  # the parent's pool is up

    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            ok = [s.seq for s in faidx.fetch_many(regions)] == expected
            ok = ok and [s.seq for s in faidx.fetch_many_same_chr(
                "chr2", [(s, e) for _, s, e in regions])] == expected
            code = 0 if ok else 2
        finally:
            os._exit(code)
    assert wait_for_child(pid) == 0
    assert [s.seq for s in faidx.fetch_many(regions)] == expected  # and the parent's still works


EXIT_SCRIPT = textwrap.dedent("""
    import sys
    import kelpa
    f = kelpa.Faidx(sys.argv[1])
    out = f.fetch_many([("chr2", 1, 1500)] * 2000)
    assert len(out) == 2000
    how = sys.argv[2]
    if how == "exit":
        sys.exit(3)
    if how == "raise":
        raise SystemError("boom")
""")


@pytest.mark.parametrize("how, code", [("return", 0), ("exit", 3), ("raise", 1)])
def test_interpreter_exits_with_a_live_pool(ref, how, code):
    proc = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, ref, how],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == code, proc.stderr
    assert "Fatal" not in proc.stderr
