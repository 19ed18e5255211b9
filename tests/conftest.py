"""Fixtures and helpers shared by every test file.

The tests write their own FASTA files; nothing is read from outside the
test's temporary directory.
"""

import os
import platform
import shutil
import stat
import subprocess
import sys
import sysconfig
import tempfile
import threading
from pathlib import Path

import pytest

POOL = 1000  # smallest batch that runs on the worker pool

# The kelpa program, where pip puts the scripts of the environment whose
# Python runs the tests (bin/ of a virtual environment): the build that
# `make build` installs, or the wheel that CI installs.
PROGRAM = os.path.join(sysconfig.get_path("scripts"), "kelpa")


with open("/proc/self/maps") as _maps:
    _LOADED = _maps.read()
UNDER_ASAN = "libasan" in _LOADED  # AddressSanitizer keeps freed memory and cannot run out of it
UNDER_TSAN = "libtsan" in _LOADED
# The threads of a process that has started none: 1, and 2 under qemu-user
# (the aarch64 suite runs so in CI), which adds one of its own to every
# process it runs. qemu-user also ignores RLIMIT_AS; CI says it runs the
# suite under emulation with KELPA_TEST_EMULATED=1.
OWN_THREADS = 1 + len(os.listdir("/proc/self/task")) - threading.active_count()
EMULATED = os.environ.get("KELPA_TEST_EMULATED") == "1"
U64_MAX = 2**64 - 1
INVALID_UTF8 = "IOError: stream did not contain valid UTF-8"
MAPPED_OR_NOT = pytest.mark.parametrize("mutable", [False, True], ids=["mapped", "mutable"])
# Line layouts of a FASTA file: (bases per line, None for one line per record; line end).
LAYOUTS = {
    "lf60": (60, "\n"),
    "crlf60": (60, "\r\n"),
    "lf7": (7, "\n"),
    "crlf13": (13, "\r\n"),
    "lf1": (1, "\n"),
    "crlf1": (1, "\r\n"),
    "single_line": (None, "\n"),
    "crlf_single_line": (None, "\r\n"),
}
ZERO = "WARNING: coordinates cannot be 0 (1-based indexing)\n"

# The nucleotide complement, written out independently of the module: IUPAC
# letters map in pairs keeping their case, "n" stays "n", every other byte
# becomes "N".
COMPLEMENT = {chr(b): "N" for b in range(128)}
for _pair in "AT BV CG DH GC HD KM MK RY SS TA VB WW XX YR".split():
    COMPLEMENT[_pair[0]], COMPLEMENT[_pair[0].lower()] = _pair[1], _pair[1].lower()
COMPLEMENT["n"] = "n"


def revcomp(text):
    return "".join(COMPLEMENT.get(c) or "N" * len(c.encode()) for c in reversed(text))


def oob(start, end, name, length):
    return f"WARNING: coordinates {start}-{end} are out of bounds for sequence '{name}' of length {length}\n"


def backwards(start, end):
    return f"WARNING: start coordinate {start} is greater than end coordinate {end}\n"


class Interrupting:
    """A key whose __index__ is interrupted, as by Ctrl-C."""

    def __index__(self):
        raise KeyboardInterrupt


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def plain_error(call, *args, **kwargs):
    """The message of the plain Exception (no subclass) that call(*args, **kwargs) raises."""
    with pytest.raises(Exception) as info:
        call(*args, **kwargs)
    assert type(info.value) is Exception
    assert info.value.args == (str(info.value),)
    return str(info.value)


def raised(kind, call, *args, **kwargs):
    """The message of the `kind` exception (or a subclass) that call(*args, **kwargs) raises."""
    with pytest.raises(kind) as info:
        call(*args, **kwargs)
    return str(info.value)


def write_fasta(path, records, width=60, eol="\n"):
    """Write (header, seq) pairs as a FASTA file at `path`, byte for byte, and return the text.

    The header is the line without its ">". `seq` is wrapped at `width` bases
    per line (None or 0: one line; an empty `seq`: the header alone); every
    line ends with `eol`.
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


def expected_fai(records, width, eol):
    """The index of a well-formed file written by write_fasta."""
    lines, offset = [], 0
    for header, seq in records:
        offset += len(">" + header + eol)
        lenc = min(width or len(seq), len(seq))
        lines.append(f"{header.split()[0]}\t{len(seq)}\t{offset}\t{lenc}\t{lenc + len(eol) if seq else 0}\n")
        offset += len(seq) + (-(-len(seq) // lenc) if seq else 0) * len(eol)
    return "".join(lines)


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)
    return os.fspath(path)


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode()


# The environment of a peer program (samtools, bedtools): not ours, so
# without the sanitizer runtime that a sanitizer run preloads into kelpa's.
def nobody_directory():
    """A fresh directory that the user nobody (whom the permission tests run
    as, when run as root) can reach: every directory above it must let
    others search it, which a TMPDIR of mode 0700 does not. Skips when
    that is not so."""
    top = tempfile.mkdtemp(prefix="kelpa-perm-")  # tmp_path may be private to root
    os.chmod(top, 0o755)
    if os.geteuid() == 0:
        for parent in Path(top).parents:
            if not os.stat(parent).st_mode & stat.S_IXOTH:
                shutil.rmtree(top)
                pytest.skip(f"the user nobody cannot reach {top}: {parent} is closed to others")
    return Path(top)


PEER_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def preloading(folder, source):
    """An environment for a child process that loads the C `source` (a
    replacement for a libc function) before libc; skips without a compiler."""
    if shutil.which("cc") is None:
        pytest.skip("no C compiler")
    target = subprocess.run(["cc", "-dumpmachine"], capture_output=True, text=True).stdout
    if not target.startswith(platform.machine() + "-"):
        pytest.skip(f"the C compiler builds for {target.strip()}, not for this {platform.machine()} interpreter")
    library = os.path.join(folder, "preload.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", library, "-x", "c", "-", "-ldl"], input=source.encode(), check=True)
    return dict(os.environ, LD_PRELOAD=f"{os.environ.get('LD_PRELOAD', '')} {library}".strip())


def python_output(script, *args, timeout=120, **options):
    """What `python -c script args` prints, run in a child, which must exit with 0."""
    done = subprocess.run(
        [sys.executable, "-c", script, *map(str, args)], capture_output=True, text=True, timeout=timeout, **options
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def fasta_source(folder, records, kind):
    """A kelpa.Fasta over `records` (a dict) written into `folder`: a plain
    file of 61-base lines ("plain"), its BGZF copy in blocks of 1,000 bytes
    ("bgzf"), or the plain file opened with mutable=True ("mutable")."""
    from bgzf_writer import write_bgzf

    import kelpa

    path = Path(folder) / "ref.fa"
    text = write_fasta(path, list(records.items()), width=61)
    if kind == "bgzf":
        path = Path(folder) / "ref.fa.gz"
        write_bgzf(path, text.encode(), block_size=1000)
    return kelpa.Fasta(os.fspath(path), mutable=kind == "mutable")


def true_text(data):
    """Record name -> its bases, read from the lines of the FASTA bytes `data`
    (a later record of the same name replaces an earlier one)."""
    records, name = {}, None
    for line in data.split(b"\n"):
        if line.startswith(b">"):
            name = line[1:].split()[0].decode() if line[1:].split() else None
            records[name] = ""
        elif name is not None:
            records[name] += line.rstrip(b"\r").decode()
    return records


def random_seq(rng, n, alphabet="ACGT"):
    """`n` letters drawn from `alphabet` with `rng` (a random.Random)."""
    return "".join(rng.choices(alphabet, k=n))


@pytest.fixture
def make_fasta(tmp_path):
    """Factory: make_fasta(records, width=60, eol="\\n", name="test.fa") writes
    into tmp_path and returns the path as a str (kelpa takes paths as str only)."""

    def make(records, width=60, eol="\n", name="test.fa"):
        path = os.fspath(tmp_path / name)
        write_fasta(path, records, width=width, eol=eol)
        return path

    return make


# CI sets KELPA_REQUIRE_PEERS=1 and installs the peer programs: a comparison
# that skips there would check nothing, so a missing peer fails instead.
REQUIRE_PEERS = os.environ.get("KELPA_REQUIRE_PEERS") == "1"


def _tool(name):
    path = shutil.which(name)
    if path is None:
        if REQUIRE_PEERS:
            pytest.fail(f"{name} is not installed (KELPA_REQUIRE_PEERS=1)")
        pytest.skip(f"{name} is not installed")
    return path


@pytest.fixture(scope="session")
def samtools():
    """Path of the samtools program; the test is skipped when it is absent."""
    return _tool("samtools")


@pytest.fixture(scope="session")
def bcftools():
    """Path of the bcftools program; the test is skipped when it is absent."""
    return _tool("bcftools")


@pytest.fixture(scope="session")
def bgzip():
    """Path of the bgzip program; the test is skipped when it is absent."""
    return _tool("bgzip")


@pytest.fixture(scope="session")
def bedtools():
    """Path of the bedtools program; the test is skipped when it is absent."""
    return _tool("bedtools")
