"""What kelpa is measured against: other FASTA readers and plain Python.

- pysam and pyfastx, imported when installed (None otherwise);
- samtools, bedtools and seqkit, found on PATH (None otherwise);
- the floors: the same work done on the genome held in memory as one bytes
  object and one str per record, so no file access at all.
"""

import contextlib
import os
import shutil
import subprocess
import sys

try:
    import pysam
except ImportError:
    pysam = None

try:
    import pyfastx
except ImportError:
    pyfastx = None

TOOLS = {name: shutil.which(name) for name in ("samtools", "bedtools", "seqkit")}


def missing():
    """Names of the peers that are not installed."""
    names = [name for name, path in TOOLS.items() if path is None]
    if pysam is None:
        names.append("pysam")
    if pyfastx is None:
        names.append("pyfastx")
    return names


# Complement of every byte, as kelpa does it: IUPAC letters keep their case,
# "n" stays "n", everything else becomes "N".
_PAIRS = "ATBVCGDHKMRYSSWWXX"
_FROM = bytearray(b"N" * 256)
for _a, _b in zip(_PAIRS[0::2], _PAIRS[1::2]):
    for _x, _y in ((_a, _b), (_b, _a), (_a.lower(), _b.lower()), (_b.lower(), _a.lower())):
        _FROM[ord(_x)] = ord(_y)
_FROM[ord("n")] = ord("n")
COMPLEMENT = bytes(_FROM)


def revcomp(data):
    """Reverse complement of `data` (bytes) the plain Python way."""
    return data.translate(COMPLEMENT)[::-1]


def read_fasta(path):
    """{name: bases as bytes} of a FASTA file, read with plain Python."""
    with open(path, "rb") as handle:
        data = handle.read()
    records = {}
    for chunk in data.split(b"\n>"):
        header, _, body = chunk.partition(b"\n")
        name = header.lstrip(b">").split()[0].decode()
        records[name] = body.replace(b"\n", b"").replace(b"\r", b"")
    return records


def read_bed(path):
    """[(chrom, start, end, strand)] of a BED file: 0-based, half-open."""
    regions = []
    with open(path) as handle:
        for line in handle:
            fields = line.split("\t")
            strand = fields[5].strip() if len(fields) > 5 else "+"
            regions.append((fields[0], int(fields[1]), int(fields[2]), strand))
    return regions


@contextlib.contextmanager
def quiet():
    """Silence file descriptors 1 and 2 (pyfastx talks while indexing)."""
    saved = [os.dup(1), os.dup(2)]
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, devnull):
            os.close(fd)


def pyfastx_open(path):
    """pyfastx.Fasta over `path`, its own index built first if need be."""
    with quiet():
        return pyfastx.Fasta(str(path))


def run_tool(*args):
    """Run a command line tool, its output thrown away; fail loudly."""
    done = subprocess.run([str(a) for a in args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise RuntimeError(f"{args[0]} failed: {done.stderr.decode()[-500:]}")


# Runs argv[1:] as its only child and passes its exit status on.
LAUNCH = "import subprocess, sys; sys.exit(subprocess.call(sys.argv[1:]))"


def peak_rss_mb_of(*args):
    """Peak resident memory (MB) of a command, run as the only child of a
    small launcher (a child of a large process starts with its peak)."""
    code = (
        "import resource, subprocess, sys;"
        "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL);"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code, *[str(a) for a in args]], check=True, capture_output=True, text=True
    ).stdout
    return int(out.split()[-1]) / 1024
