"""Fetch the regions of a BED file on a Dask cluster, one partition per task.

    python bed_dask.py GENOME.fa REGIONS.bed [--partitions 8] [--out-dir DIR]
                       [--scheduler tcp://HOST:8786]

Without --scheduler the tasks run on a LocalCluster of worker processes on
this machine; with it, the same code runs on that cluster, whose workers
must see both files under the same paths. Each task reads its own byte
range of the BED file and fetches it with one fetch_many. With --out-dir
each task writes its partition there as one FASTA file (DIR must be
visible to the workers too); without, the sequences are gathered here and
written to standard output.
"""

import argparse
import contextlib
import os
import sys

from dask.distributed import Client, LocalCluster

import kelpa


def read_partition(bed_path, index, count):
    """The regions of the index-th of `count` equal byte ranges of a BED
    file, as (name, start, end), 1-based and inclusive. A line belongs to
    the range that holds its first byte."""
    size = os.path.getsize(bed_path)
    begin, end = size * index // count, size * (index + 1) // count
    regions = []
    with open(bed_path, "rb") as bed:
        if begin > 0:
            bed.seek(begin - 1)
            bed.readline()  # the rest of a line that began in the range before
        while bed.tell() < end:
            line = bed.readline()
            if not line.strip() or line.startswith((b"#", b"track", b"browser")):
                continue
            chrom, start, stop = line.split(b"\t", 3)[:3]
            regions.append((chrom.decode(), int(start) + 1, int(stop)))
    return regions


def fasta_lines(sequences):
    """FASTA records named chrom:start-end, with BED coordinates."""
    return (f">{s.name}:{s.start - 1}-{s.end}\n{s.seq}\n" for s in sequences)


def fetch_partition(index, fasta, bed_path, count, out_dir=None):
    """Runs on a worker: the Sequences of one partition, or the path of the
    FASTA file they were written to."""
    sequences = fasta.fetch_many(read_partition(bed_path, index, count))
    if out_dir is None:
        return sequences
    path = os.path.join(out_dir, f"part-{index:05d}.fa")
    with open(path, "w") as out:
        out.writelines(fasta_lines(sequences))
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description="Fetch BED regions on a Dask cluster.")
    parser.add_argument("genome")
    parser.add_argument("bed")
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--scheduler", help="address of a running cluster's scheduler")
    parser.add_argument("--out-dir", help="write one FASTA file per partition here")
    args = parser.parse_args(argv)

    # Absolute paths: a relative one would resolve against each worker's
    # working directory.
    fasta = kelpa.Fasta(os.path.abspath(args.genome))
    bed = os.path.abspath(args.bed)
    out_dir = os.path.abspath(args.out_dir) if args.out_dir else None
    if out_dir is not None:
        os.makedirs(out_dir, exist_ok=True)
    with contextlib.ExitStack() as stack:
        cluster = args.scheduler or stack.enter_context(
            LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None))
        client = stack.enter_context(Client(cluster))
        futures = client.map(fetch_partition, range(args.partitions),
                             fasta=fasta, bed_path=bed, count=args.partitions, out_dir=out_dir)
        # gather keeps the order of the futures, so the output follows the BED file.
        for result in client.gather(futures):
            if out_dir is None:
                sys.stdout.writelines(fasta_lines(result))
            else:
                print(result)


if __name__ == "__main__":
    main()
