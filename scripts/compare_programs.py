"""Runs two builds of the kelpa program on the same files and compares their output byte for byte.

    python scripts/compare_programs.py REFERENCE OTHER [--run-other PREFIX]

REFERENCE and OTHER are kelpa programs (e.g. the x86-64 one and the
aarch64 one, which `--run-other "bash scripts/aarch64.sh exec"` runs under
emulation). The files are made here: a FASTA file of random text (lower and
upper case, N runs, IUPAC codes, lines of several widths, one part with
CRLF line ends), its BGZF copy, and a BED6 and a BED12 file of random
features. Each command line runs with both programs, on the plain and the
compressed file: `index`, `faidx` (forward, reverse complement, region
files, -c over a bad region), `getfasta` (strand, names, BED12 blocks, tab
output). Standard output, standard error, the exit status and the files
written must be the same.
"""

import argparse
import os
import random
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from bgzf_writer import write_bgzf  # noqa: E402

LETTERS = "ACGTacgtNnRYKMSWBDHVryk"


def sequence(rng, length):
    text = []
    while len(text) < length:
        run = rng.choice(["ACGT", "acgt", "N", LETTERS])
        text.extend(rng.choices(run, k=rng.randint(1, 300)))
    return "".join(text[:length])


def write_files(folder, rng):
    records = []
    for i in range(12):
        width = rng.choice([1, 7, 15, 16, 17, 31, 32, 33, 60, 61, 63, 64, 65, 80, 127, 128, 129])
        records.append((f"seq{i}", sequence(rng, rng.randint(1, 20000)), width))
    lines = []
    for name, text, width in records:
        lines.append(f">{name} description {len(text)}\n")
        lines.extend(text[k : k + width] + "\n" for k in range(0, len(text), width))
    plain = folder / "ref.fa"
    plain.write_text("".join(lines))
    crlf = folder / "crlf.fa"
    crlf.write_text("".join(lines[: len(lines) // 2]).replace("\n", "\r\n"), newline="")
    write_bgzf(folder / "ref.fa.gz", "".join(lines).encode(), block_sizes=[65280, 4000, 17])

    bed, bed12, regions = [], [], []
    for _ in range(400):
        name, text, _ = rng.choice(records)
        start = rng.randint(0, len(text) - 1)
        end = rng.randint(start + 1, min(len(text), start + 3000))
        strand = rng.choice("+-")
        bed.append(f"{name}\t{start}\t{end}\tf{len(bed)}\t0\t{strand}\n")
        if end - start >= 20:
            sizes, starts = [5, end - start - 15], [0, 10]
            bed12.append(
                f"{name}\t{start}\t{end}\tb{len(bed12)}\t0\t{strand}\t{start}\t{end}\t0\t2\t"
                f"{','.join(map(str, sizes))}\t{','.join(map(str, starts))}\n"
            )
        regions.append(f"{name}:{start + 1}-{end}")
    (folder / "features.bed").write_text("".join(bed))
    (folder / "blocks.bed").write_text("".join(bed12))
    (folder / "regions.txt").write_text("\n".join(regions) + "\n")
    return regions


def command_lines(regions):
    some = regions[:40]
    for reference in ["ref.fa", "ref.fa.gz"]:
        yield ["index", reference]
        yield ["faidx", reference, *some]
        yield ["faidx", "-i", "-n", "70", reference, *some]
        yield ["faidx", "-r", "regions.txt", reference]
        yield ["faidx", "-c", reference, "seq0:5-9", "nothere:1-4", "seq1"]
        yield ["faidx", reference, "nothere:1-4"]
        yield ["getfasta", "-fi", reference, "-bed", "features.bed"]
        yield ["getfasta", "-fi", reference, "-bed", "features.bed", "-s", "-name", "-tab"]
        yield ["getfasta", "-fi", reference, "-bed", "blocks.bed", "-s", "-split", "-nameOnly"]
    yield ["index", "crlf.fa"]
    yield ["faidx", "crlf.fa", "seq0", "seq1:3-90"]


def run(prefix, program, folder, arguments, into):
    work = folder / into
    work.mkdir()
    for file in folder.iterdir():
        if file.is_file():
            (work / file.name).symlink_to(file)
    done = subprocess.run([*prefix, program, *arguments], cwd=work, capture_output=True)
    written = {
        file.name: file.read_bytes() for file in sorted(work.iterdir()) if file.is_file() and not file.is_symlink()
    }
    return done.returncode, done.stdout, done.stderr, written


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("reference")
    parser.add_argument("other")
    parser.add_argument("--run-other", default="", help="a command prefix that runs OTHER (e.g. an emulator)")
    parser.add_argument("--seed", type=int, default=20261209)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    prefix = shlex.split(args.run_other)
    failures = 0
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        regions = write_files(folder, rng)
        for number, arguments in enumerate(command_lines(regions)):
            expected = run([], os.path.abspath(args.reference), folder, arguments, f"a{number}")
            found = run(prefix, os.path.abspath(args.other), folder, arguments, f"b{number}")
            shown = "kelpa " + shlex.join(arguments[:8]) + (" ..." if len(arguments) > 8 else "")
            if expected != found:
                failures += 1
                for what, a, b in zip(
                    ["exit status", "standard output", "standard error", "files written"], expected, found
                ):
                    if a != b:
                        print(f"compare_programs: {shown}: not the same {what}", file=sys.stderr)
            else:
                print(f"compare_programs: {shown}: same ({len(expected[1])} bytes, exit {expected[0]})")
    if failures:
        sys.exit(f"compare_programs: {failures} command lines differ")


if __name__ == "__main__":
    main()
