"""Remote references: kelpa against pysam and samtools on a FASTA file served
over HTTP, each request delayed as a cloud store delays it.

    .venv/bin/python bench/bench_remote.py [--regions N] [--peer-regions N]
                                           [--delay SECONDS] [--data-dir DIR]

nginx on loopback serves the benchmark genome (genome.fa, and genome.fa.gz
compressed with bgzip); a proxy of our own in front of it adds --delay (20
ms) to every request and counts the requests and the bytes it passes on.
Measured, ours and the peers' in the same run, as time per region:

    fetch_many of N random 1 kb regions     a pysam FastaFile(url) loop
    kelpa faidx URL -r REGIONS              samtools faidx URL -r REGIONS

on the plain and on the BGZF file, and the bytes each transferred against
the bytes of the regions' lines. The peers take one blocking request per
region, so they run on the first --peer-regions regions only (their time
per region does not depend on how many there are). Last, one 100-base
fetch on a freshly opened file: its requests and time, after the open's.

Needs nginx and openssl (Debian) for the server; a missing peer is reported
and skipped.
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
sys.path.insert(0, TESTS)

from remote_servers import Nginx  # noqa: E402

import kelpa  # noqa: E402


def random_regions(fai, count, length, seed=25):
    rng = random.Random(seed)
    records = [(line.split("\t")[0], int(line.split("\t")[1])) for line in open(fai)]
    records = [(name, size) for name, size in records if size > length]
    out = []
    for _ in range(count):
        name, size = rng.choice(records)
        start = rng.randrange(1, size - length + 2)
        out.append((name, start, start + length - 1))
    return out


def line_bytes(regions, width=60):
    """Bytes of the lines holding the regions' bases, line breaks included."""
    return sum(((e - 1) // width - (s - 1) // width + 1) * (width + 1) for _, s, e in regions)


class Proxy:
    """The delaying proxy (tests/remote_servers.py) in a process of its own."""

    def __init__(self, upstream, delay):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(TESTS, "remote_servers.py"), upstream, str(delay)],
            stdout=subprocess.PIPE,
            text=True,
        )
        self.url = self.process.stdout.readline().strip()

    def counts(self):
        with urllib.request.urlopen(self.url + "/__counts") as answer:
            return json.load(answer)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Counter:
    def __init__(self, proxy):
        self.proxy = proxy

    def __enter__(self):
        counts = self.proxy.counts()
        self.requests, self.sent, self.started = counts["requests"], counts["sent"], time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.started
        counts = self.proxy.counts()
        self.requests = counts["requests"] - self.requests
        self.sent = counts["sent"] - self.sent


def row(label, count, counted, wanted=None):
    per = counted.seconds / count * 1e3
    extra = f"  bytes {counted.sent / wanted:6.2f}x the lines'" if wanted else ""
    print(
        f"  {label:<44} {count:>6} regions {counted.seconds:8.2f} s {per:8.3f} ms/region "
        f"{counted.requests:>7} requests{extra}",
        flush=True,
    )
    return per


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--regions", type=int, default=10_000)
    parser.add_argument("--peer-regions", type=int, default=500)
    parser.add_argument("--delay", type=float, default=0.020)
    parser.add_argument("--data-dir", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "data"))
    args = parser.parse_args()
    if shutil.which("nginx") is None and not os.path.exists("/usr/sbin/nginx"):
        print("bench_remote: nginx is not installed (apt-get install nginx); skipped")
        return
    data = os.path.abspath(args.data_dir)
    work = tempfile.mkdtemp(prefix="kelpa-remote-")
    www = os.path.join(work, "www")
    os.makedirs(www)
    for name in ("genome.fa", "genome.fa.fai", "genome.fa.gz", "genome.fa.gz.fai", "genome.fa.gz.gzi"):
        os.symlink(os.path.join(data, name), os.path.join(www, name))
    server = Nginx(www, work)
    proxy = Proxy(f"127.0.0.1:{server.port}", args.delay)
    samtools = shutil.which("samtools")
    try:
        import pysam
    except ImportError:
        pysam = None
    kelpa_program = os.path.join(os.path.dirname(sys.executable), "kelpa")
    regions = random_regions(os.path.join(data, "genome.fa.fai"), args.regions, 1000)
    peer_regions = regions[: args.peer_regions]
    print(f"Remote references: nginx on loopback behind a proxy adding {args.delay * 1e3:.0f} ms per request")
    try:
        for name in ("genome.fa", "genome.fa.gz"):
            url = f"{proxy.url}/{name}"
            print(f"\n{name}:")
            ours = kelpa.Faidx(url)
            with Counter(proxy) as counted:
                fetched = ours.fetch_many(regions)
            wanted = line_bytes(regions)
            fast_many = row("kelpa Faidx(url).fetch_many", len(regions), counted, wanted)
            listing = os.path.join(work, "regions.txt")
            with open(listing, "w") as out:
                out.writelines(f"{n}:{s}-{e}\n" for n, s, e in regions)
            with Counter(proxy) as counted:
                done = subprocess.run([kelpa_program, "faidx", url, "-r", listing], capture_output=True, cwd=work)
            assert done.returncode == 0, done.stderr
            fast = row("kelpa faidx URL -r", len(regions), counted, wanted)
            if pysam is not None:
                os.chdir(work)  # where htslib may keep the index it downloads
                with Counter(proxy) as counted:
                    peer = pysam.FastaFile(url)
                    texts = [peer.fetch(n, s - 1, e) for n, s, e in peer_regions]
                slow = row("pysam FastaFile(url).fetch loop", len(peer_regions), counted, line_bytes(peer_regions))
                assert texts == [s.seq for s in fetched[: len(peer_regions)]]
                print(f"  {'':<44} kelpa is {slow / fast_many:.0f}x faster per region")
            if samtools is not None:
                peer_listing = os.path.join(work, "peer.txt")
                with open(peer_listing, "w") as out:
                    out.writelines(f"{n}:{s}-{e}\n" for n, s, e in peer_regions)
                with Counter(proxy) as counted:
                    peer = subprocess.run([samtools, "faidx", url, "-r", peer_listing], capture_output=True, cwd=work)
                slow = row("samtools faidx URL -r", len(peer_regions), counted, line_bytes(peer_regions))
                assert peer.stdout == done.stdout[: len(peer.stdout)]
                print(f"  {'':<44} kelpa is {slow / fast:.0f}x faster per region")
            # One 100-base fetch on a fresh object.
            with Counter(proxy) as opening:
                fresh = kelpa.Faidx(url)
            with Counter(proxy) as single:
                fresh.fetch("chr2", 1_000_001, 1_000_100)
            with Counter(proxy) as again:
                fresh.fetch("chr2", 2_000_001, 2_000_100)
            print(
                f"  open: {opening.requests} requests ({opening.seconds * 1e3:.0f} ms); first 100-base fetch: "
                f"{single.requests} requests in one round trip ({single.seconds * 1e3:.0f} ms); "
                f"another in the same record: {again.requests} ({again.seconds * 1e3:.0f} ms)"
            )
        if pysam is None:
            print("\npysam is not installed (make bench-deps); skipped")
        if samtools is None:
            print("samtools is not installed (apt-get install samtools); skipped")
    finally:
        proxy.stop()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
