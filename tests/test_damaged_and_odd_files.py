"""Damaged and extreme files: a FASTA cut short after indexing, bytes that are
not UTF-8, index lines whose numbers overflow or contradict each other, huge
records, a million records, unusual names, mixed line ends, and a FASTA
replaced on disk. Whatever the file, a fetch gives text that lies in the file
(short, or padded with default_seq) or a plain Exception; it never takes the
process down and never hangs. Risky cases run in a watched child interpreter.
"""

import itertools
import json
import os
import random
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

import kelpa
from conftest import (
    INVALID_UTF8,
    MAPPED_OR_NOT,
    POOL,
    PROGRAM,
    U64_MAX,
    UNDER_ASAN,
    fields,
    oob,
    plain_error,
    preloading,
    raised,
    random_seq,
    read_text,
    revcomp,
    true_text,
    write_bytes,
    write_fasta,
)


def run_watched(args, limit=120, max_rss=1 << 30, env=None):
    """Run a child, killing it beyond `max_rss` bytes or `limit` seconds: (exit code, stdout, why killed)."""
    with tempfile.TemporaryFile("w+") as out:
        child, why = subprocess.Popen(args, stdout=out, stderr=subprocess.DEVNULL, text=True, env=env), None
        deadline = time.monotonic() + limit
        while child.poll() is None and why is None:
            with open(f"/proc/{child.pid}/statm") as statm:
                rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
            if rss > max_rss or time.monotonic() > deadline:
                why = f"killed at {rss >> 20} MiB" if rss > max_rss else f"killed after {limit} s"
            time.sleep(0.01)
        if why:
            child.kill()
        child.wait()
        out.seek(0)
        return child.returncode, out.read(), why


# --- damaged files -------------------------------------------------------------------
@MAPPED_OR_NOT
@pytest.mark.parametrize("pad, upper", [(None, False), ("N", False), ("xy", True), ("\u00d1", False)])
def test_file_cut_short_after_indexing(tmp_path, capfd, mutable, pad, upper):
    seq = random_seq(random.Random(8), 3000, "acgtACGT")
    path = os.fspath(tmp_path / "cut.fa")
    text = write_fasta(path, [("a", "ACGT"), ("r", seq), ("z", "GATTACA" * 20)], width=50)
    kelpa.Faidx(path)
    os.truncate(path, len(text) - 1000)  # z gone, r cut in mid-line; newer than its index now
    case = str.upper if upper else str
    left = case(text[text.index(">r\n") + 3 : len(text) - 1000].replace("\n", ""))
    options = dict(rebuild=False, mutable=mutable, default_seq=pad, sequence_always_upper=upper)
    fa, fasta = kelpa.Faidx(path, **options), kelpa.Fasta(path, **options)
    padded = lambda s, e: left[s - 1 : e] + case(pad or "") * (e - s + 1 - len(left[s - 1 : e]))  # pads as many times
    rng = random.Random(3)
    pairs = [(s, min(3000, s + rng.randint(0, 120))) for s in (rng.randint(len(left) - 150, 3000) for _ in range(POOL))]
    expected = [padded(s, e) for s, e in pairs]
    for n in (POOL - 1, POOL):
        assert [s.seq for s in fa.fetch_many([("r", s, e) for s, e in pairs[:n]])] == expected[:n]
        assert [s.seq for s in fa.fetch_many_same_chr("r", pairs[:n])] == expected[:n]
        assert [s.seq for s in fasta.fetch_many_same_chr("r", pairs[:n], rc=True)] == list(map(revcomp, expected[:n]))
        assert fa.fetch_many([("z", 1, 140)] * n)[0].seq == case(pad or "") * 140
    record = fasta["r"]
    chunks = list(record)
    assert [(c.start, c.end, c.seq) for c in chunks] == [(s, s + 49, padded(s, s + 49)) for s in range(1, 3001, 50)]
    if (pad or "").isascii():  # reversed chunks reverse the bytes
        assert [c.seq for c in reversed(record)] == [c.seq[::-1] for c in reversed(chunks)]
    assert (str(record), record[-10:].seq) == (padded(1, 3000), padded(2991, 3000))
    assert fa.fetch_entire_sequence("r").seq == left  # the whole record is never padded
    assert capfd.readouterr().err == ""


@MAPPED_OR_NOT
def test_bytes_that_are_not_utf8_on_every_path(tmp_path, mutable):
    path = write_bytes(tmp_path / "bin.fa", b">r\nACGTAC\xffGT\nACGTACGTA\n>s\nGG\n")  # the builder refuses it
    write_bytes(path + ".fai", b"r\t18\t3\t9\t10\ns\t2\t26\t2\t3\n")
    options = dict(build_index=False, mutable=mutable)
    fa, fasta = kelpa.Faidx(path, **options), kelpa.Fasta(path, **options)
    record = fasta["r"]
    for call in [
        lambda: fa.fetch("r", 6, 8), lambda: fa.fetch("r", 7, 7), lambda: fa.fetch_entire_sequence("r"),
        lambda: fa.fetch_many([("r", 6, 8)]), lambda: fa.fetch_many_same_chr("r", [(7, 7)]), lambda: list(record),
        lambda: reversed(record), lambda: str(record), lambda: record[::-1], lambda: record.unpadded_len,
        lambda: fasta.get_spliced_seq("r", [(1, 2), (5, 8)]),
    ]:  # fmt: skip
        assert plain_error(call) == INVALID_UTF8
    pairs = [(1, 2)] * 998 + [(6, 8), (7, 7)]
    for call, where in [
        (lambda: fa.fetch_many([("r", s, e) for s, e in pairs]), "998"),
        (lambda: fa.fetch_many_same_chr("r", pairs), "998 from r"),
    ]:
        assert (
            raised(RuntimeError, call) == f"Error fetching region {where}: IO error: stream did not contain valid UTF-8"
        )
    assert (fa.fetch("r", 1, 6).seq, fa.fetch("r", 8, 18).seq) == ("ACGTAC", "GTACGTACGTA")
    out = fa.fetch_many([("r", 1, 6), ("r", 8, 18), ("s", 1, 2)] * 400)
    assert [s.seq for s in out[:3]] == ["ACGTAC", "GTACGTACGTA", "GG"]


# --- index lines whose numbers do not fit together -------------------------------------
ODD_FASTA = b">r\nACGTACGTAC\nGGTTC\n>q\nTTAA\n"
FLAT = ODD_FASTA.decode().replace("\n", "")  # every text fetched is a piece of this
ODD_ENTRIES = {  # rlen, offset, lenc, lenb of record r
    "lenb_below_lenc": (15, 3, 10, 4),
    "lenb_zero": (15, 3, 10, 0),
    "lenc_zero": (15, 3, 0, 11),
    "lenc_above_rlen": (15, 3, 100, 101),
    "offset_inside_header": (15, 1, 10, 11),
    "offset_past_end": (15, 1000, 10, 11),
    "offset_u64_max": (15, U64_MAX, 10, 11),
    "offset_2_63": (15, 2**63, 10, 11),
    "lenb_u64_max": (15, 3, 2, U64_MAX),
    "lenb_2_63": (15, 3, 2, 2**63 + 1),
    "rlen_beyond_file": (1000, 3, 10, 11),
    "rlen_u64_max": (U64_MAX, 3, 10, 11),
    "rlen_u64_max_lenb_zero": (U64_MAX, 3, 10, 0),
    "rlen_lenc_lenb_u64_max": (U64_MAX, 3, U64_MAX, U64_MAX),
}

ODD_SCRIPT = textwrap.dedent("""
    import itertools, json, sys
    import kelpa

    path, rlen = sys.argv[1], int(sys.argv[2])
    regions = [(1, 1), (1, 10), (3, 14), (11, 15), (1, 15)]
    if rlen > 15:
        regions += [(rlen - 5, rlen), (rlen, rlen)]
    if rlen > 2**63 + 5:
        regions += [(2**32, 2**32 + 20), (2**63, 2**63 + 5)]

    def run(what, call, counts=None):
        print(json.dumps(["begin", what]), flush=True)
        try:
            result = ["ok", call(), counts]
        except BaseException as e:
            result = ["error", type(e).__name__, str(e)]
        print(json.dumps([what] + result), flush=True)

    chunk = lambda s: (s.start, s.end, s.seq)
    for mutable, pad in itertools.product((False, True), (None, "N")):
        fa = kelpa.Faidx(path, build_index=False, mutable=mutable, default_seq=pad)
        fasta = kelpa.Fasta(path, build_index=False, mutable=mutable, default_seq=pad)
        tag = f"mutable={mutable} default_seq={pad!r}"
        for s, e in regions:
            run(f"{tag} fetch {s}-{e}", lambda: [fa.fetch("r", s, e).seq], [e - s + 1])
        run(f"{tag} fetch_entire_sequence", lambda: [fa.fetch_entire_sequence("r").seq], [None])
        many = (regions * 1000)[:1000]  # the pool; smaller batches are single fetches one by one
        counts = [e - s + 1 for s, e in many]
        run(f"{tag} fetch_many 1000", lambda: [x.seq for x in fa.fetch_many([("r", *r) for r in many])], counts)
        run(f"{tag} fetch_many_same_chr 1000", lambda: [x.seq for x in fasta.fetch_many_same_chr("r", many)], counts)
        if pad is None:
            run(f"{tag} iteration", lambda: [chunk(c) for c in itertools.islice(iter(fasta["r"]), 4)])
        print(json.dumps(["q", fa.fetch("q", 1, 4).seq]), flush=True)
    for mutable in (False, True):  # last, so that a listing that never ends hides nothing else
        fasta = kelpa.Fasta(path, build_index=False, mutable=mutable)
        run(f"mutable={mutable} reversed", lambda: [chunk(c) for c in reversed(fasta["r"])])
""")


def check_text(text, count, pad, what):
    core = text.rstrip("N") if pad and count else text  # the file holds no N
    assert core in FLAT and len(core) <= (count or U64_MAX), (what, text)
    assert text == core + (pad * (count - len(core)) if pad and count else ""), what


@pytest.mark.parametrize("entry", ODD_ENTRIES)
def test_contradicting_index_entry_never_crashes_or_hangs(tmp_path, entry):
    path = write_bytes(tmp_path / "odd.fa", ODD_FASTA)
    rlen = ODD_ENTRIES[entry][0]
    write_bytes(path + ".fai", ("\t".join(map(str, ("r",) + ODD_ENTRIES[entry])) + "\nq\t4\t23\t4\t5\n").encode())
    code, out, why = run_watched([sys.executable, "-c", ODD_SCRIPT, path, str(rlen)])
    lines = [json.loads(line) for line in out.splitlines()]
    last = ([line[1] for line in lines if line[0] == "begin"] or ["opening"])[-1]
    assert (why, code) == (None, 0), f"{last}: {why}"
    assert [line[1] for line in lines if line[0] == "q"] == ["TTAA"] * 4
    for what, outcome, *rest in (line for line in lines if line[0] not in ("begin", "q")):
        if outcome == "error":  # refusing is fine, in the form its path uses
            pool = what.endswith(" 1000")
            if what.endswith("reversed") and rlen == U64_MAX:
                # the listing holds every chunk at once: 2^64 - 1 bases can never fit
                assert rest[0] == "MemoryError", what
                continue
            assert (rest[0], rest[1].startswith("Error fetching region ")) == (
                ("RuntimeError", True) if pool else ("Exception", False)
            ), what
        elif what.endswith("iteration"):
            chunks = rest[0]
            assert chunks and chunks[0][0] == 1, what
            for (s, e, text), after in itertools.zip_longest(chunks, chunks[1:]):
                assert s <= e <= rlen and (after is None or after[0] == e + 1 <= rlen), f"{what}: {chunks}"
                check_text(text, e - s + 1, None, what)
        elif what.endswith("reversed"):
            spans = [(min(s, e), max(s, e)) for s, e, _ in rest[0]]
            assert all(1 <= s <= e <= rlen for s, e in spans), what
            assert all(later[1] < earlier[0] for earlier, later in zip(spans, spans[1:])), what
            for _, _, text in rest[0]:
                check_text(text[::-1], None, None, what)
        else:
            assert len(rest[0]) == len(rest[1]), what
            for text, count in zip(*rest):
                check_text(text, count, "N" if "default_seq='N'" in what else None, what)


# --- sizes -----------------------------------------------------------------------------
def test_single_line_record_of_100_mbp(tmp_path):
    block = random_seq(random.Random(100), 1_000_000)
    seq = "".join(block[k:] + block[:k] for k in range(0, 100 * 7919, 7919))  # no period of 1 Mbp
    n, header = len(seq), ">big a single line\n"
    path = os.fspath(tmp_path / "big.fa")
    with open(path, "w") as out:
        out.write(">tiny\nAC\n" + header + seq + "\n>after\nGGCC\n")
    fa, offset = kelpa.Faidx(path), 9 + len(header)
    assert read_text(path + ".fai") == (
        f"tiny\t2\t6\t2\t3\nbig\t{n}\t{offset}\t{n}\t{n + 1}\nafter\t4\t{offset + n + 8}\t4\t5\n"
    )
    for s, e in [(1, 1), (n, n), (n - 99, n), (n // 2, n // 2 + 70_000)]:
        assert fa.fetch("big", s, e).seq == seq[s - 1 : e]
    assert fa.fetch_entire_sequence("big").seq == seq
    starts = range(1, n, n // POOL)
    assert [s.seq for s in fa.fetch_many_same_chr("big", [(s, s + 99) for s in starts])] == [
        seq[s - 1 : s + 99] for s in starts
    ]
    assert kelpa.Faidx(path, mutable=True).fetch("big", n - 2_000_000, n).seq == seq[n - 2_000_001 :]
    fasta = kelpa.Fasta(path)
    chunks = iter(fasta["big"])
    assert (len(fasta["big"]), next(chunks).seq == seq, list(chunks), fasta["after"][:].seq) == (n, True, [], "GGCC")


@MAPPED_OR_NOT
def test_offsets_beyond_4gib(tmp_path, capfd, mutable):
    # A sparse file: one record of more than 2^32 bases of which only the
    # last lines are written (after the line end before them), then a short
    # record that starts past 4 GiB.
    rlen, offset = 2**32 + 1000, 5
    last_line = (rlen - 1) // 60
    first_line = last_line - 3
    tail = random_seq(random.Random(11), rlen - first_line * 60)
    small_offset = offset + last_line * 61 + (rlen - last_line * 60) + 1 + len(">small\n")
    path = os.fspath(tmp_path / "big.fa")
    with open(path, "wb") as f:
        f.write(b">big\n")
        f.truncate(offset + first_line * 61 - 1)
        f.seek(offset + first_line * 61 - 1)
        f.write(b"\n" + "".join(tail[i : i + 60] + "\n" for i in range(0, len(tail), 60)).encode())
        f.write(b">small\nACGTACGT\n")
    write_bytes(path + ".fai", f"big\t{rlen}\t{offset}\t60\t61\nsmall\t8\t{small_offset}\t8\t9\n".encode())
    fa = kelpa.Faidx(path, build_index=False, mutable=mutable)
    first = first_line * 60 + 1
    assert first > 2**32 and small_offset > 2**32
    assert (fa.fetch("big", first, rlen).seq, fa.fetch("big", rlen - 70, rlen - 2).seq) == (tail, tail[-71:-2])
    assert fa.fetch("big", rlen - 5, rlen + 3).seq == tail[-6:]
    assert capfd.readouterr().err == oob(rlen - 5, rlen + 3, "big", rlen)
    assert fields(fa.fetch("small", 2, 7)) == ("small", "CGTACG", 2, 7, False)
    assert fa.fetch_entire_sequence("small").seq == "ACGTACGT"


def test_a_million_tiny_records(tmp_path):
    n, seqs = 1_000_000, ["A", "CG", "", "TTA", "gattaca"]
    names = [f"s{i * 7919 % n}" for i in range(n)]  # neither sorted nor in hash order
    path = os.fspath(tmp_path / "many.fa")
    with open(path, "w") as out:
        out.write("".join(f">{name}\n{seqs[i % 5]}\n" if i % 5 != 2 else f">{name}\n" for i, name in enumerate(names)))
    fa = kelpa.Faidx(path)
    assert fa.keys == names
    sample = list(range(0, n, 997)) + [n - 1]
    assert [fa.fetch_entire_sequence(names[i]).seq for i in sample] == [seqs[i % 5] for i in sample]
    assert [s.seq for s in fa.fetch_many([(names[i], 2, 3) for i in sample])] == [seqs[i % 5][1:3] for i in sample]
    del fa
    fasta = kelpa.Fasta(path)  # reads the index written above
    assert fasta.keys() == names and len(fasta) == 2_600_000
    assert (fasta[n - 1].name, str(fasta[names[-2]]), str(fasta[names[-3]])) == (names[-1], "TTA", "")


# --- names, line ends, replaced files -------------------------------------------------------
HEADERS = [  # header line after ">", and the name it gives
    ("chr1:100-200 a region-like name", "chr1:100-200"),
    ("tab\tthen text", "tab"),
    ("  spaced  out ", "spaced"),
    ("gène été", "gène"),
    ("染色体1 日本語", "染色体1"),
    ("🧬\u200bzero-width", "🧬\u200bzero-width"),
    ("ideographic\u3000space", "ideographic"),
    ('quote"and|pipe', 'quote"and|pipe'),
]


def test_names_keep_their_text(tmp_path):
    seqs = {name: random_seq(random.Random(i), 70 + i) for i, (_, name) in enumerate(HEADERS)}
    path = write_bytes(tmp_path / "réf 名.fa", "".join(f">{h}\n{seqs[n]}\n" for h, n in HEADERS).encode())
    fa, fasta, names = kelpa.Faidx(path), kelpa.Fasta(path), list(seqs)
    assert fa.keys == fasta.keys() == [line.split("\t")[0] for line in read_text(path + ".fai").splitlines()] == names
    assert (repr(fa), repr(fasta), [r.name for r in fasta]) == (f'Faidx("{path}")', f'Fasta("{path}")', names)
    for name, seq in seqs.items():
        record, s = fasta[name], fa.fetch(name, 3, 9)
        assert name in fa and (repr(record), record.long_name, str(record)) == (f'FastaRecord("{name}")', name, seq)
        assert (s.name, s.seq, repr(s)) == (name, seq[2:9], f">{name}:3-9\n{seq[2:9]}")
        assert fasta.get_seq(name, 1, 5, rc=True).fancy_name == f"{name}:5-1 (complement)"
    regions = [(name, 2, 40) for name in names] * 130
    assert [(s.name, s.seq) for s in fa.fetch_many(regions)] == [(n, seqs[n][1:40]) for n, _, _ in regions]
    with pytest.raises(KeyError) as e:
        fasta["gè"]
    assert e.value.args == (f"gè not in {path}.",)
    with pytest.raises(Exception, match="^FetchError: Sequence '染色体' not found$"):
        fa.fetch("染色体", 1, 2)


_wide = random_seq(random.Random(21), 230)
MISMATCHED = {  # FASTA bytes and an index made for another layout of them
    "lf_lines_in_crlf_file": (
        b">a desc\r\nACGTA\r\nCCGGT\nTTAAC\r\nGGATC\nAT\r\n>b\r\nAC\nGT\r\n",
        "a\t22\t9\t5\t7\nb\t4\t43\t2\t3\n",
    ),
    "crlf_lines_in_lf_file": (
        b">a\nACGTA\nCCGGT\r\nTTAAC\r\nGGATC\nAT\n>b\nAC\r\nGT\n",
        "a\t22\t3\t5\t6\nb\t4\t35\t2\t4\n",
    ),
    "index_for_width_60_file_of_width_50": (
        (">w\n" + "\n".join(_wide[i : i + 50] for i in range(0, 230, 50)) + "\n>z\nGG\n").encode(),
        "w\t230\t3\t60\t61\nz\t2\t240\t2\t3\n",
    ),
    "lf_index_for_crlf_file": (
        (">w\r\n" + "\r\n".join(_wide[i : i + 60] for i in range(0, 230, 60)) + "\r\n").encode(),
        "w\t230\t4\t60\t61\n",
    ),
    "index_for_a_shorter_older_record": (
        (">w\n" + "\n".join(_wide[i : i + 60] for i in range(0, 230, 60)) + "\n>z\nGGCC\n").encode(),
        "w\t170\t3\t60\t61\nz\t4\t180\t4\t5\n",
    ),
}


def outcome(call):
    try:
        return call()
    except Exception as error:  # the plain Exception of a fetch, or a batch's RuntimeError
        return error


@pytest.mark.parametrize("case", MISMATCHED)
@MAPPED_OR_NOT
def test_index_for_another_layout_never_gives_wrong_text(tmp_path, case, mutable):
    data, fai = MISMATCHED[case]
    path = write_bytes(tmp_path / "m.fa", data)
    write_bytes(path + ".fai", fai.encode())
    fa = kelpa.Faidx(path, build_index=False, mutable=mutable)
    truth = true_text(data)
    refused = 0
    for line in fai.splitlines():
        name, rlen = line.split("\t")[0], int(line.split("\t")[1])
        message = (
            f"the index {path}.fai does not describe {path}: record '{name}' is not laid out where it says; "
            "rebuild the index"
        )
        step = max(1, rlen // 25)
        regions = [(name, s, e) for s in range(1, rlen + 1, step) for e in range(s, rlen + 1, step)]
        for region in regions:
            got = outcome(lambda: fa.fetch(*region).seq)
            if isinstance(got, Exception):
                assert (type(got), str(got)) == (Exception, f"IOError: {message}"), region
                refused += 1
            else:
                assert got == truth[name][region[1] - 1 : region[2]], region
        for many in (regions * (POOL // len(regions) + 1), regions[:3]):
            got = outcome(lambda: [x.seq for x in fa.fetch_many(many)])
            if isinstance(got, RuntimeError):  # the pool names the lowest failing region
                assert str(got).startswith("Error fetching region ") and str(got).endswith(f": IO error: {message}")
            elif isinstance(got, Exception):
                assert str(got) == f"IOError: {message}"
            else:
                assert got == [truth[name][s - 1 : e] for _, s, e in many]
        got = outcome(lambda: fa.fetch_entire_sequence(name).seq)
        assert str(got) == f"IOError: {message}" if isinstance(got, Exception) else got == truth[name][:rlen]
    assert refused > 0


def wrong_indexes(rng, entries):
    """Index lines that do not describe the file whose true `entries` (name ->
    rlen, offset, lenc, lenb) are given: another width, a larger length, a
    shifted offset, and numbers no file can have."""

    def line(changes):
        return "".join("\t".join(map(str, (n, *changes.get(n, e)))) + "\n" for n, e in entries.items())

    names = list(entries)
    wider = {
        n: (r, o, c + d, c + d + b - c)
        for n, (r, o, c, b) in entries.items()
        for d in [rng.choice([-2, -1, 1, 3])]
        if c + d > 0
    }
    longer = {n: (r + rng.randint(1, 3 * c), o, c, b) for n, (r, o, c, b) in entries.items()}
    shifted = {
        n: (r, o + d, c, b)
        for n, (r, o, c, b) in entries.items()
        for d in [rng.choice([-1, 1]) * rng.randint(1, b - 1)]
        if b > 1
    }
    n = rng.choice(names)
    r, o, c, b = entries[n]
    return {
        "width": line(wider),
        "length": line(longer),
        "offset": line(shifted),
        "no_line_break_room": line({n: (r, o, c, c - 1)}),
        "long_line_break": line({n: (r, o, c, c + 3)}),
        "lines_of_no_base": line({n: (r, o, 0, b)}),
        "lines_of_no_byte": line({n: (r, o, c, 0)}),
    }


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_wrong_index_gives_the_file_text_or_ioerror_through_every_door(tmp_path, seed):
    # A uniform file, then indexes that do not describe it: every fetch of any
    # size, through every front door and the program, gives the bases the file
    # holds at those coordinates (short, or padded, only where the file ends)
    # or the IOError that says to rebuild the index.
    rng = random.Random(seed)
    width, eol = rng.choice([7, 50, 60, 61]), rng.choice(["\n", "\r\n"])
    lengths = {
        "a": rng.randint(1, 3 * width),
        "big": 400_000,
        "c": rng.randint(width, 5 * width),
        "z": rng.randint(2 * width, 4 * width),
    }
    true = {name: random_seq(rng, n, "ACGTNacgt") for name, n in lengths.items()}
    path = os.fspath(tmp_path / "u.fa")
    write_fasta(path, list(true.items()), width=width, eol=eol)
    kelpa.Faidx(path)
    entries = {
        line.split("\t")[0]: tuple(map(int, line.split("\t")[1:])) for line in read_text(path + ".fai").splitlines()
    }
    last = list(true)[-1]
    for case, fai in wrong_indexes(rng, entries).items():
        write_bytes(path + ".fai", fai.encode())
        index = {line.split("\t")[0]: int(line.split("\t")[1]) for line in fai.splitlines()}
        message = lambda name: (
            f"IOError: the index {path}.fai does not describe {path}: record '{name}' is not "
            "laid out where it says; rebuild the index"
        )

        def expected(name, s, e, pad):
            """The text a fetch of s..e may give, or None where it must fail."""
            e = min(e, index[name])
            text = true[name][s - 1 : e]
            if len(text) < e - s + 1 and (name != last or pad is None and text == ""):
                return None if name != last else text  # short only at the end of the file
            return text + (pad or "") * (e - s + 1 - len(text))

        regions = []
        for name, rlen in index.items():
            for _ in range(12):
                s = rng.randint(1, rlen)
                regions.append((name, s, min(rlen, s + rng.choice([0, 1, 5, width, 3 * width + 1, 300_000]))))
            regions += [(name, 1, rlen), (name, max(1, rlen - width), rlen)]
        refused = 0
        for mutable, pad in itertools.product([False, True], [None, "N"]):
            fa = kelpa.Faidx(path, build_index=False, mutable=mutable, default_seq=pad)
            fasta = kelpa.Fasta(path, build_index=False, mutable=mutable, default_seq=pad)
            doors = [
                lambda n, s, e: fa.fetch(n, s, e).seq,
                lambda n, s, e: fasta.get_seq(n, s, e).seq,
                lambda n, s, e: fasta[n][s - 1 : e].seq,
                lambda n, s, e: fa.fetch_many([(n, s, e)])[0].seq,
            ]
            failing = []
            for i, (name, s, e) in enumerate(regions):
                want = expected(name, s, e, pad)
                results = [outcome(lambda: door(name, s, e)) for door in doors]
                if isinstance(results[0], Exception):
                    failing.append(i)
                for got in results:
                    assert type(got) is type(results[0]), (case, name, s, e)  # every door alike
                    if isinstance(got, Exception):
                        assert str(got) == message(name), (case, name, s, e)
                    else:
                        assert want is not None and got == want, (case, name, s, e, len(got))
            refused += len(failing)
            many = outcome(lambda: [x.seq for x in fa.fetch_many(regions * (POOL // len(regions) + 1))])
            if failing:  # the pool names the first failing region
                k = failing[0]
                assert str(many) == f"Error fetching region {k}: IO error: {message(regions[k][0])[9:]}", case
            else:
                assert many[: len(regions)] == [expected(n, s, e, pad) for n, s, e in regions], case
            for name in index:
                # A whole record is never padded; str() of a record is.
                for got, want in (
                    (outcome(lambda: fa.fetch_entire_sequence(name).seq), expected(name, 1, index[name], None)),
                    (outcome(lambda: str(fasta[name])), expected(name, 1, index[name], pad)),
                ):
                    assert str(got) == message(name) if isinstance(got, Exception) else got == want, (case, name)
        assert refused > 0, case
        # The program prints the regions before the first it cannot, then fails.
        labels = [f"{n}:{s}-{e}" for n, s, e in regions]
        write_bytes(tmp_path / "regions.txt", "\n".join(labels).encode())
        run = subprocess.run(
            [PROGRAM, "faidx", path, "-r", os.fspath(tmp_path / "regions.txt"), "-n", "1000000"],
            capture_output=True,
            text=True,
        )
        records = run.stdout.split(">")[1:]
        for label, (n, s, e), record in zip(labels, regions, records):
            assert record == f"{label}\n{expected(n, s, e, None)}\n".replace("\n\n", "\n"), (case, label)
        if run.returncode == 0:
            assert len(records) == len(regions)
        else:
            assert (run.returncode, len(run.stderr.splitlines())) == (1, 1), run.stderr
            assert run.stderr.startswith(f"kelpa: error: region '{labels[len(records)]}': "), run.stderr


@MAPPED_OR_NOT
def test_replaced_fasta(tmp_path, mutable):
    rng = random.Random(12)
    old_seq, new_seq = random_seq(rng, 5000), random_seq(rng, 777)
    path = os.fspath(tmp_path / "ref.fa")
    write_fasta(path, [("chr1", old_seq), ("old", "AAAA")], width=60)
    before, held = kelpa.Fasta(path, mutable=mutable), kelpa.Faidx(path, mutable=mutable)
    write_fasta(path + ".new", [("chr1", new_seq), ("new", "CCCC")], width=70)
    later = os.stat(path + ".fai").st_mtime_ns + 10**9
    os.utime(path + ".new", ns=(later, later))
    os.replace(path + ".new", path)

    after = kelpa.Fasta(path, mutable=mutable)  # newer than the index: rebuilt
    assert (after.keys(), str(after["chr1"])) == (["chr1", "new"], new_seq)
    assert read_text(path + ".fai") == "chr1\t777\t6\t70\t71\nnew\t4\t800\t4\t5\n"
    # What was opened before reads the old file, which stays alive through it.
    assert before.keys() == held.keys == ["chr1", "old"]
    assert (str(before["chr1"]), held.fetch("chr1", 4990, 5000).seq) == (old_seq, old_seq[4989:])
    assert [s.seq for s in before["chr1"]][-1] == old_seq[4980:]
    regions = [(s, s + 99) for s in range(1, 4900, 4)]
    assert [s.seq for s in held.fetch_many_same_chr("chr1", regions)] == [old_seq[s - 1 : e] for s, e in regions]
    assert [s.seq for s in before.fetch_many([("old", 1, 4)] * POOL)] == ["AAAA"] * POOL


# --- a file that changes while it is open, and files that are not regular ----------
CHANGED_SCRIPT = textwrap.dedent("""
    import faulthandler, itertools, json, os, signal, sys
    import kelpa

    path, when = sys.argv[1], sys.argv[2]
    if when == "after_import":
        faulthandler.enable()
    caught = []
    if when == "foreign_sigbus":
        signal.signal(signal.SIGBUS, lambda signum, frame: caught.append(signum))
    fa, fasta = kelpa.Faidx(path), kelpa.Fasta(path)
    if when == "foreign_sigbus":
        # Not a fault in a mapping: the program's own handler, there before
        # kelpa's, gets it, and kelpa's guard stays.
        os.kill(os.getpid(), signal.SIGBUS)
        assert caught == [signal.SIGBUS]
    head = fa.fetch("r", 1, 100).seq
    os.truncate(path, 4096)  # as another program rewriting the file in place would
    far = [("r", s, s + 99) for s in range(100_000, 400_000, 300)]
    calls = {
        "fetch": lambda: fa.fetch("r", 300_000, 300_100),
        "fetch_entire_sequence": lambda: fa.fetch_entire_sequence("r"),
        "fetch_many": lambda: fa.fetch_many(far[:10]),
        "fetch_many pool": lambda: fa.fetch_many(far),
        "fetch_many_same_chr pool": lambda: fasta.fetch_many_same_chr("r", [(s, e) for _, s, e in far]),
        "slice": lambda: fasta["r"][250_000:250_100],
        "iteration": lambda: list(fasta["r"]),
        "spliced": lambda: fasta.get_spliced_seq("r", [(1, 10), (200_000, 200_010)]),
        "a later record": lambda: fa.fetch("z", 1, 4),
    }
    for what, call in calls.items():
        try:
            call()
            print(json.dumps([what, "ok"]), flush=True)
        except Exception as e:
            print(json.dumps([what, type(e).__name__, str(e)]), flush=True)
    print(json.dumps(["alive", fa.fetch("r", 1, 100).seq == head, fasta["r"][:60].seq == head[:60]]), flush=True)
""")


# Makes every installing of a SIGBUS handler fail.
REFUSING_SIGACTION = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
int sigaction(int signum, const struct sigaction *act, struct sigaction *old) {
    if (signum == SIGBUS && act != NULL) { errno = EINVAL; return -1; }
    return ((int (*)(int, const struct sigaction *, struct sigaction *))dlsym(RTLD_NEXT, "sigaction"))(signum, act, old);
}
"""


@pytest.mark.parametrize(
    "when",
    ["none", "before_import", "after_import", "foreign_sigbus", "sigaction_fails"],
    ids=lambda w: f"faulthandler_{w}" if w.endswith("import") else w,
)
def test_file_truncated_while_mapped(tmp_path, when):
    path = os.fspath(tmp_path / "shrinks.fa")
    write_fasta(path, [("r", random_seq(random.Random(4), 400_000)), ("z", "GATTACA")], width=60)
    kelpa.Faidx(path)
    args = [sys.executable] + (["-X", "faulthandler"] if when == "before_import" else [])
    # With no guard, the file is read instead of mapped. (AddressSanitizer
    # installs handlers of its own through sigaction, and stops when it fails.)
    if when == "sigaction_fails" and UNDER_ASAN:
        pytest.skip("AddressSanitizer cannot run with sigaction failing")
    env = preloading(tmp_path, REFUSING_SIGACTION) if when == "sigaction_fails" else None
    code, out, why = run_watched(args + ["-c", CHANGED_SCRIPT, path, when], limit=60, env=env)
    assert (why, code) == (None, 0), out
    lines = [json.loads(line) for line in out.splitlines()]
    changed = f"{path} changed while open: it no longer holds the bytes it had when it was opened"
    for what, kind, *message in lines[:-1]:
        if what.endswith("pool"):
            assert kind == "RuntimeError" and message[0].endswith(f": IO error: {changed}"), (what, message)
        else:
            assert (kind, message) == ("Exception", [f"IOError: {changed}"]), what
    assert len(lines) == 10 and lines[-1] == ["alive", True, True]


@MAPPED_OR_NOT
def test_file_shrunk_while_open_is_told_as_such(tmp_path, mutable):
    # Cut inside the page of the bases asked for: a mapping reads zeros there
    # (no fault), the open file reads nothing. Either is a file that changed,
    # not an index to rebuild; what is still in the file reads as before.
    seq = random_seq(random.Random(5), 9000)
    path = os.fspath(tmp_path / "shrinks.fa")
    text = write_fasta(path, [("r", seq)], width=60)
    fa = kelpa.Faidx(path, mutable=mutable)
    assert fa.fetch("r", 8901, 9000).seq == seq[-100:]
    os.truncate(path, len(text) - 50)
    changed = f"IOError: {path} changed while open: it no longer holds the bytes it had when it was opened"
    for call in (
        lambda: fa.fetch("r", 8901, 9000),
        lambda: fa.fetch_many([("r", 8901, 9000)] * POOL),
        lambda: fa.fetch_entire_sequence("r"),
    ):
        got = outcome(call)
        assert str(got).endswith(changed[len("IOError: ") :]) and isinstance(got, Exception), got
    assert fa.fetch("r", 101, 8900).seq == seq[100:8900]


NOT_REGULAR_SCRIPT = textwrap.dedent("""
    import json, os, sys, time
    import kelpa

    good, fifo, directory = sys.argv[1:4]
    for what, args in [("fifo", [fifo]), ("fifo index", [good, fifo]), ("device", ["/dev/null"]),
                       ("device index", [good, "/dev/null"]), ("directory", [directory])]:
        for kind in (kelpa.Faidx, kelpa.Fasta):
            began = time.monotonic()
            try:
                kind(*args)
                outcome = "opened"
            except Exception as e:
                outcome = str(e)
            print(json.dumps([what, outcome, time.monotonic() - began]), flush=True)
""")


@pytest.mark.parametrize("writer", [False, True], ids=["no_writer", "writer"])
def test_files_that_are_not_regular_are_refused_at_once(tmp_path, writer):
    good = write_bytes(tmp_path / "good.fa", b">r\nACGT\n")
    fifo, directory = os.fspath(tmp_path / "pipe.fa"), os.fspath(tmp_path / "dir.fa")
    os.mkfifo(fifo)
    os.mkdir(directory)
    os.symlink(good, tmp_path / "link.fa")  # a link to a regular file is fine
    assert kelpa.Faidx(os.fspath(tmp_path / "link.fa")).fetch("r", 1, 4).seq == "ACGT"
    feeder = subprocess.Popen(["sh", "-c", f"printf '>r\\nACGT\\n' > {fifo}"]) if writer else None
    try:
        code, out, why = run_watched([sys.executable, "-c", NOT_REGULAR_SCRIPT, good, fifo, directory], limit=20)
    finally:
        if feeder:
            feeder.kill()
            feeder.wait()
    assert (why, code) == (None, 0), out
    kinds = {
        "fifo": (fifo, "a named pipe"),
        "fifo index": (fifo, "a named pipe"),
        "device": ("/dev/null", "a character device"),
        "device index": ("/dev/null", "a character device"),
        "directory": (directory, "a directory"),
    }
    lines = [json.loads(line) for line in out.splitlines()]
    assert [line[0] for line in lines] == [what for what in kinds for _ in range(2)]
    for what, outcome, seconds in lines:
        assert outcome == "IOError: {} is not a regular file ({})".format(*kinds[what]) and seconds < 1, what
    assert sorted(os.listdir(tmp_path)) == ["dir.fa", "good.fa", "link.fa", "link.fa.fai", "pipe.fa"]
