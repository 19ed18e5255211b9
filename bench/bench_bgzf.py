"""BGZF-compressed references: kelpa beside samtools and pysam, same run.

    .venv/bin/python bench/bench_bgzf.py [--quick]

The 400 Mbp genome of bench/genome.py is compressed with bgzip (kept as
bench/data/genome.fa.gz), and so is the 60 Mbp single record. Rows:

  build      .fai and .gzi of genome.fa.gz: kelpa vs samtools faidx
  batch      fetch_many of the 200,000 BED regions: plain file, .fa.gz,
             and a Python loop over pysam.FastaFile.fetch on the .fa.gz;
             samtools faidx -r on the .fa.gz
  shuffled   the same regions in no particular order (shuffled.bed) on the
             .fa.gz: fetch_many, the kelpa program (faidx -r, getfasta;
             whole processes, output discarded), samtools faidx -r (one
             run: it takes some 25 s); the program on the sorted regions
             beside it, and its peak RSS on both
  single     one random 100-base fetch, warm cache: kelpa vs pysam on .fa.gz
  record     the whole 60 Mbp record from single.fa.gz, 1 and 2 workers
  memory     peak RSS of a fresh process running the batch on the .fa.gz

Each figure is the best of a few runs; a missing peer is skipped.
"""

import argparse
import gc
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_cli  # noqa: E402
import genome  # noqa: E402

import kelpa  # noqa: E402

try:
    import pysam
except ImportError:
    pysam = None


def best(fn, repeats=3):
    fastest = float("inf")
    gc.disable()
    try:
        for _ in range(repeats):
            began = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - began
            del result
            fastest = min(fastest, elapsed)
    finally:
        gc.enable()
    return fastest


def compressed(path):
    target = Path(str(path) + ".gz")
    if not target.exists():
        subprocess.run(["bgzip", "-@2", "-k", "-f", str(path)], check=True)
    return target


def read_bed(path, limit=None):
    regions = []
    with open(path) as bed:
        for line in bed:
            chrom, start, end = line.split("\t")[:3]
            regions.append((chrom, int(start) + 1, int(end)))
            if limit and len(regions) == limit:
                break
    return regions


def peak_rss_mib():
    """This process's peak resident set size (VmHWM), in MiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def program_best(argv, work, repeats=3):
    """(best wall seconds, peak RSS in MiB) of the kelpa program, output discarded, after a warm-up."""
    runs = [bench_cli.run_once(argv, Path(os.devnull), work) for _ in range(repeats + 1)][1:]
    return min(wall for wall, _ in runs), max(rss for _, rss in runs)


def shuffled_rows(packed, shuffled, ordered, samtools):
    """The regions in no particular order against the same regions sorted."""
    program = bench_cli.kelpa_program()
    ours = kelpa.Faidx(str(packed))
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        lists = {}
        for label, regions in (("shuffled", shuffled), ("sorted", ordered)):
            lists[label] = (work / f"{label}.txt", work / f"{label}.bed")
            lists[label][0].write_text("".join(f"{c}:{s}-{e}\n" for c, s, e in regions))
            lists[label][1].write_text("".join(f"{c}\t{s - 1}\t{e}\n" for c, s, e in regions))
        figures, peaks = {}, {}
        for label in lists:
            text, bed = lists[label]
            figures[f"faidx_{label}"], peaks[f"faidx_{label}"] = program_best(
                [program, "faidx", str(packed), "-r", str(text)], work
            )
            figures[f"getfasta_{label}"], peaks[f"getfasta_{label}"] = program_best(
                [program, "getfasta", str(packed), str(bed)], work
            )
        figures["fetch_many_shuffled"] = best(lambda: ours.fetch_many(shuffled))
        if samtools:
            ours_out, theirs_out = work / "ours.fa", work / "theirs.fa"
            bench_cli.run_once([program, "faidx", str(packed), "-r", str(lists["shuffled"][0])], ours_out, work)
            figures["samtools_shuffled"], _ = bench_cli.run_once(
                [samtools, "faidx", str(packed), "-r", str(lists["shuffled"][0])], theirs_out, work
            )
            if not bench_cli.same_file(ours_out, theirs_out):
                print("kelpa faidx -r and samtools faidx -r DIFFER on the shuffled regions")
    row(f"{len(shuffled):,} BED regions shuffled, kelpa program", "s", **figures)
    reference = figures["fetch_many_shuffled"]
    ratios = {f"{kind}_vs_fetch_many": figures[f"{kind}_shuffled"] / reference for kind in ("faidx", "getfasta")}
    if samtools:
        ratios["samtools_vs_faidx"] = figures["samtools_shuffled"] / figures["faidx_shuffled"]
    row("  ratios", "x", **ratios)
    row("  peak RSS of the program", "MiB", **peaks)


def row(label, unit, **figures):
    cells = "  ".join(f"{k} {v:9.3f}" for k, v in figures.items())
    print(f"{label:46s} [{unit}]  {cells}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20,000 regions instead of 200,000")
    args = parser.parse_args()
    if not shutil.which("bgzip"):
        sys.exit("bench_bgzf.py: bgzip is not installed (Debian's tabix package)")
    plain = genome.genome_fasta()
    bed = genome.regions_bed()
    packed = compressed(plain)
    single = compressed(genome.single_fasta())
    regions = read_bed(bed, 20_000 if args.quick else None)
    samtools = shutil.which("samtools")

    with tempfile.TemporaryDirectory() as tmp:
        link = Path(tmp) / "genome.fa.gz"
        link.symlink_to(packed)

        def clear():
            for suffix in (".fai", ".gzi"):
                Path(str(link) + suffix).unlink(missing_ok=True)

        def build():
            clear()
            kelpa.Faidx(str(link))

        figures = {"kelpa": best(build)}
        if samtools:

            def samtools_build():
                clear()
                subprocess.run([samtools, "faidx", str(link)], check=True)

            figures["samtools"] = best(samtools_build)
        row("build .fai + .gzi of genome.fa.gz", "s", **figures)

    ours, theirs = kelpa.Faidx(str(plain)), kelpa.Faidx(str(packed))
    assert [s.seq for s in ours.fetch_many(regions[:2000])] == [s.seq for s in theirs.fetch_many(regions[:2000])]
    figures = {
        "kelpa_plain": best(lambda: ours.fetch_many(regions)),
        "kelpa_bgzf": best(lambda: theirs.fetch_many(regions)),
    }
    if pysam:
        fasta = pysam.FastaFile(str(packed))

        def pysam_loop(fetch=fasta.fetch):
            return [fetch(c, s - 1, e) for c, s, e in regions]

        figures["pysam_bgzf"] = best(pysam_loop, 1)
    if samtools:
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as region_file:
            region_file.writelines(f"{c}:{s}-{e}\n" for c, s, e in regions)
            region_file.flush()
            figures["samtools_bgzf"] = best(
                lambda: subprocess.run(
                    [samtools, "faidx", str(packed), "-r", region_file.name], check=True, stdout=subprocess.DEVNULL
                ),
                1,
            )
    row(f"{len(regions):,} BED regions", "s", **figures)

    shuffled_rows(packed, read_bed(genome.shuffled_bed(), 20_000 if args.quick else None), regions, samtools)

    rng = random.Random(3)
    lengths = {n: len(theirs.fetch_entire_sequence(n).seq) for n in theirs.keys[:4]}
    names = list(lengths)
    calls = [
        (n, s, s + 99) for n in (rng.choice(names) for _ in range(20_000)) for s in [rng.randrange(1, lengths[n] - 100)]
    ]

    def kelpa_single(fetch=theirs.fetch):
        for n, a, b in calls:
            fetch(n, a, b).seq

    figures = {"kelpa": best(kelpa_single) / len(calls) * 1e6}
    if pysam:

        def pysam_single(fetch=fasta.fetch):
            for n, a, b in calls:
                fetch(n, a - 1, b)

        figures["pysam"] = best(pysam_single) / len(calls) * 1e6
    row("one random 100-base fetch from genome.fa.gz", "us", **figures)

    name = genome.SINGLE_NAME
    script = (
        "import kelpa, sys, time; f = kelpa.Faidx(sys.argv[1]); f.fetch_many([(sys.argv[2], 1, 10)] * 1000);"
        "b = time.perf_counter(); n = len(f.fetch_entire_sequence(sys.argv[2]).seq);"
        "print(n / (time.perf_counter() - b) / 1e6)"
    )
    figures = {}
    for workers in (1, 2):
        env = {**os.environ, "RAYON_NUM_THREADS": str(workers)}
        figures[f"{workers}_workers"] = max(
            float(
                subprocess.run(
                    [sys.executable, "-c", script, str(single), name],
                    env=env,
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout
            )
            for _ in range(3)
        )
    row("whole 60 Mbp record from single.fa.gz", "MB/s", **figures)

    # VmHWM, not ru_maxrss: the latter keeps the high-water mark of the
    # forking parent (this process, holding the batch results) across exec.
    peak = subprocess.run(
        [
            sys.executable,
            "-c",
            "import kelpa, sys, bench_bgzf as b; f = kelpa.Faidx(sys.argv[1]);"
            "r = b.read_bed(sys.argv[2]); before = b.peak_rss_mib();"
            "x = f.fetch_many(r); print(before, b.peak_rss_mib(), sum(len(s.seq) for s in x) / 2**20)",
            str(packed),
            str(bed),
        ],
        cwd=HERE,
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    row(
        "peak RSS, batch on genome.fa.gz",
        "MiB",
        before=float(peak[0]),
        after=float(peak[1]),
        result_text=float(peak[2]),
    )


if __name__ == "__main__":
    main()
