"""Builds of kelpa side by side, same run: what the build changes.

    .venv/bin/python bench/bench_builds.py [--rounds N]

Builds (each imported in fresh interpreters, the builds taking turns so that
the machine's drift hits all alike):

  g++      the everyday build installed in this environment (make build)
  wheel    the module of the release wheel in dist/ (make wheel: zig's
           clang and libc++, for glibc 2.28); skipped when there is none
  zlib     the everyday build with KELPA_USE_LIBDEFLATE=OFF, BGZF blocks
           inflated by zlib (built here into build/bench-zlib)

Rows:

  batch    fetch_many of the 200,000 BED regions, on genome.fa and on
           genome.fa.gz
  single   one random 100-base fetch, str() of it, warm cache (the mean of
           a loop of 200,000 on genome.fa, 20,000 on genome.fa.gz)

Each figure is the best of the rounds; the ratios are against g++. The size
of the wheel file is printed too.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import bench_bgzf  # noqa: E402
import genome  # noqa: E402
import in_build  # noqa: E402

CHILD = (
    in_build.CHILD_PRELUDE
    + r"""
work, fasta, bed, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

fa = kelpa.Faidx(fasta)
if work == "single":
    rng = random.Random(3)
    lengths = [(fields[0], int(fields[1])) for fields in (line.split("\t") for line in open(fasta + ".fai"))]
    calls = []
    for _ in range(count):
        name, length = rng.choice(lengths)
        start = rng.randrange(1, length - 100)
        calls.append((name, start, start + 99))
    fetch = fa.fetch
    def loop():
        for name, start, end in calls:
            str(fetch(name, start, end))
    seconds = best(loop, 3) / count
else:
    regions = []
    with open(bed) as lines:
        for line in lines:
            chrom, start, end = line.split("\t")[:3]
            regions.append((chrom, int(start) + 1, int(end)))
    seconds = best(lambda: fa.fetch_many(regions), 3)
print(json.dumps({"file": kelpa.__file__, "seconds": seconds}))
"""
)


def installed_dir():
    import kelpa

    return Path(kelpa.__file__).parent


def wheel_dir(out):
    """The newest wheel in dist/, unpacked into `out`."""
    wheels = sorted((ROOT / "dist").glob("kelpa-*-manylinux*.whl"), key=os.path.getmtime)
    if not wheels:
        return None, None
    shutil.rmtree(out, ignore_errors=True)
    with zipfile.ZipFile(wheels[-1]) as archive:
        archive.extractall(out)
    return out, wheels[-1]


def zlib_dir(out):
    """The everyday build with zlib for BGZF, installed into `out` (the build
    tree build/zlib is kept, so a second run only recompiles what changed)."""
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "install",
            "--quiet",
            "--disable-pip-version-check",
            "--no-build-isolation",
            "--no-deps",
            "--upgrade",
            "--target",
            str(out),
            "-Cbuild-dir=build/zlib",
            "-Ccmake.define.KELPA_USE_LIBDEFLATE=OFF",
            str(ROOT),
        ],
        check=True,
        cwd=ROOT,
        env={**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": "2"},
    )
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    plain, bed = genome.genome_fasta(), genome.regions_bed()
    packed = bench_bgzf.compressed(plain)
    if not Path(f"{packed}.fai").exists():
        import kelpa

        kelpa.Faidx(str(packed))
    builds = {"g++": installed_dir()}
    wheel_modules, wheel = wheel_dir(ROOT / "build" / "bench-wheel")
    if wheel is None:
        print("no wheel in dist/ (make wheel builds it): the wheel's column is skipped")
    else:
        builds["wheel"] = wheel_modules
        print(f"wheel: {wheel.name}, {wheel.stat().st_size / 1e6:.2f} MB")
    builds["zlib"] = zlib_dir(ROOT / "build" / "bench-zlib")
    rows = [
        ("batch", "genome.fa", plain, 1),
        ("batch", "genome.fa.gz", packed, 1),
        ("single", "genome.fa", plain, 200_000),
        ("single", "genome.fa.gz", packed, 20_000),
    ]
    names = list(builds)
    print(f"{'':22s}" + "".join(f"{n:>12s}" for n in names) + "".join(f"{n + '/g++':>12s}" for n in names[1:]))
    with tempfile.TemporaryDirectory() as tmp:
        for work, label, fasta, count in rows:
            times = {n: [] for n in names}
            for _ in range(args.rounds):
                for name in names:
                    times[name].append(in_build.run(builds[name], CHILD, [work, fasta, bed, count], tmp))
            best = {n: min(t) for n, t in times.items()}
            scale, unit = (1e3, "ms") if work == "batch" else (1e6, "us")
            print(
                f"{work:6s} {label:12s} {unit:2s} "
                + "".join(f"{best[n] * scale:12.2f}" for n in names)
                + "".join(f"{best[n] / best['g++']:12.3f}" for n in names[1:]),
                flush=True,
            )


if __name__ == "__main__":
    main()
