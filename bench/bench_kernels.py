"""The portable kernels beside the best path of this CPU, same run.

    .venv/bin/python bench/bench_kernels.py [--rounds N]

Every workload runs in fresh interpreters, one with KELPA_KERNELS=portable
and one without (AVX2 or SSSE3 on x86-64, NEON on aarch64), taking turns
so that the machine's drift hits both alike. Each figure is the best of the
rounds (each round the best of 3 calls); the ratio is portable / best.

Rows:
  rc          -seq of a Sequence of 100 Mbp (bench/genome.py's bases: ACGT,
              40% soft-masked, runs of N)
  complement  .complement of the same Sequence
  gc          .gc, .gc_strict and .gc_iupac of it
  fetch       whole records of genome.fa, 100 Mbp in all: the copy that
              drops the line breaks
  codes       200,000 windows of 1,000 bases at random places on genome.fa,
              10% running off a record's end, half reverse complemented
              (bench/bench_arrays.py's workload), uint8 into a given out
  one_hot     the same windows, uint8, a fresh output
  index       building genome.fa's index (400 Mbp): the scan for line ends
"""

import argparse
import json
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import genome  # noqa: E402
from in_build import best  # noqa: E402

BASES = 100_000_000
WINDOWS = 200_000
WINDOW = 1000
ROWS = ["rc", "complement", "gc", "gc_strict", "gc_iupac", "fetch", "codes", "one_hot", "index"]


def child(fasta):
    """Times every row in this interpreter; prints {"path": ..., row: seconds}."""
    import bench_arrays
    import numpy as np

    import kelpa
    import kelpa_arrays

    shown = subprocess.run(
        [os.path.join(sysconfig.get_path("scripts"), "kelpa"), "--version"], capture_output=True, text=True, check=True
    ).stdout
    seconds = {"path": re.search(r"^kernels: (\S+)$", shown, re.M).group(1)}
    text = genome.chromosome_bases(genome._rng(9, 0), BASES).tobytes().decode()
    seq = kelpa.Sequence("bench", text, 1, BASES)
    del text
    seconds["rc"] = best(lambda: -seq, 3)
    seconds["complement"] = best(lambda: seq.complement, 3)
    seconds["gc"] = best(lambda: seq.gc, 3)
    seconds["gc_strict"] = best(lambda: seq.gc_strict, 3)
    seconds["gc_iupac"] = best(lambda: seq.gc_iupac, 3)
    del seq

    fa = kelpa.Faidx(str(fasta))
    records, total = [], 0
    for name, length in genome.genome_records():
        if total >= BASES:
            break
        take = min(length, BASES - total)
        records.append((name, 1, take))
        total += take
    seconds["fetch"] = best(lambda: [fa.fetch(*region) for region in records], 3)

    names = [name for name, _ in genome.genome_records()]
    lengths = np.array([length for _, length in genome.genome_records()], np.int64)
    rows, starts, rc = bench_arrays.workload(names, lengths, WINDOWS, WINDOW)
    out = np.ones((WINDOWS, WINDOW), np.uint8)
    seconds["codes"] = best(lambda: kelpa_arrays.codes(fa, rows, starts, length=WINDOW, rc=rc, out=out), 3)
    seconds["one_hot"] = best(lambda: kelpa_arrays.one_hot(fa, rows, starts, length=WINDOW, rc=rc), 3)

    with tempfile.TemporaryDirectory() as scratch:
        index = Path(scratch) / "genome.fa.fai"

        def build():
            index.unlink(missing_ok=True)
            return kelpa.Faidx(str(fasta), indexname=str(index))

        seconds["index"] = best(build, 3)
    print(json.dumps(seconds))


def run_child(fasta, portable):
    env = dict(os.environ)
    env.pop("KELPA_KERNELS", None)
    if portable:
        env["KELPA_KERNELS"] = "portable"
    out = subprocess.run(
        [sys.executable, __file__, "--child", str(fasta)], env=env, capture_output=True, text=True, check=True
    ).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(Path(args.child))
    fasta = genome.genome_fasta()
    fastest = {False: {}, True: {}}
    names = {}
    for _ in range(args.rounds):
        for portable in (False, True):
            result = run_child(fasta, portable)
            names[portable] = result.pop("path")
            for row, seconds in result.items():
                fastest[portable][row] = min(seconds, fastest[portable].get(row, seconds))
    if names[True] != "portable":
        raise SystemExit(f"KELPA_KERNELS=portable ran the {names[True]} kernels")
    print(f"kernels: {names[False]} (this CPU's best) vs portable, best of {args.rounds} rounds")
    print(f"{'':12}{names[False]:>12}{'portable':>12}  portable / {names[False]}")
    for row in ROWS:
        ours, portable = fastest[False][row], fastest[True][row]
        print(f"{row:12}{ours * 1e3:10.1f}ms{portable * 1e3:10.1f}ms  {portable / ours:.2f}x")


if __name__ == "__main__":
    main()
