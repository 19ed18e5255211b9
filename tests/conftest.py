"""Fixtures and helpers shared by every test file.

The tests write their own FASTA files; nothing is read from outside the
test's temporary directory.
"""

import os
import shutil

import pytest


def write_fasta(path, records, width=60, eol="\n"):
    """Write `records` as a FASTA file at `path` and return the exact text.

    `records` is a sequence of (name_or_header, seq) pairs: the first item
    is the header line without its ">" (a name, optionally followed by a
    space and a description). `seq` is wrapped at `width` bases per line;
    a `width` of None or 0 writes it on one line, and an empty `seq` writes
    the header alone. Every line ends with `eol`, and the text is written
    byte for byte (no newline translation).
    """
    parts = []
    for header, seq in records:
        parts.append(">" + header + eol)
        step = width or max(len(seq), 1)
        for i in range(0, len(seq), step):
            parts.append(seq[i : i + step] + eol)
    text = "".join(parts)
    with open(path, "w", encoding="ascii", newline="") as out:
        out.write(text)
    return text


@pytest.fixture
def make_fasta(tmp_path):
    """Factory: make_fasta(records, width=60, eol="\\n", name="test.fa").

    Writes the file into the test's tmp_path and returns its path as a str
    (kelpa takes paths as str only).
    """

    def make(records, width=60, eol="\n", name="test.fa"):
        path = os.fspath(tmp_path / name)
        write_fasta(path, records, width=width, eol=eol)
        return path

    return make


@pytest.fixture
def samtools():
    """Path of the samtools program; the test is skipped when it is absent."""
    path = shutil.which("samtools")
    if path is None:
        pytest.skip("samtools is not installed")
    return path


def random_seq(rng, n, alphabet="ACGT"):
    """`n` letters drawn from `alphabet` with `rng` (a random.Random)."""
    return "".join(rng.choices(alphabet, k=n))
