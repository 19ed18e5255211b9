"""The kelpa command against samtools and bedtools on the benchmark data.

    .venv/bin/python bench/bench_cli.py [--quick] [--repeats N] [--data-dir DIR]

Each contender runs as a child process with its output written to a file
in the data directory, as a user would run it (`... > out.fa`); the figures
are the best wall time and the best CPU time (user + system, of the child
and its threads) over a few runs, after one untimed run. The outputs are
compared byte for byte with the peer's. A missing peer is reported and
skipped.

Command lines measured (REF = genome.fa, BED = regions.bed, REGIONS = the
same regions written as name:start-end):

    kelpa getfasta REF BED             bedtools getfasta -fi REF -bed BED
    kelpa getfasta REF BED -s --name   bedtools getfasta ... -s -name
    kelpa faidx REF -r REGIONS         samtools faidx REF -r REGIONS
    kelpa faidx REF -r REGIONS -i      samtools faidx REF -r REGIONS -i
"""

import argparse
import itertools
import math
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import genome  # noqa: E402

GOAL = 3.0  # the kelpa command should be at least this many times faster


def kelpa_command():
    """How to start the kelpa command: the installed script beside this
    interpreter, else the module."""
    script = Path(sysconfig.get_path("scripts")) / "kelpa"
    if script.exists():
        return [str(script)]
    return [sys.executable, "-m", "kelpa_cli"]


def timed(argv, out_path):
    """(wall seconds, CPU seconds) of one run of argv, stdout to out_path."""
    with open(out_path, "wb") as out:
        began = os.times()
        child = subprocess.Popen(argv, stdout=out, stderr=subprocess.PIPE)
        _, stderr = child.communicate()
        ended = os.times()
    if child.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed ({child.returncode}): {stderr.decode()[-500:]}")
    cpu = (ended.children_user - began.children_user) + (
        ended.children_system - began.children_system
    )
    return ended.elapsed - began.elapsed, cpu


def best_of(argv, out_path, repeats):
    """Best wall and best CPU time over `repeats` runs after a warm-up."""
    wall = cpu = math.inf
    timed(argv, out_path)
    for _ in range(repeats):
        w, c = timed(argv, out_path)
        wall, cpu = min(wall, w), min(cpu, c)
    return wall, cpu


def same_output(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        while True:
            p, q = x.read(1 << 20), y.read(1 << 20)
            if p != q:
                return False
            if not p:
                return True


def region_file(bed, path, step):
    """The BED regions as name:start-end lines (1-based, inclusive)."""
    with open(bed) as src, open(path, "w") as out:
        for line in itertools.islice(src, 0, None, step):
            chrom, start, end = line.split("\t", 3)[:3]
            out.write(f"{chrom}:{int(start) + 1}-{end}\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="every tenth region, one repeat")
    parser.add_argument("--repeats", type=int, default=None, help="timed runs per command")
    parser.add_argument("--data-dir", default=None, help="where the data sets live")
    args = parser.parse_args(argv)
    repeats = args.repeats or (1 if args.quick else 3)
    step = 10 if args.quick else 1

    paths = {name: Path(p) for name, p in genome.ensure_all(args.data_dir).items()}
    ref = paths["genome"]
    work = ref.parent / f"cli-{os.getpid()}"
    work.mkdir()
    try:
        bed = paths["bed"]
        if step != 1:
            bed = work / "regions.bed"
            with open(paths["bed"]) as src, open(bed, "w") as out:
                out.writelines(itertools.islice(src, 0, None, step))
        regions = work / "regions.txt"
        region_file(paths["bed"], regions, step)
        count = sum(1 for _ in open(bed))

        kelpa = kelpa_command()
        bedtools, samtools = shutil.which("bedtools"), shutil.which("samtools")
        cases = [
            ("getfasta", [*kelpa, "getfasta", ref, bed],
             bedtools and [bedtools, "getfasta", "-fi", ref, "-bed", bed], "bedtools"),
            ("getfasta -s --name", [*kelpa, "getfasta", ref, bed, "-s", "--name"],
             bedtools and [bedtools, "getfasta", "-fi", ref, "-bed", bed, "-s", "-name"],
             "bedtools"),
            ("faidx -r", [*kelpa, "faidx", ref, "-r", regions],
             samtools and [samtools, "faidx", ref, "-r", regions], "samtools"),
            ("faidx -r -i", [*kelpa, "faidx", ref, "-r", regions, "-i"],
             samtools and [samtools, "faidx", ref, "-r", regions, "-i"], "samtools"),
        ]
        print(f"kelpa command vs peers: {count:,} regions of {ref.name}, "
              f"{os.cpu_count()} cores, load average "
              f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
              f"best of {repeats} run(s), output to a file")
        print(f"  {'command':<20} {'kelpa s':>8} {'peer s':>8} {'ratio':>6}   "
              f"{'kelpa cpu':>9} {'peer cpu':>9} {'ratio':>6}   goal")
        ours, theirs = work / "ours.fa", work / "theirs.fa"
        for label, mine, peer, peer_name in cases:
            argv_mine = [str(a) for a in mine]
            wall, cpu = best_of(argv_mine, ours, repeats)
            if not peer:
                print(f"  {label:<20} {wall:8.3f} {'-':>8} {'-':>6}   {cpu:9.3f}"
                      f" {'-':>9} {'-':>6}   SKIP ({peer_name} not installed)")
                continue
            p_wall, p_cpu = best_of([str(a) for a in peer], theirs, repeats)
            mark = "PASS" if p_wall / wall >= GOAL else "MISS"
            if not same_output(ours, theirs):
                mark += ", OUTPUTS DIFFER"
            print(f"  {label:<20} {wall:8.3f} {p_wall:8.3f} {p_wall / wall:5.2f}x"
                  f"   {cpu:9.3f} {p_cpu:9.3f} {p_cpu / cpu:5.2f}x   "
                  f">= {GOAL:g}x {peer_name}: {mark}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
