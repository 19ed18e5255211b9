"""The same answers on every path of the kernels.

A child interpreter runs the portable kernels (KELPA_KERNELS=portable);
this one runs the CPU's best (AVX2 or SSSE3 on x86-64, NEON on aarch64).
Both do what a user does with the kernels' help (index a FASTA file, fetch,
reverse complement, complement, GC content, codes and one-hot arrays, the
program's reverse complement) on the same files: random text of every
IUPAC letter in either case, N and other bytes, in lines whose lengths fall
around the vector widths (16, 32, 64), with LF and CRLF line ends. The two
must agree exactly, and with Python's own answers.
"""

import json
import os
import random
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import kelpa
import kelpa_arrays
from conftest import COMPLEMENT, PEER_ENV, PROGRAM, expected_fai, python_output, random_seq, revcomp, write_fasta

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
LETTERS = "ACGTNacgtnRYKMSWBDHVUryksmwbdhvuXx*-.EFIJLOPQZ0"
BASES = "ACGTacgtN"  # no B, D, H or V: gc_iupac counts in quarters to the end
WIDTHS = [15, 16, 17, 31, 32, 33, 60, 63, 64, 65, 128]
LENGTHS = [1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1000, 4099]
SPANS = [1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100]
WINDOWS = [16, 33, 64, 100, 1000]
IUPAC_WEIGHT = dict(zip("CGSATWKMRYBVDHN", [1, 1, 1, 0, 0, 0, 0.5, 0.5, 0.5, 0.5, 0.67, 0.67, 0.33, 0.33, 0.25]))
CODE = {c: i for i, c in enumerate("ACGT")}


def records():
    rng = random.Random(11)
    return [(f"r{n}_{k}", random_seq(rng, n, BASES if k else LETTERS)) for n in LENGTHS for k in (0, 1)]


def fasta_files(folder):
    """One file per line width and line end, all holding records()."""
    files = []
    for width in WIDTHS:
        for eol, tag in (("\n", "lf"), ("\r\n", "crlf")):
            path = folder / f"w{width}_{tag}.fa"
            if not path.exists():
                write_fasta(path, records(), width=width, eol=eol)
            files.append((path, width, eol))
    return files


def regions(length, rng):
    """(start, end), 1-based inclusive: the whole record and spans at every column of a line or two."""
    found = [(1, length)]
    for span in SPANS:
        if span <= length:
            for _ in range(4):
                start = rng.randrange(1, length - span + 2)
                found.append((start, start + span - 1))
    return found


def windows(length, count, rng):
    """Record positions, 0-based starts (some running off either end) and rc flags."""
    lengths = [len(seq) for _, seq in records()]
    rows = [rng.randrange(len(lengths)) for _ in range(count)]
    starts = [rng.randrange(-length // 2, lengths[row] + 1) for row in rows]
    rc = [rng.random() < 0.5 for _ in range(count)]
    return rows, starts, rc


def hex_bytes(array):
    return np.ascontiguousarray(array).tobytes().hex()


def kernel_path(env):
    """The kernels a process of environment `env` runs, as `kelpa --version` names them."""
    shown = subprocess.run([PROGRAM, "--version"], env=env, capture_output=True, text=True, check=True).stdout
    return re.search(r"^kernels: (\S+)$", shown, re.M).group(1)


def answers(folder, tag):
    """Everything the kernels help to answer, for the files in `folder`, as JSON values."""
    rng = random.Random(5)
    result = {"path": kernel_path(os.environ), "files": []}
    for path, _, _ in fasta_files(folder):
        index = f"{path}.{tag}.fai"
        if os.path.exists(index):
            os.unlink(index)
        fa = kelpa.Faidx(str(path), indexname=index)
        fasta = kelpa.Fasta(str(path), indexname=index)
        texts = {}
        for name, seq in records():
            whole = fa.fetch(name, 1, len(seq))
            spans = regions(len(seq), rng)
            texts[name] = {
                "spans": spans,
                "fetch": [str(fa.fetch(name, s, e)) for s, e in spans],
                "rc": [str(fasta.get_seq(name, s, e, rc=True)) for s, e in spans],
                "neg": str(-whole),
                "complement": str(whole.complement),
                "reverse_complement": str(whole.reverse.complement),
                "gc": [whole.gc, whole.gc_strict, whole.gc_iupac],
            }
        arrays = {}
        for length in WINDOWS:
            picked = windows(length, 40, rng)
            rows, starts, rc = (np.array(column) for column in picked)
            arrays[length] = {
                "windows": picked,
                "codes": hex_bytes(kelpa_arrays.codes(fa, rows, starts, length=length, rc=rc)),
                "codes_int32": hex_bytes(kelpa_arrays.codes(fa, rows, starts, length=length, rc=rc, dtype=np.int32)),
                "one_hot": hex_bytes(kelpa_arrays.one_hot(fa, rows, starts, length=length, rc=rc)),
                "one_hot_planar": hex_bytes(
                    kelpa_arrays.one_hot(fa, rows, starts, length=length, rc=rc, channels_first=True)
                ),
            }
        # The program's reverse complement keeps bytes that are no nucleotide;
        # it builds the index beside the file.
        Path(f"{path}.fai").unlink(missing_ok=True)
        program = subprocess.run(
            [PROGRAM, "faidx", "-i", "--mark-strand", "no", str(path), *(name for name, _ in records())],
            capture_output=True,
            check=True,
        ).stdout.decode()
        result["files"].append({"fai": Path(index).read_text(), "texts": texts, "arrays": arrays, "program": program})
    return result


def python_gc(text):
    upper = text.upper()
    gc = sum(c in "CG" for c in upper)
    acgt = sum(c in "ACGT" for c in upper)
    weights = [IUPAC_WEIGHT[c] for c in upper if c in IUPAC_WEIGHT]
    total = 0.0
    for w in weights:
        total += w
    return [gc / len(text), gc / acgt if acgt else 0.0, total / len(weights) if weights else 0.0]


def python_codes(length, windows_):
    texts = dict(records())
    names = [name for name, _ in records()]
    rows = []
    for row, start, rc in zip(*windows_):
        seq = texts[names[row]]
        window = "".join(seq[i] if 0 <= i < len(seq) else "N" for i in range(start, start + length))
        rows.append([CODE.get(c, 4) for c in (revcomp(window) if rc else window).upper()])
    return rows


def keeping_revcomp(text):
    keep = {c: COMPLEMENT[c] for c in "ACGTBVDHKMRYacgtbvdhkmry"} | {"U": "A", "u": "a"}
    return "".join(keep.get(c, c) for c in reversed(text))


def test_the_portable_kernels_give_what_the_best_path_gives(tmp_path):
    fasta_files(tmp_path)
    env = dict(os.environ, KELPA_KERNELS="portable")
    child = f"import json, sys; sys.path.insert(0, {str(HERE)!r}); import test_kernels as t; "
    child += f"print(json.dumps(t.answers(t.Path({str(tmp_path)!r}), 'portable')))"
    portable = json.loads(python_output(child, env=env, timeout=None))
    best = json.loads(json.dumps(answers(tmp_path, "best")))
    assert portable["path"] == "portable"
    assert best["path"] in {"avx2", "ssse3", "neon", "portable"}

    for (path, width, eol), ours, theirs in zip(fasta_files(tmp_path), best["files"], portable["files"], strict=True):
        assert ours["fai"] == theirs["fai"] == expected_fai(records(), width, eol), path
        for name, seq in records():
            got = ours["texts"][name]
            spans = got["spans"]
            assert got["fetch"] == [seq[s - 1 : e] for s, e in spans], (path, name)
            assert got["rc"] == [revcomp(seq[s - 1 : e]) for s, e in spans], (path, name)
            assert got["neg"] == got["reverse_complement"] == revcomp(seq), (path, name)
            assert got["complement"] == "".join(COMPLEMENT[c] for c in seq), (path, name)
            assert got["gc"] == python_gc(seq), (path, name)
            assert got == theirs["texts"][name], (path, name)
        for length in WINDOWS:
            got = ours["arrays"][str(length)]
            codes = np.array(python_codes(length, got["windows"]), np.uint8)
            assert got["codes"] == hex_bytes(codes), (path, length)
            assert got["codes_int32"] == hex_bytes(codes.astype(np.int32)), (path, length)
            one_hot = (codes[..., None] == np.arange(4)).astype(np.uint8)
            assert got["one_hot"] == hex_bytes(one_hot), (path, length)
            assert got["one_hot_planar"] == hex_bytes(one_hot.transpose(0, 2, 1)), (path, length)
            assert got == theirs["arrays"][str(length)], (path, length)
        expected = "".join(f">{name}\n{keeping_revcomp(seq)}\n" for name, seq in records())
        assert ours["program"] == theirs["program"]
        assert ours["program"].replace("\n", "") == expected.replace("\n", "")


def test_only_portable_changes_the_path():
    def path(value):
        env = {k: v for k, v in os.environ.items() if k != "KELPA_KERNELS"}
        if value is not None:
            env["KELPA_KERNELS"] = value
        return kernel_path(env)

    best = path(None)
    assert best in {"avx2", "ssse3", "neon", "portable"}
    assert [path(v) for v in ("portable", "PORTABLE", "", "avx2", "portable ")] == ["portable", best, best, best, best]


@pytest.mark.skipif(shutil.which("c++") is None or not (SRC / "core").is_dir(), reason="needs c++ and the sources")
def test_each_kernel_gives_what_its_portable_version_and_a_plain_loop_give(tmp_path):
    """tests/kernels_check.cpp, built here (a program of its own: not under a sanitizer's preload):
    every kernel at every length up to 200 and a few long ones."""
    check = tmp_path / "kernels_check"
    kernels = sorted(map(str, (SRC / "core" / "kernels").glob("*.cpp")))
    sources = [str(HERE / "kernels_check.cpp"), *kernels, str(SRC / "core" / "base" / "utf8.cpp")]
    subprocess.run(["c++", "-std=c++20", "-O2", f"-I{SRC}", "-o", str(check), *sources], check=True, env=PEER_ENV)
    env = {k: v for k, v in PEER_ENV.items() if k != "KELPA_KERNELS"}
    portable = subprocess.run(
        [check], env=dict(env, KELPA_KERNELS="portable"), capture_output=True, text=True, check=True
    )
    (tmp_path / "portable.txt").write_text(portable.stdout)
    best = subprocess.run([check, tmp_path / "portable.txt"], env=env, capture_output=True, text=True)
    assert best.returncode == 0, best.stderr
    assert portable.stderr.splitlines()[0].endswith(" results, 0 wrong")
    assert best.stderr.splitlines()[-1] == f"kernels_check: 0 results differ from {tmp_path / 'portable.txt'}"
