"""Two builds of kelpa side by side: the same three workloads in one run.

    .venv/bin/python bench/ab.py DIR_A [DIR_B] [--rounds N]

Each DIR holds a kelpa extension module (the .so file); DIR_B defaults to
the build installed in this environment. The workloads, each timed in a
fresh interpreter that imports kelpa from that directory, with the two
builds taking turns so that the machine's drift hits both alike:

  build    building the .fai of genome.fa (400 Mbp)
  fetch    200,000 random 100-base fetches, str() of each
  batch    fetch_many of the 200,000 BED regions

For each, the best time of the rounds is printed for A and B and as the
ratio B / A (below 1: B is faster). The data comes from bench/genome.py.
"""

import argparse
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import genome  # noqa: E402
import in_build  # noqa: E402

CHILD = (
    in_build.CHILD_PRELUDE
    + r"""
work, genome_path, bed_path, tmp = sys.argv[1:5]

if work == "build":
    link = os.path.join(tmp, "genome.fa")
    if not os.path.exists(link):
        os.symlink(genome_path, link)
    clear = lambda: os.path.exists(link + ".fai") and os.remove(link + ".fai")
    seconds = best(lambda: kelpa.Faidx(link), 3, clear)
else:
    fa = kelpa.Faidx(genome_path)
    if work == "fetch":
        rng = random.Random(3)
        names = fa.keys
        lengths = {n: len(fa.fetch_entire_sequence(n).seq) for n in names}
        calls = []
        for _ in range(200_000):
            n = rng.choice(names)
            s = rng.randrange(1, lengths[n] - 100)
            calls.append((n, s, s + 99))
        fetch = fa.fetch
        def loop():
            for n, a, b in calls:
                str(fetch(n, a, b))
        seconds = best(loop, 5)
    else:
        regions = []
        with open(bed_path) as bed:
            for line in bed:
                c, s, e = line.split("\t")[:3]
                regions.append((c, int(s) + 1, int(e)))
        seconds = best(lambda: fa.fetch_many(regions), 5)
print(json.dumps({"file": kelpa.__file__, "seconds": seconds}))
"""
)


def module_dir(path):
    if path is None:
        import kelpa

        return str(Path(kelpa.__file__).parent)
    return str(Path(path).resolve())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("a", help="directory of build A (the baseline)")
    parser.add_argument("b", nargs="?", help="directory of build B (default: the installed one)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", choices=["build", "fetch", "batch"], action="append")
    args = parser.parse_args()
    paths = {"genome": genome.genome_fasta(), "bed": genome.regions_bed()}
    a, b = module_dir(args.a), module_dir(args.b)
    print(f"A: {a}\nB: {b}")
    with tempfile.TemporaryDirectory() as tmp:
        for work in args.only or ["build", "fetch", "batch"]:
            times = {a: [], b: []}
            for _ in range(args.rounds):
                for directory in (a, b):
                    times[directory].append(
                        in_build.run(directory, CHILD, [work, paths["genome"], paths["bed"], tmp], tmp)
                    )
            ta, tb = min(times[a]), min(times[b])
            print(f"{work:6s}  A {ta * 1e3:9.2f} ms   B {tb * 1e3:9.2f} ms   B/A {tb / ta:6.3f}", flush=True)


if __name__ == "__main__":
    main()
