"""The kelpa program: `kelpa index`, `kelpa faidx` and `kelpa getfasta`.

Their output is checked byte for byte against samtools faidx and bedtools
getfasta run on the same files with the same options (each test is skipped
when its tool is missing, and fails instead under KELPA_REQUIRE_PEERS=1).
The sequences are random text of nucleotide letters in both cases, U and a
few other bytes, which every tool must complement the same way.
"""

import gzip
import os
import platform
import random
import re
import shutil
import stat
import subprocess
import time
import zlib
from concurrent.futures import ThreadPoolExecutor
from importlib.metadata import version
from pathlib import Path

import pytest

from conftest import EMULATED, OWN_THREADS, PEER_ENV, PROGRAM, _tool, nobody_directory, random_seq, write_fasta

KELPA = [PROGRAM]
LETTERS = "ACGTNacgtnRYKMSWBDHVUryksmwbdhvuXx*-."


def run(*args, stdin=None):
    return subprocess.run([*KELPA, *map(str, args)], capture_output=True, input=stdin)


def run_tool(*args):
    done = subprocess.run([*map(str, args)], capture_output=True, env=PEER_ENV)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


def run_peer(*args):
    return subprocess.run([*map(str, args)], capture_output=True, env=PEER_ENV)


def same_output(ours, *peer):
    """kelpa's command succeeded and printed what the peer prints."""
    assert ours.returncode == 0, ours.stderr
    assert ours.stdout == run_tool(*peer)


def error_line(done, status=1, stdout=b""):
    """The one line a failed command wrote to stderr."""
    assert (done.returncode, done.stdout) == (status, stdout)
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("kelpa: error: "), lines
    return lines[0].removeprefix("kelpa: error: ")


def bedtools_warnings(stderr):
    """bedtools getfasta's warnings, in order: its standard error less its
    notice that it builds its own index. The program's are the same lines."""
    return [
        line
        for line in stderr.decode().splitlines()
        if not (line.startswith("index file ") and line.endswith(" not found, generating..."))
    ]


def make_genome(directory, seed, width, longest=3000):
    """A FASTA file of random records of up to `longest` bases, wrapped at
    `width` (0: one line per record); its path and {name: sequence}."""
    rng = random.Random(seed)
    records = {f"chr{i + 1}": random_seq(rng, rng.randint(1, longest), LETTERS) for i in range(6)}
    records["tiny"] = random_seq(rng, 1, LETTERS)
    path = directory / f"genome-{seed}-{width}.fa"
    write_fasta(path, [(f"{n} random record", s) for n, s in records.items()], width=width)
    return path, records


def bgzipped(path):
    """A BGZF copy of the FASTA file at `path` (bgzip -k), beside it."""
    subprocess.run([_tool("bgzip"), "-k", str(path)], check=True)
    return path.with_name(path.name + ".gz")


def copy_for_tool(path):
    """A copy of a FASTA file for a peer tool, so that each program builds
    and reads its own index."""
    copy = path.with_name("peer-" + path.name)
    shutil.copyfile(path, copy)
    return copy


def random_regions(rng, records, count):
    """1-based, inclusive "name:start-end" regions, some running past the end of their record."""
    regions = []
    for name in rng.choices(list(records), k=count):
        start = rng.randint(1, len(records[name]))
        regions.append(f"{name}:{start}-{rng.randint(start, len(records[name]) + (5 if rng.random() < 0.05 else 0))}")
    return regions


def random_bed(rng, records, count, blocks=False):
    """BED6 lines (BED12 with `blocks`) over the records, 0-based, half-open."""
    lines = []
    for i, chrom in enumerate(rng.choices(list(records), k=count)):
        start = rng.randint(0, len(records[chrom]) - 1)
        end = rng.randint(start + 1, len(records[chrom]))
        fields = [chrom, start, end, f"feature{i}", 0, rng.choice("+-.")]
        if blocks:  # blocks in order, apart, the first at the start and the last at the end of the feature
            size = end - start
            offsets = [0, *sorted(rng.sample(range(1, size), min(rng.randint(0, 3), size - 1)))]
            sizes = [rng.randint(1, b - a) for a, b in zip(offsets, offsets[1:])] + [size - offsets[-1]]
            fields += [start, end, 0, len(offsets), ",".join(map(str, sizes)) + ",", ",".join(map(str, offsets)) + ","]
        lines.append("\t".join(map(str, fields)) + "\n")
    return "".join(lines)


# ---- output agrees with samtools and bedtools ----------------------------------
@pytest.mark.parametrize(
    "file_width, options, listed, packed",
    [
        (60, [], 0, False),
        (13, ["-i"], 0, False),
        (0, ["-n", "7"], 0, False),
        (60, ["-n", "80", "-i"], 0, False),
        (13, ["-n", "1"], 0, False),
        (60, ["-i", "-n", "50"], 5000, False),
        (60, [], 2000, True),
        (60, ["-i", "-n", "70"], 2000, True),
    ],
)
def test_faidx_prints_what_samtools_prints(tmp_path, samtools, file_width, options, listed, packed):
    path, records = make_genome(tmp_path, 11, file_width)
    path = bgzipped(path) if packed else path  # its .fai and .gzi built by the first command
    regions = random_regions(random.Random(len(options) * 100 + file_width), records, 40)
    regions += "chr1 tiny chr2:1-1 chr3:5 chr4:-9 chr5:1,0-2,0".split()
    # An explicit end of 0 is no end; a start of 0 with a '-' is an empty record.
    regions += "chr1:0 chr1:0-5 chr1:0-0 chr1:0- chr2:5-0 chr2:-0 chr2:5- chr3:- tiny:-+5 chr3:0.001k-0.009k".split()
    regions += "chr3:1.5e1-2e1 chr4:1k chr4:-1K chr5:1-99999999999999999999 chr5:99999999999999999999 chr5:1e20".split()
    regions += ["chr4: 5", "chr4:5- 9", "chr4:,5-9"]
    if listed:  # a region file with enough regions for several batches of the parallel fetch
        (tmp_path / "regions.txt").write_text(
            "".join(r + "\n" for r in random_regions(random.Random(3), records, listed))
        )
        options = ["-r", tmp_path / "regions.txt", *options]
    same_output(run("faidx", path, *regions, *options), samtools, "faidx", copy_for_tool(path), *regions, *options)
    if packed:  # without its end-of-file marker the file is read all the same, after a warning
        cut = tmp_path / "cut.fa.gz"
        cut.write_bytes(path.read_bytes()[:-28])
        done = run("faidx", cut, "chr2", *options[2:])
        assert done.stdout == run("faidx", path, "chr2", *options[2:]).stdout
        assert done.stderr.decode() == f"kelpa: warning: {cut}: no BGZF end-of-file marker; the file may be truncated\n"


def run_counting_reads(args, out, env=None):
    """Runs `kelpa args` with its output into the file `out`: the finished
    process and the bytes it read by read() and pread() (rchar of
    /proc/PID/io, taken before the process is reaped)."""
    with open(out, "wb") as sink:
        process = subprocess.Popen([*KELPA, *map(str, args)], stdout=sink, stderr=subprocess.PIPE, env=env)
    os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)
    with open(f"/proc/{process.pid}/io") as io:
        read = int(dict(line.split(": ") for line in io.read().splitlines())["rchar"])
    stderr = process.stderr.read()
    process.wait()
    return process.returncode, stderr, read


def test_regions_in_no_order_inflate_each_block_of_a_bgzf_file_once(tmp_path):
    # 40,000 regions at random places of a file of some 125 blocks: every
    # block is touched by many regions of every few thousand, and each is
    # still read (and inflated) once, not once per batch of regions.
    rng = random.Random(19)
    letters = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
    records = {f"chr{i}": rng.randbytes(2_000_000 + i).translate(letters).decode() for i in range(1, 5)}
    path = tmp_path / "scattered.fa"
    write_fasta(path, list(records.items()))
    subprocess.run([_tool("bgzip"), str(path)], check=True)
    packed = Path(f"{path}.gz")
    assert run("index", packed).returncode == 0
    regions = []
    for name in rng.choices(list(records), k=40_000):
        start = rng.randint(1, len(records[name]) - 150)
        regions.append((name, start, start + rng.randint(0, 150)))
    listed, bed, out = tmp_path / "regions.txt", tmp_path / "regions.bed", tmp_path / "out.fa"
    listed.write_text("".join(f"{n}:{s}-{e}\n" for n, s, e in regions))
    bed.write_text("".join(f"{n}\t{s - 1}\t{e}\n" for n, s, e in regions))
    bound = packed.stat().st_size * 3 // 2  # each block once, some twice
    # Where the kernel cannot say which pages are in memory (qemu-user
    # refuses RWF_NOWAIT), a batch reads its blocks ahead once more, into
    # the page cache; the cold-file tests count that. Here only extraction's
    # reads are counted.
    env = dict(os.environ, KELPA_READ_AHEAD="off") if EMULATED else None
    status, stderr, read = run_counting_reads(["faidx", packed, "-r", listed], out, env)
    assert (status, stderr) == (0, b"")
    assert out.read_text() == "".join(wrapped(f"{n}:{s}-{e}", records[n][s - 1 : e], 60) for n, s, e in regions)
    assert read - listed.stat().st_size < bound
    status, stderr, read = run_counting_reads(["getfasta", packed, bed], out, env)
    assert (status, stderr) == (0, b"")
    assert out.read_text() == "".join(f">{n}:{s - 1}-{e}\n{records[n][s - 1 : e]}\n" for n, s, e in regions)
    assert read - bed.stat().st_size < bound


def test_faidx_past_the_end_and_names_containing_colons(tmp_path, samtools):
    # A name that exists whole is the record; otherwise the text after the
    # last colon is the range; braces quote a name.
    path = tmp_path / "colons.fa"
    write_fasta(path, [("HLA:01", "ACGTACGTAA"), ("y:5", "CCCCGGGGTT")])
    regions = "HLA:01 HLA:01:2-4 y:5 y:5:3-6 {y:5}:2-3 {HLA:01} y:5:8-20 y:5:15-19 y:5:0-20 y:5:1.5-2".split()
    regions += "y:5:15- y:5:11-0 y:5:20".split()
    done = run("faidx", path, *regions)
    same_output(done, samtools, "faidx", copy_for_tool(path), *regions)
    assert done.stdout.decode() == (
        ">HLA:01\nACGTACGTAA\n>HLA:01:2-4\nCGT\n>y:5\nCCCCGGGGTT\n>y:5:3-6\nCCGG\n"
        ">{y:5}:2-3\nCC\n>{HLA:01}\nACGTACGTAA\n>y:5:8-20\nGTT\n>y:5:15-19\n>y:5:0-20\n"
        ">y:5:1.5-2\nCC\n>y:5:15-\n>y:5:11-0\n>y:5:20\n"
    )
    assert done.stderr.decode().splitlines() == [  # a region is read before a batch of them is planned
        "kelpa: warning: region 'y:5:1.5-2': dropped the fractional part of '1.5'",
        "kelpa: warning: Truncated sequence: y:5:8-20",
        "kelpa: warning: Zero length sequence: y:5:15-19",
        "kelpa: warning: Zero length sequence: y:5:0-20",
        "kelpa: warning: Zero length sequence: y:5:15-",
        "kelpa: warning: Zero length sequence: y:5:11-0",
        "kelpa: warning: Zero length sequence: y:5:20",
    ]


@pytest.mark.parametrize(
    "file_width, options, blocks",
    [
        (60, [], False),
        (7, ["-s"], False),
        (0, ["--name"], False),
        (60, ["-s", "--name"], False),
        (60, ["--split", "-s", "--name"], True),
    ],
)
def test_getfasta_prints_what_bedtools_prints(tmp_path, bedtools, file_width, options, blocks):
    path, records = make_genome(tmp_path, 21, file_width)
    bed = tmp_path / "features.bed"
    bed.write_text(random_bed(random.Random(file_width), records, 80 if blocks else 60, blocks=blocks))
    same_output(
        run("getfasta", path, bed, *options),
        bedtools,
        "getfasta",
        "-fi",
        copy_for_tool(path),
        "-bed",
        bed,
        *[o.replace("--", "-") for o in options],
    )


def test_getfasta_tens_of_thousands_of_features_with_headers_and_comments(tmp_path, bedtools):
    # Several batches of the program (each read while the one before is
    # extracted), BED3 lines, the lines bedtools passes over (comments,
    # track and browser lines, blank lines), and features past the end of
    # their sequence or on sequences the FASTA file lacks, in the first
    # batch, at its end, in later ones and after the last feature: their
    # warnings come in line order, as bedtools prints them.
    path, records = make_genome(tmp_path, 23, 60)
    peer = copy_for_tool(path)
    body = ["\t".join(line.split("\t")[:3]) for line in random_bed(random.Random(8), records, 40_000).splitlines()]
    past = lambda name: f"{name}\t{len(records[name]) - 1}\t{len(records[name]) + 5}"
    body[39_000:39_000] = ["chrZ\t0\t5", past("chr2"), "chrX\t3\t4", ""]
    body[20_000:20_000] = [past("chr1"), "chrX\t0\t5", "#\tcomment", "tiny\t1\t1", "chrY\t1\t2", past("chr3")]
    body[16_380:16_380] = [past("chr4"), "chrW\t0\t1", past("chr5")]
    body[5:5] = [past("chr6"), "chrV\t0\t1"]
    body.append("chrU\t0\t1")
    bed = tmp_path / "many.bed"
    bed.write_text("#chrom\tstart\tend\ntrack name=x\nbrowser position chr1\n\n" + "\n".join(body) + "\n")
    done, theirs = run("getfasta", path, bed, "-s"), run_peer(bedtools, "getfasta", "-fi", peer, "-bed", bed, "-s")
    assert (done.returncode, done.stdout) == (theirs.returncode, theirs.stdout) == (0, theirs.stdout), done.stderr
    warnings = bedtools_warnings(theirs.stderr)
    assert len(warnings) == 14 and done.stderr.decode().splitlines() == warnings
    size = len(records["chr6"])
    assert warnings[:2] == [
        f"Feature (chr6:{size - 1}-{size + 5}) beyond the length of chr6 size ({size} bp).  Skipping.",
        "WARNING. chromosome (chrV) was not found in the FASTA file. Skipping.",
    ]
    assert "Feature (tiny:1-1) has length = 0, Skipping." in warnings
    # A bad line in the last batch: everything before it is printed first.
    bad, head = tmp_path / "bad.bed", tmp_path / "head.bed"
    bad.write_text("\n".join(body[:39_500] + ["chr1\t9\t2"] + body[39_500:]) + "\n")
    head.write_text("\n".join(body[:39_500]) + "\n")
    done, theirs = run("getfasta", path, bad, "-s"), run_peer(bedtools, "getfasta", "-fi", peer, "-bed", head, "-s")
    assert (done.returncode, done.stdout) == (1, theirs.stdout)
    assert done.stderr.decode().splitlines() == [
        *bedtools_warnings(theirs.stderr),
        f"kelpa: error: {bad}, line 39501: the start is after the end",
    ]


# faidx without regions builds the index too; a file of several MiB is read
# in pieces; a BGZF file gets its .gzi beside the .fai.
@pytest.mark.parametrize(
    "command, file_width, longest, packed",
    [
        ("index", 13, 3000, False),
        ("faidx", 0, 3000, False),
        ("index", 61, 3_000_000, False),
        ("index", 60, 300_000, True),
    ],
)
def test_index_writes_the_index_samtools_writes(tmp_path, samtools, command, file_width, longest, packed):
    path, _ = make_genome(tmp_path, 31, file_width, longest)
    if packed:
        subprocess.run([_tool("bgzip"), str(path)], check=True)
        path = path.with_name(path.name + ".gz")
    peer = copy_for_tool(path)
    run_tool(samtools, "faidx", peer)
    if command == "index":  # which also replaces a broken index
        assert run(command, path).returncode == 0
        Path(f"{path}.fai").write_text("chr1\tnot a number\t1\t60\t61\n")
    done = run(command, path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    made = [".fai", ".gzi"] if packed else [".fai"]
    for suffix in made:
        assert Path(f"{path}{suffix}").read_bytes() == Path(f"{peer}{suffix}").read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        f"{file.name}{suffix}" for file in (path, peer) for suffix in ["", *made]
    )


# A file without any record is refused, as samtools refuses it, by every
# command; `kelpa index` writes nothing then.
@pytest.mark.parametrize(
    "text",
    [b"", b"ACGT\n", b"\n\n", b"ACGT\r\nAC"],
    ids=["empty", "sequence_only", "blank_lines", "sequence_only_crlf_unterminated"],
)
def test_a_file_without_records_is_refused(tmp_path, samtools, text):
    path = tmp_path / "headless.fa"
    path.write_bytes(text)
    peer = copy_for_tool(path)
    assert run_peer(samtools, "faidx", peer).returncode == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name, peer.name]
    for args in (["index", path], ["faidx", path], ["faidx", path, "x:1-2"], ["getfasta", path, "-"]):
        assert error_line(run(*args, stdin=b"x\t0\t2\n")) == f"{path}: no FASTA record (no '>name' header line)"
        if args[0] == "index":
            assert sorted(p.name for p in tmp_path.iterdir()) == [path.name, peer.name]


def test_files_samtools_refuses_are_refused(tmp_path, samtools):
    # A file cut short after its index was written: a region that runs into
    # the missing part fails, as in samtools, after the regions before it.
    path = tmp_path / "cut.fa"
    text = write_fasta(path, [("chr1", "ACGTACGTAC" * 3), ("chrM", "GGGGGCCCCC" * 3)], width=10)
    peer = copy_for_tool(path)
    assert run("index", path).returncode == run_peer(samtools, "faidx", peer).returncode == 0
    for file in (path, peer):
        os.truncate(file, len(text) - 20)
        os.utime(f"{file}.fai")  # not older than the file: read, not rebuilt
    for region in ("chrM:5-30", "chrM:13-14", "chrM:25-30"):
        assert run_peer(samtools, "faidx", peer, "chr1:1-4", region).returncode == 1
        message = f"region '{region}': {path} ends inside the region: the file is cut short, or {path}.fai was made for another file"
        assert error_line(run("faidx", path, "chr1:1-4", region), stdout=b">chr1:1-4\nACGT\n") == message
    bed = tmp_path / "cut.bed"
    bed.write_text("chr1\t0\t4\nchrM\t4\t30\n")
    done = run("getfasta", path, bed)
    assert (
        error_line(done, stdout=b">chr1:0-4\nACGT\n") == f"chrM:4-30: {path} ends inside the region: "
        f"the file is cut short, or {path}.fai was made for another file"
    )
    # Line ends of carriage returns alone, refused by both.
    path.write_bytes(b">a\rACGT\rGGGG\r>b\rTT\r")
    assert run_peer(samtools, "faidx", copy_for_tool(path)).returncode == 1
    for args in (["index", path], ["faidx", path, "b"]):
        assert error_line(run(*args)) == (
            f"cannot index {path}: line 1 (a header line) holds a carriage return "
            'that does not end it; lines must end in "\\n" or "\\r\\n"'
        )
    # Index entries no file can have are refused, whatever samtools makes of them.
    path.write_bytes(b">chr1\nACGTACGTAC\nGGGGGGGGGG\nAA\n")
    rebuild = (
        f"IO error: the index {path}.fai does not describe {path}: record 'chr1' is not laid out where it says; "
        "rebuild the index"
    )
    for entry in ("22\t6\t10\t0", "22\t6\t0\t0", "22\t6\t10\t13", "22\t6\t10\t9"):
        Path(f"{path}.fai").write_text(f"chr1\t{entry}\n")
        os.utime(f"{path}.fai", (os.path.getmtime(path) + 10,) * 2)
        assert error_line(run("faidx", path, "chr1:13-15")) == f"region 'chr1:13-15': {rebuild}"


def test_text_before_the_first_header_is_passed_over(tmp_path, samtools):
    # As the module passes it over; samtools refuses such a file.
    path = tmp_path / "preamble.fa"
    path.write_bytes(b"written by hand\n\n>a first\nACGT\nAC\n>b\nGG\n")
    assert run_peer(samtools, "faidx", copy_for_tool(path)).returncode == 1
    done = run("index", path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert Path(f"{path}.fai").read_text() == "a\t6\t26\t4\t5\nb\t2\t37\t2\t3\n"
    done = run("faidx", path, "a", "b:2")
    assert (done.returncode, done.stdout) == (0, b">a\nACGTAC\n>b:2\nG\n")


# ---- files of any bytes ------------------------------------------------------------
# The program reads a FASTA file as bytes, as samtools and bedtools read it
# (the module reads it as UTF-8 text and refuses other bytes).
def write_byte_fasta(path, records, width):
    """(header, sequence) pairs of bytes as a FASTA file, sequences in lines of `width`."""
    path.write_bytes(
        b"".join(
            b">" + header + b"\n" + b"".join(seq[i : i + width] + b"\n" for i in range(0, len(seq), width))
            for header, seq in records
        )
    )


def wrapped_bytes(name, text, width=60):
    return b">" + name + b"\n" + b"".join(text[i : i + width] + b"\n" for i in range(0, len(text), width))


def bytes_features(rng, records, count):
    """BED6 lines of random features on the (name, sequence) pairs, on both strands."""
    lines = []
    for _ in range(count):
        name, seq = rng.choice(records)
        start = rng.randrange(len(seq))
        lines.append(
            b"%s\t%d\t%d\tf\t0\t%s\n" % (name, start, rng.randint(start + 1, len(seq)), rng.choice([b"+", b"-"]))
        )
    return b"".join(lines)


def bedtools_texts(bedtools, fasta, features):
    """What bedtools getfasta -s -tab prints for each feature, in order."""
    out = run_tool(bedtools, "getfasta", "-fi", copy_for_tool(fasta), "-bed", features, "-s", "-tab")
    return [line.split(b"\t", 1)[1] for line in out.splitlines()]


# Names end at ASCII whitespace, where samtools cuts them: not at 0x85 or
# 0xA0 (whitespace in Latin-1), nor at U+00A0 or U+2000 (as UTF-8).
BYTE_HEADERS = {
    b"n\xe9me rest\xff": b"n\xe9me",
    b"x\x85y z": b"x\x85y",
    b"p\xa0q\x85 r": b"p\xa0q\x85",
    b"u\xc2\xa0v w": b"u\xc2\xa0v",
    b"e\xe2\x80\x80m\te": b"e\xe2\x80\x80m",
    b"plain d\xe9sc\x80\xff": b"plain",
    b"\xff\xfe\tx\xe9": b"\xff\xfe",
}


@pytest.mark.parametrize("packed", [False, True], ids=["plain", "bgzf"])
def test_headers_holding_any_bytes(tmp_path, samtools, bedtools, packed):
    rng = random.Random(41)
    records = [(header, random_seq(rng, rng.randint(1, 400), "ACGTNacgtn").encode()) for header in BYTE_HEADERS]
    plain = tmp_path / "names.fa"
    write_byte_fasta(plain, records, 50)
    path = bgzipped(plain) if packed else plain
    peer = copy_for_tool(path)
    done = run("index", path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    run_tool(samtools, "faidx", peer)
    fai = Path(f"{path}.fai").read_bytes()
    assert fai == Path(f"{peer}.fai").read_bytes()
    assert [line.split(b"\t")[0] for line in fai.splitlines()] == list(BYTE_HEADERS.values())
    named = [(BYTE_HEADERS[header], seq) for header, seq in records]
    regions = tmp_path / "regions.txt"
    regions.write_bytes(
        b"".join(name + b"\n" for name, _ in named)
        + b"".join(
            b"%s:%d-%d\n" % (name, s, s + rng.randrange(len(seq) - s + 1))
            for name, seq in named
            for s in rng.sample(range(1, len(seq) + 1), min(5, len(seq)))
        )
    )
    for options in ([], ["-i"]):
        same_output(run("faidx", path, "-r", regions, *options), samtools, "faidx", peer, "-r", regions, *options)
    one = run("faidx", path, os.fsdecode(b"u\xc2\xa0v:2-3"))
    assert (one.returncode, one.stdout) == (0, b">u\xc2\xa0v:2-3\n" + named[3][1][1:3] + b"\n"), one.stderr
    features = tmp_path / "features.bed"
    features.write_bytes(bytes_features(rng, named, 60))
    same_output(
        run("getfasta", path, features, "-s"), bedtools, "getfasta", "-fi", copy_for_tool(plain), "-bed", features, "-s"
    )


@pytest.mark.parametrize("packed", [False, True], ids=["plain", "bgzf"])
def test_sequence_lines_holding_any_bytes(tmp_path, samtools, bedtools, packed):
    # Every byte of a sequence line but its line end is a base, printed as it
    # is and complemented as itself, as bedtools counts and prints it (the
    # .fai is bedtools' own); samtools counts and prints only printing ASCII.
    rng = random.Random(43)
    odd = bytes(range(0x80, 0x100)) + b"\x01\x7f"
    mixed = bytearray(odd * 2 + random_seq(rng, 600, "ACGTNacgtn").encode())
    rng.shuffle(mixed)
    records = [
        (b"m\xe9 mixed", bytes(mixed)),
        (b"plain", random_seq(rng, 300).encode()),
        (b"high", bytes(rng.choice(odd) for _ in range(129))),
    ]
    plain = tmp_path / "bytes.fa"
    write_byte_fasta(plain, records, 61)
    path = bgzipped(plain) if packed else plain
    done = run("index", path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    named = [(header.split()[0], seq) for header, seq in records]
    features = tmp_path / "features.bed"
    features.write_bytes(bytes_features(rng, named, 1500))  # enough for the worker pool
    peer = copy_for_tool(plain)
    same_output(run("getfasta", path, features, "-s"), bedtools, "getfasta", "-fi", peer, "-bed", features, "-s")
    assert Path(f"{path}.fai").read_bytes() == Path(f"{peer}.fai").read_bytes()  # the one bedtools wrote
    # faidx prints the same texts: the features as regions, reverse
    # complemented on the minus strand.
    texts = bedtools_texts(bedtools, plain, features)
    regions = [
        (name, int(start) + 1, int(end), strand == b"-")
        for name, start, end, _, _, strand in (line.split(b"\t") for line in features.read_bytes().splitlines())
    ]
    for reverse in (False, True):
        chosen = [(r, t) for r, t in zip(regions, texts) if r[3] == reverse]
        listed = tmp_path / "regions.txt"
        listed.write_bytes(b"".join(b"%s:%d-%d\n" % r[:3] for r, _ in chosen))
        done = run("faidx", path, "-r", listed, *(["-i"] if reverse else []))
        assert done.returncode == 0, done.stderr
        assert done.stdout == b"".join(
            wrapped_bytes(b"%s:%d-%d%s" % (*r[:3], b"/rc" if reverse else b""), t) for r, t in chosen
        )
    # samtools counts only 0x21..0x7E as bases (and prints only those).
    shown = copy_for_tool(plain)
    run_tool(samtools, "faidx", shown)
    assert [line.split(b"\t")[:2] for line in Path(f"{shown}.fai").read_bytes().splitlines()] == [
        [name, b"%d" % sum(0x21 <= b <= 0x7E for b in seq)] for name, seq in named
    ]


# ---- faidx wraps every text the same way ----------------------------------------
def wrapped(name, text, width):
    """The FASTA record samtools prints: the header, then `text` in lines of `width`."""
    return f">{name}\n" + "".join(text[i : i + width] + "\n" for i in range(0, len(text), width))


@pytest.mark.parametrize("width", [1, 7, 59, 60, 61, 2**63, 2**64 - 1])
def test_faidx_wraps_like_plain_slicing(tmp_path, width):
    # Every text length around the width and empty regions in between,
    # against plain slicing of the written text; a width past every text
    # is one line.
    rng = random.Random(width)
    seq = random_seq(rng, 500, "ACGTNacgtnRYKMSWBDHVUryk*-")
    path = tmp_path / "wrap.fa"
    path.write_bytes(f">seq\n{seq}\n>séq\n{seq[:150]}\n".encode())
    lengths = sorted({1, 2, width - 1, width, width + 1, 2 * width, 3 * width + 1, 200} - {0})
    regions = [f"seq:{3 + i}-{2 + i + n}" for i, n in enumerate(lengths)]
    regions += ["seq:501-505", "seq:10-10"]  # an empty one (starts past the end), then a short one
    texts = [seq[int(r[4:].split("-")[0]) - 1 : int(r.split("-")[1])] for r in regions]
    done = run("faidx", path, "-n", width, *regions)
    assert (done.returncode, done.stdout.decode()) == (0, "".join(map(wrapped, regions, texts, [width] * 99)))
    # Reverse complemented as samtools and bedtools complement: the
    # nucleotide pairs, U as A, every other byte as it is.
    complement = str.maketrans("ACGTUKMRYBVDHacgtukmrybvdh", "TGCAAMKYRVBHDtgcaamkyrvbhd")
    done = run("faidx", path, "-i", "-n", width, *regions)
    expected = "".join(wrapped(r + "/rc", t.translate(complement)[::-1], width) for r, t in zip(regions, texts))
    assert (done.returncode, done.stdout.decode()) == (0, expected), done.stderr
    # A whole record, a name that is not ASCII, short regions and, with -c,
    # one that cannot be printed, together.
    regions = ["seq:1-3", "seq", "séq:2-140", "nope", "seq:5-9"]
    done = run("faidx", path, "-c", "-n", width, *regions)
    texts = [seq[:3], seq, seq[1:140], "", seq[4:9]]
    assert (done.returncode, done.stdout.decode()) == (0, "".join(map(wrapped, regions, texts, [width] * 5)))


# ---- options, inputs and the ways out -----------------------------------------
@pytest.fixture
def small_fasta(tmp_path):
    path = tmp_path / "small.fa"
    write_fasta(path, [("chr1", "ACGTacgtNN"), ("x:1-3", "GGG"), ("x", "TTT")])
    return path


# The program's arguments, and the peer's where they are not the same with {peer} for {fa}.
@pytest.mark.parametrize(
    "kelpa_args, peer_args",
    [
        ("faidx -c {fa} chr1:1-2 chr9 x:1-3 {x}:2-3", None),
        ("faidx {fa} chr1:2-6 -i --mark-strand sign", None),
        ("faidx {fa} chr1:2-6 --mark-strand sign", None),
        ("faidx {fa} chr1:2-6 -i --mark-strand=no", "faidx {peer} chr1:2-6 -i --mark-strand no"),
        ("faidx -icn3 {fa} chr1:2-9 nope -n4", None),
        ("faidx {fa} --rev --len=3 --mark=sign chr1", None),
        ("getfasta -fi {fa} -bed {bed} -s -nameOnly -tab", None),
        ("getfasta {fa} {bed} --tab --name", "getfasta -fi {peer} -bed {bed} -tab -name"),
        # Both names: -name wins, whichever comes first.
        ("getfasta {fa} {bed} --name-only --name -s", "getfasta -fi {peer} -bed {bed} -nameOnly -name -s"),
        ("getfasta -name -nameOnly -tab -fi {fa} -bed {bed}", "getfasta -fi {peer} -bed {bed} -name -nameOnly -tab"),
        ("getfasta {fa} {bed.gz} --name-only", "getfasta -fi {peer} -bed {bed} -nameOnly"),
        ("getfasta -split -name -fi {fa} -bed {bed}", "getfasta -fi {peer} -bed {bed} -split -name"),
        ("getfasta {fa} {f0.bed} --split", "getfasta -fi {peer} -bed {f0.bed} -split"),
        ("getfasta {fa} {f13.bed} --split -s", "getfasta -fi {peer} -bed {f13.bed} -split -s"),
    ],
)
def test_options_print_what_the_peers_print(small_fasta, tmp_path, kelpa_args, peer_args):
    bed = tmp_path / "f.bed"
    bed.write_text("chr1\t2\t9\tf1\t0\t-\t2\t9\t0\t2\t2,3,\t0,4,\nx:1-3\t0\t2\tf2\t0\t+\t0\t2\t0\t1\t2,\t0,\n")
    # Blocks that -split leaves whole: none, or a 13th column after them.
    (tmp_path / "f0.bed").write_text("chr1\t1\t8\tf3\t0\t+\t1\t8\t0\t0\t\t\n")
    (tmp_path / "f13.bed").write_text("chr1\t0\t9\tf4\t0\t-\t0\t9\t0\t2\t2,3,\t0,4,\t13th\n")
    bed_gz = tmp_path / "f.bed.data"  # compressed, whatever its name says
    bed_gz.write_bytes(gzip.compress(bed.read_bytes()))
    peer = copy_for_tool(small_fasta)
    fill = {
        "{fa}": small_fasta,
        "{peer}": peer,
        "{bed}": bed,
        "{bed.gz}": bed_gz,
        "{f0.bed}": tmp_path / "f0.bed",
        "{f13.bed}": tmp_path / "f13.bed",
    }
    kelpa_args = kelpa_args.split()
    peer_args = peer_args.split() if peer_args else [{"{fa}": "{peer}"}.get(a, a) for a in kelpa_args]
    tool = {"faidx": "samtools", "getfasta": "bedtools"}[kelpa_args[0]]
    same_output(run(*[fill.get(a, a) for a in kelpa_args]), _tool(tool), *[fill.get(a, a) for a in peer_args])


@pytest.mark.parametrize(
    "options",
    [
        *(["-n", value] for value in ["0", "-1", "+0", " 0", "abc", "", "-99999999999999999999", "5x", "1.5", " +7"]),
        *[["-n", "\t7"], ["-n-0"], ["--length=0"], ["-in0", "-n", "40"], ["-n", "0", "-i", "-n", "-3"]],
    ],
)
def test_faidx_reads_the_line_width_as_samtools_does(tmp_path, samtools, options):
    # A width that is no number above 0 is 60 after a warning (one for each
    # such -n); a number followed by other text is the number.
    path, _ = make_genome(tmp_path, 17, 60)
    regions = ["chr1", "chr2:5-200", "tiny"]
    done, theirs = (
        run("faidx", path, *regions, *options),
        run_peer(samtools, "faidx", copy_for_tool(path), *regions, *options),
    )
    assert (done.returncode, done.stdout) == (theirs.returncode, theirs.stdout) == (0, theirs.stdout), done.stderr
    assert done.stderr.decode().splitlines() == [
        line.replace("[faidx] ", "kelpa: warning: ") for line in theirs.stderr.decode().splitlines()
    ]


def test_regions_and_features_from_standard_input_and_gzip(small_fasta, tmp_path):
    done = run("faidx", small_fasta, "-r", "-", stdin=b"chr1:1-5\n\n x:1-3:2-3 \r\n")
    assert (done.returncode, done.stdout) == (0, b">chr1:1-5\nACGTa\n>x:1-3:2-3\nGG\n"), done.stderr
    unicode = tmp_path / "unicode.fa"  # text that is not ASCII leaves the fast road
    unicode.write_bytes(b">u\nA\xc4\x80CG\n")
    done = run("getfasta", unicode, "-", stdin=b"u\t0\t3\nu\t3\t5\n")
    assert (done.returncode, done.stdout) == (0, b">u:0-3\nA\xc4\x80\n>u:3-5\nCG\n"), done.stderr
    features = b"chr1\t2\t10\tf\t0\t-\nchr1\t0\t3\tg\t0\t+\n"
    expected = b">chr1:2-10(-)\nNNacgtAC\n>chr1:0-3(+)\nACG\n"
    for name, stdin in (("-", features), ("stdin", gzip.compress(features))):
        done = run("getfasta", small_fasta, name, "-s", stdin=stdin)
        assert (done.returncode, done.stdout) == (0, expected), done.stderr
    (tmp_path / "regions.gz").write_bytes(gzip.compress(b"x\nchr1:9\n"))
    done = run("faidx", small_fasta, f"-r{tmp_path / 'regions.gz'}", "-o", tmp_path / "out.fa")
    assert (done.returncode, done.stdout, (tmp_path / "out.fa").read_bytes()) == (0, b"", b">x\nTTT\n>chr1:9\nNN\n")
    done = run("getfasta", small_fasta, "-", "-fo", tmp_path / "out.fa", stdin=features)
    assert (done.returncode, (tmp_path / "out.fa").read_bytes()) == (0, b">chr1:2-10\nGTacgtNN\n>chr1:0-3\nACG\n")


def test_a_few_short_regions_start_no_worker_threads(tmp_path):
    # The output goes to a pipe nobody reads: once the regions are extracted,
    # the program waits to write them, with every thread it started.
    fasta, regions = tmp_path / "few.fa", tmp_path / "few.txt"
    write_fasta(fasta, [("chr1", random_seq(random.Random(3), 10_000))])
    regions.write_text("chr1:1-5000\n" * 100)
    assert run("index", fasta).returncode == 0
    child = subprocess.Popen([*KELPA, "faidx", fasta, "-r", regions], stdout=subprocess.PIPE)
    try:
        for _ in range(1000):
            if "pipe" in Path(f"/proc/{child.pid}/wchan").read_text():
                break
            time.sleep(0.01)
        assert len(os.listdir(f"/proc/{child.pid}/task")) == OWN_THREADS
    finally:
        out = child.stdout.read()
        child.wait(timeout=30)
    assert child.returncode == 0 and out.count(b">chr1:1-5000\n") == 100


def test_version_and_help():
    done = run("--version")
    assert done.returncode == 0
    first, library, kernels = done.stdout.decode().splitlines()
    assert first == f"kelpa {version('kelpa')}"
    # The build says which library inflates BGZF blocks; CI says which to expect.
    assert re.fullmatch(r"BGZF inflate: (libdeflate \d+\.\d+|zlib \d+\.\d+\.\d+(\.\d+)?)", library)
    expected = os.environ.get("KELPA_EXPECT_INFLATE")
    if expected == "zlib":
        assert library == f"BGZF inflate: zlib {zlib.ZLIB_RUNTIME_VERSION}"
    elif expected:
        assert library.startswith(f"BGZF inflate: {expected} ")
    # And which kernels run: the CPU's best, or portable where asked for.
    assert kernels in {"kernels: avx2", "kernels: ssse3", "kernels: neon", "kernels: portable"}
    if platform.machine() == "aarch64":
        assert kernels == "kernels: neon"
    for command in ([], ["index"], ["faidx"], ["getfasta"]):
        done = run(*command, "--help")
        assert (done.returncode, done.stderr) == (0, b"")
        assert done.stdout.decode().startswith(" ".join(["usage: kelpa", *command]))


def into_head(*args):
    """The line that `args | head -1` prints in a shell, the exit status of
    `args` there, and what it wrote on standard error."""
    done = subprocess.run(
        ["bash", "-c", '"$@" | head -1; echo "${PIPESTATUS[0]}"', "bash", *map(str, args)], capture_output=True
    )
    line, status = done.stdout.decode().splitlines()
    return line, int(status), done.stderr


@pytest.mark.parametrize(
    "command, peer",
    [
        (["faidx", "{fa}", "-r", "{list}"], ["samtools", "faidx", "{peer}", "-r", "{list}"]),
        (["getfasta", "{fa}", "{bed}"], ["bedtools", "getfasta", "-fi", "{peer}", "-bed", "{bed}"]),
    ],
)
def test_output_closed_early_ends_by_sigpipe_as_the_peers_do(tmp_path, command, peer):
    # Quiet, and the status of SIGPIPE (141 in a shell), which shells and
    # pipeline managers take for an early close, not for a failure.
    path, records = make_genome(tmp_path, 41, 60)
    (tmp_path / "regions.txt").write_text("chr1\n" * 20000)
    (tmp_path / "features.bed").write_text(f"chr1\t0\t{len(records['chr1'])}\n" * 20000)  # tens of MiB out
    fill = {
        "{fa}": path,
        "{peer}": copy_for_tool(path),
        "{list}": tmp_path / "regions.txt",
        "{bed}": tmp_path / "features.bed",
        peer[0]: _tool(peer[0]),
    }
    ours = into_head(*KELPA, *[fill.get(a, a) for a in command])
    assert ours[:2] == into_head(*[fill.get(a, a) for a in peer])[:2]  # bedtools tells of the index it builds
    assert ours[1:] == (141, b"")


def test_a_full_disk_is_told(small_fasta, tmp_path):
    # Each road to the output: faidx's formatted blocks and its buffer,
    # getfasta's records in place and, with --split, through the buffer.
    bed = tmp_path / "blocks.bed"
    bed.write_text("chr1\t0\t9\tg\t0\t+\t0\t9\t0\t2\t3,3,\t0,5,\n" * 200_000)
    for args in (
        ["faidx", small_fasta, "chr1", "-n", "3"],
        ["faidx", small_fasta, "-r", "-"],
        ["getfasta", small_fasta, bed],
        ["getfasta", small_fasta, bed, "--split"],
    ):
        done = run(*args, "-o", "/dev/full", stdin=b"chr1:2-5\n" * 100_000)
        assert error_line(done) == "cannot write /dev/full: No space left on device"


@pytest.mark.parametrize(
    "args, message",
    [
        ("faidx {fa} chr1:1-2 chr9", "sequence 'chr9' is not in {fa}"),
        ("faidx {fa} chr1:1-2 chr9:1-5", "sequence 'chr9' of region 'chr9:1-5' is not in {fa}"),
        ("faidx {fa} chr1:1-2 chr9 -i --mark-strand sign", "sequence 'chr9' is not in {fa}"),
        ("faidx {fa} chr1:1-2 chr1:5-3", "bad region 'chr1:5-3': the end is before the start"),
        ("faidx {fa} chr1:1-2 chr1:a-5", "bad region 'chr1:a-5': 'a' is not a position"),
        ("faidx {fa} chr1:1-2 chr1:3-5x", "bad region 'chr1:3-5x': '5x' is not a position"),
        ("faidx {fa} chr1:1-2 chr1:3--5", "bad region 'chr1:3--5': '-5' is not a position"),
        ("faidx {fa} chr1:1-2 chr1:-3-5", "bad region 'chr1:-3-5': '-3' is not a position"),
        ("faidx {fa} chr1:1-2 chr1:1k5-9", "bad region 'chr1:1k5-9': '1k5' is not a position"),
        (["faidx", "{fa}", "chr1:1-2", "chr1:3 "], "bad region 'chr1:3 ': '3 ' is not a position"),
        ("faidx {fa} chr1:1-2 x:1-3", "region 'x:1-3' is ambiguous: write {x:1-3} or {x}:1-3"),
        ("faidx {fa} chr1:1-2 {chr1", "bad region '{chr1': no closing brace"),
        ("faidx {dir}/missing.fa chr1", "FASTA file not found: {dir}/missing.fa"),
        (
            "faidx {dir}/gzip.fa.gz chr1",
            "{dir}/gzip.fa.gz: the file is gzip- but not BGZF-compressed; compress the "
            "uncompressed file with bgzip to make it readable at random",
        ),
        ("index {dir}/missing.fa", "FASTA file not found: {dir}/missing.fa"),
        ("getfasta {fa} {dir}/missing.bed", "cannot read BED file {dir}/missing.bed: No such file or directory"),
        ("faidx {fa} -r {dir}/missing.txt", "cannot read region file {dir}/missing.txt: No such file or directory"),
        ("faidx {fa} chr1 -o {dir}/no/such/out.fa", "cannot write {dir}/no/such/out.fa: No such file or directory"),
    ],
)
def test_mistakes_give_one_error_line(small_fasta, samtools, args, message):
    # faidx streams, and ends at a bad region as samtools ends: the regions
    # before it printed, then its header, and exit status 1.
    fill = lambda text: text.replace("{fa}", str(small_fasta)).replace("{dir}", str(small_fasta.parent))
    args = args.split() if isinstance(args, str) else args
    (small_fasta.parent / "gzip.fa.gz").write_bytes(gzip.compress(small_fasta.read_bytes()))
    before = b""
    if "chr1:1-2" in args:
        theirs = run_peer(samtools, "faidx", copy_for_tool(small_fasta), *args[2:])
        assert theirs.returncode == 1 and theirs.stdout.startswith(b">chr1:1-2")
        before = theirs.stdout
    assert error_line(run(*map(fill, args)), stdout=before) == fill(message)


# Permissions do not bind root, who runs the program as nobody here: a copy
# of it, in a directory of the test's own, since the clone it was built in
# may sit under a directory that only root may enter (mktemp -d makes one).
# The program needs no library of kelpa's own.
@pytest.mark.parametrize(
    "fasta_mode, message", [(0o000, "{fa}: Permission denied"), (0o444, "{fa}.fai: Permission denied")]
)
def test_a_file_that_cannot_be_read_or_written_is_named(fasta_mode, message):
    top = nobody_directory()
    path = top / "d" / "p.fa"
    try:
        program = shutil.copy(PROGRAM, top / "kelpa")
        path.parent.mkdir()
        write_fasta(path, [("a", "ACGT")])
        path.chmod(fasta_mode)
        path.parent.chmod(0o555)
        nobody = dict(user=65534, group=65534, extra_groups=[]) if os.geteuid() == 0 else {}
        done = subprocess.run([program, "faidx", str(path), "a"], capture_output=True, **nobody)
        assert error_line(done) == message.format(fa=path)
    finally:
        path.parent.chmod(0o755)
        shutil.rmtree(top)


# An index path names a file that is replaced whole; a FIFO or a device in
# its place is refused and left as it is (a device is made only as root, and
# only in the test's directory: /dev/full's numbers). Output streams are
# written in place, so a FIFO there is written to.
@pytest.mark.parametrize("kind", ["fifo", "device"])
@pytest.mark.parametrize("packed", [False, True], ids=["plain", "bgzf"])
def test_index_refuses_to_replace_a_special_file(small_fasta, tmp_path, kind, packed):
    ref = bgzipped(small_fasta) if packed else small_fasta
    special = tmp_path / "special"
    if kind == "fifo":
        os.mkfifo(special)
    elif os.geteuid() == 0:
        os.mknod(special, 0o600 | stat.S_IFCHR, os.makedev(1, 7))
    else:
        pytest.skip("only root can make a device node")
    before = sorted(os.listdir(tmp_path))
    for option in ["--fai-idx"] + (["--gzi-idx"] if packed else []):
        done = run("index", ref, option, special, *(["--fai-idx", tmp_path / "x.fai"] if option != "--fai-idx" else []))
        what = "a named pipe" if kind == "fifo" else "a character device"
        assert error_line(done) == f"{special} is not a regular file ({what})"
        assert sorted(os.listdir(tmp_path)) == before
        assert os.stat(special).st_mode & 0o170000 == (stat.S_IFIFO if kind == "fifo" else stat.S_IFCHR)
    if kind == "fifo":
        with ThreadPoolExecutor(1) as reader:
            read = reader.submit(special.read_bytes)
            assert run("faidx", ref, "chr1:1-4", "-o", special).returncode == 0
            assert read.result(timeout=30) == b">chr1:1-4\nACGT\n"


@pytest.mark.parametrize(
    "args, message",
    [
        ("", "the following arguments are required: COMMAND"),
        ("frobnicate", "invalid command 'frobnicate' (choose from 'index', 'faidx', 'getfasta')"),
        ("faidx {fa} -n", "option -n needs a value"),
        ("faidx {fa} -in", "option -n needs a value"),
        ("faidx {fa} -ix", "unrecognized option '-x' in '-ix'"),
        ("faidx {fa} --re x", "option '--re' is ambiguous; possibilities: '--region-file', '--reverse-complement'"),
        (
            "faidx {fa} --mark-strand up",
            "argument --mark-strand: invalid choice: 'up' (choose from 'rc', 'no', 'sign')",
        ),
        ("faidx", "the following arguments are required: REF"),
        ("getfasta {fa}", "the following arguments are required: BED"),
        ("getfasta -bed a.bed", "the following arguments are required: REF"),
        ("getfasta {fa} a.bed b.bed", "unrecognized arguments: b.bed"),
        ("getfasta -fi {fa} -bed a.bed -sx", "unrecognized option '-sx'"),
        ("index {fa} --width", "unrecognized option '--width'"),
    ],
)
def test_usage_mistakes_exit_with_status_2(small_fasta, args, message):
    fill = lambda text: text.replace("{fa}", str(small_fasta))
    assert error_line(run(*map(fill, args.split())), status=2) == fill(message)


def test_bad_bed_lines_and_broken_index(small_fasta, tmp_path):
    bed = tmp_path / "bad.bed"
    for line, message in {  # one run each, after a good line, which is printed first
        "chr1\t1\n": "expected at least 3 tab-separated columns",
        "chr1 1 5\n": "expected at least 3 tab-separated columns",
        "chr1\tone\t5\n": "the start and end must be whole numbers",
        "chr1\t2\t5e\n": "the start and end must be whole numbers",
        "chr1\t-1\t5\n": "the start is negative",
        "chr1\t5\t2\n": "the start is after the end",
        "chr1\t0\t9\tg\t0\t+\t0\t9\t0\t2\t3,3,\t0,\n": "the block count does not match the block lists",
        "chr1\t0\t9\tg\t0\t+\t0\t9\t0\t1\t20,\t0,\n": "a block lies outside the feature",
        "chr1\t0\t9\tg\t0\t+\t0\t9\t0\t2\t3,0,\t0,5,\n": "a block has size 0",
    }.items():
        bed.write_text("#header\nchr1\t0\t2\n" + line)
        done = run("getfasta", small_fasta, bed, "--split")
        assert error_line(done, stdout=b">chr1:0-2\nAC\n") == f"{bed}, line 3: {message}"
    (tmp_path / "cut.bed.gz").write_bytes(gzip.compress(b"chr1\t0\t2\n" * 1000)[:-12])
    done = run("getfasta", small_fasta, tmp_path / "cut.bed.gz")  # the whole lines before the cut are printed
    message = error_line(done, stdout=done.stdout)
    assert message == f"cannot read BED file {tmp_path / 'cut.bed.gz'}: unexpected end of file"
    assert done.stdout and set(done.stdout.split(b"\n")) == {b">chr1:0-2", b"AC", b""}
    index = Path(f"{small_fasta}.fai")
    index.write_text("chr1\tten\t6\t10\t11\n")
    os.utime(index, (os.path.getmtime(small_fasta) + 10,) * 2)  # newer: read, not rebuilt
    message = error_line(run("faidx", small_fasta, "chr1"))
    assert message.startswith(f"bad index file {small_fasta}.fai (")
    assert message.endswith(f"); run 'kelpa index {small_fasta}'")
