"""Fetch the regions of a BED file with a pool of processes.

    python bed_pool.py GENOME.fa REGIONS.bed [--start-method spawn] [--workers 4] > regions.fa

Each task receives the Fasta and one chunk of the regions, and sends back
the Sequences. The Fasta travels as its path and options: every process
opens and maps the genome itself, so no bases are copied between them.
"""

import argparse
import multiprocessing
import sys
from concurrent.futures import ProcessPoolExecutor

import kelpa


def skipped(chrom, start, end, lengths):
    """The warning bedtools getfasta writes for a BED feature it skips, or
    None for one it prints."""
    if start == end:
        return f"Feature ({chrom}:{start}-{end}) has length = 0, Skipping.\n"
    if chrom not in lengths:
        return f"WARNING. chromosome ({chrom}) was not found in the FASTA file. Skipping.\n"
    if end > lengths[chrom]:
        return f"Feature ({chrom}:{start}-{end}) beyond the length of {chrom} size ({lengths[chrom]} bp).  Skipping.\n"
    return None


def read_bed(path, fasta):
    """The features of a BED file (BED3 to BED12) as (name, start, end),
    1-based and inclusive. Header and blank lines are passed over; the
    features bedtools getfasta skips are skipped with its warning on
    standard error."""
    lengths = {name: len(record) for name, record in fasta.items()}
    regions = []
    with open(path) as bed:
        for number, line in enumerate(bed, 1):
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            chrom, start, end = line.split("\t", 3)[:3]
            start, end = int(start), int(end)
            if start > end:
                sys.exit(f"Error: malformed BED entry at line {number}. Start was greater than end. Exiting.")
            if warning := skipped(chrom, start, end, lengths):
                sys.stderr.write(warning)
            else:
                regions.append((chrom, start + 1, end))
    return regions


def fetch_chunk(fasta, regions):
    return fasta.fetch_many(regions)


def fasta_lines(sequences):
    """FASTA records named chrom:start-end, with BED coordinates."""
    return (f">{s.name}:{s.start - 1}-{s.end}\n{s.seq}\n" for s in sequences)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Fetch BED regions with a pool of processes.")
    parser.add_argument("genome")
    parser.add_argument("bed")
    parser.add_argument("--start-method", default="spawn", choices=["fork", "spawn", "forkserver"])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=20_000, help="regions per task")
    args = parser.parse_args(argv)

    fasta = kelpa.Fasta(args.genome)
    regions = read_bed(args.bed, fasta)
    chunks = [regions[i : i + args.chunk] for i in range(0, len(regions), args.chunk)]
    context = multiprocessing.get_context(args.start_method)
    with ProcessPoolExecutor(args.workers, mp_context=context) as pool:
        # map keeps the order of the chunks, so the output follows the BED file.
        for sequences in pool.map(fetch_chunk, [fasta] * len(chunks), chunks):
            sys.stdout.writelines(fasta_lines(sequences))


if __name__ == "__main__":
    main()
