"""Variants in windows: kelpa_arrays.variant_windows and haplotype_windows
beside the pipeline a user writes with pysam and numpy, same run.

    .venv/bin/python bench/bench_variants.py [--quick]

The workloads, on the 400 Mbp genome (bench/data/genome.fa):
  variants     1,000,000 variants (90% SNVs, 10% indels of 1-50 bp) at
               random places, in calls of 10,000, windows of 1,000 bases,
               one-hot uint8, the reference and the alternate window of
               each; beside one_hot of twice as many plain windows of the
               same length in calls of 20,000 (the floor: two windows'
               reading and encoding), and the pysam pipeline: fetch the
               window, check REF, splice, crop or pad, encode with a
               lookup table
  haplotypes   10,000 windows of 10 kb with 30 variants each, in calls of
               1,000, one-hot uint8, beside one_hot of the same windows
               and the pysam pipeline applying them in Python
  memory       peak resident memory beyond the inputs and the outputs (and
               the genome's pages the windows read), in a fresh process,
               for one call of each workload

The pysam pipeline is timed on the first calls of each workload (a Python
loop per variant: its time per variant is steady) and compared per
variant; its results are checked identical to ours. Each figure is the
median of 5 runs (2 with --quick, and a tenth of the variants); ours and
the floor run in turns.
"""

import argparse
import gc
import json
import statistics
import subprocess
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


def median(fn, repeats):
    gc.collect()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def medians(fns, repeats):
    """The median time of each of `fns`, run in turns so that a busy machine slows them alike."""
    gc.collect()
    times = [[] for _ in fns]
    for _ in range(repeats):
        for fn, spent in zip(fns, times):
            start = time.perf_counter()
            fn()
            spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times]


def seconds(value):
    return f"{value * 1000:.1f} ms" if value < 1 else f"{value:.2f} s"


def row(label, ours, peers=()):
    text = f"{label:<58} {ours:>12}"
    if peers:
        text += "   " + "; ".join(peers)
    print(text, flush=True)


def one_hot_of(texts, length):
    """The pipeline's encoding: one join, a lookup table, a comparison with arange(4)."""
    codes = LUT[np.frombuffer("".join(texts).encode(), np.uint8)].reshape(-1, length)
    return (codes[:, :, None] == np.arange(4, dtype=np.uint8)).view(np.uint8)


# ---- the workloads ------------------------------------------------------------------------
def variant_table(faidx, lengths, count, seed=35):
    """Record positions, VCF positions, REF and ALT: 90% SNVs, 10% indels of 1-50 bp."""
    rng = np.random.default_rng(seed)
    records = rng.choice(len(lengths), count, p=lengths / lengths.sum())
    starts = (rng.random(count) * (lengths[records] - 60)).astype(np.int64)
    around = kelpa_arrays.fetch(faidx, records, starts, length=52, upper=True)
    kind = rng.random(count)
    size = rng.integers(1, 51, count)
    refs, alts = [], []
    for i in range(count):
        first = chr(around[i, 0])
        if kind[i] < 0.9:
            refs.append(first)
            alts.append("ACGT"[("ACGT".find(first) + 1 + i % 3) % 4])
        elif kind[i] < 0.95:  # a deletion
            refs.append(around[i, : size[i] + 1].tobytes().decode())
            alts.append(first)
        else:  # an insertion
            refs.append(first)
            alts.append(first + "".join(rng.choice(list("ACGT"), size[i])))
    return records, starts + 1, np.array(refs), np.array(alts)


def pysam_variant_windows(fasta, names, lengths, records, positions, refs, alts, length):
    """What a user writes today: per variant, fetch, check REF, splice, crop or pad; then encode once."""
    anchor = length // 2
    ref_texts, alt_texts = [], []
    for record, position, ref, alt in zip(records.tolist(), positions.tolist(), refs.tolist(), alts.tolist()):
        name, rlen = names[record], lengths[record]
        start = position - 1 - anchor
        end = start + length + len(ref)
        text = fasta.fetch(name, max(start, 0), min(end, rlen))
        text = "N" * max(0, -start) + text + "N" * max(0, end - max(rlen, start))
        if text[anchor : anchor + len(ref)].upper() != ref:
            raise ValueError(f"REF {ref} does not match {name}:{position}")
        ref_texts.append(text[:length])
        alt_texts.append((text[:anchor] + alt + text[anchor + len(ref) :])[:length].ljust(length, "N"))
    return one_hot_of(ref_texts, length), one_hot_of(alt_texts, length)


def haplotype_rows(faidx, lengths, rows, length, per_row, seed=7):
    """Windows of `length` with `per_row` non-overlapping variants inside each (REF from the genome)."""
    rng = np.random.default_rng(seed)
    records = rng.choice(len(lengths), rows, p=lengths / lengths.sum())
    starts = (rng.random(rows) * (lengths[records] - length - 100)).astype(np.int64)
    texts = kelpa_arrays.fetch(faidx, records, starts, length=length, upper=True)
    offsets, positions, refs, alts = [0], [], [], []
    slot = length // per_row
    for i in range(rows):
        for k in range(per_row):
            at = k * slot + int(rng.integers(0, slot - 60))
            first = chr(texts[i, at])
            if rng.random() < 0.9:
                refs.append(first)
                alts.append("T" if first != "T" else "A")
            elif rng.random() < 0.5:
                refs.append(texts[i, at : at + int(rng.integers(2, 50))].tobytes().decode())
                alts.append(first)
            else:
                refs.append(first)
                alts.append(first + "".join(rng.choice(list("ACGT"), int(rng.integers(1, 50)))))
            positions.append(int(starts[i]) + at + 1)
        offsets.append(len(positions))
    return records, starts, np.array(offsets), np.array(positions), np.array(refs), np.array(alts)


def pysam_haplotypes(fasta, names, records, starts, offsets, positions, refs, alts, length):
    texts = []
    for i, (record, start) in enumerate(zip(records.tolist(), starts.tolist())):
        a, b = int(offsets[i]), int(offsets[i + 1])
        reach = sum(len(r) for r in refs[a:b].tolist())
        text = fasta.fetch(names[record], start, start + length + reach)
        pieces, at = [], 0
        for position, ref, alt in zip(positions[a:b].tolist(), refs[a:b].tolist(), alts[a:b].tolist()):
            p = position - 1 - start
            if text[p : p + len(ref)].upper() != ref:
                raise ValueError(f"REF {ref} does not match {names[record]}:{position}")
            pieces += [text[at:p], alt]
            at = p + len(ref)
        pieces.append(text[at:])
        texts.append("".join(pieces)[:length].ljust(length, "N"))
    return one_hot_of(texts, length)


# ---- memory, in a fresh process -------------------------------------------------------------
MEMORY_CHILD = r"""
import json, sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import kelpa, kelpa_arrays
import bench_variants as b

def status():
    fields = {}
    for line in open("/proc/self/status"):
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM", "RssFile"):
            fields[key] = int(value.split()[0])
    return fields

faidx = kelpa.Faidx(sys.argv[2])
lengths = np.array(json.loads(sys.argv[3]), np.int64)
kind = sys.argv[4]
if kind == "variants":
    records, positions, refs, alts = b.variant_table(faidx, lengths, 10_000, seed=3)
    out = (np.ones((10_000, b.WINDOW, 4), np.uint8), np.ones((10_000, b.WINDOW, 4), np.uint8))
    call = lambda: kelpa_arrays.variant_windows(faidx, records, positions, refs, alts, length=b.WINDOW, out=out)
else:
    records, starts, offsets, positions, refs, alts = b.haplotype_rows(faidx, lengths, 1_000, 10_000, 30, seed=3)
    out = np.ones((1_000, 10_000, 4), np.uint8)
    call = lambda: kelpa_arrays.haplotype_windows(faidx, records, starts, offsets, positions, refs, alts,
                                                  length=10_000, out=out)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = status()
call()
after = status()
print(json.dumps({"peak": after["VmHWM"] - before["VmRSS"], "file": after["RssFile"] - before["RssFile"]}))
"""


def memory_beyond(path, lengths, kind):
    """Peak resident KiB of one call beyond its inputs and outputs, less the genome's pages it touched."""
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(HERE), str(path), json.dumps(lengths.tolist()), kind],
        check=True, capture_output=True, text=True,
    ).stdout  # fmt: skip
    got = json.loads(out.splitlines()[-1])
    return (got["peak"] - got["file"]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100,000 variants, 1,000 haplotype windows, 2 runs")
    args = parser.parse_args()
    count = 100_000 if args.quick else 1_000_000
    haplotype_count = 1_000 if args.quick else 10_000
    repeats = 2 if args.quick else 5
    batch = 10_000

    path = genome.genome_fasta()
    faidx = kelpa.Faidx(str(path))
    fasta = kelpa.Fasta(str(path))
    names = faidx.keys
    lengths = np.array([len(fasta[name]) for name in names], np.int64)
    records, positions, refs, alts = variant_table(faidx, lengths, count)
    print(f"# {count:,} variants on {path.name} (90% SNVs, 10% indels of 1-50 bp), windows of {WINDOW}; "
          f"median of {repeats}")  # fmt: skip
    if pysam is None:
        print("# pysam is not installed (make bench-deps): its rows are skipped")

    # --- variant windows --------------------------------------------------------------------
    calls = [slice(at, at + batch) for at in range(0, count, batch)]

    def ours():
        for part in calls:
            kelpa_arrays.variant_windows(faidx, records[part], positions[part], refs[part], alts[part], length=WINDOW)

    anchor = WINDOW // 2
    starts = positions - 1 - anchor
    doubled = [
        (np.concatenate([records[p], records[p]]), np.concatenate([starts[p], starts[p] + 7])) for p in calls
    ]  # fmt: skip

    def floor():
        for twice_records, twice_starts in doubled:
            kelpa_arrays.one_hot(faidx, twice_records, twice_starts, length=WINDOW)

    t_ours, t_floor = medians([ours, floor], repeats)
    per_variant = t_ours / count
    peers = [f"one_hot of {2 * count:,} windows {seconds(t_floor)} (ours {t_ours / t_floor:.2f}x of it)"]
    if pysam is not None:
        sample = slice(0, 2 * batch)
        with pysam.FastaFile(str(path)) as theirs:
            got = kelpa_arrays.variant_windows(
                faidx, records[sample], positions[sample], refs[sample], alts[sample], length=WINDOW
            )
            want = pysam_variant_windows(
                theirs, names, lengths.tolist(), records[sample], positions[sample], refs[sample], alts[sample], WINDOW
            )
            assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
            t_pysam = median(
                lambda: pysam_variant_windows(theirs, names, lengths.tolist(), records[sample], positions[sample],
                                              refs[sample], alts[sample], WINDOW),
                repeats,
            )  # fmt: skip
        pysam_per_variant = t_pysam / (2 * batch)
        peers.append(f"pysam + numpy {seconds(pysam_per_variant * count)} at its rate of {2 * batch:,} "
                     f"({pysam_per_variant / per_variant:.0f}x)")  # fmt: skip
    row(f"variant_windows, {count:,} variants in calls of {batch:,}", seconds(t_ours), peers)

    # --- haplotype windows ------------------------------------------------------------------
    length, per_row, hap_batch = 10_000, 30, 1_000
    rows = haplotype_rows(faidx, lengths, haplotype_count, length, per_row)
    h_records, h_starts, h_offsets, h_positions, h_refs, h_alts = rows
    hap_calls = [(at, min(at + hap_batch, haplotype_count)) for at in range(0, haplotype_count, hap_batch)]

    def call_rows(a, b):
        first, last = h_offsets[a], h_offsets[b]
        return (h_records[a:b], h_starts[a:b], h_offsets[a : b + 1] - first, h_positions[first:last],
                h_refs[first:last], h_alts[first:last])  # fmt: skip

    def ours_haplotypes():
        for a, b in hap_calls:
            kelpa_arrays.haplotype_windows(faidx, *call_rows(a, b), length=length)

    def floor_haplotypes():
        for a, b in hap_calls:
            kelpa_arrays.one_hot(faidx, h_records[a:b], h_starts[a:b], length=length)

    t_hap, t_hap_floor = medians([ours_haplotypes, floor_haplotypes], repeats)
    peers = [f"one_hot of the same windows {seconds(t_hap_floor)} (ours {t_hap / t_hap_floor:.2f}x of it)"]
    if pysam is not None:
        with pysam.FastaFile(str(path)) as theirs:
            part = call_rows(0, hap_batch)
            assert np.array_equal(
                kelpa_arrays.haplotype_windows(faidx, *part, length=length),
                pysam_haplotypes(theirs, names, *part, length),
            )
            t_pysam = median(lambda: pysam_haplotypes(theirs, names, *part, length), repeats)
        pysam_rate = t_pysam / hap_batch
        peers.append(f"pysam + numpy {seconds(pysam_rate * haplotype_count)} at its rate of {hap_batch:,} "
                     f"({pysam_rate * haplotype_count / t_hap:.0f}x)")  # fmt: skip
    row(f"haplotype_windows, {haplotype_count:,} of {length:,} with {per_row} variants", seconds(t_hap), peers)

    # --- memory ---------------------------------------------------------------------------
    for kind, label in (("variants", "10,000 variants"), ("haplotypes", "1,000 haplotype windows of 10 kb")):
        row(f"peak memory beyond inputs and outputs, {label}", f"{memory_beyond(path, lengths, kind):.1f} MiB")


if __name__ == "__main__":
    main()
