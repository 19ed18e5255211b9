"""What using kelpa leaves behind, and kelpa shared by Python threads.

Fetching, opening, failing to open and dropping objects leave the open file
descriptors, the mappings of the FASTA file, resident memory and the caller's
reference counts as they were. One Faidx or Fasta serves several threads at
once with the text a lone thread gets.
"""

import gc
import itertools
import os
import random
import sys

import pytest

import kelpa
from conftest import INVALID_UTF8, MAPPED_OR_NOT, POOL, UNDER_ASAN, random_seq, revcomp, write_bytes, write_fasta

MiB = 1 << 20
RNG = random.Random(2024)
TEXTS = {"big": random_seq(RNG, 30_000, "ACGTacgtN"), "mid": random_seq(RNG, 4_321), "one": "G"}


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def mappings(path):
    """Lines of /proc/self/maps that map `path` (also once it is deleted)."""
    with open("/proc/self/maps") as maps:
        lines = maps.read().splitlines()
    return sum(line.removesuffix(" (deleted)").endswith(" " + os.path.realpath(path)) for line in lines)


def rss_growth_since(start):
    """Growth of resident memory, or 0 under AddressSanitizer (its quarantine keeps freed memory)."""
    with open("/proc/self/statm") as statm:
        now = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return 0 if UNDER_ASAN else now - start


def fresh(text):
    """An equal str that is not an interned constant, so its reference count is ours."""
    return "".join(list(text))


@pytest.fixture
def ref(tmp_path):
    path = os.fspath(tmp_path / "ref.fa")
    write_fasta(path, [(name + " description", text) for name, text in TEXTS.items()], width=61)
    return path


# --- leaks -------------------------------------------------------------------------
def test_a_million_fetches_leave_nothing_behind(ref):
    fa, fasta = kelpa.Faidx(ref), kelpa.Fasta(ref)
    record, big, mid = fasta["big"], fresh("big"), fresh("mid")
    pairs = [(i * 7 % 29_000 + 1, i * 7 % 29_000 + 1 + i % 900) for i in range(98_000)]
    regions = [(big, s, e) for s, e in pairs[:950]] + [(mid, 1, 4_400)] * 50  # clamped on the pool
    small = [(mid, i + 1, i + 40) for i in range(900)]
    counts = lambda: (
        [sys.getrefcount(x) for x in (big, mid, pairs[0], regions[-1], small[0])],
        open_fds(),
        mappings(ref),
    )

    def round_():  # 204,000 fetches
        out = fa.fetch_many_same_chr(big, pairs)
        assert [s.seq for s in out[::997]] == [TEXTS["big"][s - 1 : e] for s, e in pairs[::997]]
        out = fasta.fetch_many(regions, rc=True)
        assert (out[0].seq, out[-1].seq) == (revcomp(TEXTS["big"][:1]), revcomp(TEXTS["mid"]))
        for _ in range(50):
            fa.fetch_many(small)
        for i in range(25_000):
            fa.fetch(big, *pairs[i])
            fasta.get_seq(mid, i % 4_000 + 1, i % 4_000 + 300, rc=bool(i & 1))
        for i in range(10_000):
            record[i : i + 30]
        assert fa.fetch_entire_sequence(mid).seq == TEXTS["mid"]

    for _ in range(2):  # warm-up: the pool, the allocator's arenas
        round_()
    before, memory = counts(), rss_growth_since(0)
    for _ in range(3):
        round_()
    assert counts() == before
    assert rss_growth_since(memory) < 8 * MiB


def test_opening_and_dropping_ten_thousand_objects(ref):
    name, key = fresh(ref), object()
    base = (open_fds(), sys.getrefcount(key))

    def cycle(n):
        for i in range(n):
            f = (kelpa.Fasta, kelpa.Faidx)[i & 1](name, key_function=key, filt_function=key, mutable=i % 4 < 2)
            assert "one" in f

    cycle(500)
    names, memory = sys.getrefcount(name), rss_growth_since(0)
    cycle(9_500)
    assert (open_fds(), sys.getrefcount(key), sys.getrefcount(name), mappings(ref)) == base + (names, 0)
    assert rss_growth_since(memory) < 4 * MiB


def test_failed_openings_release_everything(tmp_path, ref):
    paths = {n: os.fspath(tmp_path / f"{n}.fa") for n in ("badindex", "binary", "noindex", "missing")}
    write_fasta(paths["badindex"], [("a", "ACGT")])
    write_bytes(paths["badindex"] + ".fai", b"a\t4\t3\t4\t5\nb\t4\t3\tx\t5\n")
    write_bytes(paths["binary"], b">a\nAC\xffGT\n")
    write_fasta(paths["noindex"], [("a", "ACGT")])
    cases = [  # (filename, options, exception type, start of the message)
        (fresh(paths["missing"]), {}, Exception, "FastaNotFoundError: "),
        (fresh(paths["badindex"]), {}, Exception, "FastaIndexingError: Invalid lenc"),
        (fresh(paths["badindex"]), {"mutable": True}, Exception, "FastaIndexingError: Invalid lenc"),
        (fresh(paths["noindex"]), {"build_index": False}, Exception, "IndexNotFoundError: "),
        (fresh(paths["binary"]), {}, Exception, INVALID_UTF8),
        (fresh(ref), {"strict_bounds": 1}, TypeError, "argument 'strict_bounds': 'int' object cannot be"),
        (fresh(ref), {"read_ahead": -1}, OverflowError, ""),
        (ref.encode(), {}, TypeError, "argument 'filename': 'bytes' object cannot be converted to 'PyString'"),
    ]
    key = object()
    counts = lambda: (
        [sys.getrefcount(c[0]) for c in cases],
        sys.getrefcount(key),
        open_fds(),
        sum(mappings(p) for p in [ref, *paths.values()]),
    )

    def fail_all(rounds):
        for i in range(rounds):
            for filename, options, error, message in cases:
                try:  # not pytest.raises: its traceback would keep the arguments alive until collected
                    (kelpa.Faidx, kelpa.Fasta)[i & 1](filename, key_function=key, filt_function=key, **options)
                    got = None
                except Exception as e:
                    got = (type(e), str(e)[: len(message)])
                assert got == (error, message)

    fail_all(2)
    before = counts()
    fail_all(125)  # 1,000 failed constructions
    assert counts() == before
    assert not os.path.exists(paths["noindex"] + ".fai") and not os.path.exists(paths["binary"] + ".fai")


@MAPPED_OR_NOT
def test_last_holder_releases_the_file_in_any_order(ref, mutable):
    base = open_fds()
    held = lambda: mappings(ref) + open_fds() - base  # the mapping, or the open file
    gc.disable()  # reference counting alone must release it
    try:
        for order in itertools.permutations(["fasta", "record", "records", "chunks"]):
            fasta = kelpa.Fasta(ref, mutable=mutable)
            holders = {"fasta": fasta, "record": fasta["big"], "records": iter(fasta), "chunks": iter(fasta["mid"])}
            del fasta
            values = [next(holders["chunks"]), holders["record"][5:9], -holders["record"][0:3]]
            next(holders["records"])
            for name in order:
                assert held() == 1
                del holders[name]
            assert held() == 0, order
            assert [s.seq for s in values] == [TEXTS["mid"][:61], TEXTS["big"][5:9], revcomp(TEXTS["big"][:3])]
    finally:
        gc.enable()


def test_cycles_through_key_function_are_collected(ref):
    class Key:
        pass

    for kind in (kelpa.Fasta, kelpa.Faidx):
        gc.disable()
        try:
            key = Key()
            key.owner = kind(ref, key_function=key, filt_function=key)
            if kind is kelpa.Fasta:
                key.parts = [key.owner["big"], iter(key.owner), iter(key.owner["one"])]
            del key
            assert mappings(ref) == 1  # only the collector can find the cycle
        finally:
            gc.enable()
        gc.collect()
        assert mappings(ref) == 0


def test_reads_nest_within_calls_of_the_same_fasta(ref):
    fasta = kelpa.Fasta(ref)
    record, mid, seen = fasta["mid"], TEXTS["mid"], []

    def reenter():
        count = POOL if len(seen) < 6 else 1  # a pool batch within each call but the thousand conversions
        seen.append(
            (
                fasta.get_seq("big", 1, 3).seq,
                record[2:4].seq,
                next(iter(record)).seq[:2],
                len(fasta),
                fasta.fetch_many_same_chr("mid", [(1, 2)] * count)[-1].seq,
                next(iter(fasta)).name,
                "one" in fasta,
                fasta.get_spliced_seq("mid", [(1, 1), (3, 3)]).seq,
            )
        )

    five = lambda: type("Five", (), {"__index__": lambda self: reenter() or 5})()  # re-enters, then gives 5
    assert fasta.get_seq("mid", five(), 9, rc=True).seq == revcomp(mid[4:9])
    assert (record[five()].seq, record[five() : 7].seq, record[: 9 : five()].seq) == (mid[5], mid[5:7], mid[:9:5])
    assert fasta.get_spliced_seq("mid", [(1, five())]).seq == mid[:5]
    assert {s.seq for s in fasta.fetch_many([("mid", 1, five())] * POOL, rc=True)} == {revcomp(mid[:5])}
    assert fasta.fetch_many_same_chr("mid", [(five(), 6)]).pop().seq == mid[4:6]
    assert len(seen) == 6 + POOL and set(seen) == {
        (TEXTS["big"][:3], mid[2:4], mid[:2], 30_000 + 4_321 + 1, mid[:2], "big", True, mid[0] + mid[2])
    }
