"""The kelpa command: `kelpa index`, `kelpa faidx` and `kelpa getfasta`.

Their output is checked byte for byte against samtools faidx and bedtools
getfasta run on the same files with the same options (each test is skipped
when its tool is missing). The sequences are random text of A, C, G, T and N
in both cases: the letters every tool complements the same way.
"""

import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import random_seq, write_fasta

LETTERS = "ACGTNacgtn"


def kelpa_command():
    """The installed console script beside this interpreter, or the module."""
    script = Path(sys.executable).with_name("kelpa")
    if script.exists():
        return [str(script)]
    return [sys.executable, "-m", "kelpa_cli"]


KELPA = kelpa_command()


def run(*args, cwd=None, stdin=None):
    return subprocess.run(
        [*KELPA, *map(str, args)], capture_output=True, cwd=cwd, input=stdin
    )


def run_tool(*args, cwd=None):
    done = subprocess.run([*map(str, args)], capture_output=True, cwd=cwd)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


def error_line(done):
    """The one line a failed command wrote to stderr."""
    assert done.returncode == 1
    assert done.stdout == b""
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1, lines
    assert lines[0].startswith("kelpa: error: ")
    return lines[0].removeprefix("kelpa: error: ")


@pytest.fixture(scope="module")
def bedtools():
    path = shutil.which("bedtools")
    if path is None:
        pytest.skip("bedtools is not installed")
    return path


@pytest.fixture(scope="module")
def samtools_path():
    path = shutil.which("samtools")
    if path is None:
        pytest.skip("samtools is not installed")
    return path


def make_genome(directory, seed, width):
    """A FASTA file of random records wrapped at `width` (0: one line per
    record); its path and {name: sequence}."""
    rng = random.Random(seed)
    records = {}
    for i in range(6):
        records[f"chr{i + 1}"] = random_seq(rng, rng.randint(1, 3000), LETTERS)
    records["tiny"] = random_seq(rng, 1, LETTERS)
    path = directory / f"genome-{seed}-{width}.fa"
    write_fasta(path, [(f"{n} random record", s) for n, s in records.items()], width=width)
    return path, records


def copy_for_tool(path):
    """A copy of a FASTA file for a peer tool, so that each program builds
    and reads its own index."""
    copy = path.with_name("peer-" + path.name)
    shutil.copyfile(path, copy)
    return copy


def random_regions(rng, records, count):
    """1-based, inclusive (name, start, end) regions, some running past the
    end of their record."""
    names = list(records)
    regions = []
    for _ in range(count):
        name = rng.choice(names)
        length = len(records[name])
        start = rng.randint(1, length)
        end = rng.randint(start, length + (5 if rng.random() < 0.05 else 0))
        regions.append((name, start, end))
    return regions


# ---- kelpa faidx: regions as name:start-end ---------------------------------


@pytest.mark.parametrize("file_width", [60, 13, 0])
@pytest.mark.parametrize("options", [[], ["-i"], ["-n", "7"], ["-n", "80", "-i"], ["-n", "1"]])
def test_faidx_prints_what_samtools_prints(tmp_path, samtools_path, file_width, options):
    path, records = make_genome(tmp_path, 11, file_width)
    rng = random.Random(len(options) * 100 + file_width)
    regions = [f"{n}:{s}-{e}" for n, s, e in random_regions(rng, records, 40)]
    regions += ["chr1", "tiny", "chr2:1-1", "chr3:5", "chr4:-9", "chr5:1,0-2,0"]
    peer = copy_for_tool(path)
    ours = run("faidx", path, *regions, *options)
    assert ours.returncode == 0, ours.stderr
    assert ours.stdout == run_tool(samtools_path, "faidx", peer, *regions, *options)


@pytest.mark.parametrize("options", [[], ["-i", "-n", "50"]])
def test_faidx_region_file_of_thousands_of_regions(tmp_path, samtools_path, options):
    # Enough regions for several batches of the parallel fetch.
    path, records = make_genome(tmp_path, 12, 60)
    rng = random.Random(3)
    regions = [f"{n}:{s}-{e}" for n, s, e in random_regions(rng, records, 5000)]
    listing = tmp_path / "regions.txt"
    listing.write_text("".join(r + "\n" for r in regions))
    peer = copy_for_tool(path)
    ours = run("faidx", path, "-r", listing, "chr1:7-9", *options)
    assert ours.returncode == 0, ours.stderr
    theirs = run_tool(samtools_path, "faidx", peer, "-r", listing, "chr1:7-9", *options)
    assert ours.stdout == theirs


def test_faidx_region_file_from_standard_input(tmp_path):
    path, records = make_genome(tmp_path, 13, 60)
    done = run("faidx", path, "-r", "-", stdin=b"chr1:1-5\n\nchr2:2-3\r\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == (
        f">chr1:1-5\n{records['chr1'][:5]}\n>chr2:2-3\n{records['chr2'][1:3]}\n"
    )


def test_faidx_past_the_end_truncates_with_one_warning(tmp_path, samtools_path):
    path, records = make_genome(tmp_path, 14, 60)
    n = len(records["chr1"])
    regions = [f"chr1:{n - 2}-{n + 10}", f"chr1:{n + 5}-{n + 9}"]
    done = run("faidx", path, *regions)
    assert done.returncode == 0
    assert done.stdout == run_tool(samtools_path, "faidx", copy_for_tool(path), *regions)
    assert done.stdout.decode() == f">{regions[0]}\n{records['chr1'][-3:]}\n>{regions[1]}\n"
    assert done.stderr.decode().splitlines() == [
        f"kelpa: warning: region '{regions[0]}' runs past the end of chr1 ({n}); truncated",
        f"kelpa: warning: region '{regions[1]}' starts past the end of chr1 ({n}); empty",
    ]


def test_faidx_names_containing_colons(tmp_path, samtools_path):
    # A name that exists whole is the record; otherwise the text after the
    # last colon is the range; braces quote a name. (A region that could be
    # read both ways is refused: see test_faidx_bad_regions.)
    path = tmp_path / "colons.fa"
    write_fasta(path, [("HLA:01", "ACGTACGTAA"), ("y:5", "CCCCGGGGTT")])
    regions = ["HLA:01", "HLA:01:2-4", "y:5", "y:5:3-6", "{y:5}:2-3", "{HLA:01}"]
    done = run("faidx", path, *regions)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == (
        ">HLA:01\nACGTACGTAA\n>HLA:01:2-4\nCGT\n>y:5\nCCCCGGGGTT\n"
        ">y:5:3-6\nCCGG\n>{y:5}:2-3\nCC\n>{HLA:01}\nACGTACGTAA\n"
    )
    assert done.stdout == run_tool(samtools_path, "faidx", copy_for_tool(path), *regions)


def test_faidx_without_regions_writes_the_index(tmp_path):
    path, _ = make_genome(tmp_path, 15, 60)
    done = run("faidx", path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert Path(str(path) + ".fai").exists()


# ---- kelpa getfasta: the features of a BED file -------------------------------


def random_bed(rng, records, count, blocks=False):
    """BED6 lines (BED12 with `blocks`) over the records, 0-based, half-open."""
    names = list(records)
    lines = []
    for i in range(count):
        chrom = rng.choice(names)
        length = len(records[chrom])
        start = rng.randint(0, length - 1)
        end = rng.randint(start + 1, length)
        fields = [chrom, start, end, f"feature{i}", 0, rng.choice("+-.")]
        if blocks:
            size = end - start
            count_ = rng.randint(1, min(4, size))
            offsets = sorted(rng.sample(range(1, size), count_ - 1)) if count_ > 1 else []
            offsets = [0, *offsets]
            sizes = []
            for k, offset in enumerate(offsets):
                limit = (offsets[k + 1] if k + 1 < len(offsets) else size) - offset
                sizes.append(rng.randint(1, limit) if k + 1 < len(offsets) else limit)
            fields += [start, end, "0", len(offsets), ",".join(map(str, sizes)) + ",",
                       ",".join(map(str, offsets)) + ","]
        lines.append("\t".join(map(str, fields)) + "\n")
    return "".join(lines)


GETFASTA_OPTIONS = [[], ["-s"], ["--name"], ["-s", "--name"]]


def bedtools_options(options):
    return [o.replace("--", "-") for o in options]


@pytest.mark.parametrize("file_width", [60, 7, 0])
@pytest.mark.parametrize("options", GETFASTA_OPTIONS)
def test_getfasta_prints_what_bedtools_prints(tmp_path, bedtools, file_width, options):
    path, records = make_genome(tmp_path, 21, file_width)
    bed = tmp_path / "features.bed"
    bed.write_text(random_bed(random.Random(file_width), records, 60))
    ours = run("getfasta", path, bed, *options)
    assert ours.returncode == 0, ours.stderr
    theirs = run_tool(bedtools, "getfasta", "-fi", copy_for_tool(path), "-bed", bed,
                      *bedtools_options(options))
    assert ours.stdout == theirs


@pytest.mark.parametrize("options", [["--split"], ["--split", "-s", "--name"]])
def test_getfasta_joins_the_blocks_of_bed12_features(tmp_path, bedtools, options):
    path, records = make_genome(tmp_path, 22, 60)
    bed = tmp_path / "genes.bed"
    bed.write_text(random_bed(random.Random(5), records, 80, blocks=True))
    ours = run("getfasta", path, bed, *options)
    assert ours.returncode == 0, ours.stderr
    theirs = run_tool(bedtools, "getfasta", "-fi", copy_for_tool(path), "-bed", bed,
                      *bedtools_options(options))
    assert ours.stdout == theirs


def test_getfasta_thousands_of_features_with_headers_and_comments(tmp_path, bedtools):
    # Several batches of the parallel fetch, BED3 lines, and the lines
    # bedtools passes over: comments, track and browser lines, blank lines.
    path, records = make_genome(tmp_path, 23, 60)
    rng = random.Random(8)
    body = random_bed(rng, records, 5000)
    bed3 = "".join("\t".join(line.split("\t")[:3]) + "\n" for line in body.splitlines())
    bed = tmp_path / "many.bed"
    bed.write_text("#chrom\tstart\tend\ntrack name=x\nbrowser position chr1\n\n" + bed3)
    for options in ([], ["-s"]):
        ours = run("getfasta", path, bed, *options)
        assert ours.returncode == 0, ours.stderr
        theirs = run_tool(bedtools, "getfasta", "-fi", copy_for_tool(path), "-bed", bed, *options)
        assert ours.stdout == theirs


def test_getfasta_reads_standard_input_and_keeps_case(tmp_path):
    path = tmp_path / "small.fa"
    write_fasta(path, [("chr1", "ACGTacgtNNnn")])
    done = run("getfasta", path, "-", "-s", stdin=b"chr1\t2\t10\tf\t0\t-\nchr1\t0\t3\tg\t0\t+\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == b">chr1:2-10(-)\nNNacgtAC\n>chr1:0-3(+)\nACG\n"


def test_getfasta_skips_what_it_cannot_print_with_a_warning(tmp_path, bedtools):
    path = tmp_path / "small.fa"
    write_fasta(path, [("chr1", "ACGTACGTAC")])
    bed = tmp_path / "odd.bed"
    bed.write_text("chr1\t0\t4\nchrX\t0\t1\nchrX\t2\t3\nchr1\t5\t20\nchr1\t3\t3\nchr1\t8\t10\n")
    done = run("getfasta", path, bed)
    assert done.returncode == 0
    theirs = run_tool(bedtools, "getfasta", "-fi", copy_for_tool(path), "-bed", bed)
    assert done.stdout == theirs == b">chr1:0-4\nACGT\n>chr1:8-10\nAC\n"
    assert done.stderr.decode().splitlines() == [
        f"kelpa: warning: sequence chrX is not in {path}; its features are skipped",
        f"kelpa: warning: {bed}, line 4: chr1:5-20 goes past the end of chr1 (10); skipped",
        f"kelpa: warning: {bed}, line 5: chr1:3-3 is empty; skipped",
    ]


# ---- kelpa index --------------------------------------------------------------


@pytest.mark.parametrize("file_width", [60, 13, 0])
def test_index_writes_the_index_samtools_writes(tmp_path, samtools_path, file_width):
    path, _ = make_genome(tmp_path, 31, file_width)
    peer = copy_for_tool(path)
    run_tool(samtools_path, "faidx", peer)
    done = run("index", path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert Path(f"{path}.fai").read_bytes() == Path(f"{peer}.fai").read_bytes()


def test_index_replaces_a_stale_or_broken_index(tmp_path):
    path, _ = make_genome(tmp_path, 32, 60)
    assert run("index", path).returncode == 0
    good = Path(f"{path}.fai").read_bytes()
    Path(f"{path}.fai").write_text("chr1\tnot a number\t1\t60\t61\n")
    assert run("index", path).returncode == 0
    assert Path(f"{path}.fai").read_bytes() == good
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name, path.name + ".fai"]


# ---- mistakes: one line on stderr, exit status 1 -------------------------------


@pytest.fixture
def small_fasta(tmp_path):
    path = tmp_path / "small.fa"
    write_fasta(path, [("chr1", "ACGTACGTAC"), ("x:1-3", "GGG"), ("x", "TTT")])
    return path


@pytest.mark.parametrize(
    "region, message",
    [
        ("chr9", "sequence 'chr9' is not in {path}"),
        ("chr9:1-5", "sequence 'chr9' of region 'chr9:1-5' is not in {path}"),
        ("chr1:0-4", "bad region 'chr1:0-4': positions start at 1"),
        ("chr1:5-3", "bad region 'chr1:5-3': the end is before the start"),
        ("chr1:a-5", "bad region 'chr1:a-5': 'a' is not a position"),
        ("chr1:3-5x", "bad region 'chr1:3-5x': '5x' is not a position"),
        ("chr1:+3", "bad region 'chr1:+3': '+3' is not a position"),
        ("x:1-3", "region 'x:1-3' is ambiguous: write {x:1-3} or {x}:1-3"),
        ("{chr1", "bad region '{chr1': no closing brace"),
    ],
)
def test_faidx_bad_regions(small_fasta, region, message):
    done = run("faidx", small_fasta, "chr1:1-2", region)
    assert error_line(done) == message.replace("{path}", str(small_fasta))


def test_getfasta_bad_bed_lines(small_fasta, tmp_path):
    cases = {
        "chr1\t1\n": "expected at least 3 tab-separated columns",
        "chr1 1 5\n": "expected at least 3 tab-separated columns",
        "chr1\tone\t5\n": "the start and end must be whole numbers",
        "chr1\t-1\t5\n": "the start is negative",
        "chr1\t5\t2\n": "the start is after the end",
        "chr1\t0\t9\tg\t0\t+\t0\t9\t0\t2\t3,3,\t0,\n":
            "the block count does not match the block lists",
        "chr1\t0\t9\tg\t0\t+\t0\t9\t0\t1\t20,\t0,\n": "a block lies outside the feature",
    }
    bed = tmp_path / "bad.bed"
    for line, message in cases.items():
        bed.write_text("chr1\t0\t2\n" + line)
        done = run("getfasta", small_fasta, bed, "--split")
        assert done.returncode == 1
        assert done.stderr.decode().splitlines() == [f"kelpa: error: {bed}, line 2: {message}"]


def test_missing_files(tmp_path, small_fasta):
    missing = tmp_path / "missing.fa"
    assert error_line(run("faidx", missing, "chr1")) == f"FASTA file not found: {missing}"
    assert error_line(run("getfasta", missing, "x.bed")) == f"FASTA file not found: {missing}"
    assert error_line(run("index", missing)) == f"FASTA file not found: {missing}"
    bed = tmp_path / "missing.bed"
    assert error_line(run("getfasta", small_fasta, bed)) == (
        f"cannot read BED file {bed}: No such file or directory"
    )
    listing = tmp_path / "missing.txt"
    assert error_line(run("faidx", small_fasta, "-r", listing)) == (
        f"cannot read region file {listing}: No such file or directory"
    )


def test_broken_index_is_reported_with_the_way_out(small_fasta):
    index = Path(f"{small_fasta}.fai")
    index.write_text("chr1\tten\t6\t10\t11\n")
    os.utime(index, (os.path.getmtime(small_fasta) + 10,) * 2)  # newer: read, not rebuilt
    message = error_line(run("faidx", small_fasta, "chr1"))
    assert message.startswith(f"bad index file {small_fasta}.fai (")
    assert message.endswith(f"); run 'kelpa index {small_fasta}'")


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["faidx", "{fa}", "-n", "0"], "argument -n/--length: '0' is not a positive whole number"),
        (["getfasta", "{fa}"], "the following arguments are required: BED"),
        (["frobnicate"], "argument COMMAND: invalid choice: 'frobnicate' "
                         "(choose from 'index', 'faidx', 'getfasta')"),
    ],
)
def test_usage_mistakes(small_fasta, args, message):
    done = run(*(a.format(fa=small_fasta) for a in args))
    assert error_line(done) == message


def test_version_and_module_entry_point(small_fasta):
    from importlib.metadata import version

    done = run("--version")
    assert (done.returncode, done.stdout.decode()) == (0, f"kelpa {version('kelpa')}\n")
    by_module = subprocess.run(
        [sys.executable, "-m", "kelpa_cli", "faidx", str(small_fasta), "chr1:2-4"],
        capture_output=True,
    )
    assert (by_module.returncode, by_module.stdout) == (0, b">chr1:2-4\nCGT\n")


def test_output_closed_early_is_not_an_error_message(tmp_path):
    path, _ = make_genome(tmp_path, 41, 60)
    listing = tmp_path / "regions.txt"
    listing.write_text("chr1\n" * 2000)
    reader = subprocess.Popen(["head", "-c", "10"], stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL)
    done = subprocess.run([*KELPA, "faidx", str(path), "-r", str(listing)],
                          stdout=reader.stdin, stderr=subprocess.PIPE)
    reader.stdin.close()
    reader.wait()
    assert b"Traceback" not in done.stderr
    assert done.stderr == b""
