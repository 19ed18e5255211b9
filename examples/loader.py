"""A training loader over a BED file, with numpy only: each batch takes
windows of one length around random features, moves them by a random
jitter, reverse complements half of them, and one-hot encodes them straight
from the FASTA file with kelpa_arrays.

    python examples/loader.py [FASTA BED]

Without arguments it runs on demo.fa and demo.bed beside this script (the
FASTA file is copied to a temporary directory first, so the index kelpa
builds is written there). Windows that reach past either end of a record
are padded: their outside bases are all-zero rows.
"""

import os
import shutil
import sys
import tempfile

import numpy as np

import kelpa
import kelpa_arrays


def read_bed(path):
    """The names, starts and ends of a BED file's features, as numpy columns."""
    names, starts, ends = [], [], []
    with open(path) as bed:
        for line in bed:
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            fields = line.split("\t")
            names.append(fields[0])
            starts.append(int(fields[1]))
            ends.append(int(fields[2]))
    return np.array(names, dtype=object), np.array(starts), np.array(ends)


def batches(fasta, names, starts, ends, length=128, batch_size=8, jitter=16, seed=0):
    rng = np.random.default_rng(seed)
    centres = (starts + ends) // 2
    while True:
        pick = rng.integers(0, len(names), batch_size)
        shift = rng.integers(-jitter, jitter + 1, batch_size)
        window_starts = centres[pick] - length // 2 + shift
        rc = rng.random(batch_size) < 0.5
        x = kelpa_arrays.one_hot(fasta, names[pick], window_starts, length=length, rc=rc, dtype=np.float32)
        yield x, pick, rc


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = tempfile.mkdtemp()
    try:
        if len(sys.argv) == 3:
            fasta_path, bed_path = sys.argv[1:]
        else:
            fasta_path = shutil.copy(os.path.join(here, "demo.fa"), folder)
            bed_path = os.path.join(here, "demo.bed")
        fasta = kelpa.Fasta(fasta_path)
        names, starts, ends = read_bed(bed_path)
        loader = batches(fasta, names, starts, ends)
        for number in range(3):
            x, pick, rc = next(loader)
            # Every position is one base (one channel set) or padding (none).
            assert set(x.sum(axis=2).ravel().tolist()) <= {0.0, 1.0}
            print(
                f"batch {number}: {x.shape} {x.dtype}, features {pick.tolist()}, "
                f"reverse complemented {int(rc.sum())} of {len(rc)}"
            )
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
