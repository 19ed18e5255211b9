"""Fetch the regions of a BED file on a Dask cluster, one partition per task.

    python bed_dask.py GENOME.fa REGIONS.bed [--partitions 8] [--out-dir DIR]
                       [--scheduler tcp://HOST:8786]

Without --scheduler the tasks run on a LocalCluster of worker processes on
this machine; with it, the same code runs on that cluster, whose workers
must see both files under the same paths (or GENOME.fa is a URL, which
every worker reads in place). Each task reads its own byte
range of the BED file and fetches it with one fetch_many. With --out-dir
each task writes its partition there as one FASTA file (DIR must be
visible to the workers too); without, the sequences are gathered here and
written to standard output. The features bedtools getfasta skips are
skipped with its warnings, which come back with the results and are written
to standard error here, in the order of the BED file.
"""

import argparse
import contextlib
import logging
import os
import sys

from dask.distributed import Client, LocalCluster

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


def read_partition(bed_path, index, count, fasta):
    """The features of the index-th of `count` equal byte ranges of a BED
    file (BED3 to BED12) as (name, start, end), 1-based and inclusive, and
    the warnings bedtools getfasta writes for those of them it skips. A line
    belongs to the range that holds its first byte; header and blank lines
    are passed over."""
    lengths = {name: len(record) for name, record in fasta.items()}
    size = os.path.getsize(bed_path)
    begin, end = size * index // count, size * (index + 1) // count
    regions, warnings = [], []
    with open(bed_path, "rb") as bed:
        if begin > 0:
            bed.seek(begin - 1)
            bed.readline()  # the rest of a line that began in the range before
        while bed.tell() < end:
            line = bed.readline().decode()
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            chrom, start, stop = line.split("\t", 3)[:3]
            start, stop = int(start), int(stop)
            if start > stop:
                raise ValueError(f"malformed BED entry {line!r}: start was greater than end")
            if warning := skipped(chrom, start, stop, lengths):
                warnings.append(warning)
            else:
                regions.append((chrom, start + 1, stop))
    return regions, warnings


def fasta_lines(sequences):
    """FASTA records named chrom:start-end, with BED coordinates."""
    return (f">{s.name}:{s.start - 1}-{s.end}\n{s.seq}\n" for s in sequences)


def fetch_partition(index, fasta, bed_path, count, out_dir=None):
    """Runs on a worker: the warnings for the features of one partition
    that are skipped, and the Sequences of the others or the path of the
    FASTA file they were written to."""
    regions, warnings = read_partition(bed_path, index, count, fasta)
    sequences = fasta.fetch_many(regions)
    if out_dir is None:
        return warnings, sequences
    path = os.path.join(out_dir, f"part-{index:05d}.fa")
    with open(path, "w") as out:
        out.writelines(fasta_lines(sequences))
    return warnings, path


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
    # working directory. A URL (https://, s3://, gs://) is read in place by
    # every worker, with the credentials of the worker's own environment.
    remote = args.genome.startswith(("http://", "https://", "s3://", "gs://"))
    fasta = kelpa.Fasta(args.genome if remote else os.path.abspath(args.genome))
    bed = os.path.abspath(args.bed)
    out_dir = os.path.abspath(args.out_dir) if args.out_dir else None
    if out_dir is not None:
        os.makedirs(out_dir, exist_ok=True)
    with contextlib.ExitStack() as stack:
        # A LocalCluster's scheduler serves HTTP on a free port of loopback (on
        # 8787, its default, it would warn when another cluster has it), and
        # Dask's own log records below critical stay out of the standard error
        # that the skipped features' warnings go to (a worker whose heartbeat
        # meets a scheduler that is shutting down logs an error).
        cluster = args.scheduler or stack.enter_context(
            LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                dashboard_address="127.0.0.1:0",
                silence_logs=logging.CRITICAL,
            )
        )
        client = stack.enter_context(Client(cluster))
        futures = client.map(
            fetch_partition, range(args.partitions), fasta=fasta, bed_path=bed, count=args.partitions, out_dir=out_dir
        )
        # gather keeps the order of the futures, so the output follows the BED file.
        for warnings, result in client.gather(futures):
            sys.stderr.writelines(warnings)
            if out_dir is None:
                sys.stdout.writelines(fasta_lines(result))
            else:
                print(result)


if __name__ == "__main__":
    main()
