"""Measurements that need a process of their own, run by bench/run.py.

The worker pool is sized once per process (RAYON_NUM_THREADS), and peak
memory (ru_maxrss) only ever grows, so these run in fresh children and
print one JSON object on stdout:

  probe.py build FASTA              build FASTA's index (the .fai must be
                                    absent); peak memory before and after
  probe.py batch FASTA BED REPEATS  best time of one fetch_many call over
                                    every region of BED
  probe.py batch-long FASTA REPEATS  the same for 1000 regions of 100,000
                                    bases spread over FASTA's records
  probe.py batch-mem FASTA BED 0|1  memory with the regions of BED read and,
                                    given 1, fetched by one fetch_many call
                                    (results held)
"""

import gc
import json
import resource
import sys
import time

import kelpa


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def status_mb(field):
    """A field of /proc/self/status (RssAnon, RssFile, ...) in MB."""
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def regions_of(bed):
    """kelpa regions (1-based, inclusive) of every line of a BED file."""
    regions = []
    with open(bed) as handle:
        for line in handle:
            chrom, start, end = line.split("\t", 3)[:3]
            regions.append((chrom, int(start) + 1, int(end)))
    return regions


def build(fasta):
    before = peak_mb()
    began = time.perf_counter()
    kelpa.Faidx(fasta)
    seconds = time.perf_counter() - began
    return {"base_mb": before, "peak_mb": peak_mb(), "seconds": seconds}


def batch(fasta, bed, repeats, regions=None):
    faidx = kelpa.Faidx(fasta)
    regions = regions or regions_of(bed)
    gc.disable()
    faidx.fetch_many(regions)  # warm-up: starts the pool, fills the cache
    best = float("inf")
    for _ in range(int(repeats)):
        began = time.perf_counter()
        result = faidx.fetch_many(regions)
        best = min(best, time.perf_counter() - began)
        del result
    return {"seconds": best, "regions": len(regions)}


def batch_long(fasta, repeats):
    """Long regions: copying the bases, the workers' part, outweighs
    preparing the results."""
    kelpa.Faidx(fasta)  # makes sure the index exists
    with open(fasta + ".fai") as handle:
        records = [(line.split("\t")[0], int(line.split("\t")[1])) for line in handle]
    total = sum(length for _, length in records)
    regions = []
    for name, length in records:
        share = max(1, round(1000 * length / total))
        step = max(1, (length - 100_000) // share)
        regions += [(name, 1 + i * step, i * step + 100_000) for i in range(share) if i * step + 100_000 <= length]
    return batch(fasta, None, repeats, regions)


def batch_mem(fasta, bed, fetch):
    """With fetch "0" the baseline: everything but the batch itself."""
    faidx = kelpa.Faidx(fasta)
    regions = regions_of(bed)
    gc.disable()
    anon = status_mb("RssAnon")
    result = faidx.fetch_many(regions) if fetch == "1" else []
    return {
        "peak_mb": peak_mb(),
        "anon_mb": status_mb("RssAnon") - anon,
        "file_mb": status_mb("RssFile"),
        "result_mb": sum(end - start + 1 for _, start, end in regions) / 2**20,
        "sequences": len(result),
    }


TASKS = {"build": build, "batch": batch, "batch-long": batch_long, "batch-mem": batch_mem}

if __name__ == "__main__":
    print(json.dumps(TASKS[sys.argv[1]](*sys.argv[2:])))
