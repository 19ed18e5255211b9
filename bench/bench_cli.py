"""The kelpa program against samtools and bedtools on the benchmark data.

    .venv/bin/python bench/bench_cli.py [--quick] [--runs N] [--data-dir DIR]

Whole processes, ours and the peers' in the same run: with hyperfine when it
is installed (`apt-get install hyperfine`; output discarded, its default),
else the best of a few runs of our own timing, after one untimed run. Each
command runs once more with its output written to a file, to compare it
byte for byte with the peer's and to take the peak resident set size. A
missing peer is reported and skipped.

Peak RSS counts the pages of the genome's mapping that a run touched (page
cache, shared with every other reader) beside the program's own memory.

Command lines measured (REF = genome.fa, BED = regions.bed, 200,000 lines,
REGIONS = the same regions written as name:start-end):

    kelpa getfasta REF BED          bedtools getfasta -fi REF -bed BED
    kelpa getfasta REF BED -s       bedtools getfasta -fi REF -bed BED -s
    kelpa faidx REF -r REGIONS      samtools faidx REF -r REGIONS
    kelpa faidx REF -r REGIONS -i   samtools faidx REF -r REGIONS -i
    kelpa index REF                 samtools faidx REF
    kelpa faidx REF chr1:S-E        samtools faidx REF chr1:S-E   (one region)
    kelpa faidx REF.gz -r REGIONS [-i]   samtools faidx REF.gz -r REGIONS [-i]
                                    (REF.gz: the genome compressed with bgzip)

Everything is written into a temporary directory that holds a link to the
genome, so the indexes built there leave the data directory alone.
"""

import argparse
import itertools
import json
import math
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import genome  # noqa: E402

GOALS = {"getfasta": 5.0, "faidx": 5.0, "index": 10.0}  # times faster than the peer
ONE_REGION_GOAL = 0.005  # seconds, whole process


def kelpa_program():
    program = Path(sysconfig.get_path("scripts")) / "kelpa"
    if not program.exists():
        sys.exit(f"bench_cli.py: {program} is missing; run `make build` first")
    return str(program)


# A child forked from this interpreter would report the interpreter's own
# peak as its peak RSS; GNU time forks the command from a small process.
GNU_TIME = "/usr/bin/time" if Path("/usr/bin/time").exists() else None


def run_once(argv, out_path, work):
    """(wall seconds, peak RSS in MiB or nan) of one run of argv, stdout to out_path."""
    rss_file = work / "rss.txt"
    wrapped = [GNU_TIME, "-f", "%M", "-o", str(rss_file), *argv] if GNU_TIME else argv
    with open(out_path, "wb") as out:
        began = time.perf_counter()
        done = subprocess.run(wrapped, stdout=out, stderr=subprocess.PIPE)
        wall = time.perf_counter() - began
    if done.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed ({done.returncode}): {done.stderr.decode()[-500:]}")
    rss = int(rss_file.read_text().split()[-1]) / 1024 if GNU_TIME else math.nan
    return wall, rss


def hyperfine_times(commands, runs, work):
    """The mean wall time of each command line, by hyperfine."""
    report = work / "hyperfine.json"
    subprocess.run(
        [
            "hyperfine",
            "-N",
            "--warmup",
            "1",
            "--runs",
            str(runs),
            "--style",
            "none",
            "--export-json",
            str(report),
            *[" ".join(map(str, c)) for c in commands],
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return [r["mean"] for r in json.loads(report.read_text())["results"]]


def best_times(commands, runs, work):
    """The best wall time of each command line over `runs` runs after a warm-up."""
    times = []
    for argv in commands:
        best = math.inf
        for i in range(runs + 1):
            wall, _ = run_once([str(a) for a in argv], work / "timing.out", work)
            if i:
                best = min(best, wall)
        times.append(best)
    return times


def same_file(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        while True:
            p, q = x.read(1 << 20), y.read(1 << 20)
            if p != q:
                return False
            if not p:
                return True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="every tenth region, three runs")
    parser.add_argument("--runs", type=int, default=None, help="timed runs per command")
    parser.add_argument("--data-dir", default=None, help="where the data sets live")
    args = parser.parse_args(argv)
    runs = args.runs or (3 if args.quick else 10)
    step = 10 if args.quick else 1

    data = Path(genome.ensure_all(args.data_dir)["genome"]).parent
    kelpa = kelpa_program()
    bedtools, samtools = shutil.which("bedtools"), shutil.which("samtools")
    hyperfine = shutil.which("hyperfine")
    work = Path(tempfile.mkdtemp(prefix="kelpa-bench-cli-"))
    try:
        ref = work / "genome.fa"
        ref.symlink_to(data / "genome.fa")
        shutil.copyfile(data / "genome.fa.fai", work / "genome.fa.fai")
        bed, regions = work / "regions.bed", work / "regions.txt"
        with open(data / "regions.bed") as src, open(bed, "w") as b, open(regions, "w") as r:
            for line in itertools.islice(src, 0, None, step):
                b.write(line)
                chrom, start, end = line.split("\t", 3)[:3]
                r.write(f"{chrom}:{int(start) + 1}-{end}\n")
        count = sum(1 for _ in open(bed))

        # (label, goal kind, ours, peer, peer name)
        cases = [
            (
                "getfasta",
                "getfasta",
                [kelpa, "getfasta", ref, bed],
                bedtools and [bedtools, "getfasta", "-fi", ref, "-bed", bed],
                "bedtools",
            ),
            (
                "getfasta -s",
                "getfasta",
                [kelpa, "getfasta", ref, bed, "-s"],
                bedtools and [bedtools, "getfasta", "-fi", ref, "-bed", bed, "-s"],
                "bedtools",
            ),
            (
                "faidx -r",
                "faidx",
                [kelpa, "faidx", ref, "-r", regions],
                samtools and [samtools, "faidx", ref, "-r", regions],
                "samtools",
            ),
            (
                "faidx -r -i",
                "faidx",
                [kelpa, "faidx", ref, "-r", regions, "-i"],
                samtools and [samtools, "faidx", ref, "-r", regions, "-i"],
                "samtools",
            ),
            ("index", "index", [kelpa, "index", ref], samtools and [samtools, "faidx", ref], "samtools"),
            (
                "one region",
                "one",
                [kelpa, "faidx", ref, "chr1:1000001-1000100"],
                samtools and [samtools, "faidx", ref, "chr1:1000001-1000100"],
                "samtools",
            ),
        ]
        # The same on the BGZF-compressed genome: data/genome.fa.gz when
        # bench/bench_bgzf.py made it, else compressed here with bgzip. The
        # first run (hyperfine's warm-up of ours) builds its .fai and .gzi.
        bgzip = shutil.which("bgzip")
        if samtools and (bgzip or (data / "genome.fa.gz").exists()):
            packed = work / "genome.fa.gz"
            if (data / "genome.fa.gz").exists():
                packed.symlink_to(data / "genome.fa.gz")
            else:
                with open(packed, "wb") as out:
                    subprocess.run([bgzip, "-@2", "-c", str(data / "genome.fa")], stdout=out, check=True)
            cases += [
                (
                    "bgzf faidx -r",
                    "faidx",
                    [kelpa, "faidx", packed, "-r", regions],
                    [samtools, "faidx", packed, "-r", regions],
                    "samtools",
                ),
                (
                    "bgzf -r -i",
                    "faidx",
                    [kelpa, "faidx", packed, "-r", regions, "-i"],
                    [samtools, "faidx", packed, "-r", regions, "-i"],
                    "samtools",
                ),
            ]

        commands = [c for _, _, ours, peer, _ in cases for c in (ours, peer) if c]
        timer = hyperfine_times if hyperfine else best_times
        times = dict(zip(map(id, commands), timer(commands, runs, work)))

        print(
            f"kelpa program vs peers: {count:,} regions of {ref.name}, {os.cpu_count()} cores, "
            f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
            f"{'hyperfine mean' if hyperfine else 'best'} of {runs} runs, output discarded"
        )
        print(f"  {'command':<13} {'kelpa':>9} {'peer':>9} {'ratio':>7}   {'kelpa RSS':>9} {'peer RSS':>9}   goal")
        ours_out, theirs_out = work / "ours.out", work / "theirs.out"
        for label, kind, ours, peer, peer_name in cases:
            _, rss = run_once([str(a) for a in ours], ours_out, work)
            wall = times[id(ours)]
            if kind == "one":
                goal_text = f"< {ONE_REGION_GOAL * 1000:g} ms: {'PASS' if wall < ONE_REGION_GOAL else 'MISS'}"
            else:
                goal_text = f">= {GOALS[kind]:g}x {peer_name}"
            if not peer:
                print(
                    f"  {label:<13} {wall * 1000:7.1f}ms {'-':>9} {'-':>7}   {rss:7.0f}MB {'-':>9}   "
                    f"SKIP ({peer_name} not installed)"
                )
                continue
            if kind == "index":  # compare the two indexes, each freshly written
                shutil.copyfile(work / "genome.fa.fai", ours_out)
            _, peer_rss = run_once([str(a) for a in peer], theirs_out, work)
            if kind == "index":
                shutil.copyfile(work / "genome.fa.fai", theirs_out)
            p_wall = times[id(peer)]
            ratio = p_wall / wall
            if kind != "one":
                goal_text += f": {'PASS' if ratio >= GOALS[kind] else 'MISS'}"
            if not same_file(ours_out, theirs_out):
                goal_text += ", OUTPUTS DIFFER"
            print(
                f"  {label:<13} {wall * 1000:7.1f}ms {p_wall * 1000:7.1f}ms {ratio:6.2f}x   "
                f"{rss:7.0f}MB {peer_rss:7.0f}MB   {goal_text}"
            )
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
