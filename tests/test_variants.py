"""Variants in windows (kelpa_arrays.variant_windows, haplotype_windows), as a
user scoring variants with a sequence model uses them: the reference and
alternate windows of a table of variants (SNVs, MNVs and indels), the check
of each reference allele, haplotype windows with many variants per row, and
the explicit rules for soft-masked and ambiguous bases.

Every window is checked against a plain Python haplotype built from the text
the test wrote, and haplotype rows against `bcftools consensus`.
"""

import os
import random
import subprocess

import numpy as np
import pytest

import kelpa
import kelpa_arrays
from conftest import PEER_ENV, fasta_source, raised, revcomp, write_fasta

RNG = random.Random(35)
RECORDS = {
    "chr1": "".join(RNG.choices("ACGTacgtN", k=3000)),
    "chr2": "".join(RNG.choices("ACGT", k=700)),
    "short": "acgTN",
}
NAMES = list(RECORDS)
PAD = "_"  # padding in the reference's windows: "N" in bytes, n_value in one-hot


@pytest.fixture(scope="module", params=["plain", "bgzf"])
def source(request, tmp_path_factory):
    return fasta_source(tmp_path_factory.mktemp(request.param), RECORDS, request.param)


# ---- the truth: a haplotype in Python --------------------------------------------------
def haplotype(name, start, length, variants):
    """The window [start, start + length) of `name` with (position, ref, alt) variants applied, PAD for padding.

    Every base of the haplotype carries the reference position it stands
    for; inserted bases sit half-way after the base they follow.
    """
    seq = RECORDS[name]
    keyed = []
    at = 0
    for position, ref, alt in variants:
        p = position - 1
        if p >= len(seq):
            break  # no base of the record to stand for
        keyed += [(k, seq[k]) for k in range(at, min(p, len(seq)))]
        shared = min(len(ref), len(alt))
        keyed += [(p + i, alt[i].upper()) for i in range(shared)]
        keyed += [(p + len(ref) - 0.5, b.upper()) for b in alt[shared:]]
        at = max(at, p + len(ref))
    keyed += [(k, seq[k]) for k in range(at, len(seq))]
    before = min(length, max(0, -start))
    inside = "".join(b for k, b in keyed if k >= max(start, 0))[: length - before]
    return PAD * before + inside + PAD * (length - before - len(inside))


def oriented(text, rc):
    return revcomp(text.replace(PAD, "N")) if rc else text.replace(PAD, "N")


def one_hot_of(text, n_value=0):
    return [[float(c.upper() == x) for x in "ACGT"] if c.upper() in "ACGT" else [n_value] * 4 for c in text]


def codes_of(text):
    return ["ACGT".index(c.upper()) if c.upper() in "ACGT" else 4 for c in text]


def random_variant(rng, name):
    """A variant whose REF is the genome's: 90% SNVs, the rest indels, MNVs and complex ones."""
    seq = RECORDS[name]
    p = rng.choice([0, len(seq) - 1, rng.randrange(len(seq))])
    kind = rng.choice(["snv"] * 5 + ["ins", "del", "mnv", "complex", "long_ins"])
    r = {"snv": 1, "ins": 1, "del": rng.randint(2, 30), "mnv": 3, "complex": 4, "long_ins": 1}[kind]
    ref = seq[p : p + r].upper()
    alt = {
        "snv": lambda: rng.choice([b for b in "ACGT" if b != ref[0]]),
        "ins": lambda: ref + "".join(rng.choices("ACGT", k=rng.randint(1, 20))),
        "del": lambda: ref[0],
        "mnv": lambda: "".join(rng.choices("ACGT", k=len(ref))),
        "complex": lambda: "".join(rng.choices("acgt", k=rng.randint(1, 9))),
        "long_ins": lambda: ref + "".join(rng.choices("ACGT", k=200)),
    }[kind]()
    return p + 1, ref, alt


def random_table(rng, count):
    names = [rng.choice(NAMES) for _ in range(count)]
    variants = [random_variant(rng, n) for n in names]
    positions, refs, alts = (list(c) for c in zip(*variants))
    return names, positions, refs, alts


# ---- reference and alternate windows ----------------------------------------------------
ENCODINGS = [
    ("bytes", {}),
    ("codes", {}),
    ("codes", {"dtype": np.int32}),
    ("codes", {"dtype": np.int64}),
    ("one_hot", {}),
    ("one_hot", {"dtype": np.float32, "channels_first": True}),
    ("one_hot", {"dtype": np.float16, "n_value": 0.25}),
    ("one_hot", {"dtype": np.bool_}),
    ("one_hot", {"dtype": np.float64, "n_value": -1}),
]


def encoded(text, encoding, options):
    if encoding == "bytes":
        return np.frombuffer(text.encode(), np.uint8)
    if encoding == "codes":
        return np.array(codes_of(text), options.get("dtype", np.uint8))
    hot = np.array(one_hot_of(text, options.get("n_value", 0)), options.get("dtype", np.uint8))
    return hot.T if options.get("channels_first") else hot


@pytest.mark.parametrize("count, length", [(9, 31), (400, 300)], ids=["caller", "pool"])
@pytest.mark.parametrize("encoding, options", ENCODINGS, ids=[f"{e}{o}" for e, o in ENCODINGS])
def test_variant_windows_are_the_reference_and_the_haplotype(source, count, length, encoding, options):
    rng = random.Random(count + length)
    names, positions, refs, alts = random_table(rng, count)
    rc = np.array([rng.random() < 0.5 for _ in names])
    ref, alt = kelpa_arrays.variant_windows(
        source, names, np.array(positions), np.array(refs), alts, length=length, encoding=encoding, rc=rc, **options
    )
    anchor = length // 2
    for i, (name, position) in enumerate(zip(names, positions)):
        start = position - 1 - anchor
        want_ref = oriented(haplotype(name, start, length, []), rc[i])
        want_alt = oriented(haplotype(name, start, length, [(position, refs[i], alts[i])]), rc[i])
        assert np.array_equal(ref[i], encoded(want_ref, encoding, options)), (i, name, position)
        assert np.array_equal(alt[i], encoded(want_alt, encoding, options)), (i, name, position, refs[i], alts[i])


@pytest.mark.parametrize("anchor", [0, 5, 19])
def test_the_variant_sits_at_the_anchor_and_moves_with_rc(source, anchor):
    position = 101
    ref, alt = kelpa_arrays.variant_windows(
        source, ["chr2"] * 2, [position] * 2, ["ACGT"[0]] * 2, ["T"] * 2, length=20, anchor=anchor,
        encoding="bytes", rc=[False, True], check_ref="skip",
    )  # fmt: skip
    assert chr(alt[0][anchor]) == "T" and chr(alt[1][19 - anchor]) == "A"
    assert bytes(ref[0]).decode() == RECORDS["chr2"][position - 1 - anchor :][:20]
    assert bytes(alt[1]).decode() == revcomp(haplotype("chr2", position - 1 - anchor, 20, [(position, "A", "T")]))


def test_edge_cases_of_the_window(source):
    chr2 = RECORDS["chr2"]
    last = len(chr2)
    cases = [
        # A deletion at the record's end pulls in padding.
        ("chr2", last - 5, chr2[-6:], chr2[-6], 12),
        # An insertion longer than the window's right half pushes everything else out.
        ("chr2", 50, chr2[49], chr2[49] + "G" * 40, 12),
        # The first base of a record, and its last.
        ("chr2", 1, chr2[0], "C" if chr2[0] != "C" else "G", 8),
        ("chr2", last, chr2[-1], chr2[-1] + "AAA", 8),
        # A record shorter than the window, lower-case text; REF matched ignoring case.
        ("short", 2, "CGT", "c", 9),
    ]
    for case in cases:
        name, position, r, a, length = case
        ref, alt = kelpa_arrays.variant_windows(source, [name], [position], [r], [a], length=length, encoding="bytes")
        start = position - 1 - length // 2
        assert bytes(ref[0]).decode() == oriented(haplotype(name, start, length, []), False)
        assert bytes(alt[0]).decode() == oriented(haplotype(name, start, length, [(position, r, a)]), False), case
    ref, alt = kelpa_arrays.variant_windows(source, ["chr2"], [50], [chr2[49]], [chr2[49] + "G" * 40], length=12,
                                            encoding="bytes")  # fmt: skip
    assert bytes(alt[0]).decode() == chr2[43:50] + "GGGGG"


def test_out_pairs_are_filled_in_place(source):
    names, positions, refs, alts = random_table(random.Random(3), 50)
    out = (np.empty((50, 64, 4), np.float32), np.empty((50, 64, 4), np.float32))
    got = kelpa_arrays.variant_windows(source, names, positions, refs, alts, length=64, dtype=np.float32, out=out)
    assert got[0] is out[0] and got[1] is out[1]
    fresh = kelpa_arrays.variant_windows(source, names, positions, refs, alts, length=64, dtype=np.float32)
    assert np.array_equal(fresh[0], out[0]) and np.array_equal(fresh[1], out[1])
    bad = [
        (out[0], TypeError, "out must be a pair of arrays (ref, alt), got 'numpy.ndarray'"),
        ((out[0],), ValueError, "out must be a pair of arrays (ref, alt), got 1 items"),
        ((out[0], out[0]), ValueError, "out must be two different arrays (ref, alt), got one twice"),
        (
            (out[0], np.empty((50, 64, 4), np.uint8)),
            ValueError,
            "out must be a C-contiguous, writable array of dtype float32 and shape (50, 64, 4); got dtype uint8",
        ),
    ]
    for given, kind, message in bad:
        with pytest.raises(kind) as error:
            kelpa_arrays.variant_windows(source, names, positions, refs, alts, length=64, dtype=np.float32, out=given)
        assert str(error.value) == message


# ---- the reference check ------------------------------------------------------------------
def test_a_wrong_reference_allele_raises_or_is_masked(source):
    chr2 = RECORDS["chr2"]
    wrong = "A" if chr2[9] != "A" else "C"
    names, positions, refs, alts = ["chr2", "chr2", "short"], [5, 10, 4], [chr2[4], wrong, "TNA"], ["G", "T", "T"]
    out = (np.zeros((3, 8), np.uint8), np.zeros((3, 8), np.uint8))
    with pytest.raises(ValueError) as error:
        kelpa_arrays.variant_windows(source, names, positions, refs, alts, length=8, encoding="bytes", out=out)
    assert str(error.value) == f"row 1: the reference allele '{wrong}' does not match chr2:10, which reads '{chr2[9]}'"
    assert not out[0].any() and not out[1].any()  # nothing written
    ref, alt, match = kelpa_arrays.variant_windows(
        source, names, positions, refs, alts, length=8, encoding="bytes", check_ref="mask"
    )
    # A reference allele past the record's end is a mismatch; the row still gets its windows.
    assert match.dtype == np.bool_ and match.tolist() == [True, False, False]
    assert bytes(alt[1]).decode() == haplotype("chr2", 5, 8, [(10, wrong, "T")])
    # A variant past the record's end has no base to stand for: both windows are padding there.
    past = kelpa_arrays.variant_windows(source, ["short"], [9], ["A"], ["C"], length=6, encoding="bytes",
                                        check_ref="mask")  # fmt: skip
    assert [bytes(w[0]).decode() for w in past[:2]] == ["NNNNNN"] * 2 and past[2].tolist() == [False]
    skipped = kelpa_arrays.variant_windows(source, names, positions, refs, alts, length=8, encoding="bytes",
                                           check_ref="skip")  # fmt: skip
    assert len(skipped) == 2 and np.array_equal(skipped[1], alt)
    with pytest.raises(ValueError) as error:
        kelpa_arrays.variant_windows(source, names[2:], positions[2:], refs[2:], alts[2:], length=8)
    assert str(error.value) == (
        "row 0: the reference allele 'TNA' does not match short:4, which reads 'TN' (the record ends first)"
    )


# ---- refused input -----------------------------------------------------------------------
@pytest.mark.parametrize(
    "change, kind, message",
    [
        ({"alts": ["A", ""]}, ValueError, "row 1: the alternate allele '' is empty (give alleles as a VCF does, with "
         "their padding base)"),
        ({"refs": ["-", "C"]}, ValueError, "row 0: the reference allele '-' is empty (give alleles as a VCF does, with "
         "their padding base)"),
        ({"alts": ["A", "<DEL>"]}, ValueError, "row 1: the alternate allele '<DEL>' is symbolic (only alleles of A, C, "
         "G, T and N are applied)"),
        ({"alts": ["*", "A"]}, ValueError, "row 0: the alternate allele '*' is symbolic (only alleles of A, C, G, T "
         "and N are applied)"),
        ({"alts": [".", "A"]}, ValueError, "row 0: the alternate allele '.' is symbolic (only alleles of A, C, G, T "
         "and N are applied)"),
        ({"alts": ["A", "G]chr1:5]"]}, ValueError, "row 1: the alternate allele 'G]chr1:5]' is symbolic (only "
         "alleles of A, C, G, T and N are applied)"),
        ({"alts": ["A", "C,T"]}, ValueError, "row 1: the alternate allele 'C,T' holds several alleles (split "
         "multi-allelic sites first)"),
        ({"alts": np.array(["A", "CRT"])}, ValueError, "row 1: the alternate allele 'CRT' has 'R', which is not A, "
         "C, G, T or N"),
        ({"refs": [b"A", "Cé"]}, ValueError, "row 1: the reference allele 'Cé' has 'é', which is not A, C, G, T or N"),
        ({"alts": ["A", 5]}, TypeError, "argument 'alts': row 1: expected str or bytes, got 'int'"),
        ({"alts": np.array([1, 2])}, TypeError, "argument 'alts': expected str or bytes alleles, got an array of "
         "int64"),
        ({"alts": "AC"}, TypeError, "argument 'alts': expected a sequence of alleles, got 'str'"),
        ({"positions": [0, 5]}, ValueError, "row 0: position 0 is below 1 (positions are 1-based, as in a VCF)"),
        ({"positions": [1]}, ValueError, "columns of different lengths: names has 2 rows, positions 1, refs 2, alts 2"),
        ({"names": ["chr2", "nope"]}, KeyError, "\"row 1: no record named 'nope'\""),
        ({"length": 0}, ValueError, "length must be at least 1, got 0"),
        ({"anchor": 10}, ValueError, "anchor must be from 0 to length - 1 (9), got 10"),
        ({"anchor": -1}, ValueError, "anchor must be from 0 to length - 1 (9), got -1"),
        ({"check_ref": "warn"}, ValueError, "check_ref must be 'raise', 'mask' or 'skip', got 'warn'"),
        ({"encoding": "onehot"}, ValueError, "encoding must be 'bytes', 'codes' or 'one_hot', got 'onehot'"),
        ({"table": bytes(256)}, TypeError, "table is not an option of encoding='one_hot'"),
        ({"encoding": "bytes", "dtype": np.uint8}, TypeError, "dtype is not an option of encoding='bytes'"),
        ({"encoding": "codes", "iupac": True}, TypeError, "iupac is not an option of encoding='codes'"),
        ({"encoding": "codes", "soft_mask": "n", "table": bytes(256)}, ValueError, "soft_mask='n' and table given: "
         "the table says what every byte becomes"),
        ({"iupac": True}, ValueError, "iupac=True needs a float dtype (float16, float32 or float64), got uint8"),
        ({"soft_mask": "lower"}, ValueError, "soft_mask must be 'ignore' or 'n', got 'lower'"),
    ],
)  # fmt: skip
def test_variant_windows_refuse_bad_input(source, change, kind, message):
    call = {"names": ["chr2", "chr2"], "positions": [3, 5], "refs": [RECORDS["chr2"][2], "C"], "alts": ["A", "T"]}
    call |= {"length": 10, "check_ref": "skip"} | change
    assert raised(kind, kelpa_arrays.variant_windows, source, **call) == message


def test_length_is_required(source):
    message = "variant_windows() missing required keyword-only argument: 'length'"
    assert raised(TypeError, kelpa_arrays.variant_windows, source, ["chr2"], [1], ["A"], ["C"]) == message


# ---- haplotype windows -------------------------------------------------------------------
def random_rows(rng, rows, length, per_row):
    """Windows with non-overlapping variants in and around them, REF from the genome."""
    names, starts, offsets, variants = [], [], [0], []
    for _ in range(rows):
        name = rng.choice(["chr1", "chr2"])
        seq = RECORDS[name]
        start = rng.randint(-20, len(seq) - 10)
        names.append(name)
        starts.append(start)
        p = max(0, start - 15)
        row = []
        while len(row) < per_row and p < min(len(seq) - 1, start + length + 20):
            p += rng.randint(0, 12)
            if p >= len(seq):
                break
            r = rng.choice([1, 1, 1, 2, 5])
            ref = seq[p : p + r].upper()
            alt = rng.choice([rng.choice("ACGT"), ref[0] + "".join(rng.choices("ACGT", k=rng.randint(1, 8)))])
            row.append((p + 1, ref, alt))
            p += len(ref)
        variants += row
        offsets.append(len(variants))
    return names, starts, offsets, variants


@pytest.mark.parametrize("count", [5, 300], ids=["caller", "pool"])
def test_haplotype_windows_apply_every_variant_of_a_row(source, count):
    rng = random.Random(count)
    length = 90
    names, starts, offsets, variants = random_rows(rng, count, length, 12)
    positions, refs, alts = (list(c) for c in zip(*variants))
    rc = [rng.random() < 0.3 for _ in names]
    got = kelpa_arrays.haplotype_windows(
        source, names, starts, np.array(offsets), np.array(positions), refs, alts, length=length, encoding="bytes",
        rc=rc,
    )  # fmt: skip
    for i in range(count):
        row = variants[offsets[i] : offsets[i + 1]]
        assert bytes(got[i]).decode() == oriented(haplotype(names[i], starts[i], length, row), rc[i]), i
    hot, match = kelpa_arrays.haplotype_windows(
        source, names, starts, offsets, positions, refs, alts, length=length, check_ref="mask", channels_first=True
    )
    assert match.shape == (len(variants),) and match.all()
    assert hot.shape == (count, 4, length)
    out = np.full((count, length), 7, np.int64)
    assert kelpa_arrays.haplotype_windows(source, names, starts, offsets, positions, refs, alts, length=length,
                                          encoding="codes", dtype=np.int64, rc=rc, out=out) is out  # fmt: skip
    assert out.tolist() == [codes_of(bytes(row).decode()) for row in got]
    assert np.array_equal(hot.transpose(0, 2, 1), [one_hot_of(oriented(haplotype(n, s, length, variants[a:b]), False))
                                                  for n, s, a, b in zip(names, starts, offsets, offsets[1:])])  # fmt: skip


def test_a_window_that_starts_inside_a_deletion_or_after_an_insertion(source):
    seq = RECORDS["chr2"]
    # A deletion of 10..14 (0-based) that covers the start 12, and an insertion right before 30.
    cases = [
        (12, [(10, seq[9:15], seq[9])], seq[15:23]),
        (30, [(30, seq[29], seq[29] + "GGG")], seq[30:38]),
        (29, [(30, seq[29], seq[29] + "GGG")], seq[29] + "GGG" + seq[30:34]),
        # A variant that begins before the window and runs into it: cut at the edge.
        (41, [(40, seq[39:42], "TTTT")], "TT" + seq[42:48]),
    ]
    for start, row, want in cases:
        positions, refs, alts = (list(c) for c in zip(*row))
        got = kelpa_arrays.haplotype_windows(source, ["chr2"], [start], [0, len(row)], positions, refs, alts, length=8,
                                             encoding="bytes")  # fmt: skip
        assert bytes(got[0]).decode() == want == haplotype("chr2", start, 8, row)


def test_the_mask_checks_variants_outside_the_window_too(source):
    seq = RECORDS["chr2"]
    wrong = "A" if seq[3] != "A" else "C"
    # Before the window (a wrong REF), inside it, far past its end, and past the record's end.
    row = [(4, wrong, "G"), (25, seq[24], "T"), (400, seq[399:402], "A"), (700, seq[699], "C"), (702, "A", "C")]
    positions, refs, alts = (list(c) for c in zip(*row))
    got, match = kelpa_arrays.haplotype_windows(source, ["chr2"], [20], [0, 5], positions, refs, alts, length=10,
                                                encoding="bytes", check_ref="mask")  # fmt: skip
    assert match.tolist() == [False, True, True, True, False]
    assert bytes(got[0]).decode() == haplotype("chr2", 20, 10, row)


def test_haplotype_windows_refuse_rows_out_of_order(source):
    seq = RECORDS["chr2"]
    call = {"names": ["chr2", "chr2"], "starts": [0, 10], "offsets": [0, 1, 3], "length": 10, "check_ref": "skip"}
    cases = [
        ({"positions": [3, 20, 21], "refs": ["A", seq[19:21], "C"], "alts": ["C", "A", "G"]}, ValueError,
         f"row 1: variant 2 (position 21) overlaps or comes before variant 1 (position 20, reference allele "
         f"'{seq[19:21]}'): give a row's variants in order of position, not overlapping"),
        ({"positions": [3, 25, 21], "refs": ["A", "C", "C"], "alts": ["C", "A", "G"]}, ValueError,
         "row 1: variant 2 (position 21) overlaps or comes before variant 1 (position 25, reference allele 'C'): "
         "give a row's variants in order of position, not overlapping"),
        ({"offsets": [0, 1], "positions": [3], "refs": ["A"], "alts": ["C"]}, ValueError,
         "offsets must hold one number more than there are rows (3), got 2"),
        ({"offsets": [0, 1, 2], "positions": [3, 4, 5], "refs": ["A"] * 3, "alts": ["C"] * 3}, ValueError,
         "offsets must run from 0 to the number of variants (3), got 0 to 2"),
        ({"offsets": [0, 2, 1], "positions": [3], "refs": ["A"], "alts": ["C"]}, ValueError,
         "row 1: offsets go down, from 2 to 1"),
        ({"positions": [3, 4], "refs": ["A"] * 3, "alts": ["C"] * 3}, ValueError,
         "columns of different lengths: positions has 2 variants, refs 3, alts 3"),
        ({"positions": [3, 4, -2], "refs": ["A"] * 3, "alts": ["C"] * 3}, ValueError,
         "variant 2: position -2 is below 1 (positions are 1-based, as in a VCF)"),
        ({"positions": [3, 4, 9], "refs": ["A", "C", "<CN0>"], "alts": ["C"] * 3}, ValueError,
         "variant 2: the reference allele '<CN0>' is symbolic (only alleles of A, C, G, T and N are applied)"),
    ]  # fmt: skip
    for change, kind, message in cases:
        assert raised(kind, kelpa_arrays.haplotype_windows, source, **(call | change)) == message
    wrong = "A" if seq[7] != "A" else "C"
    with pytest.raises(ValueError) as error:
        kelpa_arrays.haplotype_windows(source, ["chr2"] * 2, [0, 10], [0, 1, 3], [3, 8, 15],
                                       [seq[2], wrong, seq[14]], ["C", "A", "G"], length=10)  # fmt: skip
    assert str(error.value) == (
        f"row 1, variant 1: the reference allele '{wrong}' does not match chr2:8, which reads '{seq[7]}'"
    )


# ---- against bcftools consensus ----------------------------------------------------------
def lift(chain_text, contig):
    """Maps a reference position to the consensus' by the chain's blocks (bcftools consensus --chain)."""
    blocks = []
    lines = iter(chain_text.splitlines())
    for line in lines:
        if not line.startswith("chain") or line.split()[2] != contig:
            continue
        ref_at, alt_at = int(line.split()[5]), int(line.split()[10])
        for block in lines:
            fields = [int(f) for f in block.split()]
            blocks.append((ref_at, alt_at, fields[0]))
            if len(fields) == 1:
                break
            ref_at += fields[0] + fields[1]
            alt_at += fields[0] + fields[2]
        break

    def position(x):
        for ref_at, alt_at, size in blocks:
            if ref_at <= x < ref_at + size:
                return alt_at + x - ref_at
        return None

    return position


def test_haplotype_windows_match_bcftools_consensus(tmp_path, bcftools):
    rng = random.Random(7)
    seq = "".join(rng.choices("ACGT", k=20000))
    fasta = tmp_path / "ref.fa"
    write_fasta(fasta, [("chr1", seq)], width=70)
    records, p = [], 30
    while p < len(seq) - 200:
        r = rng.choice([1, 1, 1, 1, 3, 12])
        ref = seq[p : p + r]
        alt = rng.choice([rng.choice([b for b in "ACGT" if b != ref[0]]), ref[0] + "".join(rng.choices("ACGT", k=9))])
        if r > 1:
            alt = ref[0]
        records.append((p + 1, ref, alt))
        p += r + rng.randint(5, 60)
    vcf = tmp_path / "calls.vcf"
    vcf.write_text(
        "##fileformat=VCFv4.2\n##contig=<ID=chr1,length=20000>\n"
        '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n'
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\n"
        + "".join(f"chr1\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\t.\tGT\t1|1\n" for pos, ref, alt in records)
    )
    run = lambda *args: subprocess.run([bcftools, *args], check=True, capture_output=True, text=True, env=PEER_ENV)
    run("view", "-Oz", "-o", f"{vcf}.gz", str(vcf))
    run("index", f"{vcf}.gz")
    chain = tmp_path / "out.chain"
    result = run("consensus", "-f", str(fasta), "-s", "s1", "-H", "1", "--chain", str(chain), f"{vcf}.gz")
    consensus = "".join(result.stdout.split("\n", 1)[1].split())
    position = lift(chain.read_text(), "chr1")
    starts = [s for s in rng.sample(range(0, len(seq) - 600), 200) if position(s) is not None]
    length = 500
    # Each window carries the variants that touch it, as a user would take them from a region query.
    offsets, chosen = [0], []
    for s in starts:
        chosen += [v for v in records if v[0] - 1 + len(v[1]) > s and v[0] - 1 < s + length + 300]
        offsets.append(len(chosen))
    positions, refs, alts = (list(c) for c in zip(*chosen))
    fa = kelpa.Faidx(os.fspath(fasta))
    got = kelpa_arrays.haplotype_windows(fa, ["chr1"] * len(starts), starts, offsets, positions, refs, alts,
                                         length=length, encoding="bytes")  # fmt: skip
    for i, s in enumerate(starts):
        at = position(s)
        assert bytes(got[i]).decode() == consensus[at : at + length], s


# ---- soft-masked and ambiguous bases ------------------------------------------------------
# The one-hot rows of every letter, written out: A C G T.
IUPAC = {
    "A": [1, 0, 0, 0], "C": [0, 1, 0, 0], "G": [0, 0, 1, 0], "T": [0, 0, 0, 1],
    "R": [0.5, 0, 0.5, 0], "Y": [0, 0.5, 0, 0.5], "S": [0, 0.5, 0.5, 0], "W": [0.5, 0, 0, 0.5],
    "K": [0, 0, 0.5, 0.5], "M": [0.5, 0.5, 0, 0], "B": [0, 1 / 3, 1 / 3, 1 / 3], "D": [1 / 3, 0, 1 / 3, 1 / 3],
    "H": [1 / 3, 1 / 3, 0, 1 / 3], "V": [1 / 3, 1 / 3, 1 / 3, 0], "N": [0.25] * 4,
}  # fmt: skip
LETTERS = "ACGTRYSWKMBDHVNacgtrysn-X*"


@pytest.fixture(scope="module")
def letters(tmp_path_factory):
    path = tmp_path_factory.mktemp("letters") / "letters.fa"
    write_fasta(path, [("all", LETTERS)])
    return kelpa.Faidx(os.fspath(path))


@pytest.mark.parametrize("soft_mask", ["ignore", "n"])
@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
@pytest.mark.parametrize("rc", [False, True])
def test_iupac_codes_are_fractions_of_their_bases(letters, soft_mask, dtype, rc):
    length = len(LETTERS) + 4
    got = kelpa_arrays.one_hot(letters, ["all"], [-2], length=length, dtype=dtype, iupac=True, soft_mask=soft_mask,
                               n_value=-1, rc=rc)  # fmt: skip
    cells = [PAD] * 2 + list(LETTERS) + [PAD] * 2
    if rc:
        cells = [c if c == PAD else revcomp(c) for c in reversed(cells)]
    want = []
    for c in cells:
        if soft_mask == "n" and c.islower():
            c = "N"
        want.append(IUPAC.get(c.upper(), [-1] * 4) if c != PAD else [-1] * 4)
    assert np.allclose(got[0], np.array(want, dtype), rtol=1e-3), cells


def test_soft_mask_makes_lower_case_bases_n(letters):
    got = kelpa_arrays.codes(letters, ["all"], [0], length=len(LETTERS), soft_mask="n")
    assert got[0].tolist() == [{"A": 0, "C": 1, "G": 2, "T": 3}.get(c, 4) for c in LETTERS]
    hot = kelpa_arrays.one_hot(letters, ["all"], [0], length=len(LETTERS), soft_mask="n", n_value=7)
    assert hot[0].tolist() == [IUPAC[c] if c in "ACGT" else [7] * 4 for c in LETTERS]
    # Off by default: case does not matter.
    assert kelpa_arrays.codes(letters, ["all"], [0], length=4, soft_mask="ignore").tolist() == [[0, 1, 2, 3]]
    # The alleles are written upper-case, so a soft-masked reference's alternate bases stay bases.
    ref, alt = kelpa_arrays.variant_windows(letters, ["all"], [17], ["c"], ["g"], length=3, encoding="codes",
                                            soft_mask="n")  # fmt: skip
    assert ref.tolist() == [[4, 4, 4]] and alt.tolist() == [[4, 2, 4]]
    # iupac in the variant forms: the window around an SNV on "RY" keeps its codes' fractions.
    ref, alt = kelpa_arrays.variant_windows(letters, ["all"], [6], ["N"], ["c"], length=3, dtype=np.float32,
                                            iupac=True, check_ref="skip")  # fmt: skip
    assert ref[0].tolist() == [IUPAC["R"], IUPAC["Y"], IUPAC["S"]] and alt[0].tolist() == [IUPAC["R"], IUPAC["C"],
                                                                                           IUPAC["S"]]  # fmt: skip
