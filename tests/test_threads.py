"""One object shared by many Python threads: concurrent fetches of every
kind checked against slicing the text, other threads running while a batch
or a large copy runs, a fork amid fetching threads, Ctrl-C in a batch, a batch
started by Python code that another batch calls, a switch interval that
cannot be read."""

import os
import random
import sys
import textwrap
import threading
import time

import pytest
from bgzf_writer import write_bgzf

import kelpa
from conftest import POOL, UNDER_ASAN, UNDER_TSAN, python_output, random_seq, revcomp, write_fasta

RNG = random.Random(16)
# "big" is well above the size from which copies run with the lock released.
TEXTS = {
    "big": random_seq(RNG, 1_500_000, "ACGTacgtN"),
    "mid": random_seq(RNG, 300_001),
    **{f"s{i}": random_seq(RNG, RNG.randint(1, 5000), "ACGTNacgt") for i in range(6)},
}
NAMES = list(TEXTS)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("threads")
    plain = os.fspath(folder / "ref.fa")
    text = write_fasta(plain, TEXTS.items(), width=61)
    packed = os.fspath(folder / "ref.fa.gz")
    write_bgzf(packed, text, block_sizes=[65280, 7, 40000])
    return plain, packed


def random_region(rng, name, spans=(0, 5, 100, 4000, 70_000)):
    length = len(TEXTS[name])
    start = rng.randint(1, length)
    return start, min(length, start + rng.choice(spans))


def one_round(rng, fasta, faidx, mutable, packed, packed_fasta):
    """A random mix of every way to fetch; each result is checked here."""
    name = rng.choice(NAMES)
    text = TEXTS[name]
    s, e = random_region(rng, name)
    source = rng.choice([faidx, mutable, packed])
    assert source.fetch(name, s, e).seq == text[s - 1 : e]
    # A whole record of a BGZF file streams its blocks through the pool,
    # which one caller holds at a time; the others read through the block cache.
    assert rng.choice([faidx, mutable, packed]).fetch_entire_sequence(name).seq == text
    record = rng.choice([fasta, packed_fasta])[name]
    assert str(record[:]) == text
    step = rng.choice([1, 3, -2])
    assert record[s - 1 : e : step].seq == text[s - 1 : e : step]
    assert fasta.get_spliced_seq(name, [(s, e), (1, min(7, len(text)))], rc=True).seq == revcomp(
        text[s - 1 : e] + text[:7]
    )

    count = rng.choice([50, POOL + 200])
    regions = [(n, *random_region(rng, n, (0, 5, 300))) for n in rng.choices(NAMES, k=count)]
    got = rng.choice([faidx, mutable, packed]).fetch_many(regions)
    assert [x.seq for x in got] == [TEXTS[n][a - 1 : b] for n, a, b in regions]
    pairs = [random_region(rng, "mid", (0, 5, 300)) for _ in range(count)]
    got = fasta.fetch_many_same_chr("mid", pairs, rc=True)
    assert [x.seq for x in got] == [revcomp(TEXTS["mid"][a - 1 : b]) for a, b in pairs]

    small = got[rng.randrange(count)]
    assert small.reverse.complement.seq == revcomp(small.seq)
    assert small.complement.seq == revcomp(small.seq)[::-1]

    short = rng.choice(NAMES[2:])
    assert "".join(line.seq for line in fasta[short]) == TEXTS[short]
    assert "".join(line.seq for line in reversed(packed_fasta[short])) == TEXTS[short][::-1]
    if count > POOL:
        failing = regions[:700] + [("nope", 1, 1)] + regions[701:]
        with pytest.raises(RuntimeError, match="^Error fetching region 700: Fetch error: Sequence 'nope' not found$"):
            rng.choice([faidx, packed]).fetch_many(failing)


def test_threads_share_one_object_of_each_kind(files):
    plain, gz = files
    shared = (
        kelpa.Fasta(plain),
        kelpa.Faidx(plain),
        kelpa.Faidx(plain, mutable=True),
        kelpa.Faidx(gz),
        kelpa.Fasta(gz),
    )
    failures = []
    start = threading.Barrier(8)

    def work(seed):
        rng = random.Random(seed)
        start.wait()
        try:
            for _ in range(25):
                one_round(rng, *shared)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append((seed, repr(error)))

    threads = [threading.Thread(target=work, args=(seed,), daemon=True) for seed in range(8)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads change turns as often as they can
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads), "deadlock"
    assert failures == []


def progress_during(call, repeats=1):
    """How far a pure-Python counter in a second thread got during the
    calls, which run in this thread (up to `repeats` of them, stopping at
    the first that let it move)."""
    count = [0]
    stop = False

    def counter():
        while not stop:
            count[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        time.sleep(0.01)
        moved = 0
        for _ in range(repeats):
            before = count[0]
            call()
            moved += count[0] - before
            if moved:
                break
        return moved
    finally:
        stop = True
        thread.join()


def test_other_threads_run_during_a_batch_and_a_large_copy(files):
    faidx = kelpa.Faidx(files[0])
    rng = random.Random(3)
    regions = [(n, *random_region(rng, n, (0, 5, 300))) for n in rng.choices(NAMES, k=200_000)]
    result = []
    assert progress_during(lambda: result.append(faidx.fetch_many(regions))) > 0
    assert [x.seq for x in result[0][::997]] == [TEXTS[n][a - 1 : b] for n, a, b in regions[::997]]
    # A copy of 1.5 MB lets go of the lock: on a busy machine the other
    # thread may need a few of them to be scheduled.
    assert progress_during(lambda: faidx.fetch_entire_sequence("big"), repeats=500) > 0


FORK_SCRIPT = textwrap.dedent("""
    import os, sys, threading, time, warnings
    import kelpa
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads
    plain, packed = sys.argv[1:3]
    fa, gz = kelpa.Faidx(plain), kelpa.Faidx(packed)
    big = fa.fetch_entire_sequence("big").seq
    regions = [("big", i * 100 + 1, i * 100 + 5000) for i in range(3000)]
    expected = [big[a - 1:b] for _, a, b in regions]
    stop = False

    def finish(failure=None):
        global stop
        stop = True
        for thread in threads:
            thread.join()
        sys.exit(failure)

    def work(source, batch):
        while not stop:
            if batch:
                source.fetch_many(regions)
            else:
                source.fetch_entire_sequence("big")

    threads = [threading.Thread(target=work, args=args)
               for args in ((fa, True), (fa, False), (gz, True), (gz, False))]
    for thread in threads:
        thread.start()
    for attempt in range(12):
        time.sleep(0.03)
        pid = os.fork()
        if pid == 0:
            ok = [s.seq for s in fa.fetch_many(regions)] == expected
            ok = ok and [s.seq for s in gz.fetch_many(regions)] == expected
            ok = ok and gz.fetch_entire_sequence("big").seq == big
            ok = ok and kelpa.Faidx(plain, mutable=True).fetch("big", 7, 9).seq == big[6:9]
            os._exit(0 if ok else 2)
        deadline = time.monotonic() + 60
        while not (waited := os.waitpid(pid, os.WNOHANG))[0]:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                finish(f"child {attempt} hung")
            time.sleep(0.01)
        if os.waitstatus_to_exitcode(waited[1]) != 0:
            finish(f"child {attempt} exited with {os.waitstatus_to_exitcode(waited[1])}")
    print("ok")
    finish()
""")


@pytest.mark.skipif(UNDER_TSAN, reason="ThreadSanitizer does not follow a child forked from many threads")
@pytest.mark.skipif(
    UNDER_ASAN,
    reason="AddressSanitizer's allocator (GCC 12) is not locked across fork(): "
    "a child can wait for ever on a lock a thread of its parent held",
)
def test_fork_while_other_threads_fetch(files):
    assert python_output(FORK_SCRIPT, *files, timeout=600) == "ok\n"


INTERRUPT_SCRIPT = textwrap.dedent("""
    import os, signal, sys, threading, time
    # A test run started in the background by a shell without job control
    # (`make test &`) inherits SIGINT ignored, and Python then installs no
    # handler of its own: put the interactive one in place.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    import kelpa
    fa = kelpa.Faidx(sys.argv[1])
    limit = float(sys.argv[2])
    regions = [("big", i % 1000 + 1, i % 1000 + 4000) for i in range(200_000)]
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    began = time.monotonic()
    try:
        while time.monotonic() - began < 2 * limit:
            fa.fetch_many(regions)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic() - began < limit)
""")


def test_ctrl_c_during_batches_is_delivered(files):
    # A batch under ThreadSanitizer runs some ten times slower.
    limit = 90 if UNDER_TSAN else 30
    assert python_output(INTERRUPT_SCRIPT, files[0], limit, timeout=2 * limit + 60) == "interrupted True\n"


REENTRY_SCRIPT = textwrap.dedent("""
    import sys
    import kelpa
    plain, packed = sys.argv[1:3]
    fa, gz = kelpa.Faidx(plain), kelpa.Faidx(packed)
    regions = [("mid", s, s + 99) for s in range(1, 300_000, 150)]
    expected = [fa.fetch_entire_sequence("mid").seq[a - 1:b] for _, a, b in regions]
    # A batch reads sys.getswitchinterval() when it first lets other threads
    # run: as it converts its regions, and again while it plans them with
    # the pool taken. Each time, batches run here, on the same thread.
    real, nested = sys.getswitchinterval, []

    def interval():
        if sys.getswitchinterval is interval:
            sys.getswitchinterval = real
            nested.extend([fa.fetch_many(regions), gz.fetch_many(regions)])
            sys.getswitchinterval = interval
        return real()

    sys.getswitchinterval = interval
    outer = [gz.fetch_many(regions), fa.fetch_many(regions)]
    print(len(nested), all([s.seq for s in got] == expected for got in outer + nested))
""")


def test_batch_run_from_python_code_a_batch_calls(files):
    assert python_output(REENTRY_SCRIPT, *files) == "8 True\n"


@pytest.mark.parametrize("raised", [KeyboardInterrupt, MemoryError, ValueError, "not a number"])
@pytest.mark.parametrize("call", [1, 2], ids=["converting", "planning"])
def test_switch_interval_that_cannot_be_read(files, monkeypatch, raised, call):
    # A batch reads sys.getswitchinterval() as it converts its regions, and
    # again as it plans them. What must not be dropped goes on; any other
    # failure leaves the default interval.
    faidx = kelpa.Faidx(files[0])
    regions = [("mid", s, s + 9) for s in range(1, 30_000, 10)]
    expected = [TEXTS["mid"][a - 1 : b] for _, a, b in regions]
    calls = []

    def interval():
        calls.append(1)
        if len(calls) != call:
            return 0.005
        if isinstance(raised, str):
            return raised
        raise raised("read")

    monkeypatch.setattr(sys, "getswitchinterval", interval)
    goes_on = raised in (KeyboardInterrupt, MemoryError)
    if goes_on:
        with pytest.raises(raised, match="^read$"):
            faidx.fetch_many(regions)
    else:
        assert [s.seq for s in faidx.fetch_many(regions)] == expected
    assert len(calls) == (call if goes_on else 2)
    assert [s.seq for s in faidx.fetch_many(regions)] == expected
