"""Sending kelpa objects to other processes: pickling and copying, the
reconstructor's refusals, multiprocessing with each start method, and the
process pool and Dask recipes of examples/ and the documentation's BED
recipe, run for real and checked against a single-process fetch_many, against
slicing the text and against bedtools."""

import concurrent.futures
import copy
import multiprocessing
import os
import pickle
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kelpa
from conftest import PEER_ENV, U64_MAX, fields, plain_error, raised, random_seq, write_fasta

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
RNG = random.Random(12)
TEXTS = {"chr1": random_seq(RNG, 9_000, "ACGTacgtN"), "chr2": random_seq(RNG, 3_100), "chrM": "GATTACA"}


@pytest.fixture
def ref(tmp_path):
    path = os.fspath(tmp_path / "ref.fa")
    write_fasta(path, [(name + " some description", text) for name, text in TEXTS.items()], width=70)
    kelpa.Faidx(path)  # writes ref.fa.fai
    return path


def bed_regions(count, seed):
    """`count` (chrom, start, end) BED regions (0-based, half-open) on TEXTS."""
    rng = random.Random(seed)
    regions = []
    for _ in range(count):
        name = rng.choice(["chr1", "chr1", "chr2", "chrM"])
        start = rng.randrange(len(TEXTS[name]))
        regions.append((name, start, min(len(TEXTS[name]), start + rng.randint(1, 400))))
    return regions


def restore_via_pickle(*args):
    """pickle.loads of a pickle that calls kelpa._restore(*args), as an edited pickle would."""

    class Edited:
        def __reduce__(self):
            return kelpa._restore, args

    return pickle.loads(pickle.dumps(Edited()))


# ---- values and objects -----------------------------------------------------------
SEQUENCES = [
    kelpa.Sequence(),
    kelpa.Sequence("chr1", "ACGTN", 1, 5),
    kelpa.Sequence("chr1", "acgt", 40, 37, True),
    kelpa.Sequence("only start", "A", 3, None),
    kelpa.Sequence("x", "T" * 1000, 0, U64_MAX, False),
    kelpa.Sequence("ünï", "ÄC€", 1, 3, True),
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_sequences_travel_by_value(protocol):
    for s in SEQUENCES:
        for twin in (pickle.loads(pickle.dumps(s, protocol)), copy.copy(s), copy.deepcopy(s)):
            assert type(twin) is kelpa.Sequence and twin is not s
            assert fields(twin) == fields(s) and repr(twin) == repr(s) and twin == s
    # One list: shared strs are written once and come back shared.
    batch = pickle.loads(pickle.dumps(SEQUENCES * 2, protocol))
    assert [fields(s) for s in batch] == [fields(s) for s in SEQUENCES * 2]
    assert batch[1].name is batch[2].name


def reduction_of(obj):
    return obj.__reduce__()[1]


@pytest.mark.parametrize("kind", [kelpa.Faidx, kelpa.Fasta])
def test_faidx_and_fasta_travel_as_their_constructor_arguments(ref, kind):
    options = dict(indexname=ref + ".idx", default_seq="N", key_function=len, filt_function=str.isupper)
    options |= dict(strict_bounds=True, sequence_always_upper=True, read_ahead=7, split_char=None)
    options |= dict(duplicate_action="first", rebuild=False)
    for given in ({}, options):
        original = kind(ref, **given)
        for protocol in PROTOCOLS:
            blob = pickle.dumps(original, protocol)
            assert len(blob) < 1024
            twin = pickle.loads(blob)
            assert type(twin) is kind and twin is not original
            assert (
                reduction_of(twin)
                == reduction_of(original)
                == ("Faidx" if kind is kelpa.Faidx else "Fasta", 1, {"filename": ref, **given})
            )
        fetch = lambda source, *region: (source.fetch if kind is kelpa.Faidx else source.get_seq)(*region)
        assert fields(fetch(twin, "chr1", 5, 80)) == fields(fetch(original, "chr1", 5, 80))
    assert str(fetch(twin, "chr1", 1, 9)) == TEXTS["chr1"][:9].upper()
    with pytest.raises(IndexError):  # strict_bounds came along
        fetch(twin, "chrM", 1, 99)


def test_a_relative_path_resolves_in_the_receiving_directory(tmp_path, monkeypatch):
    for folder, text in (("a", "AAAA"), ("b", "CCCCCC")):
        (tmp_path / folder).mkdir()
        write_fasta(tmp_path / folder / "ref.fa", [("r", text)])
    monkeypatch.chdir(tmp_path / "a")
    blob = pickle.dumps(kelpa.Fasta("ref.fa"))
    monkeypatch.chdir(tmp_path / "b")
    twin = pickle.loads(blob)
    assert repr(twin) == 'Fasta("ref.fa")' and str(twin["r"]) == "CCCCCC"


def test_records_travel_as_their_fasta_and_name(ref):
    fasta = kelpa.Fasta(ref, sequence_always_upper=True)
    records = pickle.loads(pickle.dumps([fasta["chrM"], fasta["chr2"], fasta]))
    assert [type(r) for r in records] == [kelpa.FastaRecord, kelpa.FastaRecord, kelpa.Fasta]
    assert [r.name for r in records[:2]] == ["chrM", "chr2"] and str(records[1]) == TEXTS["chr2"]
    # One pickle, one Fasta on the other side.
    assert reduction_of(records[0])[2] is records[2] is reduction_of(records[1])[2]
    assert reduction_of(copy.copy(fasta["chr1"]))[2] is fasta
    assert str(copy.deepcopy(fasta["chrM"])) == "GATTACA"


def test_iterators_refuse_to_travel(ref):
    fasta = kelpa.Fasta(ref)
    for it, advice in ((iter(fasta), "its Fasta"), (iter(fasta["chr1"]), "its FastaRecord")):
        message = (
            f"cannot pickle a {type(it).__name__}: an iterator is a position in this process; pickle {advice} instead"
        )
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
            assert raised(TypeError, attempt, it) == message
        assert next(it) is not None  # still usable


# ---- bad input ---------------------------------------------------------------------
def replace_file(path, text):
    write_fasta(path, [("new", text)])
    os.utime(path, ns=(os.stat(path).st_atime_ns, os.stat(path + ".fai").st_mtime_ns + 10**9))


AFTERWARDS = {  # what happens to the file between pickling and unpickling
    "removed": lambda path: os.remove(path),
    "replaced": lambda path: replace_file(path, "ACGT"),
    "index removed": lambda path: os.remove(path + ".fai"),
    "index broken": lambda path: Path(path + ".fai").write_text("chr1\tten\t0\t70\t71\n"),
    "replaced by a non-FASTA": lambda path: (Path(path).write_bytes(b">r\n\xff\xfe\n"), os.remove(path + ".fai")),
}


def outcome(open_):
    """The record names of what open_() makes, or the message of the plain Exception it raises."""
    try:
        return sorted(open_().keys())
    except Exception as error:
        assert type(error) is Exception
        return str(error)


@pytest.mark.parametrize("options", [{}, {"rebuild": False}, {"build_index": False}])
@pytest.mark.parametrize("afterwards", AFTERWARDS)
def test_unpickling_opens_afresh_with_the_constructors_errors(ref, afterwards, options):
    blob = pickle.dumps(kelpa.Fasta(ref, **options))
    AFTERWARDS[afterwards](ref)
    assert outcome(lambda: pickle.loads(blob)) == outcome(lambda: kelpa.Fasta(ref, **options))


def test_missing_file_gives_fasta_not_found(ref):
    blob = pickle.dumps(kelpa.Faidx(ref))
    os.remove(ref)
    assert plain_error(pickle.loads, blob) == f"FastaNotFoundError: {ref}"


def not_from_a_pickle(kind):
    return f"kelpa._restore() takes only the pickled state of a {kind}"


EDITED = [  # arguments of kelpa._restore, the kind the refusal names
    ((), "kelpa object"),
    (("Sequence",), "kelpa object"),
    ((b"Sequence", 1, "n", "A", None, None, False), "kelpa object"),
    (("sequence", 1, "n", "A", None, None, False), "kelpa object"),
    (("Sequence", True, "n", "A", None, None, False), "kelpa object"),
    (("Sequence", 2, "n", "A", None, None, False), "Sequence"),
    (("Sequence", 2**80, "n", "A", None, None, False), "Sequence"),
    (("Sequence", 1, "n", "A", None, None), "Sequence"),
    (("Sequence", 1, "n", "A", None, None, False, 0), "Sequence"),
    (("Sequence", 1, 5, "A", None, None, False), "Sequence"),
    (("Sequence", 1, "n", b"A", None, None, False), "Sequence"),
    (("Sequence", 1, "n", "A", -1, None, False), "Sequence"),
    (("Sequence", 1, "n", "A", None, 2**64, False), "Sequence"),
    (("Sequence", 1, "n", "A", 1.0, None, False), "Sequence"),
    (("Sequence", 1, "n", "A", True, None, False), "Sequence"),
    (("Sequence", 1, "n", "A", None, None, 1), "Sequence"),
    (("Fasta", 1), "Fasta"),
    (("Fasta", 1, [("filename", "x.fa")]), "Fasta"),
    (("Faidx", 1, {"filename": "x.fa"}, None), "Faidx"),
    (("Faidx", 1, {b"filename": "x.fa"}), "Faidx"),
    (("FastaRecord", 1, "ref.fa", "chr1"), "FastaRecord"),
    (("FastaRecord", 1, None, "chr1"), "FastaRecord"),
]


@pytest.mark.parametrize("args, kind", EDITED)
def test_edited_pickles_give_type_error(args, kind):
    for restore in (kelpa._restore, restore_via_pickle):
        assert raised(TypeError, restore, *args) == not_from_a_pickle(kind)


def test_edited_constructor_arguments_give_type_error(ref):
    cases = [  # arguments, message
        ({}, "Fasta.__new__() missing 1 required positional argument: 'filename'"),
        ({"filename": ref, "colour": "red"}, "Fasta.__new__() got an unexpected keyword argument 'colour'"),
        ({"filename": 7}, "argument 'filename': 'int' object cannot be converted to 'PyString'"),
        ({"filename": ref, "as_raw": 1}, "argument 'as_raw': 'int' object cannot be converted to 'PyBool'"),
        ({"filename": ref, "read_ahead": -1}, not_from_a_pickle("Fasta")),
    ]
    for arguments, message in cases:
        assert raised(TypeError, lambda: restore_via_pickle("Fasta", 1, arguments)) == message
    fasta = kelpa.Fasta(ref)
    with pytest.raises(KeyError):  # a name the file does not hold
        restore_via_pickle("FastaRecord", 1, fasta, "chr9")


# ---- other processes -----------------------------------------------------------------
def fetch_in_child(source, regions):
    """Runs in a pool's worker: the objects arrive pickled, the results go back pickled."""
    fetch = source.fetch if isinstance(source, kelpa.Faidx) else source.get_seq
    return [fetch(*region) for region in regions] + source.fetch_many(regions)


# The worker threads of earlier batches make Python warn about fork; they are safe across it.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_pools_of_each_start_method_take_and_return_kelpa_objects(ref, method):
    regions = [(c, s + 1, e) for c, s, e in bed_regions(40, seed=1)]
    sources = [kelpa.Faidx(ref), kelpa.Fasta(ref)]
    expected = [s.fetch_many(regions) * 2 for s in sources]
    context = multiprocessing.get_context(method)
    with context.Pool(2) as pool:
        got = pool.starmap(fetch_in_child, [(source, regions) for source in sources])
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        got += list(executor.map(fetch_in_child, sources, [regions] * 2))
    assert [[fields(s) for s in batch] for batch in got] == [[fields(s) for s in batch] for batch in expected * 2]


# ---- the recipes ------------------------------------------------------------------------
def recipe_blocks(page):
    """The Python blocks of a documentation page that are recipes (not sessions
    of >>> lines, which the documentation's own run checks)."""
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "docs" / page).read_text(), re.S)
    return [block for block in blocks if not block.startswith(">>>")]


HEADERS = ["track name=test", "browser position chr1:1-100", "#chrom\tstart\tend", "# a comment", ""]
# Features bedtools getfasta skips with a warning: of no length, on
# sequences the FASTA file lacks, running past the end of their sequence
# (which it does not cut short) or starting beyond it.
SKIPPED = [
    ("chrX", 3, 3), ("chr1", 100, 100), ("chrM", 7, 7), ("chr2", 5_000, 5_000), ("chrUn", 0, 5), ("chr1_random", 10, 20),
    ("chrm", 1, 2), ("chrM", 5, 8), ("chr1", 8_999, 9_001), ("chrM", 7, 9), ("chr2", 4_000, 4_100),
]  # fmt: skip
EDGES = [("chrM", 0, 7), ("chrM", 6, 7), ("chr1", 0, 1), ("chr1", 8_999, 9_000)]  # printed


def write_bed(path, features, columns, seed):
    """Write (chrom, start, end) features as BED3, BED6 or BED12 lines, in
    random order, among header and blank lines, some lines ending in CRLF."""
    rng = random.Random(seed)
    features = list(features)
    rng.shuffle(features)
    lines = []
    for i, (c, s, e) in enumerate(features):
        row = [c, s, e, f"r{i}", 0, rng.choice("+-."), s, e, "0,0,255", 1, f"{e - s},", "0,"][:columns]
        lines.append("\t".join(map(str, row)) + rng.choice(["\n"] * 9 + ["\r\n"]))
    for header in HEADERS * 3:
        lines.insert(rng.randrange(len(lines)), header + "\n")
    path.write_bytes((HEADERS[0] + "\n" + "".join(lines)).encode())


def bedtools_getfasta(bedtools, ref, bed, *options):
    """What bedtools getfasta writes for a BED file: its standard output and
    its standard error. It reads a copy of the FASTA file, whose index it
    builds itself."""
    peer = Path(ref).with_name("peer.fa")
    if not peer.exists():
        peer.write_bytes(Path(ref).read_bytes())
    done = subprocess.run(
        [bedtools, "getfasta", "-fi", peer, "-bed", bed, *options], capture_output=True, text=True, env=PEER_ENV
    )
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr.removeprefix(f"index file {peer}.fai not found, generating...\n")


@pytest.fixture
def bed_job(ref, tmp_path, bedtools, columns):
    """A BED file of `columns` columns: 6,000 regions, each of SKIPPED and
    EDGES five times among them, header, blank and CRLF lines; and what
    bedtools getfasta writes for it to standard output and error."""
    bed = tmp_path / "regions.bed"
    write_bed(bed, bed_regions(6_000, seed=2) + (SKIPPED + EDGES) * 5, columns, seed=columns)
    out, warnings = bedtools_getfasta(bedtools, ref, bed)
    # bedtools skipped each of SKIPPED, with its warning, and printed every other feature.
    assert out.count(">") == 6_000 + 5 * len(EDGES) and len(warnings.splitlines()) == 5 * len(SKIPPED)
    return bed, out, warnings


def run_example(name, *args, cwd, env=None):
    args = [sys.executable, str(EXAMPLES / name), *map(str, args)]
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    return done


@pytest.mark.parametrize("method, columns", [("spawn", 3), ("forkserver", 6), ("spawn", 12)])
def test_the_process_pool_recipe_writes_what_bedtools_writes(ref, bed_job, tmp_path, bedtools, method):
    bed, out, warnings = bed_job
    done = run_example("bed_pool.py", ref, bed, "--start-method", method, "--chunk", 1_500, cwd=tmp_path)
    assert (done.stdout, done.stderr) == (out, warnings)
    # A feature halfway that starts after its end: both warn up to it, then stop with bedtools' error.
    lines = bed.read_bytes().splitlines(keepends=True)
    at = next(i for i in range(3_000, len(lines)) if lines[i].startswith(b"chr2\t"))
    chrom, _start, rest = lines[at].split(b"\t", 2)
    lines[at] = b"\t".join([chrom, b"9999", rest])  # no end on chr2 is past 5000
    bad = tmp_path / "bad.bed"
    bad.write_bytes(b"".join(lines))
    ours, peer = (
        subprocess.run([*command, bad], capture_output=True, text=True, env=env)
        for command, env in (
            ([sys.executable, EXAMPLES / "bed_pool.py", ref], None),
            ([bedtools, "getfasta", "-fi", tmp_path / "peer.fa", "-bed"], PEER_ENV),
        )
    )
    assert peer.returncode == 1 and peer.stderr.endswith(" Start was greater than end. Exiting.\n")
    assert (ours.returncode, ours.stdout, ours.stderr) == (1, "", peer.stderr)


@pytest.mark.parametrize("columns", [3, 12])
def test_the_dask_recipe_writes_what_bedtools_writes(ref, bed_job, tmp_path):
    bed, out, warnings = bed_job
    # Dask's own log records (a worker whose heartbeat meets a scheduler that
    # is shutting down logs an error with a traceback of many lines) go to the
    # same standard error as the recipe's warnings: its configuration keeps all
    # but critical ones out, in the workers too.
    quiet = {**os.environ, "DASK_LOGGING__DISTRIBUTED": "critical"}
    # Relative paths: the recipe makes them absolute for the workers.
    gathered = run_example("bed_dask.py", "ref.fa", bed.name, "--partitions", 5, cwd=tmp_path, env=quiet)
    assert (gathered.stdout, gathered.stderr) == (out, warnings)
    written = run_example(
        "bed_dask.py", "ref.fa", bed.name, "--partitions", 3, "--out-dir", "parts", cwd=tmp_path, env=quiet
    )
    paths = [tmp_path / "parts" / f"part-{i:05d}.fa" for i in range(3)]
    assert written.stdout.splitlines() == [str(p) for p in paths]
    assert "".join(p.read_text() for p in paths) == out and written.stderr == warnings


def test_the_documented_bed_recipe_reads_bed3_to_bed12_with_strand(ref, tmp_path, bedtools, monkeypatch):
    [recipe] = recipe_blocks("guides/batches.md")
    monkeypatch.chdir(tmp_path)
    for columns in (3, 6, 12):
        write_bed(tmp_path / "peaks.bed", bed_regions(300, seed=columns) + EDGES, columns, seed=columns)
        scope = {"genome": kelpa.Fasta(ref), "faidx": kelpa.Faidx(ref)}
        exec(recipe, scope)
        # -s: the minus strand reverse complemented; "." or no strand is the plus strand.
        out, warnings = bedtools_getfasta(bedtools, ref, "peaks.bed", "-s", "-tab")
        assert [s.seq for s in scope["sequences"]] == [line.split("\t")[1] for line in out.splitlines()]
        assert any(scope["minus"]) == (columns > 3) and warnings == ""
