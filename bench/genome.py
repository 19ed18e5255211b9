"""Deterministic synthetic benchmark data.

Four data sets, each written once under a cache directory (default
bench/data/ beside this file) and reused while the file exists:

  genome.fa     ~400 Mbp in 24 records sized like the human chromosomes
                (scaled), 60 bases per line, random ACGT with soft-masked
                (lower-case) runs and N runs
  regions.bed   200,000 regions of 50..2000 bases on genome.fa, six columns
                (chrom, start, end, name, score, strand), sorted by record
                order and start; BED coordinates, 0-based and half-open
  shuffled.bed  the lines of regions.bed in no particular order (a fixed
                shuffle), as the regions of a search come
  tiny.fa       1,000,000 records of 20..200 bases, for timing the opening
                of a large index
  single.fa     one record of 60 Mbp

Each FASTA file gets its .fai written beside it (after the FASTA, so the
index is newer), unless asked not to. Files appear atomically (written
under a temporary name, then renamed), so an interrupted run leaves no
half-written file behind to be mistaken for a finished one.

The same numbers come out on every run with the same NumPy.

As a module:  import genome; paths = genome.ensure_all()
As a command: python bench/genome.py [--data-dir DIR] [--force] [NAME ...]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

DEFAULT_DATA_DIR = Path(__file__).resolve().parent / "data"
LINE_WIDTH = 60
SEED = 20240229

# Human chromosome lengths (GRCh38), scaled below to GENOME_SIZE in total.
HUMAN_CHROMOSOMES = [
    ("chr1", 248_956_422),
    ("chr2", 242_193_529),
    ("chr3", 198_295_559),
    ("chr4", 190_214_555),
    ("chr5", 181_538_259),
    ("chr6", 170_805_979),
    ("chr7", 159_345_973),
    ("chr8", 145_138_636),
    ("chr9", 138_394_717),
    ("chr10", 133_797_422),
    ("chr11", 135_086_622),
    ("chr12", 133_275_309),
    ("chr13", 114_364_328),
    ("chr14", 107_043_718),
    ("chr15", 101_991_189),
    ("chr16", 90_338_345),
    ("chr17", 83_257_441),
    ("chr18", 80_373_285),
    ("chr19", 58_617_616),
    ("chr20", 64_444_167),
    ("chr21", 46_709_983),
    ("chr22", 50_818_468),
    ("chrX", 156_040_895),
    ("chrY", 57_227_415),
]
GENOME_SIZE = 400_000_000

BED_REGIONS = 200_000
BED_MIN_LEN, BED_MAX_LEN = 50, 2000

TINY_RECORDS = 1_000_000
TINY_MIN_LEN, TINY_MAX_LEN = 20, 200

SINGLE_NAME = "single"
SINGLE_SIZE = 60_000_000

_ACGT = np.frombuffer(b"ACGT", dtype=np.uint8)


def _rng(*key):
    """A generator of its own for each (data set, record) key."""
    return np.random.default_rng([SEED, *key])


def genome_records():
    """[(name, length)] of genome.fa, in file order."""
    total = sum(length for _, length in HUMAN_CHROMOSOMES)
    return [(name, round(length * GENOME_SIZE / total)) for name, length in HUMAN_CHROMOSOMES]


def tiny_records():
    """[(name, length)] of tiny.fa, in file order."""
    lengths = _rng(3, 0).integers(TINY_MIN_LEN, TINY_MAX_LEN + 1, size=TINY_RECORDS)
    return [(f"tiny{i:07d}", int(n)) for i, n in enumerate(lengths)]


# --- Sequence text --------------------------------------------------------


def _alternating_runs(rng, n, mean_upper, mean_lower):
    """Per-base 0 or 32 (the ASCII case bit): upper- and lower-case runs."""
    runs = 2 * (n // (mean_upper + mean_lower) + 8)
    while True:
        lengths = np.empty(runs, dtype=np.int64)
        lengths[0::2] = rng.geometric(1 / mean_upper, size=runs // 2)
        lengths[1::2] = rng.geometric(1 / mean_lower, size=runs // 2)
        if lengths.sum() >= n:
            break
        runs *= 2
    values = np.zeros(runs, dtype=np.uint8)
    values[1::2] = 32
    return np.repeat(values, lengths)[:n]


def chromosome_bases(rng, n):
    """`n` bases as uint8: random ACGT, soft-masked runs, runs of N.

    About 40% of the bases are lower case, in runs of a few kb. Both ends
    carry 10 kb of N, the middle a gap of 0.5% of the length, and
    about one shorter N run per 2 Mbp lies elsewhere.
    """
    bases = _ACGT[rng.integers(0, 4, size=n, dtype=np.uint8)]
    bases |= _alternating_runs(rng, n, 3000, 2000)
    ends = min(10_000, n // 10)
    bases[:ends] = ord("N")
    bases[n - ends :] = ord("N")
    gap = n // 200
    bases[n // 2 - gap // 2 : n // 2 - gap // 2 + gap] = ord("N")
    for _ in range(n // 2_000_000):
        length = int(rng.integers(100, 50_000))
        start = int(rng.integers(0, max(n - length, 1)))
        bases[start : start + length] = ord("N")
    return bases


def wrap(bases, width=LINE_WIDTH):
    """`bases` (uint8) as lines of `width` bases, each ending in "\\n"."""
    n = len(bases)
    full, rest = divmod(n, width)
    out = np.empty(full * (width + 1) + (rest + 1 if rest else 0), dtype=np.uint8)
    body = out[: full * (width + 1)].reshape(full, width + 1)
    body[:, :width] = bases[: full * width].reshape(full, width)
    body[:, width] = ord("\n")
    if rest:
        out[full * (width + 1) : -1] = bases[full * width :]
        out[-1] = ord("\n")
    return out


# --- Files ------------------------------------------------------------------


def _data_dir(data_dir):
    path = Path(data_dir) if data_dir is not None else DEFAULT_DATA_DIR
    path.mkdir(parents=True, exist_ok=True)
    return path


def _write_atomically(path, write):
    """Call write(file) on a temporary file, then rename it to `path`."""
    tmp = path.with_name(path.name + f".tmp{os.getpid()}")
    try:
        with open(tmp, "wb") as out:
            write(out)
        os.replace(tmp, path)
    finally:
        tmp.unlink(missing_ok=True)


def fai_text(records, width=LINE_WIDTH):
    """The .fai of a FASTA file written by this module from `records`.

    Headers are ">" + name + "\\n" and every record is wrapped at `width`;
    a record that fits on one line has that line's length as its line
    length, as in any .fai.
    """
    names = [name for name, _ in records]
    lengths = np.array([n for _, n in records], dtype=np.int64)
    headers = np.array([len(name) + 2 for name in names], dtype=np.int64)
    sizes = headers + lengths + (lengths + width - 1) // width
    starts = np.concatenate(([0], np.cumsum(sizes)[:-1]))
    offsets = starts + headers
    line_bases = np.minimum(lengths, width)
    return "".join(
        f"{name}\t{n}\t{off}\t{lb}\t{lb + 1}\n"
        for name, n, off, lb in zip(names, lengths.tolist(), offsets.tolist(), line_bases.tolist())
    )


def _ensure_fasta(path, records, write_body, index, force):
    fai = path.with_name(path.name + ".fai")
    if force or not path.exists():
        fai.unlink(missing_ok=True)
        _write_atomically(path, write_body)
    if index and not fai.exists():
        text = fai_text(records)
        _write_atomically(fai, lambda out: out.write(text.encode()))
    return path


def genome_fasta(data_dir=None, index=True, force=False):
    """Path of genome.fa (~400 Mbp, 24 records), generated if missing."""
    path = _data_dir(data_dir) / "genome.fa"
    records = genome_records()

    def write(out):
        for i, (name, n) in enumerate(records):
            out.write(f">{name}\n".encode())
            wrap(chromosome_bases(_rng(1, i), n)).tofile(out)

    return _ensure_fasta(path, records, write, index, force)


def regions_bed(data_dir=None, force=False):
    """Path of regions.bed (200,000 regions on genome.fa), generated if missing."""
    path = _data_dir(data_dir) / "regions.bed"
    if path.exists() and not force:
        return path
    records = genome_records()
    sizes = np.array([n for _, n in records], dtype=np.int64)
    rng = _rng(2, 0)
    chrom = rng.choice(len(records), size=BED_REGIONS, p=sizes / sizes.sum())
    length = rng.integers(BED_MIN_LEN, BED_MAX_LEN + 1, size=BED_REGIONS)
    start = (rng.random(BED_REGIONS) * (sizes[chrom] - length + 1)).astype(np.int64)
    strand = np.where(rng.random(BED_REGIONS) < 0.5, "+", "-")
    order = np.lexsort((start, chrom))
    names = [name for name, _ in records]
    lines = [
        f"{names[c]}\t{s}\t{s + n}\tregion{i + 1}\t0\t{st}\n"
        for i, (c, s, n, st) in enumerate(
            zip(chrom[order].tolist(), start[order].tolist(), length[order].tolist(), strand[order].tolist())
        )
    ]
    text = "".join(lines)
    _write_atomically(path, lambda out: out.write(text.encode()))
    return path


def shuffled_bed(data_dir=None, force=False):
    """Path of shuffled.bed (the lines of regions.bed, shuffled), generated if missing."""
    path = _data_dir(data_dir) / "shuffled.bed"
    if path.exists() and not force:
        return path
    with open(regions_bed(data_dir, force), "rb") as bed:
        lines = bed.readlines()
    order = _rng(5, 0).permutation(len(lines))
    _write_atomically(path, lambda out: out.writelines(lines[i] for i in order.tolist()))
    return path


def tiny_fasta(data_dir=None, index=True, force=False):
    """Path of tiny.fa (1,000,000 short records), generated if missing."""
    path = _data_dir(data_dir) / "tiny.fa"
    records = tiny_records()

    def write(out):
        lengths = np.array([n for _, n in records], dtype=np.int64)
        text = _ACGT[_rng(3, 1).integers(0, 4, size=int(lengths.sum()), dtype=np.uint8)]
        text = text.tobytes().decode()
        parts = []
        pos = 0
        for name, n in records:
            parts.append(f">{name}\n")
            for i in range(pos, pos + n, LINE_WIDTH):
                parts.append(text[i : min(i + LINE_WIDTH, pos + n)])
                parts.append("\n")
            pos += n
        out.write("".join(parts).encode())

    return _ensure_fasta(path, records, write, index, force)


def single_fasta(data_dir=None, index=True, force=False):
    """Path of single.fa (one record of 60 Mbp), generated if missing."""
    path = _data_dir(data_dir) / "single.fa"
    records = [(SINGLE_NAME, SINGLE_SIZE)]

    def write(out):
        out.write(f">{SINGLE_NAME}\n".encode())
        wrap(chromosome_bases(_rng(4, 0), SINGLE_SIZE)).tofile(out)

    return _ensure_fasta(path, records, write, index, force)


DATASETS = {
    "genome": genome_fasta,
    "bed": regions_bed,
    "shuffled": shuffled_bed,
    "tiny": tiny_fasta,
    "single": single_fasta,
}


def ensure_all(data_dir=None, force=False):
    """Generate whatever is missing; return {data set name: path}."""
    return {name: make(data_dir, force=force) for name, make in DATASETS.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "names", nargs="*", metavar="NAME", help=f"data sets to make: {', '.join(DATASETS)} (default: all)"
    )
    parser.add_argument("--data-dir", default=None, help=f"cache directory (default: {DEFAULT_DATA_DIR})")
    parser.add_argument("--force", action="store_true", help="generate again even when the file exists")
    args = parser.parse_args(argv)
    unknown = [name for name in args.names if name not in DATASETS]
    if unknown:
        parser.error(f"unknown data set {unknown[0]!r} (choose from {', '.join(DATASETS)})")
    for name in args.names or DATASETS:
        began = time.perf_counter()
        path = DATASETS[name](args.data_dir, force=args.force)
        print(f"{name:7s} {path}  ({time.perf_counter() - began:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
