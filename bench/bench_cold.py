"""Batches on a cold file on a slow filesystem: the reference genome as a
cluster job first meets it, on a network filesystem, never read by the node.

genome.fa (400 Mbp) is served through the latency filesystem
(bench/latency_fs.py: a FUSE passthrough that adds a fixed delay to every
read and counts reads and bytes), at 1 ms and at 5 ms. Each row runs in a
fresh process, as a user who cannot write the file (for whom the kernel
does not say which pages are in memory: when run as root, root without any
capability, and the file shown as the user nobody's): it
drops the file's pages (posix_fadvise DONTNEED; no process holds a mapping
of it), opens the file and runs the batch of the first N regions of
shuffled.bed (regions in random order), N = 20,000 and 200,000. The time is
the open and the batch; the reads and bytes are what the filesystem served.

Rows:
  kelpa fetch_many        Faidx(path).fetch_many(regions)
  kelpa faidx -r          the program, FASTA to /dev/null
  kelpa_arrays.one_hot    one_hot of the regions' starts, 1,000-base windows
  the same, into out=     the same, cold, into an array made (and its
                          pages touched) before: the reads without the
                          first touch of a fresh output
  the same, warm, local   the same job on the local file, in memory, in a
                          fresh process: what it costs without a read (the
                          first touch of its output's 4 bytes a base,
                          800 MB at 200,000 regions, among it)
  pysam loop              FastaFile.fetch, region after region
  samtools faidx -r       FASTA to /dev/null
  floor: pread x64        the regions' byte ranges, merged when under 64 KiB
                          apart, read with 64 threads of pread (nothing else)
  floor: cat              the whole file read in order
  fetch_many .gz random   fetch_many on genome.fa.gz (bgzip'd, indexed by
  fetch_many .gz sorted   kelpa), the regions in random order, and the same
                          regions in file order

Then one long fetch: the first (longest) record whole, from genome.fa and
from genome.fa.gz (bgzip'd, indexed by kelpa):
  kelpa fetch             Faidx(path).fetch_entire_sequence(name)
  kelpa faidx             the program, the record to /dev/null
  pysam fetch             FastaFile.fetch(name)
  samtools faidx          the record to /dev/null
  floor: pread x64        the record's bytes, 256 KiB reads, 64 threads
  floor: in order         the record's bytes, 1 MiB reads one after another

A row that runs past --timeout seconds is cut short and shown as such.

    .venv/bin/python bench/bench_cold.py [--delays 1,5] [--counts 20000,200000]
        [--module-dir DIR] [--program PATH] [--timeout SECONDS]

--module-dir and --program time another build (bench/ab.py's kind of
directory, holding the kelpa modules and libraries) beside the peers.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import genome  # noqa: E402
import latency_fs  # noqa: E402

CHILD = r"""
import json, os, sys, time
kind, path, regions_path = sys.argv[1:4]
regions = []
with open(regions_path) as f:
    for line in f:
        name, start, end = line.split()
        regions.append((name, int(start), int(end)))  # 1-based, inclusive
out = None
if kind == "one_hot_out":  # an output the caller keeps: its pages touched before
    import numpy
    out = numpy.empty((len(regions), 1000, 4), numpy.uint8)
    out.fill(0)
if kind != "one_hot_warm":
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)

def pread_floor():
    from concurrent.futures import ThreadPoolExecutor
    index = {}
    with open(path + ".fai") as f:
        for line in f:
            name, length, offset, bases, width = line.split()[:5]
            index[name] = (int(offset), int(bases), int(width))
    def at(name, base):  # byte of 0-based base
        offset, bases, width = index[name]
        return offset + base // bases * width + base % bases
    ranges = sorted((at(n, s - 1), at(n, e - 1) + 1) for n, s, e in regions)
    merged = []
    for begin, end in ranges:
        if merged and begin <= merged[-1][1] + 65536:
            merged[-1][1] = max(merged[-1][1], end)
        else:
            merged.append([begin, end])
    fd = os.open(path, os.O_RDONLY)
    with ThreadPoolExecutor(64) as pool:
        list(pool.map(lambda r: len(os.pread(fd, r[1] - r[0], r[0])), merged))
    os.close(fd)

def record_bytes():  # the byte range of the first record (the longest)
    with open(path.removesuffix(".gz") + ".fai") as f:
        name, length, offset, bases, width = f.readline().split()[:5]
    length, offset, bases, width = int(length), int(offset), int(bases), int(width)
    return offset, offset + (length - 1) // bases * width + (length - 1) % bases + 1

began = time.perf_counter()
if kind == "record":
    import kelpa
    kelpa.Faidx(path).fetch_entire_sequence(sys.argv[4])
elif kind == "record_pysam":
    import pysam
    pysam.FastaFile(path).fetch(sys.argv[4])
elif kind in ("record_pread", "record_in_order"):
    begin, end = record_bytes()
    fd = os.open(path, os.O_RDONLY)
    if kind == "record_pread":
        from concurrent.futures import ThreadPoolExecutor
        with ThreadPoolExecutor(64) as pool:
            list(pool.map(lambda at: len(os.pread(fd, min(256 << 10, end - at), at)), range(begin, end, 256 << 10)))
    else:
        while begin < end:
            begin += len(os.pread(fd, min(1 << 20, end - begin), begin))
    os.close(fd)
elif kind == "fetch_many":
    import kelpa
    kelpa.Faidx(path).fetch_many(regions)
elif kind in ("one_hot", "one_hot_warm", "one_hot_out"):
    import kelpa, kelpa_arrays
    names, starts = [r[0] for r in regions], [r[1] - 1 for r in regions]
    kelpa_arrays.one_hot(kelpa.Faidx(path), names, starts, length=1000, out=out)
elif kind == "pysam":
    import pysam
    fasta = pysam.FastaFile(path)
    for name, start, end in regions:
        fasta.fetch(name, start - 1, end)
elif kind == "pread":
    pread_floor()
else:
    import subprocess
    subprocess.run(sys.argv[4:], stdout=subprocess.DEVNULL, check=True)
print(json.dumps({"seconds": time.perf_counter() - began}))
"""


def without_privileges():
    """The prefix that runs a command as a user who cannot write the file:
    when running as root, root without any capability (setpriv), which
    the filesystem's files, shown as the user nobody's with mode 0644,
    then refuse writing to."""
    if os.geteuid() != 0:
        return []
    return ["setpriv", "--bounding-set=-all", "--inh-caps=-all", "--"]


def pwd_nobody():
    import pwd

    return pwd.getpwnam("nobody").pw_uid if os.geteuid() == 0 else None


def run_row(kind, path, regions, argv, env, timeout):
    """Seconds of the row, or None when it ran past `timeout`."""
    command = [*without_privileges(), sys.executable, "-c", CHILD, kind, str(path), str(regions), *argv]
    try:
        done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return None
    if done.returncode != 0:
        raise RuntimeError(f"{kind}: {done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])["seconds"]


def timed_row(fs, kind, path, regions, argv, env, timeout):
    """run_row() shown as the tables show it, with the reads and MiB the
    filesystem served meanwhile."""
    before = fs.counts()
    seconds = run_row(kind, path, regions, argv, env, timeout)
    reads, size = (a - b for a, b in zip(fs.counts(), before))
    shown = f"{seconds:8.3f}" if seconds is not None else f">{timeout:7.0f}"
    return f"{shown} {reads:8d} {size / 2**20:8.1f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delays", default="1,5", help="milliseconds per read, comma-separated")
    parser.add_argument("--counts", default="20000,200000", help="regions per batch, comma-separated")
    parser.add_argument("--module-dir", default=None, help="a directory with another build's kelpa modules")
    parser.add_argument("--program", default=None, help="another build's kelpa program")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds before a row is cut short")
    parser.add_argument("--rows", default=None, help="only these rows (comma-separated kinds)")
    args = parser.parse_args(argv)
    if not shutil.which("fusermount") or not os.path.exists("/dev/fuse"):
        sys.exit("bench_cold.py: needs FUSE (/dev/fuse, fusermount: Debian's fuse and libfuse2)")

    fasta = Path(genome.genome_fasta())
    shuffled = Path(genome.shuffled_bed())
    program = args.program or str(Path(sysconfig.get_path("scripts")) / "kelpa")
    samtools = shutil.which("samtools")
    env = dict(os.environ)
    if args.module_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [args.module_dir, env.get("PYTHONPATH")]))

    packed = Path(str(fasta) + ".gz")
    if not packed.exists() and shutil.which("bgzip"):
        subprocess.run(["bgzip", "-@2", "-k", "-f", str(fasta)], check=True)
    work = Path(tempfile.mkdtemp(prefix="kelpa-bench-cold-"))
    os.chmod(work, 0o755)
    source, mountpoint = work / "source", work / "mount"
    source.mkdir()
    os.chmod(source, 0o755)
    for name in ("genome.fa", "genome.fa.fai"):  # the filesystem follows links to the files themselves
        (source / name).symlink_to(fasta.parent / name)
    if packed.exists():
        (source / packed.name).symlink_to(packed)
        subprocess.run([program, "faidx", str(source / packed.name)], check=True, capture_output=True)
        for index in source.glob("genome.fa.gz.*"):
            os.chmod(index, 0o644)
    with open(str(fasta) + ".fai") as f:
        record = f.readline().split()[0]
    counts = [int(c) for c in args.counts.split(",")]
    for count in counts:
        with (
            open(shuffled) as bed,
            open(work / f"regions-{count}.tsv", "w") as tsv,
            open(work / f"regions-{count}.txt", "w") as txt,
        ):
            for _, line in zip(range(count), bed):
                chrom, start, end = line.split("\t", 3)[:3]
                tsv.write(f"{chrom}\t{int(start) + 1}\t{end}\n")
                txt.write(f"{chrom}:{int(start) + 1}-{end}\n")
    with open(str(fasta) + ".fai") as f:
        rank = {line.split()[0]: k for k, line in enumerate(f)}
    for count in counts:  # the same regions in file order
        with open(work / f"regions-{count}.tsv") as f:
            rows_in_order = sorted((line.split() for line in f), key=lambda r: (rank[r[0]], int(r[1])))
        with open(work / f"sorted-{count}.tsv", "w") as f:
            f.writelines("\t".join(r) + "\n" for r in rows_in_order)
    for entry in [*work.glob("regions-*"), *work.glob("sorted-*")]:
        os.chmod(entry, 0o644)

    rows = [
        ("fetch_many", "kelpa fetch_many", lambda p, txt: []),
        ("program", "kelpa faidx -r", lambda p, txt: [program, "faidx", str(p), "-r", str(txt)]),
        ("one_hot", "kelpa_arrays.one_hot", lambda p, txt: []),
        ("one_hot_out", "  the same, into out=", lambda p, txt: []),
        ("one_hot_warm", "  the same, warm, local", lambda p, txt: []),
        ("pysam", "pysam loop", lambda p, txt: []),
        ("samtools", "samtools faidx -r", lambda p, txt: [samtools, "faidx", str(p), "-r", str(txt)]),
        ("pread", "floor: pread x64", lambda p, txt: []),
        ("cat", "floor: cat", lambda p, txt: ["cat", str(p)]),
    ]
    if args.rows:
        rows = [row for row in rows if row[0] in args.rows.split(",")]
    if samtools is None:
        rows = [row for row in rows if row[0] != "samtools"]
    record_rows = [
        ("record", "kelpa fetch", lambda p: [record]),
        ("program", "kelpa faidx", lambda p: [program, "faidx", str(p), record]),
        ("record_pysam", "pysam fetch", lambda p: [record]),
        ("samtools", "samtools faidx", lambda p: [samtools, "faidx", str(p), record]),
        ("record_pread", "floor: pread x64", lambda p: []),
        ("record_in_order", "floor: in order", lambda p: []),
    ]
    if args.rows:
        record_rows = [row for row in record_rows if row[0] in args.rows.split(",")]
    if samtools is None:
        record_rows = [row for row in record_rows if row[0] != "samtools"]
    files = ["genome.fa", *(["genome.fa.gz"] if packed.exists() else [])]
    try:
        for delay in (float(d) for d in args.delays.split(",")):
            with latency_fs.mounted(source, mountpoint, delay / 1000, owner=pwd_nobody()) as fs:
                print(
                    f"\n## {delay:g} ms per read (max_background {fs.max_background}, as "
                    f"{'root without capabilities' if os.geteuid() == 0 else 'the current user'})"
                )
                print(f"{'job':24} {'regions':>8} {'seconds':>8} {'reads':>8} {'MiB':>8}")
                for count in counts:
                    tsv, txt = work / f"regions-{count}.tsv", work / f"regions-{count}.txt"
                    for kind, label, extra in rows:
                        if kind == "cat" and count != counts[0]:
                            continue
                        # The warm row reads the local file: what one_hot costs without a read.
                        path = fasta if kind == "one_hot_warm" else mountpoint / "genome.fa"
                        shown = timed_row(fs, kind, path, tsv, extra(path, txt), env, args.timeout)
                        regions = "all" if kind == "cat" else f"{count}"
                        print(f"{label:24} {regions:>8} {shown}", flush=True)
                    if packed.exists() and (not args.rows or "bgzf" in args.rows.split(",")):
                        for label, regions_file in (("random", tsv), ("sorted", work / f"sorted-{count}.tsv")):
                            path = mountpoint / packed.name
                            shown = timed_row(fs, "fetch_many", path, regions_file, [], env, args.timeout)
                            print(f"{'fetch_many .gz ' + label:24} {count:>8} {shown}", flush=True)
                if not record_rows:
                    continue
                print(f"\n{'one long fetch: ' + record + ', whole':34} {'seconds':>8} {'reads':>8} {'MiB':>8}")
                for name in files:
                    for kind, label, extra in record_rows:
                        if kind.startswith("record_") and kind != "record_pysam" and name != "genome.fa":
                            continue  # the floors read plain bytes
                        path = mountpoint / name
                        regions = work / f"regions-{counts[0]}.tsv"
                        shown = timed_row(fs, kind, path, regions, extra(path), env, args.timeout)
                        print(f"{label + ', ' + name:34} {shown}", flush=True)
    finally:
        subprocess.run(["fusermount", "-u", "-q", str(mountpoint)], check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
