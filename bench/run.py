"""kelpa's benchmarks, each figure beside its peers' from the same run.

    .venv/bin/python bench/run.py [--quick] [--only SECTION] [--json FILE]

Sections (--only takes a name or its number):

  1 sequence  the Sequence kernels: reverse complement, complement, GC
  2 index     building a .fai, its peak memory, opening a large index
  3 fetch     one region at a time, one whole record
  4 batch     200,000 BED regions at once, scaling, end to end, memory
  5 records   the Fasta API: record slices, reverse-complemented batches,
              line by line iteration
  6 processes pickling (size, unpickling against a fresh open, Sequence
              throughput) and the Dask recipe on 2 local worker processes
  7 threads   whole records from 1 and 2 threads, a Python thread's progress
              during a batch

Peers: pysam and pyfastx (bench/requirements.txt), samtools, bedtools and
seqkit from the system; a missing peer is reported and skipped. The "floor"
column is the same work done in plain Python on text already in memory.
Each timing is the best of a few runs after one untimed warm-up run, with
Python's garbage collector paused. The data (bench/genome.py) is generated
on the first run and kept under bench/data/.
"""

import argparse
import functools
import itertools
import json
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import genome  # noqa: E402
import peers  # noqa: E402
from peers import TOOLS, pyfastx, pysam  # noqa: E402

import kelpa  # noqa: E402

SECTIONS = ["sequence", "index", "fetch", "batch", "records", "processes", "threads"]

FULL = dict(kernel_bases=100_000_000, objects=1_000_000, fetches=200_000, region_step=1, lines=None, repeats=5, heavy=3)
QUICK = dict(
    kernel_bases=10_000_000, objects=100_000, fetches=20_000, region_step=10, lines=100_000, repeats=2, heavy=1
)


# --- Timing ------------------------------------------------------------------

from in_build import best  # noqa: E402  (bench/ is the script's own directory)


def probe(*args, env=None):
    """Run bench/probe.py in a fresh interpreter; its JSON answer.

    It is started by a small launcher process, not by this one: Linux
    carries a process's peak RSS over exec, so a child forked from this
    large process would report this process's peak as its own."""
    out = subprocess.run(
        [sys.executable, "-c", peers.LAUNCH, sys.executable, str(HERE / "probe.py"), *map(str, args)],
        check=True,
        capture_output=True,
        text=True,
        env={**os.environ, **(env or {})},
    ).stdout
    return json.loads(out.splitlines()[-1])


# --- Report ------------------------------------------------------------------


def fmt(value):
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    if value >= 1:
        return f"{value:.2f}"
    return f"{value:.3g}"


class Section:
    """One table of figures (a row per measure, a column per contender)
    and the goals computed from them."""

    def __init__(self, number, key, title, columns):
        self.number, self.key, self.title = number, key, title
        self.columns = columns
        self.rows, self.goals, self.notes = [], [], []

    def row(self, measure, unit, **values):
        self.rows.append({"measure": measure, "unit": unit, **values})

    def note(self, text):
        self.notes.append(text)

    def goal(self, text, value, how, target, unit="x"):
        """A goal: `value` compared (how: >=, >, <=) with `target`.
        A value of None (a peer is missing) is marked SKIP."""
        if value is None:
            mark = "SKIP"
        elif {">=": value >= target, ">": value > target, "<=": value <= target}[how]:
            mark = "PASS"
        else:
            off = value / target - 1 if target else 0.0
            mark = f"MISS ({off:+.0%})"
        self.goals.append({"goal": text, "value": value, "how": how, "target": target, "unit": unit, "mark": mark})

    def print(self):
        print(f"\n== {self.number}. {self.title} ==")
        used = [c for c in self.columns if any(r.get(c) is not None for r in self.rows)]
        headers = ["measure", "unit", *used]
        table = [headers] + [[r["measure"], r["unit"], *(fmt(r.get(c)) for c in used)] for r in self.rows]
        widths = [max(len(line[i]) for line in table) for i in range(len(headers))]
        for n, line in enumerate(table):
            cells = [line[0].ljust(widths[0]), line[1].ljust(widths[1])]
            cells += [cell.rjust(w) for cell, w in zip(line[2:], widths[2:])]
            print("  " + "  ".join(cells))
            if n == 0:
                print("  " + "  ".join("-" * w for w in widths))
        if self.goals:
            print("  goals:")
            width = max(len(g["goal"]) for g in self.goals)
            for g in self.goals:
                got = "n/a" if g["value"] is None else fmt(g["value"]) + g["unit"]
                want = f"want {g['how']} {fmt(g['target'])}{g['unit']}"
                print(f"    {g['goal'].ljust(width)}  {got:>10}  {want:<16}  {g['mark']}")
        for text in self.notes:
            print(f"  note: {text}")
        sys.stdout.flush()

    def as_dict(self):
        return {"title": self.title, "rows": self.rows, "goals": self.goals, "notes": self.notes}


def ratio(slow, fast):
    """slow / fast, or None when either side was not measured."""
    return None if slow is None or fast is None else slow / fast


# --- Data ----------------------------------------------------------------------


class Data:
    """Paths of the data sets and, loaded once on demand, their text."""

    def __init__(self, data_dir, sizes):
        self.sizes = sizes
        self.paths = {name: Path(p) for name, p in genome.ensure_all(data_dir).items()}
        self.dir = self.paths["genome"].parent
        self.tmp = Path(tempfile.mkdtemp(prefix="run-", dir=self.dir))

    @functools.cached_property
    def bases(self):
        """{name: bytes} of genome.fa, read with plain Python."""
        return peers.read_fasta(self.paths["genome"])

    @functools.cached_property
    def texts(self):
        """{name: str} of genome.fa."""
        return {name: b.decode() for name, b in self.bases.items()}

    @functools.cached_property
    def bed(self):
        """(path, regions) of the BED file in use: all of regions.bed, or
        every tenth region of it for a quick run (written to a file)."""
        regions = peers.read_bed(self.paths["bed"])
        step = self.sizes["region_step"]
        if step == 1:
            return self.paths["bed"], regions
        path = self.tmp / "regions.bed"
        with open(self.paths["bed"]) as src, open(path, "w") as out:
            out.writelines(itertools.islice(src, 0, None, step))
        return path, regions[::step]

    def single_line(self):
        """single.fa's record written on one line (made once, kept)."""
        path = self.dir / "single_line.fa"
        if not path.exists():
            bases = peers.read_fasta(self.paths["single"])[genome.SINGLE_NAME]
            tmp = path.with_name(path.name + f".tmp{os.getpid()}")
            tmp.write_bytes(b">" + genome.SINGLE_NAME.encode() + b"\n" + bases + b"\n")
            os.replace(tmp, path)
        return path

    def random_positions(self, count, width, seed):
        """`count` (name, start) pairs, 1-based, spread over the genome by
        record length, each leaving room for `width` bases."""
        records = genome.genome_records()
        rng = random.Random(seed)
        names = rng.choices([n for n, _ in records], [n for _, n in records], k=count)
        length = dict(records)
        return [(name, rng.randint(1, length[name] - width + 1)) for name in names]

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def check(section, label, ours, theirs):
    """Note a difference between two results that must be equal."""
    if ours != theirs:
        section.note(f"RESULTS DIFFER: {label}")


# --- 1. sequence -----------------------------------------------------------


def bench_sequence(data, sizes):
    sec = Section(1, "sequence", "Sequence kernels (one core)", ["kelpa", "python"])
    n = sizes["kernel_bases"]
    raw = b"".join(itertools.islice(data.bases.values(), 0, 8))[:n]
    text = raw.decode()
    seq = kelpa.Sequence("text", text, 1, n, False)
    R = sizes["repeats"]
    gb = n / 1e9
    table = peers.COMPLEMENT

    check(sec, "reverse complement", (-seq).seq, peers.revcomp(raw).decode())
    check(sec, "complement", seq.complement.seq, raw.translate(table).decode())
    rc_k, rc_p = best(lambda: -seq, R), best(lambda: raw.translate(table)[::-1], R)
    c_k, c_p = best(lambda: seq.complement, R), best(lambda: raw.translate(table), R)
    sec.row(f"reverse complement, {n / 1e6:.0f} Mbp", "GB/s", kelpa=gb / rc_k, python=gb / rc_p)
    sec.row(f"complement, {n / 1e6:.0f} Mbp", "GB/s", kelpa=gb / c_k, python=gb / c_p)

    def py_gc():
        return sum(raw.count(c) for c in (b"C", b"G", b"c", b"g")) / len(raw)

    def py_gc_strict():
        counts = {c: raw.count(c) for c in (b"A", b"C", b"G", b"T", b"a", b"c", b"g", b"t")}
        return (counts[b"C"] + counts[b"G"] + counts[b"c"] + counts[b"g"]) / sum(counts.values())

    import numpy as np

    weights = np.full(256, np.nan)
    for letters, w in (("CGS", 1.0), ("ATW", 0.0), ("KMRY", 0.5), ("BV", 0.67), ("DH", 0.33), ("N", 0.25)):
        for letter in letters:
            weights[ord(letter)] = weights[ord(letter.lower())] = w

    def py_gc_iupac():
        values = weights[np.frombuffer(raw, dtype=np.uint8)]
        return float(np.nanmean(values))

    for name, ours, theirs, label in (
        ("gc", lambda: seq.gc, py_gc, "bytes.count"),
        ("gc_strict", lambda: seq.gc_strict, py_gc_strict, "bytes.count"),
        ("gc_iupac", lambda: seq.gc_iupac, py_gc_iupac, "numpy"),
    ):
        if abs(ours() - theirs()) > 1e-9:
            sec.note(f"RESULTS DIFFER: {name} {ours()!r} vs {theirs()!r}")
        t_k, t_p = best(ours, R), best(theirs, R)
        sec.row(f"{name} (python: {label})", "GB/s", kelpa=gb / t_k, python=gb / t_p)
        sec.goal(f"{name} throughput", gb / t_k, ">=", {"gc": 6, "gc_strict": 3, "gc_iupac": 2}[name], " GB/s")
    sec.goal("reverse complement throughput", gb / rc_k, ">=", 1.2, " GB/s")
    sec.goal("reverse complement vs translate+[::-1]", rc_p / rc_k, ">=", 2)
    sec.goal("complement throughput", gb / c_k, ">=", 1.2, " GB/s")
    sec.goal("complement vs bytes.translate", c_p / c_k, ">=", 2)

    class Plain:
        __slots__ = ("name", "seq", "start", "end", "comp")

        def __init__(self, name, seq, start, end, comp):
            self.name, self.seq, self.start, self.end, self.comp = name, seq, start, end, comp

    piece = text[:100]
    count = sizes["objects"]

    def make(cls):
        def loop():
            for _ in range(count):
                cls("chr1", piece, 1, 100, False).seq

        return loop

    t_k, t_p = best(make(kelpa.Sequence), R), best(make(Plain), R)
    sec.row("Sequence(5 fields) + .seq, 100 bp", "ns/object", kelpa=t_k / count * 1e9, python=t_p / count * 1e9)
    sec.goal("construct + .seq vs __slots__ class", t_p / t_k, ">=", 1.5)
    sec.note("python column: bytes.translate(table) [+ [::-1]], bytes.count, numpy, and a plain class with __slots__")
    return sec


# --- 2. index ----------------------------------------------------------------


def bench_index(data, sizes):
    sec = Section(2, "index", "index build and opening", ["kelpa", "samtools", "seqkit", "pysam", "pyfastx"])
    quick = sizes["region_step"] > 1
    src = data.paths["single" if quick else "genome"]
    link = data.tmp / src.name
    link.symlink_to(src)
    fai = Path(str(link) + ".fai")

    def clear():
        fai.unlink(missing_ok=True)

    H = sizes["heavy"]
    t_k = best(lambda: kelpa.Faidx(str(link)), H, setup=clear)
    ours = fai.read_text()
    figures = {"kelpa": t_k}
    for tool in ("samtools", "seqkit"):
        if TOOLS[tool]:
            figures[tool] = best(lambda: peers.run_tool(TOOLS[tool], "faidx", link), H, setup=clear)
            if tool == "samtools":
                check(sec, "the .fai written by samtools", ours, fai.read_text())
    mbp = os.path.getsize(src) / 1e6
    sec.row(f"build {src.name} ({mbp:.0f} MB)", "s", **figures)
    sec.goal("build vs samtools faidx", ratio(figures.get("samtools"), t_k), ">=", 4)

    # Peak memory of a build: the same 60 Mbp, in 60-column lines and on
    # one line; kelpa above the interpreter's own, the tools whole.
    cases = [("60 Mbp, 60-column lines", data.paths["single"]), ("60 Mbp, one line", data.single_line())]
    if not quick:
        cases.append(("400 Mbp genome, 60 columns", data.paths["genome"]))
    peaks = {}
    for label, path in cases:
        target = data.tmp / ("mem-" + path.name)
        target.symlink_to(path)
        index = Path(str(target) + ".fai")
        index.unlink(missing_ok=True)
        got = probe("build", target)
        peaks[label] = got["peak_mb"]
        row = {"kelpa": got["peak_mb"]}
        if TOOLS["samtools"]:
            index.unlink(missing_ok=True)
            row["samtools"] = peers.peak_rss_mb_of(TOOLS["samtools"], "faidx", target)
        index.unlink(missing_ok=True)
        sec.row(f"peak memory of a build, {label}", "MB", **row)
    line, cols = peaks["60 Mbp, one line"], peaks["60 Mbp, 60-column lines"]
    sec.goal("build memory: one line / 60 columns", line / cols, "<=", 1.25)
    sec.note(
        "peak RSS of the whole process: for kelpa a Python child that only "
        f"imports kelpa and builds ({got['base_mb']:.0f} MB before the build); "
        "file pages mapped and touched count as resident"
    )

    tiny = str(data.paths["tiny"])
    R = sizes["repeats"]
    row = {"kelpa": best(lambda: kelpa.Faidx(tiny), R)}
    if pysam:
        row["pysam"] = best(lambda: pysam.FastaFile(tiny), R)
    if pyfastx:
        peers.pyfastx_open(tiny)  # its own index, built once and kept
        row["pyfastx"] = best(lambda: peers.pyfastx_open(tiny), R)
    sec.row("open tiny.fa, existing index of 1,000,000 records", "s", **row)
    sec.goal("open large index vs pysam", ratio(row.get("pysam"), row["kelpa"]), ">", 1)
    return sec


# --- 3. fetch ------------------------------------------------------------------


def bench_fetch(data, sizes):
    sec = Section(3, "fetch", "single fetches", ["kelpa", "pysam", "pyfastx", "floor"])
    path = str(data.paths["genome"])
    faidx = kelpa.Faidx(path)
    count = sizes["fetches"]
    R = sizes["repeats"]
    positions = data.random_positions(count, 100, seed=3)
    texts = data.texts

    ours = [(n, s, s + 99) for n, s in positions]
    floor = [(texts[n], s - 1, s + 99) for n, s in positions]
    zero = [(n, s - 1, s + 99) for n, s in positions]

    def kelpa_loop(fetch=faidx.fetch):
        for n, a, b in ours:
            str(fetch(n, a, b))

    def floor_loop():
        for t, a, b in floor:
            t[a:b]

    sample = [t[a:b] for t, a, b in floor[:200]]
    check(sec, "kelpa fetch", [str(faidx.fetch(*c)) for c in ours[:200]], sample)
    row = {"kelpa": best(kelpa_loop, R), "floor": best(floor_loop, R)}
    if pysam:
        fa = pysam.FastaFile(path)

        def pysam_loop(fetch=fa.fetch):
            for n, a, b in zero:
                fetch(n, a, b)

        check(sec, "pysam fetch", [fa.fetch(*c) for c in zero[:200]], sample)
        row["pysam"] = best(pysam_loop, R)
    if pyfastx:
        fx = peers.pyfastx_open(path)

        # Slicing, not fx.fetch: that one reads the whole record when the
        # name changes, so random names cost milliseconds per call.
        def pyfastx_loop():
            for n, a, b in zero:
                fx[n][a:b].seq

        check(sec, "pyfastx slice", [fx[n][a:b].seq for n, a, b in zero[:200]], sample)
        row["pyfastx"] = best(pyfastx_loop, R)
    sec.row(f"str(fetch(name, s, s+99)), {count:,} random", "k calls/s", **{k: count / v / 1e3 for k, v in row.items()})
    sec.row("  the same, per call", "ns", **{k: v / count * 1e9 for k, v in row.items()})
    sec.goal("fetch calls/s vs pysam", ratio(row.get("pysam"), row["kelpa"]), ">=", 15)
    sec.goal("fetch time / floor (slice of a str)", row["kelpa"] / row["floor"], "<=", 1.5)

    single = str(data.paths["single"])
    name = genome.SINGLE_NAME
    whole = kelpa.Faidx(single)
    raw = peers.read_fasta(single)[name]
    check(sec, "fetch_entire_sequence", whole.fetch_entire_sequence(name).seq, raw.decode())
    row = {"kelpa": best(lambda: whole.fetch_entire_sequence(name).seq, R), "floor": best(lambda: raw.decode(), R)}
    if pysam:
        fa1 = pysam.FastaFile(single)
        row["pysam"] = best(lambda: fa1.fetch(name), R)
    if pyfastx:
        fx1 = peers.pyfastx_open(single)
        row["pyfastx"] = best(lambda: fx1[name].seq, R)
    sec.row("whole 60 Mbp record as str", "ms", **{k: v * 1e3 for k, v in row.items()})
    sec.goal("fetch_entire_sequence / floor (bytes.decode)", row["kelpa"] / row["floor"], "<=", 1.2)
    sec.note("floor: slicing the str of the record already in memory; bytes.decode of the record's bytes")
    return sec


# --- 4. batch --------------------------------------------------------------------


def bench_batch(data, sizes):
    sec = Section(4, "batch", "batch fetches of BED regions", ["kelpa", "pysam", "bedtools", "floor"])
    path = str(data.paths["genome"])
    faidx = kelpa.Faidx(path)
    bed_path, bed = data.bed
    count = len(bed)
    R, H = sizes["repeats"], sizes["heavy"]
    regions = [(c, s + 1, e) for c, s, e, _ in bed]
    texts = data.texts
    floor = [(texts[c], s, e) for c, s, e, _ in bed]

    check(sec, "fetch_many", [x.seq for x in faidx.fetch_many(regions)], [t[s:e] for t, s, e in floor])
    t_many = best(lambda: faidx.fetch_many(regions), R)
    t_seq = best(lambda: [x.seq for x in faidx.fetch_many(regions)], R)
    t_floor = best(lambda: [t[s:e] for t, s, e in floor], R)
    t_pysam = None
    if pysam:
        fa = pysam.FastaFile(path)
        t_pysam = best(lambda: [fa.fetch(c, s, e) for c, s, e, _ in bed], R)
    sec.row(f"fetch {count:,} regions (list of results)", "s", kelpa=t_many, pysam=t_pysam, floor=t_floor)
    sec.row("  the same, then every .seq read", "s", kelpa=t_seq)
    # The BED file is sorted; the same regions in random order defeat the
    # locality a per-region reader profits from.
    shuffled = bed[:]
    random.Random(11).shuffle(shuffled)
    shuffled_regions = [(c, s + 1, e) for c, s, e, _ in shuffled]
    t_many_shuffled = best(lambda: faidx.fetch_many(shuffled_regions), R)
    t_pysam_shuffled = None
    if pysam:
        t_pysam_shuffled = best(lambda: [fa.fetch(c, s, e) for c, s, e, _ in shuffled], R)
    sec.row("  the same regions in random order", "s", kelpa=t_many_shuffled, pysam=t_pysam_shuffled)
    sec.goal("fetch_many vs pysam loop (BED order)", ratio(t_pysam, t_many), ">=", 20)
    sec.goal("fetch_many vs pysam loop (random order)", ratio(t_pysam_shuffled, t_many_shuffled), ">=", 20)
    sec.goal("fetch_many vs floor (floor time / ours)", t_floor / t_many, ">=", 1)
    sec.goal("fetch_many + .seq / floor", t_seq / t_floor, "<=", 1.5)

    # One record: the batch for one name against the general batch.
    name, length = genome.genome_records()[0]
    rng = random.Random(5)
    pairs = []
    for _ in range(count):
        size = rng.randint(genome.BED_MIN_LEN, genome.BED_MAX_LEN)
        start = rng.randint(1, length - size + 1)
        pairs.append((start, start + size - 1))
    pairs.sort()
    triples = [(name, s, e) for s, e in pairs]
    t_same = best(lambda: faidx.fetch_many_same_chr(name, pairs), R)
    t_gen = best(lambda: faidx.fetch_many(triples), R)
    sec.row(f"{count:,} regions of {name}: fetch_many_same_chr", "s", kelpa=t_same)
    sec.row(f"{count:,} regions of {name}: fetch_many", "s", kelpa=t_gen)
    sec.goal("fetch_many_same_chr vs fetch_many", t_gen / t_same, ">=", 1)

    # The pool is sized once per process: one child per size.
    one = probe("batch", path, bed_path, R, env={"RAYON_NUM_THREADS": "1"})["seconds"]
    two = probe("batch", path, bed_path, R, env={"RAYON_NUM_THREADS": "2"})["seconds"]
    sec.row("fetch_many in a child, RAYON_NUM_THREADS=1", "s", kelpa=one)
    sec.row("fetch_many in a child, RAYON_NUM_THREADS=2", "s", kelpa=two)
    sec.goal("scaling, 1 thread / 2 threads", one / two, ">=", 1.25)
    # Long regions, where copying the bases (the workers' part) outweighs
    # preparing the results on the calling thread.
    one = probe("batch-long", path, R, env={"RAYON_NUM_THREADS": "1"})["seconds"]
    two = probe("batch-long", path, R, env={"RAYON_NUM_THREADS": "2"})["seconds"]
    sec.row("1000 regions of 100,000 bases, RAYON_NUM_THREADS=1", "s", kelpa=one)
    sec.row("1000 regions of 100,000 bases, RAYON_NUM_THREADS=2", "s", kelpa=two)
    sec.note(f"scaling on long regions, 1 thread / 2 threads: {one / two:.2f}x")

    # End to end: BED file in, FASTA file out.
    out = data.tmp / "out.fa"

    def read_bed():
        with open(bed_path) as handle:
            return [(c, int(s), int(e)) for c, s, e, _ in (line.split("\t", 3) for line in handle)]

    def kelpa_e2e():
        # The BED's own fields make the headers; the records go out a few
        # hundred at a time, so the text joined for each write stays in cache.
        with open(bed_path) as handle:
            fields = handle.read().split()
        chroms, starts, ends = fields[0::6], fields[1::6], fields[2::6]
        found = kelpa.Faidx(path).fetch_many(list(zip(chroms, [int(s) + 1 for s in starts], map(int, ends))))
        headers = [f">{c}:{s}-{e}" for c, s, e in zip(chroms, starts, ends)]
        texts = [x.seq for x in found]
        with open(out, "wb") as handle:
            for first in range(0, len(headers), 512):
                parts = headers[first : first + 512]
                lines = [""] * (2 * len(parts) + 1)
                lines[0:-1:2] = parts
                lines[1:-1:2] = texts[first : first + 512]
                handle.write("\n".join(lines).encode())

    def pysam_e2e():
        wanted, fetch = read_bed(), pysam.FastaFile(path).fetch
        with open(out, "w") as handle:
            handle.writelines(f">{c}:{s}-{e}\n{fetch(c, s, e)}\n" for c, s, e in wanted)

    row = {"kelpa": best(kelpa_e2e, H)}
    ours = out.read_bytes()
    if pysam:
        row["pysam"] = best(pysam_e2e, H)
    if TOOLS["bedtools"]:
        row["bedtools"] = best(
            lambda: peers.run_tool(TOOLS["bedtools"], "getfasta", "-fi", path, "-bed", bed_path, "-fo", out), H
        )
        check(sec, "FASTA written end to end vs bedtools", ours, out.read_bytes())
    out.unlink(missing_ok=True)
    sec.row("end to end: read BED, fetch, write FASTA", "s", **row)
    sec.goal("end to end vs bedtools getfasta", ratio(row.get("bedtools"), row["kelpa"]), ">=", 3)

    base = probe("batch-mem", path, bed_path, 0)
    mem = probe("batch-mem", path, bed_path, 1)
    peak = mem["peak_mb"] - base["peak_mb"]
    sec.row("memory: result text (bases)", "MB", kelpa=mem["result_mb"])
    sec.row("memory: peak RSS of the batch above baseline", "MB", kelpa=peak)
    sec.row("  of which anonymous, held with the results", "MB", kelpa=mem["anon_mb"])
    sec.row("  file pages of the mapped FASTA, resident", "MB", kelpa=mem["file_mb"])
    sec.note(
        f"memory: the batch's peak is {peak / mem['result_mb']:.2f}x the result text, "
        f"its anonymous memory {mem['anon_mb'] / mem['result_mb']:.2f}x; the peak also "
        "counts the pages of the mapped FASTA it touched (shared page cache); "
        f"baseline: a child that opens the file and reads the BED ({base['peak_mb']:.0f} MB)"
    )
    return sec


# --- 5. records ------------------------------------------------------------------


def bench_records(data, sizes):
    sec = Section(5, "records", "the Fasta API", ["kelpa", "pysam", "pyfastx", "bedtools", "floor"])
    path = str(data.paths["genome"])
    fasta = kelpa.Fasta(path)
    count = sizes["fetches"]
    R, H = sizes["repeats"], sizes["heavy"]
    positions = data.random_positions(count, 100, seed=11)
    texts = data.texts
    zero = [(n, s - 1, s + 99) for n, s in positions]
    floor = [(texts[n], a, b) for n, a, b in zero]

    def kelpa_loop():
        for n, a, b in zero:
            str(fasta[n][a:b])

    def floor_loop():
        for t, a, b in floor:
            t[a:b]

    check(sec, "record slices", [str(fasta[n][a:b]) for n, a, b in zero[:200]], [t[a:b] for t, a, b in floor[:200]])
    row = {"kelpa": best(kelpa_loop, R), "floor": best(floor_loop, R)}
    if pysam:
        fa = pysam.FastaFile(path)

        def pysam_loop(fetch=fa.fetch):
            for n, a, b in zero:
                fetch(n, a, b)

        row["pysam"] = best(pysam_loop, R)
    if pyfastx:
        fx = peers.pyfastx_open(path)

        def pyfastx_loop():
            for n, a, b in zero:
                fx[n][a:b].seq

        row["pyfastx"] = best(pyfastx_loop, R)
    sec.row(
        f"str(fasta[name][a:b]), 100 bp, {count:,} random", "k calls/s", **{k: count / v / 1e3 for k, v in row.items()}
    )
    sec.goal("record slice calls/s vs pysam", ratio(row.get("pysam"), row["kelpa"]), ">=", 10)

    bed_path, bed = data.bed
    regions = [(c, s + 1, e) for c, s, e, _ in bed]
    bases = data.bases
    cuts = [(bases[c], s, e) for c, s, e, _ in bed]
    table = peers.COMPLEMENT
    check(
        sec,
        "fetch_many(rc=True)",
        [x.seq for x in fasta.fetch_many(regions[:500], rc=True)],
        [peers.revcomp(b[s:e]).decode() for b, s, e in cuts[:500]],
    )
    row = {
        "kelpa": best(lambda: fasta.fetch_many(regions, rc=True), R),
        "floor": best(lambda: [b[s:e].translate(table)[::-1] for b, s, e in cuts], R),
    }
    if pyfastx:
        row["pyfastx"] = best(lambda: [fx.fetch(c, (s + 1, e), strand="-") for c, s, e, _ in bed], H)
    if TOOLS["bedtools"]:
        out = data.tmp / "out-s.fa"
        row["bedtools"] = best(
            lambda: peers.run_tool(TOOLS["bedtools"], "getfasta", "-s", "-fi", path, "-bed", bed_path, "-fo", out), H
        )
        out.unlink(missing_ok=True)
    sec.row(f"{len(bed):,} regions reverse-complemented", "s", **row)
    sec.goal("fetch_many(rc=True) vs bedtools getfasta -s", ratio(row.get("bedtools"), row["kelpa"]), ">=", 15)
    sec.goal("fetch_many(rc=True) vs floor (floor time / ours)", row["floor"] / row["kelpa"], ">", 1)
    sec.note("bedtools' time includes reading the BED file and writing the FASTA; the others return a list")

    name = genome.SINGLE_NAME
    single = str(data.paths["single"])
    records = kelpa.Fasta(single)
    faidx = kelpa.Faidx(single)
    lines = sizes["lines"] or -(-genome.SINGLE_SIZE // genome.LINE_WIDTH)
    width = genome.LINE_WIDTH
    spans = [(1 + i * width, min((i + 1) * width, genome.SINGLE_SIZE)) for i in range(lines)]
    text = peers.read_fasta(single)[name].decode()

    def iterate():
        for _ in itertools.islice(records[name], lines):
            pass

    def fetch_lines(fetch=faidx.fetch):
        for a, b in spans:
            fetch(name, a, b)

    def floor_lines():
        for a, b in spans:
            text[a - 1 : b]

    t_iter, t_fetch, t_floor = best(iterate, H), best(fetch_lines, H), best(floor_lines, H)
    sec.row(
        f"iterate {name} line by line ({lines:,} lines)",
        "ns/line",
        kelpa=t_iter / lines * 1e9,
        floor=t_floor / lines * 1e9,
    )
    sec.row("  fetch(name, a, b) of each line", "ns/line", kelpa=t_fetch / lines * 1e9)
    sec.goal("per-line iteration / one fetch of a line", t_iter / t_fetch, "<=", 1.5)
    return sec


# --- 6. processes ----------------------------------------------------------------


def bench_processes(data, sizes):
    import pickle

    sec = Section(6, "processes", "pickling and other processes", ["kelpa", "tuples", "fresh open", "one process"])
    path = str(data.paths["genome"])
    R = sizes["repeats"]
    fasta = kelpa.Fasta(path)
    blob = pickle.dumps(fasta)
    sec.row(f"pickled Fasta of genome.fa ({os.path.getsize(path) / 1e6:.0f} MB)", "bytes", kelpa=len(blob))
    sec.goal("pickled Fasta size", len(blob), "<=", 1023, " bytes")

    opens = 200
    check(sec, "unpickled Fasta", pickle.loads(blob).keys(), fasta.keys())
    t_loads = best(lambda: [pickle.loads(blob) for _ in range(opens)], R)
    t_open = best(lambda: [kelpa.Fasta(path) for _ in range(opens)], R)
    sec.row(
        "unpickle a Fasta / open it (existing index)",
        "us",
        kelpa=t_loads / opens * 1e6,
        **{"fresh open": t_open / opens * 1e6},
    )
    sec.goal("unpickling / fresh open", t_loads / t_open, "<=", 1.1)

    count = sizes["objects"]
    positions = data.random_positions(count, 100, seed=7)
    values = kelpa.Faidx(path).fetch_many([(n, s, s + 99) for n, s in positions])
    plain = [(v.name, v.seq, v.start, v.end, v.comp) for v in values]
    back = pickle.loads(pickle.dumps(values, pickle.HIGHEST_PROTOCOL))
    check(sec, "Sequence round trip", [(v.name, v.seq, v.start, v.end, v.comp) for v in back], plain)
    del back
    dumps = lambda items: pickle.dumps(items, pickle.HIGHEST_PROTOCOL)
    t_dump = {"kelpa": best(lambda: dumps(values), R), "tuples": best(lambda: dumps(plain), R)}
    t_trip = {
        "kelpa": best(lambda: pickle.loads(dumps(values)), R),
        "tuples": best(lambda: pickle.loads(dumps(plain)), R),
    }
    sec.row(
        f"pickle.dumps of {count:,} Sequences of 100 bases",
        "M values/s",
        **{k: count / v / 1e6 for k, v in t_dump.items()},
    )
    sec.row("  round trip (dumps, then loads)", "M values/s", **{k: count / v / 1e6 for k, v in t_trip.items()})
    sec.goal("Sequence pickling", count / t_dump["kelpa"] / 1e6, ">=", 1, " M/s")
    sec.goal("Sequence round trip", count / t_trip["kelpa"] / 1e6, ">=", 1, " M/s")
    sec.note("tuples column: the same five fields as plain tuples, pickled the same way")
    del values, plain
    bench_dask(sec, data, sizes)
    return sec


def bench_dask(sec, data, sizes):
    """The README's Dask recipe (examples/bed_dask.py) on 2 local worker processes."""
    try:
        import cloudpickle
        from dask.distributed import Client, LocalCluster
    except ImportError:
        sec.note("dask.distributed is not installed: the Dask recipe is skipped")
        return
    sys.path.insert(0, str(HERE.parent / "examples"))
    import bed_dask

    cloudpickle.register_pickle_by_value(bed_dask)  # the workers need not import it
    path = str(data.paths["genome"])
    bed_path, _ = data.bed
    bed_path = str(bed_path)
    H = sizes["heavy"]
    partitions = 8
    fasta = kelpa.Fasta(path)

    out_dir = data.tmp / "parts"
    out_dir.mkdir()
    one_file = data.tmp / "one.fa"

    def single():
        regions, _warnings = bed_dask.read_partition(bed_path, 0, 1, fasta)
        return fasta.fetch_many(regions)

    def single_written():
        with open(one_file, "w") as out:
            out.writelines(bed_dask.fasta_lines(single()))

    began = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster) as client:
        started = time.perf_counter() - began

        def on_cluster(out=None):
            futures = client.map(
                bed_dask.fetch_partition,
                range(partitions),
                fasta=fasta,
                bed_path=bed_path,
                count=partitions,
                out_dir=out,
                pure=False,
            )
            # Each task gives the warnings of the features it skipped, and
            # its sequences or the path of the file it wrote.
            results = [result for _warnings, result in client.gather(futures)]
            return results if out else [s for part in results for s in part]

        ours = [(s.name, s.seq, s.start, s.end) for s in on_cluster()]
        check(sec, "Dask recipe vs one fetch_many", ours, [(s.name, s.seq, s.start, s.end) for s in single()])
        count = len(ours)
        del ours
        t_gather = best(on_cluster, 1)
        t_write = best(lambda: on_cluster(str(out_dir)), H)
        single_written()
        check(
            sec,
            "Dask recipe's FASTA files vs one process's",
            b"".join(p.read_bytes() for p in sorted(out_dir.iterdir())),
            one_file.read_bytes(),
        )
    t_single, t_single_written = best(single, H), best(single_written, H)
    sec.row(
        f"Dask recipe, {count:,} BED regions, 2 workers, {partitions} partitions: one FASTA file per partition",
        "s",
        kelpa=t_write,
        **{"one process": t_single_written},
    )
    sec.row("  the same, sequences gathered into this process", "s", kelpa=t_gather, **{"one process": t_single})
    sec.row("  starting the LocalCluster of 2 worker processes", "s", kelpa=started)
    sec.note(
        "Dask rows: each task reads its byte range of the BED file and fetches it with fetch_many; "
        "one process: the whole BED file with one fetch_many here (and one FASTA file written)"
    )


# --- 7. threads ------------------------------------------------------------------


def threads_at_once(work, threads, seconds):
    """Calls of work() per second, summed over `threads` threads calling it
    in a loop for `seconds`."""
    import threading

    stop = threading.Event()
    counts = [0] * threads

    def loop(k):
        while not stop.is_set():
            work(k)
            counts[k] += 1

    workers = [threading.Thread(target=loop, args=(k,)) for k in range(threads)]
    began = time.perf_counter()
    for worker in workers:
        worker.start()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def counter_share(call, repeats):
    """(the share of its solo rate that a pure-Python counter thread keeps
    while call() runs in this thread, seconds per call meanwhile)."""
    import threading

    count = [0]
    stop = threading.Event()

    def counter():
        n = 0
        while not stop.is_set():
            n += 1
            if n & 255 == 0:
                count[0] = n

    def solo():
        stop.clear()
        count[0] = 0
        thread = threading.Thread(target=counter)
        thread.start()
        time.sleep(0.5)
        stop.set()
        thread.join()
        return count[0] / 0.5

    alone = solo()
    stop.clear()
    count[0] = 0
    thread = threading.Thread(target=counter)
    thread.start()
    time.sleep(0.05)
    moved = spent = 0
    for _ in range(repeats):
        before, began = count[0], time.perf_counter()
        call()
        spent += time.perf_counter() - began
        moved += count[0] - before
    stop.set()
    thread.join()
    return moved / spent / alone, spent / repeats


def bench_threads(data, sizes):
    sec = Section(7, "threads", "many Python threads", ["kelpa", "pysam"])
    seconds = 3 if sizes is FULL else 1
    single = str(data.paths["single"])
    name = genome.SINGLE_NAME
    whole = kelpa.Faidx(single)
    row = {}
    one = threads_at_once(lambda k: whole.fetch_entire_sequence(name), 1, seconds)
    two = threads_at_once(lambda k: whole.fetch_entire_sequence(name), 2, seconds)
    row["kelpa"] = (one, two)
    if pysam:
        # A FastaFile is not to be shared between threads: one each.
        files = [pysam.FastaFile(single) for _ in range(2)]
        row["pysam"] = (
            threads_at_once(lambda k: files[k].fetch(name), 1, seconds),
            threads_at_once(lambda k: files[k].fetch(name), 2, seconds),
        )
    sec.row("whole 60 Mbp record, 1 thread", "records/s", **{k: v[0] for k, v in row.items()})
    sec.row("  2 threads (one shared Faidx; pysam: a FastaFile each)", "records/s", **{k: v[1] for k, v in row.items()})
    sec.row("  2 threads / 1 thread", "x", **{k: v[1] / v[0] for k, v in row.items()})
    sec.goal("whole records, 2 threads / 1 thread", two / one, ">=", 1.7)

    faidx = kelpa.Faidx(str(data.paths["genome"]))
    _, regions = data.bed
    requests = [(c, s + 1, e) for c, s, e, _ in regions]
    faidx.fetch_many(requests)
    alone = best(lambda: faidx.fetch_many(requests), sizes["repeats"])
    share, beside = counter_share(lambda: faidx.fetch_many(requests), sizes["repeats"])
    sec.row(f"fetch_many of {len(requests):,} BED regions, alone", "s", kelpa=alone)
    sec.row("  beside a pure-Python counter thread", "s", kelpa=beside)
    sec.row("  the counter's rate meanwhile / its rate alone", "%", kelpa=share * 100)
    sec.goal("counter thread's rate during fetch_many", share * 100, ">=", 30, "%")
    sec.note("the 100-base fetch and the batch against the build before: bench/ab.py OLD_BUILD_DIR")
    return sec


BENCHES = dict(
    zip(
        SECTIONS, (bench_sequence, bench_index, bench_fetch, bench_batch, bench_records, bench_processes, bench_threads)
    )
)


# --- Main ------------------------------------------------------------------------


def machine():
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as handle:
            model = next(line.split(":", 1)[1].strip() for line in handle if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = {"python": platform.python_version()}
    if pysam:
        versions["pysam"] = pysam.__version__
    if pyfastx:
        versions["pyfastx"] = pyfastx.__version__
    for tool, flag in (("samtools", "--version"), ("bedtools", "--version"), ("seqkit", "version")):
        if TOOLS[tool]:
            first = subprocess.run(
                [TOOLS[tool], flag], capture_output=True, errors="replace", text=True
            ).stdout.splitlines()
            versions[tool] = first[0].split()[-1] if first else "?"
    return {"nproc": os.cpu_count(), "cpu": model, "load": os.getloadavg(), "versions": versions}


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repeats, for a smoke run")
    parser.add_argument(
        "--only",
        metavar="SECTION",
        action="append",
        help=f"run only this section ({', '.join(SECTIONS)} or 1-{len(SECTIONS)}); may be given more than once",
    )
    parser.add_argument("--json", metavar="FILE", help="also write every figure to FILE")
    parser.add_argument("--data-dir", default=None, help="where the data sets live")
    args = parser.parse_args(argv)
    chosen = []
    for item in args.only or SECTIONS:
        key = SECTIONS[int(item) - 1] if item.isdigit() and 1 <= int(item) <= len(SECTIONS) else item
        if key not in SECTIONS:
            parser.error(f"unknown section {item!r} (choose from {', '.join(SECTIONS)})")
        chosen.append(key)
    args.sections = [key for key in SECTIONS if key in chosen]
    return args


def main(argv=None):
    args = parse_args(argv)
    sizes = QUICK if args.quick else FULL
    info = machine()
    print(
        f"kelpa benchmarks{' (quick)' if args.quick else ''}: {info['nproc']} cores, "
        f"{info['cpu']}, load average {' '.join(f'{x:.2f}' for x in info['load'])}"
    )
    print("  " + ", ".join(f"{k} {v}" for k, v in info["versions"].items()))
    print(
        "  timings on a 2-core machine shared with other work are noisy: best of a few runs, read the ratios as rough"
    )
    if peers.missing():
        print(f"  not installed, skipped: {', '.join(peers.missing())}")
    began = time.perf_counter()
    data = Data(args.data_dir, sizes)
    print(f"  data in {data.dir} ({time.perf_counter() - began:.1f} s)")
    results = {"machine": info, "quick": args.quick, "sections": {}}
    sections = []
    try:
        for key in args.sections:
            began = time.perf_counter()
            sec = BENCHES[key](data, sizes)
            sec.note(f"section took {time.perf_counter() - began:.0f} s")
            sec.print()
            sections.append(sec)
            results["sections"][key] = sec.as_dict()
    finally:
        data.cleanup()
    goals = [g for sec in sections for g in sec.goals]
    marks = [g["mark"].split()[0] for g in goals]
    print(f"\ngoals: {marks.count('PASS')} PASS, {marks.count('MISS')} MISS, {marks.count('SKIP')} SKIP")
    if args.json:
        with open(args.json, "w") as handle:
            json.dump(results, handle, indent=2)
        print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
