"""Arrays for machine learning: kelpa_arrays beside the pipelines users write
today, same run.

    .venv/bin/python bench/bench_arrays.py [--quick]

The workload: 200,000 windows of 1,000 bases at random places on the
400 Mbp genome (bench/data/genome.fa), 10% of them running off a record's
end, half of them reverse complemented. Every call allocates its output
fresh unless the row says out=. Each figure is the median of 5 runs.

The baseline pipeline (one_hot_pipeline below) is written once and used for
every peer: fetch the windows as strings padded with N by hand, join and
encode once, a 256-entry lookup table to codes 0-4, the rc rows reversed and
mapped through [3, 2, 1, 0, 4], one-hot by comparing with arange(4). Its
result is checked identical to kelpa_arrays.one_hot's.

Rows:
  one_hot    uint8: kelpa_arrays vs pysam + pipeline and kelpa fetch_many +
             pipeline
  codes      uint8 into a given out vs numpy copying as many bytes between
             two prefaulted arrays
  ragged     the 200,000 regions of bench/data/regions.bed vs fetch_many to
             str, vs numpy copying the text into a fresh array; growth of
             anonymous memory against the text's size
  training   256 windows of 1,000 bases: kelpa vs pysam + pipeline
  enformer   64 windows of 196,608 bases, float32 one-hot, and where its
             time goes
  bgzf       the one_hot workload on genome.fa.gz
  small      where the worker pool starts to pay: time per base of one_hot
             calls of growing size
"""

import argparse
import gc
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import genome  # noqa: E402

import kelpa  # noqa: E402
import kelpa_arrays  # noqa: E402

try:
    import pysam
except ImportError:
    pysam = None

WINDOW = 1000
LUT = np.full(256, 4, np.uint8)
for _code, _letters in enumerate(("Aa", "Cc", "Gg", "Tt")):
    for _letter in _letters:
        LUT[ord(_letter)] = _code
RC_CODES = np.array([3, 2, 1, 0, 4], np.uint8)


def median(fn, repeats):
    gc.collect()
    gc.disable()
    try:
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - start)
            del result
        return statistics.median(times)
    finally:
        gc.enable()


def workload(names, lengths, count, window, seed=1):
    """Record positions, starts, rc flags: 10% off a record's end, half rc."""
    rng = np.random.default_rng(seed)
    records = rng.integers(0, len(names), count)
    starts = (rng.random(count) * (lengths[records] - window)).astype(np.int64)
    off = rng.random(count) < 0.1
    starts[off] = lengths[records[off]] - rng.integers(1, window, off.sum())
    rc = rng.random(count) < 0.5
    return records, starts, rc


def padded_texts(fetch, names, lengths, records, starts, window):
    """Step 1: every window as a str, padded with N by hand."""
    texts = []
    for record, start in zip(records.tolist(), starts.tolist()):
        name, length = names[record], lengths[record]
        lo, hi = max(start, 0), min(start + window, length)
        text = fetch(name, lo, hi) if hi > lo else ""
        texts.append("N" * (lo - start) + text + "N" * (start + window - lo - len(text)))
    return texts


def one_hot_pipeline(texts, rc, window):
    """Steps 2-5: join and encode once, codes, rc rows, one-hot."""
    joined = np.frombuffer("".join(texts).encode(), np.uint8)
    codes = LUT[joined].reshape(len(texts), window)
    codes[rc] = RC_CODES[codes[rc, ::-1]]
    return (codes[..., None] == np.arange(4, dtype=np.uint8)).astype(np.uint8)


def kelpa_fetcher(faidx):
    """fetch(name, lo, hi) over kelpa's fetch_many: all windows in one batch."""

    def texts(names, lengths, records, starts, window):
        regions, where = [], []
        for i, (record, start) in enumerate(zip(records.tolist(), starts.tolist())):
            lo, hi = max(start, 0), min(start + window, lengths[record])
            if hi > lo:
                regions.append((names[record], lo + 1, hi))
                where.append(i)
        got = dict(zip(where, (str(s) for s in faidx.fetch_many(regions))))
        out = []
        for i, (record, start) in enumerate(zip(records.tolist(), starts.tolist())):
            lo = max(start, 0)
            text = got.get(i, "")
            out.append("N" * (lo - start) + text + "N" * (start + window - lo - len(text)))
        return out

    return texts


def anon_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    return 0


def row(label, ours, peers=()):
    text = f"{label:<54} {ours:>12}"
    if peers:
        text += "   " + "; ".join(peers)
    print(text, flush=True)


def seconds(value):
    return f"{value * 1000:.1f} ms" if value < 1 else f"{value:.3f} s"


def ratio(peer, ours):
    return f"{peer / ours:.1f}x"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20,000 windows, 2 runs")
    args = parser.parse_args()
    count = 20_000 if args.quick else 200_000
    repeats = 2 if args.quick else 5

    paths = {"genome": genome.genome_fasta(), "regions": genome.regions_bed()}
    faidx = kelpa.Faidx(str(paths["genome"]))
    fasta = kelpa.Fasta(str(paths["genome"]))
    names = faidx.keys
    lengths = np.array([len(fasta[name]) for name in names], np.int64)
    lengths_list = lengths.tolist()
    records, starts, rc = workload(names, lengths, count, WINDOW)
    print(
        f"# {count} windows of {WINDOW} bases on {paths['genome'].name}, 10% off a record's end, half rc; "
        f"median of {repeats}"
    )
    if pysam is None:
        print("# pysam is not installed (make bench-deps): its rows are skipped")

    # --- one_hot against the pipelines, checked identical ------------------
    ours = kelpa_arrays.one_hot(faidx, records, starts, length=WINDOW, rc=rc)
    fetch_many_texts = kelpa_fetcher(faidx)
    assert np.array_equal(
        ours, one_hot_pipeline(fetch_many_texts(names, lengths_list, records, starts, WINDOW), rc, WINDOW)
    )
    peers_text = []
    t_ours = median(lambda: kelpa_arrays.one_hot(faidx, records, starts, length=WINDOW, rc=rc), repeats)
    t_kelpa = median(
        lambda: one_hot_pipeline(fetch_many_texts(names, lengths_list, records, starts, WINDOW), rc, WINDOW), repeats
    )
    peers_text.append(f"kelpa fetch_many + pipeline {seconds(t_kelpa)} ({ratio(t_kelpa, t_ours)})")
    if pysam is not None:
        with pysam.FastaFile(str(paths["genome"])) as theirs:
            assert np.array_equal(
                ours,
                one_hot_pipeline(padded_texts(theirs.fetch, names, lengths_list, records, starts, WINDOW), rc, WINDOW),
            )
            t_pysam = median(
                lambda: one_hot_pipeline(
                    padded_texts(theirs.fetch, names, lengths_list, records, starts, WINDOW), rc, WINDOW
                ),
                repeats,
            )
        peers_text.append(f"pysam + pipeline {seconds(t_pysam)} ({ratio(t_pysam, t_ours)})")
    row("one_hot uint8, fresh output", seconds(t_ours), peers_text)
    del ours

    # --- codes into a given out vs the memory floor ------------------------
    out = np.ones((count, WINDOW), np.uint8)
    other = np.ones((count, WINDOW), np.uint8)
    t_codes = median(lambda: kelpa_arrays.codes(faidx, records, starts, length=WINDOW, rc=rc, out=out), repeats)
    t_copy = median(lambda: np.copyto(other, out), repeats)
    row(
        "codes uint8 into out=",
        seconds(t_codes),
        [
            f"numpy copy of {out.nbytes // 10**6} MB between prefaulted arrays {seconds(t_copy)} "
            f"(ours {t_codes / t_copy:.1f}x the floor)"
        ],
    )
    del out, other

    # --- ragged on the BED regions ------------------------------------------
    bed_names, bed_starts, bed_ends = [], [], []
    with open(paths["regions"]) as bed:
        for line in bed:
            fields = line.split("\t")
            bed_names.append(fields[0])
            bed_starts.append(int(fields[1]))
            bed_ends.append(int(fields[2]))
    if args.quick:
        bed_names, bed_starts, bed_ends = bed_names[:count], bed_starts[:count], bed_ends[:count]
    bed_names = np.array(bed_names, dtype=object)
    bed_starts = np.array(bed_starts, np.int64)
    bed_ends = np.array(bed_ends, np.int64)
    tuples = [(n, s + 1, e) for n, s, e in zip(bed_names.tolist(), bed_starts.tolist(), bed_ends.tolist())]
    result = kelpa_arrays.ragged(faidx, bed_names, bed_starts, bed_ends)
    assert bytes(result.data) == "".join(str(s) for s in faidx.fetch_many(tuples)).encode()
    text_bytes = result.data.nbytes
    del result
    gc.collect()
    before = anon_kib()
    kept = kelpa_arrays.ragged(faidx, bed_names, bed_starts, bed_ends)
    growth = (anon_kib() - before) * 1024
    del kept
    t_ragged = median(lambda: kelpa_arrays.ragged(faidx, bed_names, bed_starts, bed_ends), repeats)
    t_many = median(lambda: faidx.fetch_many(tuples), repeats)
    source = np.ones(text_bytes, np.uint8)
    t_fresh = median(lambda: source.copy(), repeats)
    row(
        f"ragged, {len(bed_names)} BED regions ({text_bytes / 1e6:.0f} MB)",
        seconds(t_ragged),
        [
            f"fetch_many to str {seconds(t_many)} ({ratio(t_many, t_ragged)})",
            f"numpy copy into a fresh array {seconds(t_fresh)} (ours {t_ragged / t_fresh:.1f}x)",
        ],
    )
    row(
        "ragged, growth of anonymous memory",
        f"{growth / 1e6:.0f} MB",
        [f"text {text_bytes / 1e6:.0f} MB (growth {growth / text_bytes:.2f}x the text)"],
    )
    del source

    # --- training-sized call -------------------------------------------------
    small = slice(0, 256)
    t_train = median(
        lambda: kelpa_arrays.one_hot(faidx, records[small], starts[small], length=WINDOW, rc=rc[small]), 50
    )
    peers_text = []
    if pysam is not None:
        with pysam.FastaFile(str(paths["genome"])) as theirs:
            t_train_pysam = median(
                lambda: one_hot_pipeline(
                    padded_texts(theirs.fetch, names, lengths_list, records[small], starts[small], WINDOW),
                    rc[small],
                    WINDOW,
                ),
                50,
            )
        peers_text.append(f"pysam + pipeline {seconds(t_train_pysam)} ({ratio(t_train_pysam, t_train)})")
    row("one_hot uint8, 256 x 1,000 (a training batch)", seconds(t_train), peers_text)

    # --- Enformer-sized call -------------------------------------------------
    big_window = 196_608
    big_records, big_starts, big_rc = workload(names, lengths, 64, big_window, seed=2)
    shape = (64, big_window, 4)
    t_enformer = median(
        lambda: kelpa_arrays.one_hot(faidx, big_records, big_starts, length=big_window, rc=big_rc, dtype=np.float32),
        repeats,
    )
    prefaulted = np.zeros(shape, np.float32)
    t_into = median(
        lambda: kelpa_arrays.one_hot(
            faidx, big_records, big_starts, length=big_window, rc=big_rc, dtype=np.float32, out=prefaulted
        ),
        repeats,
    )
    t_fault = median(lambda: np.ones(shape, np.float32), repeats)
    big_ends = big_starts + big_window
    t_read = median(lambda: kelpa_arrays.ragged(faidx, big_records, big_starts, big_ends), repeats)
    row(
        "one_hot float32, 64 x 196,608 (Enformer-sized)",
        seconds(t_enformer),
        [
            f"into a prefaulted out {seconds(t_into)}",
            f"numpy filling a fresh array of its size ({prefaulted.nbytes / 1e6:.0f} MB) {seconds(t_fault)}",
            f"reading the text alone (ragged) {seconds(t_read)}",
        ],
    )
    del prefaulted

    # --- where the pool pays ---------------------------------------------------
    for windows in (1, 16, 64, 256, 1024):
        sel = slice(0, windows)
        t = median(
            lambda: kelpa_arrays.one_hot(faidx, records[sel], starts[sel], length=WINDOW, rc=rc[sel]),
            200 if windows < 256 else 20,
        )
        row(f"one_hot uint8, {windows} x 1,000", f"{t * 1e6:.0f} us", [f"{t * 1e9 / (windows * WINDOW):.2f} ns/base"])

    # --- BGZF -----------------------------------------------------------------
    gz_path = Path(str(paths["genome"]) + ".gz")
    if not gz_path.exists():
        print("# genome.fa.gz is missing (bench/bench_bgzf.py makes it with bgzip): the BGZF row is skipped")
        return
    gz = kelpa.Faidx(str(gz_path))
    assert np.array_equal(
        kelpa_arrays.one_hot(gz, records[:1000], starts[:1000], length=WINDOW, rc=rc[:1000]),
        kelpa_arrays.one_hot(faidx, records[:1000], starts[:1000], length=WINDOW, rc=rc[:1000]),
    )
    t_gz = median(lambda: kelpa_arrays.one_hot(gz, records, starts, length=WINDOW, rc=rc), repeats)
    row(
        "one_hot uint8 on genome.fa.gz",
        seconds(t_gz),
        [f"the plain file {seconds(t_ours)}", "inflating every block: 0.62 s on one core (README)"],
    )


if __name__ == "__main__":
    main()
