"""Batches and long fetches on a file that is not in memory: every batch
door, and a whole record, gives what it gives on a warm file, whichever way
the file's residency is learnt (or not), and the reads of a cold batch or of
a cold long fetch are merged and in flight together.

Each run is a fresh process that evicts the file's pages
(posix_fadvise DONTNEED, which pages mapped in a live mapping would
survive) before each batch, after the open, which maps no page. The kernel says which pages are in memory only to a process that
could write the file; the runs as a user who cannot (root without its
capabilities, on a file of the user nobody's) learn it another way.
"""

import json
import os
import random
import shutil
import subprocess
import sys
import textwrap

import pytest
from bgzf_writer import write_bgzf

from conftest import PROGRAM, nobody_directory, preloading, random_seq, write_fasta

RECORDS = [(f"chr{k}", 3_000_000 + 37_000 * k) for k in range(6)]  # ~18 MB: more than the open reads ahead
REGIONS = 3000  # on the worker pool (from 1000 on)

CHILD = r"""
import json, os, sys
path, regions_path, evict, kind = sys.argv[1:5]
regions = [tuple(r) for r in json.load(open(regions_path))]

def cold():  # every page out; for "part", every other 256 KiB back in
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    if evict == "part":
        for at in range(0, os.fstat(fd).st_size, 512 << 10):
            os.pread(fd, 256 << 10, at)
    os.close(fd)

import kelpa, kelpa_arrays
# The open reads the file's head, and the kernel may read megabytes ahead
# of that: the pages go after the open (no page is mapped yet), before
# each batch.
fa = kelpa.Faidx(path, mutable=kind == "mutable")
cold()
out = {"many": [str(s) for s in fa.fetch_many(regions)]}
name = regions[0][0]
same = [(s, e) for n, s, e in regions if n == name]
cold()
out["same"] = [str(s) for s in fa.fetch_many_same_chr(name, same)]
cold()
hot = kelpa_arrays.one_hot(fa, [r[0] for r in regions], [r[1] - 1 for r in regions], length=300)
out["one_hot"] = hot.argmax(-1).astype("uint8").tobytes().hex() + hot.sum(-1).astype("uint8").tobytes().hex()
# Single long fetches, read ahead in order: the last record whole (to the
# file's end), and most of another from the middle of a line.
cold()
out["whole"] = str(fa.fetch_entire_sequence("chr5"))
cold()
out["long"] = str(fa.fetch("chr2", 1001, 3_074_000 - 999))
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    """(folder, path, texts, regions): a FASTA file of nobody's, mode 0644,
    in a folder everyone can reach, and regions in random order."""
    top = nobody_directory()
    rng = random.Random(36)
    texts = {name: random_seq(rng, n, "ACGTacgtN") for name, n in RECORDS}
    path = top / "cold.fa"
    text = write_fasta(path, list(texts.items()))
    write_bgzf(top / "cold.fa.gz", text.encode())
    for name in ("cold.fa", "cold.fa.gz"):
        subprocess.run([PROGRAM, "faidx", str(top / name)], check=True)
    regions = []
    for _ in range(REGIONS):
        name, n = rng.choice(RECORDS)
        start = rng.randrange(1, n - 400)
        regions.append((name, start, start + rng.randrange(0, 400)))
    (top / "regions.json").write_text(json.dumps(regions))
    with open(top / "regions.txt", "w") as f:
        f.writelines(f"{n}:{s}-{e}\n" for n, s, e in regions)
    for name in os.listdir(top):
        with open(top / name, "rb") as f:  # dirty pages cannot be evicted
            os.fsync(f.fileno())
        os.chmod(top / name, 0o644)
        if os.geteuid() == 0:
            os.chown(top / name, 65534, 65534)
    yield top, path, texts, regions
    shutil.rmtree(top)


def truth(texts, regions):
    return [texts[name][start - 1 : end] for name, start, end in regions]


def one_hot_truth(texts, regions):
    codes = {"A": 0, "C": 1, "G": 2, "T": 3}
    argmax, sums = bytearray(), bytearray()
    for name, start, _ in regions:
        window = texts[name][start - 1 : start - 1 + 300].upper().ljust(300, "N")
        argmax.extend(codes.get(base, 0) for base in window)
        sums.extend(0 if base not in codes else 1 for base in window)
    return argmax.hex() + sums.hex()


def unprivileged():
    """A prefix running a command as a user who cannot write the genome."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is missing: root cannot drop its capabilities here")
    return ["setpriv", "--bounding-set=-all", "--inh-caps=-all", "--"]


def run_child(genome, evict, env=None, user=(), kind="plain"):
    top, path = genome[0], genome[1]
    if kind == "bgzf":
        path = top / "cold.fa.gz"
    done = subprocess.run(
        [*user, sys.executable, "-c", CHILD, str(path), str(top / "regions.json"), evict, kind],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("kind", ["plain", "mutable", "bgzf"])
@pytest.mark.parametrize("evict", ["all", "part"])
@pytest.mark.parametrize("way", ["mincore", "unwritable", "pread", "off"])
def test_cold_batches_equal_warm_results(genome, evict, way, kind):
    _, _, texts, regions = genome
    if kind == "mutable" and way == "unwritable":
        pytest.skip("mutable=True opens the file for writing")
    env = dict(os.environ)
    if way in ("pread", "off"):
        env["KELPA_READ_AHEAD"] = way
    got = run_child(genome, evict, env, unprivileged() if way == "unwritable" else (), kind)
    assert got["many"] == truth(texts, regions)
    name = regions[0][0]
    assert got["same"] == truth(texts, [r for r in regions if r[0] == name])
    assert got["one_hot"] == one_hot_truth(texts, regions)
    assert got["whole"] == texts["chr5"]
    assert got["long"] == texts["chr2"][1000:-999]


@pytest.mark.parametrize("way", ["mincore", "unwritable"])
def test_the_program_reads_a_cold_file_as_a_warm_one(genome, tmp_path, way):
    top, path, texts, regions = genome
    evict = [
        sys.executable,
        "-c",
        f"import os; fd = os.open({str(path)!r}, os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)",
    ]
    subprocess.run(evict, check=True)
    user = unprivileged() if way == "unwritable" else []
    done = subprocess.run(
        [*user, PROGRAM, "faidx", str(path), "-r", str(top / "regions.txt"), "-n", "1000"],
        capture_output=True,
        text=True,
        check=True,
    )
    lines = done.stdout.splitlines()
    assert lines[1::2] == truth(texts, regions)
    assert lines[0::2] == [f">{n}:{s}-{e}" for n, s, e in regions]


# A test source: pread of the genome, counted and slowed by 2 ms, as a
# network filesystem's round trip. It reports the reads, their bytes and the
# most in flight at once when the process ends.
SLOW_PREAD = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static atomic_long reads, bytes, flying, most;

static int is_genome(int fd) {
    static long inode = -1;
    if (inode < 0) inode = atol(getenv("SLOW_INODE"));
    struct stat status;
    return fstat(fd, &status) == 0 && (long)status.st_ino == inode;
}

ssize_t pread64(int fd, void* buffer, size_t n, off_t at) {
    static ssize_t (*real)(int, void*, size_t, off_t);
    if (!real) real = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    if (!is_genome(fd)) return real(fd, buffer, n, at);
    long now = atomic_fetch_add(&flying, 1) + 1;
    for (long seen = atomic_load(&most); now > seen && !atomic_compare_exchange_weak(&most, &seen, now);) {}
    usleep(2000);
    ssize_t got = real(fd, buffer, n, at);
    atomic_fetch_sub(&flying, 1);
    atomic_fetch_add(&reads, 1);
    if (got > 0) atomic_fetch_add(&bytes, got);
    return got;
}
ssize_t pread(int fd, void* buffer, size_t n, off_t at) { return pread64(fd, buffer, n, at); }

// As FUSE does, SLOW_REFUSE_NOWAIT refuses reads that must not wait.
ssize_t preadv2(int fd, const struct iovec* vector, int count, off_t at, int flags) {
    static ssize_t (*real)(int, const struct iovec*, int, off_t, int);
    if (!real) real = (ssize_t (*)(int, const struct iovec*, int, off_t, int))dlsym(RTLD_NEXT, "preadv2");
    if (getenv("SLOW_REFUSE_NOWAIT") && is_genome(fd)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real(fd, vector, count, at, flags);
}

__attribute__((destructor)) static void report(void) {
    FILE* out = fopen(getenv("SLOW_REPORT"), "w");
    if (out) { fprintf(out, "%ld %ld %ld\n", atomic_load(&reads), atomic_load(&bytes), atomic_load(&most)); fclose(out); }
}
"""


def counted(tmp_path, path, body, mutable=False, **settings):
    """Runs `body` in a fresh process on `path`, opened as `fa` and evicted,
    through the counting source: (what it printed, [reads, bytes, most in
    flight]). `settings` go to the environment."""
    env = preloading(str(tmp_path), SLOW_PREAD)
    env.update(SLOW_INODE=str(os.stat(path).st_ino), SLOW_REPORT=str(tmp_path / "report"), **settings)
    script = textwrap.dedent(f"""
        import json, os, kelpa
        path = {str(path)!r}
        fa = kelpa.Faidx(path, mutable={mutable})
        fd = os.open(path, os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED); os.close(fd)
    """) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout, list(map(int, (tmp_path / "report").read_text().split()))


# Where residency cannot be learnt ("refused": no mincore, no RWF_NOWAIT),
# a second batch trusts what the first read ahead and reads nothing again.
@pytest.mark.parametrize("way", ["mincore", "pread", "refused"])
def test_a_cold_batch_reads_merged_ranges_together(genome, tmp_path, way):
    top, path, texts, regions = genome
    settings = {"KELPA_READ_AHEAD": "pread"} if way != "mincore" else {}
    if way == "refused":
        settings["SLOW_REFUSE_NOWAIT"] = "1"
    body = f"""
        regions = [tuple(r) for r in json.load(open({str(top / "regions.json")!r}))]
        first = [str(s) for s in fa.fetch_many(regions)]
        assert [str(s) for s in fa.fetch_many(regions[::-1])] == first[::-1]
        print(json.dumps(first))
    """
    printed, (reads, size, most) = counted(tmp_path, path, body, **settings)
    assert json.loads(printed) == truth(texts, regions)
    file_size = os.stat(path).st_size
    # Merged: a read per 256 KiB of the file (the regions cover it all), not one per region.
    assert 0 < reads <= file_size // (256 << 10) + 8 < REGIONS // 20
    assert size <= file_size
    # Issued together: many in flight at once.
    assert most >= 8
    # Disabled, nothing is read ahead: the mapping is read page by page.
    printed, (reads, _, _) = counted(tmp_path, path, body, KELPA_READ_AHEAD="off")
    assert json.loads(printed) == truth(texts, regions)
    assert reads == 0


# A long fetch of a cold file (plain, read with pread, BGZF) reads its pages
# ahead, many in flight; disabled, the mapping is read page by page and
# pread one read at a time (BGZF's blocks, a read per worker).
@pytest.mark.parametrize("kind", ["plain", "mutable", "bgzf"])
def test_a_cold_long_fetch_reads_ahead_together(genome, tmp_path, kind):
    top, path, texts, _ = genome
    if kind == "bgzf":
        path = top / "cold.fa.gz"
    counts = {}
    for mode in ("best", "off"):
        printed, counts[mode] = counted(
            tmp_path, path, 'print(fa.fetch_entire_sequence("chr5"))', kind == "mutable", KELPA_READ_AHEAD=mode
        )
        assert printed.strip() == texts["chr5"]
    _, size, most = counts["best"]
    assert most >= 6
    # chr5 is a sixth of the file. Read ahead once; with pread (and BGZF's
    # blocks) the extraction reads it again, from memory, and is counted again.
    assert size <= os.stat(path).st_size * 2 // 5
    if kind == "plain":
        assert counts["off"][0] == 0  # the mapping, page by page, reads no pread
    elif kind == "mutable":
        assert counts["off"][2] == 1  # one read at a time
    else:  # each block once: the checks before the copy do not skip the stream past them
        assert counts["off"][1] <= os.stat(path).st_size // 4


# Regions in file order on a cold BGZF file: the batch reads their blocks
# ahead, many at once, instead of block after block on each worker.
def test_a_cold_bgzf_batch_in_file_order_reads_ahead(genome, tmp_path):
    top, _, texts, regions = genome
    ordered = sorted(regions)
    body = f"print(json.dumps([str(s) for s in fa.fetch_many({ordered!r})]))"
    printed, (_, _, most) = counted(tmp_path, top / "cold.fa.gz", body)
    assert json.loads(printed) == truth(texts, ordered)
    assert most >= 8
