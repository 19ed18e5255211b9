"""Batch fetches on Faidx: fetch_many, fetch_many_same_chr and the worker pool.

Below 1000 regions a batch runs region by region on the calling thread (with
the warnings and exceptions of a single fetch); from 1000 regions on it runs on
the process-wide worker pool, which clamps silently and reports the lowest
failing position.
"""

import os
import random
import resource
import subprocess
import sys
import textwrap

import pytest

import kelpa
from conftest import EMULATED, POOL, UNDER_ASAN, fields, oob, python_output, random_seq

RNG = random.Random(7)
CHR1 = random_seq(RNG, 100)  # shorter than a pool batch
CHR2 = random_seq(RNG, 1500)  # at least one base per region of a pool batch
LOWER = "acgtnNACGTxy-*" * 3
BOTH = pytest.mark.parametrize("method", ["fetch_many", "fetch_many_same_chr"])


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


# ---- small batches ------------------------------------------------------------
def test_small_batches_keep_input_order(faidx):
    regions = (("chr2", 1400, 1500), ("chr1", 100, 100), ("low", 1, 42), ("chr1", 5, 8), ("chr1", 1, 4))
    out = faidx.fetch_many(regions)  # a tuple is a sequence too
    assert type(out) is list and [fields(s) for s in out] == [fields(faidx.fetch(*r)) for r in regions]
    assert [s.seq for s in out] == [CHR2[1399:], CHR1[99], LOWER, CHR1[4:8], CHR1[:4]]
    out = faidx.fetch_many_same_chr("chr1", [(5, 8), (1, 4), (5, 8)])
    assert [(s.seq, s.start, s.end) for s in out] == [(CHR1[4:8], 5, 8), (CHR1[0:4], 1, 4), (CHR1[4:8], 5, 8)]
    assert faidx.fetch_many([]) == faidx.fetch_many(()) == faidx.fetch_many_same_chr("chr1", []) == []
    assert faidx.fetch_many_same_chr("no-such-record", []) == []


@pytest.mark.parametrize("count", [2, POOL + 1])
def test_bad_input_fetches_nothing(faidx, capfd, count):
    # The first region would warn if it were fetched before the bad last one.
    with pytest.raises(TypeError):
        faidx.fetch_many([("chr1", 150, 200)] * (count - 1) + [("chr1", 1)])
    assert capfd.readouterr().err == ""


# ---- unknown names --------------------------------------------------------------
@pytest.mark.parametrize(
    "count, positions",
    [(3, [1]), (POOL - 1, [1, 500]), (POOL, [0]), (POOL, [5, 700]), (POOL, [999]), (5000, [4321, 4999])],
)
def test_unknown_names(faidx, capfd, count, positions):
    # Below the pool a batch stops at the first failure: the region before it
    # was fetched (it warned), the ones after not. The pool reports the lowest
    # failing position and warns about nothing.
    regions = padded(
        count, {0: ("chr1", 95, 200), count - 1: ("chr1", 96, 200), **{p: (f"x{p}", 1, 1) for p in reversed(positions)}}
    )
    p = positions[0]
    with pytest.raises(Exception) as e:
        faidx.fetch_many(regions)
    if count < POOL:
        assert (type(e.value), str(e.value)) == (Exception, f"FetchError: Sequence 'x{p}' not found")
        assert capfd.readouterr().err == oob(95, 200, "chr1", 100)
    else:
        assert (type(e.value), str(e.value)) == (
            RuntimeError,
            f"Error fetching region {p}: Fetch error: Sequence 'x{p}' not found",
        )
        assert capfd.readouterr().err == ""
    with pytest.raises(Exception) as e:  # an unknown record of a batch on one record fails before any fetch
        faidx.fetch_many_same_chr("chrX", [(1, 1)] * count)
    assert (type(e.value), str(e.value)) == (Exception, "FetchError: Sequence 'chrX' not found")


# ---- the threshold and the coordinate rules on either side ------------------
def test_input_order_at_threshold(faidx, capfd):
    regions = [("chr2", i + 1, i + 1) for i in range(POOL)]
    for out in (faidx.fetch_many(regions), run_batch(faidx, "fetch_many_same_chr", regions)):
        assert len(out) == POOL
        assert all(s.seq == CHR2[i] and s.start == s.end == i + 1 for i, s in enumerate(out))
    assert capfd.readouterr().err == ""


def outcome(call, capfd):
    try:
        result = [fields(s) for s in call()]
    except IndexError as e:
        result = ("IndexError", str(e))
    return result, capfd.readouterr().err


@BOTH
@pytest.mark.parametrize("strict", [False, True])
def test_below_threshold_a_batch_warns_and_raises_as_single_fetches(ref, capfd, method, strict):
    f = kelpa.Faidx(ref, strict_bounds=strict)
    for region in [(95, 200), (150, 200), (0, 3), (3, 0), (0, 200), (6, 5)]:
        single = outcome(lambda: [f.fetch("chr1", *region)], capfd)
        batch = outcome(lambda: run_batch(f, method, padded(POOL - 1, {500: ("chr1", *region)}))[500:501], capfd)
        assert batch == single, region
        assert single[0][0] == "IndexError" if strict else single[1], region  # each raises, or warns


# region -> (seq, start, end) on the worker pool, chr1 of 100 bases: no warnings at all
POOL_LENIENT = [
    ((95, 200), CHR1[94:], 95, 100),
    ((150, 200), "", 150, 150),
    ((150, 120), "", 150, 150),
    ((101, 101), "", 101, 101),
    ((0, 3), CHR1[:3], 1, 3),
    ((0, 0), CHR1[0], 1, 1),
    ((6, 5), "", 6, 5),
    ((5, 0), "", 5, 1),
]


@BOTH
@pytest.mark.parametrize("region, seq, start, end", POOL_LENIENT)
def test_lenient_coordinates_pool(faidx, capfd, method, region, seq, start, end):
    out = run_batch(faidx, method, padded(POOL, {500: ("chr1", *region)}))
    assert (out[500].seq, out[500].start, out[500].end) == (seq, start, end)
    assert out[499].seq == out[501].seq == CHR1[0]
    assert capfd.readouterr().err == ""


@BOTH
@pytest.mark.parametrize("region", [(0, 3), (3, 0), (6, 5), (100, 101), (150, 200)])
def test_strict_bounds_pool(ref, method, region):
    f = kelpa.Faidx(ref, strict_bounds=True)
    valid = {0: ("chr1", 1, 100), 1: ("chr1", 100, 100), 2: ("chr1", 5, 5)}
    assert [s.seq for s in run_batch(f, method, padded(POOL, valid))[:3]] == [CHR1, CHR1[99], CHR1[4]]
    with pytest.raises(RuntimeError) as e:
        run_batch(f, method, padded(POOL, {10: ("chr1", *region), 20: ("chr1", 0, 1)}))
    where = "10" if method == "fetch_many" else "10 from chr1"
    assert str(e.value) == (
        f"Error fetching region {where}: Invalid region: "
        f"Invalid region chr1:{region[0]}-{region[1]} (sequence length: 100)"
    )


@pytest.mark.parametrize(
    "first, second, message",
    [
        (("chr1", 0, 1), ("nope", 1, 1), "Invalid region: Invalid region chr1:0-1 (sequence length: 100)"),
        (("nope", 1, 1), ("chr1", 0, 1), "Fetch error: Sequence 'nope' not found"),
    ],
)
def test_pool_reports_lowest_failure_of_any_kind(ref, first, second, message):
    with pytest.raises(RuntimeError) as e:
        kelpa.Faidx(ref, strict_bounds=True).fetch_many(padded(POOL, {10: first, 20: second}))
    assert str(e.value) == "Error fetching region 10: " + message


@pytest.mark.parametrize(
    "options",
    [{}, {"sequence_always_upper": True}, {"one_based_attributes": False}, {"as_raw": True}, {"mutable": True}],
)
@pytest.mark.parametrize("count", [1, POOL])
def test_options_agree_with_single_fetch(ref, options, count):
    f = kelpa.Faidx(ref, **options)
    regions = [("low", 3, 40), ("chr1", 2, 99), ("chr2", 1, 1500)]
    out = f.fetch_many(regions + [("chr1", 1, 1)] * (count - len(regions)))
    for s, region in zip(out, regions):
        assert fields(s) == fields(f.fetch(*region))


class Name(str):
    pass


def test_pool_batch_over_many_records_in_random_order(make_fasta):
    # More records than regions in a row share, names as fresh objects (some
    # of a str subclass), and regions that are empty or run past the end.
    rng = random.Random(3)
    texts = {f"r{i}": random_seq(rng, rng.randint(1, 3000), "ACGTNacgtn") for i in range(150)}
    f = kelpa.Faidx(make_fasta(list(texts.items()), width=70))
    names = list(texts)
    regions = []
    for _ in range(20_000):
        name = rng.choice(names)
        start = rng.randint(1, len(texts[name]) + 2)
        end = start + rng.randint(-1, 2100)
        regions.append((rng.choice([str, Name, "".join])(name), start, end))
    want = []
    for name, start, end in regions:
        text = texts[name]
        if start > len(text):  # past the end: empty, at the requested start
            want.append((name, str, "", start, start))
            continue
        last = min(max(end, 1), len(text))  # an end of 0 counts as 1
        want.append((name, str, text[start - 1 : last], start, last))
    assert [(s.name, type(s.name), s.seq, s.start, s.end) for s in f.fetch_many(regions)] == want


def test_a_million_tiny_regions(faidx):
    n = 1_000_000
    sample = list(range(0, n, 9973)) + [n - 1]
    out = faidx.fetch_many([("chr2", i % 1500 + 1, i % 1500 + 1) for i in range(n)])
    assert len(out) == n
    assert [(out[i].seq, out[i].start) for i in sample] == [(CHR2[i % 1500], i % 1500 + 1) for i in sample]
    del out
    out = faidx.fetch_many_same_chr("chr1", [(i % 100 + 1, i % 100 + 2) for i in range(n)])
    assert [out[i].seq for i in sample] == [CHR1[i % 100 : i % 100 + 2] for i in sample]


# ---- the worker pool ------------------------------------------------------------
POOL_SCRIPT = textwrap.dedent("""
    import os, sys

    # Counted from a process of one thread (an emulator may add its own).
    base = len(os.listdir("/proc/self/task")) - 1
    def threads():
        return len(os.listdir("/proc/self/task")) - base

    import kelpa

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


@pytest.mark.parametrize(
    "env, workers",
    [
        ({}, DEFAULT),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "4", "RAYON_RS_NUM_CPUS": "1"}, 4),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, DEFAULT),
        ({"RAYON_NUM_THREADS": "garbage", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 2", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "garbage"}, DEFAULT),
        ({"RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_RS_NUM_CPUS": "0"}, DEFAULT),
    ],
)
def test_pool_size_from_environment(ref, env, workers):
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    at_import, after_small, after_pool, at_end = map(int, python_output(POOL_SCRIPT, ref, env={**base, **env}).split())
    if workers is DEFAULT:
        workers = max(1, os.sysconf("SC_NPROCESSORS_ONLN"))
    # No thread before the first parallel batch; then the workers, and the
    # size is not read again.
    assert (at_import, after_small) == (1, 1)
    assert after_pool == at_end == 1 + workers


EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import kelpa

    fa = kelpa.Faidx(sys.argv[1], mutable=sys.argv[2] == "mutable")
    regions = [("chr2", i % 1000 + 1, i % 1000 + 500) for i in range(3000)]

    def work(batch):
        while True:
            fa.fetch_many(regions) if batch else fa.fetch("chr2", 1, 1500)

    for batch in (True, True, False):
        threading.Thread(target=work, args=(batch,), daemon=True).start()
    time.sleep(0.25)
    print("exiting", flush=True)
    if sys.argv[3] == "exit":
        sys.exit(3)
    if sys.argv[3] == "raise":
        raise SystemError("boom")
""")


@pytest.mark.parametrize("how, mode, code", [("return", "mapped", 0), ("exit", "mutable", 3), ("raise", "mapped", 1)])
def test_interpreter_exits_while_threads_are_mid_batch(ref, how, mode, code):
    proc = subprocess.run(
        [sys.executable, "-c", EXIT_SCRIPT, ref, mode, how], capture_output=True, text=True, timeout=120
    )
    assert (proc.returncode, proc.stdout) == (code, "exiting\n"), proc.stderr
    assert proc.stderr.splitlines()[-1:] == (["SystemError: boom"] if how == "raise" else [])


OUT_OF_MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    import kelpa

    f = kelpa.Faidx(sys.argv[1])
    small = [("big", i + 1, i + 1000) for i in range(2000)]
    assert len(f.fetch_many(small)) == 2000  # the pool is running
    # Room for about a hundred of these texts: the batch runs out of memory
    # while the workers copy the regions handed to them before.
    with open("/proc/self/statm") as handle:
        mapped = int(handle.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (200 << 20), resource.RLIM_INFINITY))
    try:
        f.fetch_many([("big", 1, 2_000_000)] * 3000)
    except MemoryError:
        print("MemoryError")
    out = f.fetch_many(small)  # the pool is free for the next batch
    print(len(out), out[-1].seq == f.fetch("big", 2000, 2999).seq)
""")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer aborts when the address space runs out")
@pytest.mark.skipif(EMULATED, reason="qemu-user does not apply RLIMIT_AS to the program it runs")
def test_running_out_of_memory_mid_batch(make_fasta):
    ref = make_fasta([("big", random_seq(random.Random(1), 2_000_000))], width=80)
    assert python_output(OUT_OF_MEMORY_SCRIPT, ref) == "MemoryError\n2000 True\n"


CHANGING_LIST_SCRIPT = textwrap.dedent("""
    import sys
    import kelpa

    fasta = kelpa.Fasta(sys.argv[1])
    fa = kelpa.Faidx(sys.argv[1])

    class Emptying:  # a coordinate that empties the caller's list and refills it with other names
        def __init__(self, regions, value):
            self.regions, self.value = regions, value

        def __index__(self):
            filler = ("x" * 64 + "1", 1, 2) if len(self.regions[0]) == 3 else (1, 2)
            self.regions.clear()
            self.regions.extend([filler] * 5000)
            return self.value

    for n in (10, 2000):
        regions = [("chr2", i + 1, i + 10) for i in range(n)]
        regions[n // 2] = ("chr2", Emptying(regions, 7), 20)
        print([s.seq for s in fa.fetch_many(regions)] == [CHR2[i:i + 10] for i in range(n)][:n // 2] +
              [CHR2[6:20]] + [CHR2[i:i + 10] for i in range(n)][n // 2 + 1:])
        pairs = [(i + 1, i + 10) for i in range(n)]
        pairs[n // 2] = (Emptying(pairs, 7), 20)
        print([s.seq for s in fasta.fetch_many_same_chr("chr2", pairs)][n // 2] == CHR2[6:20])
    intervals = [(1, 4), (10, 14)]  # 1-based, inclusive
    intervals.insert(1, (Emptying(intervals, 5), 9))
    print(fasta.get_spliced_seq("chr2", intervals).seq == CHR2[:14])
""")


def test_a_region_list_changed_while_it_is_read(ref):
    script = f"CHR2 = {CHR2!r}\n" + CHANGING_LIST_SCRIPT
    assert python_output(script, ref) == "True\n" * 5


STARVED_POOL_SCRIPT = textwrap.dedent("""
    import sys
    import kelpa

    fa = kelpa.Faidx(sys.argv[1])
    regions = [("chr2", i % 1500 + 1, 1500) for i in range(2000)]
    for _ in range(2):  # the second batch tries to start the missing workers again
        out = fa.fetch_many(regions)
        # Checked a region at a time: the workers that started may have
        # left next to no room.
        print(all(s.seq == CHR2[i % 1500:] for i, s in enumerate(out)), flush=True)
        del out
""")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer aborts when the address space runs out")
@pytest.mark.parametrize("stack", [None, 16 << 30], ids=["some_start", "none_start"])
def test_pool_whose_workers_cannot_all_start(ref, stack):
    def limit():  # 400 workers of 8 MiB stacks do not fit into 1 GiB; with 16 GiB stacks none does
        if stack:
            resource.setrlimit(resource.RLIMIT_STACK, (stack, resource.RLIM_INFINITY))
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))

    script = f"CHR2 = {CHR2!r}\n" + STARVED_POOL_SCRIPT
    env = {**os.environ, "RAYON_NUM_THREADS": "400"}
    proc = subprocess.run(
        [sys.executable, "-c", script, ref], env=env, preexec_fn=limit, capture_output=True, text=True, timeout=60
    )
    # The workers that started may leave less room than a stack (under 8 MiB)
    # for anything else: then the interpreter (3.11's, which needs more than
    # 3.13's) or the batch may run out of memory, which must be a clean
    # MemoryError; what is given is right.
    if proc.returncode != 0 and proc.stderr.rstrip().endswith("MemoryError"):
        assert proc.returncode == 1 and set(proc.stdout.splitlines()) <= {"True"}, proc.stderr
    else:
        assert (proc.returncode, proc.stdout) == (0, "True\nTrue\n"), proc.stderr
