"""A tour of kelpa on the small FASTA file bundled beside this script.

Run with `make demo`. The FASTA file is copied to a temporary directory
first, so the index that kelpa builds on first use is written there.
"""

import os
import shutil
import subprocess
import sys
import tempfile

import kelpa

HERE = os.path.dirname(os.path.abspath(__file__))


def section(title):
    print()
    print(f"== {title}")


def main():
    with tempfile.TemporaryDirectory() as workdir:
        reference = os.path.join(workdir, "demo.fa")
        shutil.copy(os.path.join(HERE, "demo.fa"), reference)
        bed = os.path.join(HERE, "demo.bed")

        section("Records (the index demo.fa.fai is built on first open)")
        fasta = kelpa.Fasta(reference)
        for name, record in fasta.items():
            print(f"{name:5} {len(record):5} bases, {record.unpadded_len:5} without flanking N")

        section("Slicing a record: 0-based, end excluded, as in Python")
        chr1 = fasta["chr1"]
        piece = chr1[1000:1030]
        print(repr(piece))
        print("reverse complement:", repr(-piece))
        print("GC content:", round(piece.gc, 3), "| among A/C/G/T:", round(piece.gc_strict, 3))

        section("Fetching by 1-based inclusive coordinates")
        faidx = kelpa.Faidx(reference)
        print(repr(faidx.fetch("chr2", 1, 40)))

        section("Cutting every region of a BED file, minus strand reverse complemented")
        regions, strands = [], []
        with open(bed) as lines:
            for line in lines:
                chrom, start, end, name, _score, strand = line.split()[:6]
                regions.append((chrom, int(start) + 1, int(end)))  # BED is 0-based, half-open
                strands.append(strand)
        forward = fasta.fetch_many(regions)
        for sequence, strand in list(zip(forward, strands))[:4]:
            shown = -sequence if strand == "-" else sequence
            print(f"{shown.fancy_name:32} {strand} {shown.seq}")
        print(f"... {len(forward)} regions in all")

        section("The same job from the command line: kelpa getfasta -s")
        # The program pip installed beside this interpreter (.venv/bin/kelpa).
        program = os.path.join(os.path.dirname(sys.executable), "kelpa")
        if not os.path.exists(program):
            print(f"the kelpa program is not installed at {program}")
            return
        result = subprocess.run([program, "getfasta", reference, bed, "-s"], capture_output=True, text=True)
        if result.returncode == 0:
            print("\n".join(result.stdout.splitlines()[:6]))
        else:
            print(result.stderr.strip())


if __name__ == "__main__":
    main()
