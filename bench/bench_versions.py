"""kelpa's x86-64 wheels on CPython 3.11, 3.12 and 3.13, each beside pysam on the same interpreter.

    .venv/bin/python bench/bench_versions.py [--rounds N]

For each version whose wheel is in dist/ (`make wheel`), an environment
build/bench-versions/3.X of that version holds the wheel, numpy and pysam
(bench/requirements.txt, --no-deps). Every figure is timed in a fresh
interpreter of that environment, the versions and the two libraries taking
turns so that the machine's drift hits all alike; each is the best of the
rounds (and of 3 runs inside each child).

Rows:

  batch      the 200,000 BED regions of genome.fa: kelpa's fetch_many,
             pysam's fetch in a loop
  single     one random 100-base fetch, as str, warm cache (the mean of a
             loop of 200,000)
  bgzf       the 200,000 regions of genome.fa.gz (bgzip's), as in batch

The ratio is pysam's time over kelpa's: how many times faster kelpa is, on
that interpreter.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import bench_bgzf  # noqa: E402
import genome  # noqa: E402
import in_build  # noqa: E402

VERSIONS = ["3.11", "3.12", "3.13"]

CHILD = (
    "import gc, json, math, random, sys, time\n"
    + in_build.inspect.getsource(in_build.best)
    + r"""
library, work, fasta, bed = sys.argv[1:5]
regions = []
with open(bed) as lines:
    for line in lines:
        chrom, start, end = line.split("\t")[:3]
        regions.append((chrom, int(start) + 1, int(end)))
if library == "kelpa":
    import kelpa
    fa = kelpa.Faidx(fasta)
    fetch = lambda name, start, end: str(fa.fetch(name, start, end))
    batch = lambda: fa.fetch_many(regions)
    file = kelpa.__file__
else:
    import pysam
    fa = pysam.FastaFile(fasta)
    fetch = lambda name, start, end: fa.fetch(name, start - 1, end)
    batch = lambda: [fa.fetch(name, start - 1, end) for name, start, end in regions]
    file = pysam.__file__
if work == "single":
    rng = random.Random(3)
    lengths = [(fields[0], int(fields[1])) for fields in (line.split("\t") for line in open(fasta + ".fai"))]
    calls = []
    for _ in range(200_000):
        name, length = rng.choice(lengths)
        start = rng.randrange(1, length - 100)
        calls.append((name, start, start + 99))
    def loop():
        for name, start, end in calls:
            fetch(name, start, end)
    seconds = best(loop, 3) / len(calls)
else:
    seconds = best(batch, 3)
print(json.dumps({"file": file, "seconds": seconds, "version": "%d.%d" % sys.version_info[:2]}))
"""
)


def environment(version, wheel):
    """build/bench-versions/<version>, holding `wheel`, numpy and the peers (once per wheel)."""
    env = ROOT / "build" / "bench-versions" / version
    python = env / "bin" / "python"
    stamp = env / ".wheel"
    wanted = f"{wheel.name} {wheel.stat().st_mtime_ns}"
    if stamp.exists() and stamp.read_text() == wanted:
        return python
    if not python.exists():
        interpreter = subprocess.run(
            ["bash", str(ROOT / "scripts" / "python.sh"), "find"],
            env={**os.environ, "KELPA_PYTHON_VERSION": version},
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        subprocess.run([interpreter, "-m", "venv", str(env)], check=True)
    pip = [str(python), "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
    subprocess.run([*pip, "numpy"], check=True)
    subprocess.run([*pip, "--no-deps", "-r", str(HERE / "requirements.txt")], check=True)
    subprocess.run([*pip, "--no-deps", "--force-reinstall", str(wheel)], check=True)
    stamp.write_text(wanted)
    return python


def run(python, library, work, fasta, bed, cwd):
    out = subprocess.run(
        [str(python), "-c", CHILD, library, work, str(fasta), str(bed)],
        capture_output=True,
        text=True,
        check=True,
        cwd=cwd,
    ).stdout
    answer = json.loads(out)
    if not answer["file"].startswith(str(python.parent.parent)):
        raise SystemExit(f"imported {answer['file']}, not the one of {python}")
    return answer["seconds"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    plain, bed = genome.genome_fasta(), genome.regions_bed()
    packed = bench_bgzf.compressed(plain)
    pythons = {}
    for version in VERSIONS:
        tag = "cp" + version.replace(".", "")
        wheels = sorted((ROOT / "dist").glob(f"kelpa-*-{tag}-{tag}-manylinux_2_28_x86_64.whl"))
        if not wheels:
            print(f"no {tag} x86-64 wheel in dist/ (make wheel builds it): {version} is skipped")
            continue
        pythons[version] = environment(version, wheels[-1])
    # Both libraries' indexes of the compressed file (beside it, so once for
    # every version), made before the timing.
    if pythons:
        python = next(iter(pythons.values()))
        subprocess.run([str(python), "-c", f"import kelpa; kelpa.Faidx({str(packed)!r})"], check=True)
        subprocess.run([str(python), "-c", f"import pysam; pysam.FastaFile({str(packed)!r})"], check=True)
    rows = [("batch", plain, "ms", 1e3), ("single", plain, "us", 1e6), ("bgzf", packed, "ms", 1e3)]
    print(f"{'':14s}" + "".join(f"{v + ' kelpa':>13s}{'pysam':>10s}{'ratio':>8s}" for v in pythons))
    for work, fasta, unit, scale in rows:
        times = {(v, lib): [] for v in pythons for lib in ("kelpa", "pysam")}
        for _ in range(args.rounds):
            for version, python in pythons.items():
                for library in ("kelpa", "pysam"):
                    times[version, library].append(run(python, library, work, fasta, bed, ROOT))
        best = {key: min(values) for key, values in times.items()}
        print(
            f"{work:8s} {unit:2s}   "
            + "".join(
                f"{best[v, 'kelpa'] * scale:13.2f}{best[v, 'pysam'] * scale:10.2f}"
                f"{best[v, 'pysam'] / best[v, 'kelpa']:8.2f}"
                for v in pythons
            ),
            flush=True,
        )


if __name__ == "__main__":
    main()
