"""The ``kelpa`` command: FASTA regions from the command line.

    kelpa index REF.fa                              write REF.fa.fai afresh
    kelpa faidx REF.fa [REGION ...] [-r FILE] [-i] [-n WIDTH]
    kelpa getfasta REF.fa BED [-s] [--split] [--name]

``faidx`` takes regions as ``name``, ``name:start``, ``name:start-end`` or
``name:-end`` (1-based, inclusive, commas allowed in the numbers; ``{name}``
braces quote a name that contains ':') and prints them as FASTA wrapped at
WIDTH bases, with the headers and the wrapping of ``samtools faidx``.
``getfasta`` prints one unwrapped record per line of a BED file (0-based,
half-open), with the headers of ``bedtools getfasta``.

A region that runs past the end of its record is cut short, one that starts
past it printed empty, each with a warning (samtools does the same); a BED
feature on an unknown sequence, past its end or empty is skipped with a
warning (as bedtools does). Mistakes (a missing file, an unknown sequence, a
bad region or BED line) end the command with one line on stderr and exit
status 1.

Everything goes through the public API of the kelpa module: regions are
checked here against the record lengths first, so that the extension never
has to clamp or warn, then fetched in batches with ``Fasta.fetch_many``, and
the output is assembled with a few joins per batch and written in pieces of
a few hundred kilobytes.
"""

from __future__ import annotations

import argparse
import gc
import os
import struct
import sys
from bisect import bisect_right
from collections.abc import Callable, Iterable, Iterator
from itertools import accumulate, repeat
from operator import add
from typing import Any

import kelpa

PROG = "kelpa"

# A batch of fetches ends after this many regions or this many bases,
# whichever comes first: large enough for the extension's worker threads to
# pay off, small enough that the text of a batch stays in the processor caches.
BATCH_REGIONS = 2048
BATCH_BASES = 4 << 20

# The output of a batch is assembled and written this many records at a
# time. Pieces of a few hundred kilobytes come from memory the allocator
# keeps and reuses; megabyte-sized ones are mapped afresh, and faulted in
# page by page, every time.
WRITE_RECORDS = 128

# How much of a region or BED file is read at a time.
READ_SIZE = 1 << 20

# The extension reports its own failures as a plain Exception whose message
# starts with the kind; these are the kinds that concern the FASTA file.
_OPEN_FAILURES = {
    "FastaNotFoundError": "FASTA file not found: {path}",
    "IndexNotFoundError": "index file not found: {detail}",
    "FastaIndexingError": "bad index file {path}.fai ({detail}); run 'kelpa index {path}'",
    "IOError": "{path}: {detail}",
}


class UserError(Exception):
    """A mistake in the command line or its input: reported in one line."""


class _Parser(argparse.ArgumentParser):
    """argparse, with usage errors reported on one line like the others."""

    def error(self, message: str) -> None:  # type: ignore[override]
        raise UserError(message)


def _warn(message: str) -> None:
    sys.stderr.write(f"{PROG}: warning: {message}\n")


# ---- the reference ----------------------------------------------------------


class Reference:
    """The FASTA file, opened through kelpa, and the record lengths."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            self.fasta = kelpa.Fasta(path)
        except Exception as exc:  # the extension raises Exception itself
            raise UserError(_describe_open_failure(path, exc)) from None
        # The lengths of the records looked up so far, by name.
        self.known_lengths: dict[str, int] = {}
        # Whether "name:start-end" may itself be a record name.
        self.names_have_colons = any(":" in name for name in self.fasta.keys())

    def __contains__(self, name: str) -> bool:
        return name in self.known_lengths or name in self.fasta

    def length(self, name: str) -> int | None:
        """The record's length, or None when there is no such record."""
        n = self.known_lengths.get(name)
        if n is None:
            if name not in self.fasta:
                return None
            n = self.known_lengths[name] = len(self.fasta[name])
        return n


def _describe_open_failure(path: str, exc: Exception, io_template: str = "") -> str:
    kind, _, detail = str(exc).partition(": ")
    template = io_template if kind == "IOError" and io_template else _OPEN_FAILURES.get(kind)
    if template is None:
        return f"{path}: {exc}"
    return template.format(path=path, detail=detail)


def _fetch_texts(
    ref: Reference, regions: list[tuple[str, int, int]], reverse: list[bool] | None = None
) -> list[str]:
    """The text of each region (1-based, inclusive, already checked), the
    ones flagged in `reverse` reverse-complemented."""
    fetch_many = ref.fasta.fetch_many
    if not reverse or not any(reverse):
        return [s.seq for s in fetch_many(regions)]
    if all(reverse):
        return [s.seq for s in fetch_many(regions, rc=True)]
    forward = [r for r, rc in zip(regions, reverse) if not rc]
    backward = [r for r, rc in zip(regions, reverse) if rc]
    fwd = iter([s.seq for s in fetch_many(forward)])
    bwd = iter([s.seq for s in fetch_many(backward, rc=True)])
    return [next(bwd) if rc else next(fwd) for rc in reverse]


def _read_lines(path: str, what: str) -> Iterator[list[str]]:
    """The lines of a text file ('-' for standard input) in blocks, without
    their line ends."""
    try:
        stream = (
            sys.stdin
            if path == "-"
            else open(path, encoding="utf-8", errors="surrogateescape")
        )
    except OSError as exc:
        raise UserError(f"cannot read {what} {path}: {exc.strerror}") from None
    with stream:
        rest = ""
        while True:
            try:
                block = stream.read(READ_SIZE)
            except OSError as exc:
                raise UserError(f"cannot read {what} {path}: {exc.strerror}") from None
            except UnicodeDecodeError:  # only from standard input
                raise UserError(f"{what} {path} is not text") from None
            if not block:
                break
            lines = (rest + block).split("\n")
            rest = lines.pop()
            yield lines
        if rest:
            yield [rest]


def _output() -> Callable[[bytes], object]:
    """The write method of standard output's binary stream."""
    return sys.stdout.buffer.write


# ---- kelpa index -------------------------------------------------------------


def run_index(args: argparse.Namespace) -> None:
    path = args.fasta
    index = path + ".fai"
    # Build under a temporary name and move it into place, so that the old
    # index stays usable until the new one is complete.
    temporary = f"{index}.{os.getpid()}.tmp"
    try:
        os.remove(temporary)
    except FileNotFoundError:
        pass
    except OSError as exc:
        raise UserError(f"cannot write {temporary}: {exc.strerror}") from None
    try:
        try:
            kelpa.Faidx(path, indexname=temporary)
        except Exception as exc:
            message = _describe_open_failure(path, exc, "cannot index {path}: {detail}")
            raise UserError(message) from None
        try:
            os.replace(temporary, index)
        except OSError as exc:
            raise UserError(f"cannot write {index}: {exc.strerror}") from None
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


# ---- kelpa faidx -------------------------------------------------------------


def _parse_position(text: str, region: str) -> int:
    digits = text.replace(",", "")
    if not (digits.isdecimal() and text[0].isdecimal()):
        raise UserError(f"bad region '{region}': '{text}' is not a position")
    return int(digits)


def parse_region(region: str, ref: Reference) -> tuple[str, int, int | None]:
    """(name, start, end) of a region: 1-based, inclusive, end None for the
    end of the record.

    The whole text is taken as a name when the index holds it, unless the
    part before its last ':' is a name too; such a region is ambiguous and
    must be written with braces, '{name}' or '{name}:start-end'.
    """
    if region.startswith("{"):
        close = region.find("}")
        if close < 0:
            raise UserError(f"bad region '{region}': no closing brace")
        name = region[1:close]
        tail = region[close + 1 :]
        if tail and not tail.startswith(":"):
            raise UserError(f"bad region '{region}': unexpected text after the braces")
        span = tail[1:]
    else:
        colon = region.rfind(":")
        if region in ref:
            if colon >= 0 and region[:colon] in ref:
                name, rest = region[:colon], region[colon:]
                raise UserError(
                    f"region '{region}' is ambiguous: write {{{region}}} or {{{name}}}{rest}"
                )
            return region, 1, None
        if colon < 0:
            raise UserError(f"sequence '{region}' is not in {ref.path}")
        name, span = region[:colon], region[colon + 1 :]
    if name not in ref:
        raise UserError(f"sequence '{name}' of region '{region}' is not in {ref.path}")
    if not span:
        return name, 1, None
    first, _, last = span.partition("-")
    start = _parse_position(first, region) if first else 1
    end = _parse_position(last, region) if last else None
    if start == 0:
        raise UserError(f"bad region '{region}': positions start at 1")
    if end is not None and end < start:
        raise UserError(f"bad region '{region}': the end is before the start")
    return name, start, end


def _clipped(region: str, ref: Reference) -> tuple[str, int, int]:
    """(name, start, end) of a region, cut back to the end of its record
    with a warning; start is end + 1 when nothing of it is left."""
    name, start, end = parse_region(region, ref)
    length = ref.length(name)
    assert length is not None
    if end is None:
        end = length
    elif end > length:
        if start <= length:
            _warn(f"region '{region}' runs past the end of {name} ({length}); truncated")
        end = length
    if start > length:
        _warn(f"region '{region}' starts past the end of {name} ({length}); empty")
        start = end + 1
    return name, start, end


_Region = tuple[str, str, int, int]  # label, name, start, end


def _checked_regions(lines: list[str], ref: Reference) -> list[_Region]:
    """The regions of `lines` as _clipped gives them; blank lines are
    passed over."""
    lengths = ref.known_lengths
    is_name = ref.fasta.__contains__
    colons = ref.names_have_colons
    regions: list[_Region] = []
    add = regions.append
    for line in lines:
        region = line.strip()
        # The common name:start-end within a record seen before, in one go.
        colon = region.rfind(":")
        length = lengths.get(region[:colon]) if colon > 0 else None
        if length is not None:
            first, dash, last = region[colon + 1 :].partition("-")
            if dash and first.isdecimal() and last.isdecimal() and not (colons and is_name(region)):
                start = int(first)
                end = int(last)
                if 0 < start <= end <= length:
                    add((region, region[:colon], start, end))
                    continue
        if region:
            add((region, *_clipped(region, ref)))
    return regions


def _region_batches(blocks: Iterable[list[str]], ref: Reference) -> Iterator[list[_Region]]:
    """The regions, in lists of at most BATCH_REGIONS regions and, unless
    one region is larger, BATCH_BASES bases."""
    for lines in blocks:
        regions = _checked_regions(lines, ref)
        # Cut where the running total of bases passes each BATCH_BASES.
        totals = list(accumulate(end - start + 1 for _, _, start, end in regions))
        first = 0
        while first < len(regions):
            done = totals[first - 1] if first else 0
            limit = min(first + BATCH_REGIONS, len(regions))
            last = max(bisect_right(totals, done + BATCH_BASES, first, limit), first + 1)
            yield regions[first:last]
            first = last


# Texts of up to this many lines are cut by the struct formats of whole
# groups of records; longer ones, record by record, this many lines at a time.
_STRUCT_LINES = 128


class _LineFormats(dict[int, str]):
    """The struct format that cuts a text of n characters into lines of
    `width` ("60s60s23s" for 143 at 60), by n."""

    def __init__(self, width: int) -> None:
        super().__init__()
        self.width = width

    def __missing__(self, n: int) -> str:
        full, rest = divmod(n, self.width)
        value = self[n] = f"{self.width}s" * full + (f"{rest}s" if rest else "")
        return value


class _HeaderFormats(dict[int, str]):
    """The struct format of a header line ('>', a label of n characters and
    the suffix), by n."""

    def __init__(self, suffix: str) -> None:
        super().__init__()
        self.extra = 1 + len(suffix)

    def __missing__(self, n: int) -> str:
        value = self[n] = f"{n + self.extra}s"
        return value


class FastaFormatter:
    """FASTA records named after their labels, plus a suffix, with their
    text in lines of `width` characters (no line at all for an empty text).

    The records of a call are made from one string (each header followed by
    its text), cut into header and text lines by one struct format made of
    the formats of the records ("9s60s60s23s" for a header of 8 characters
    and a text of 143) and joined with line ends: no Python code runs per
    line, and only a dictionary look-up per record.
    """

    def __init__(self, width: int, suffix: str = "") -> None:
        self.width = width
        self.suffix = suffix
        self._lines = _LineFormats(width)
        self._headers = _HeaderFormats(suffix)
        self._many_lines = struct.Struct(f"{width}s" * _STRUCT_LINES)

    def format(self, labels: list[str], texts: list[str]) -> bytes:
        count = len(texts)
        parts: list[str] = [""] * (4 * count)
        parts[0::4] = [">"] * count
        parts[1::4] = labels
        parts[2::4] = [self.suffix] * count
        parts[3::4] = texts
        whole = "".join(parts)
        if not whole.isascii() or max(map(len, texts), default=0) > self._many_lines.size:
            return self._format_one_by_one(labels, texts)
        formats: list[str] = [""] * (2 * count)
        formats[0::2] = map(self._headers.__getitem__, map(len, labels))
        formats[1::2] = map(self._lines.__getitem__, map(len, texts))
        formats.append("0s")  # an empty last line: the join ends with a line end
        return b"\n".join(struct.Struct("".join(formats)).unpack(whole.encode("ascii")))

    def _format_one_by_one(self, labels: list[str], texts: list[str]) -> bytes:
        """The same records, for texts of many lines or texts and labels
        that are not ASCII (lines of `width` characters, not bytes)."""
        width = self.width
        records: list[bytes] = []
        for label, text in zip(labels, texts):
            lines = [f">{label}{self.suffix}".encode("utf-8", "surrogateescape")]
            if text.isascii():
                data = text.encode("ascii")
                whole = len(data) - len(data) % self._many_lines.size
                for block in self._many_lines.iter_unpack(memoryview(data)[:whole]):
                    lines += block
                lines += struct.unpack(self._lines[len(data) - whole], data[whole:])
            else:
                chars = [text[i : i + width] for i in range(0, len(text), width)]
                lines += [c.encode("utf-8", "surrogateescape") for c in chars]
            lines.append(b"")
            records.append(b"\n".join(lines))
        return b"".join(records)


def _region_blocks(args: argparse.Namespace) -> Iterator[list[str]]:
    if args.region_file is not None:
        yield from _read_lines(args.region_file, "region file")
    yield args.regions


def run_faidx(args: argparse.Namespace) -> None:
    ref = Reference(args.fasta)
    if args.region_file is None and not args.regions:
        return  # opening the file has brought its index up to date
    rc = args.reverse_complement
    formatter = FastaFormatter(args.length, "/rc" if rc else "")
    write = _output()
    for batch in _region_batches(_region_blocks(args), ref):
        wanted = [(name, start, end) for _, name, start, end in batch if start <= end]
        texts = [s.seq for s in ref.fasta.fetch_many(wanted, rc=rc)]
        if len(wanted) < len(batch):  # some regions were empty
            fetched = iter(texts)
            texts = [next(fetched) if start <= end else "" for _, _, start, end in batch]
        labels = [label for label, _, _, _ in batch]
        for first in range(0, len(batch), WRITE_RECORDS):
            last = first + WRITE_RECORDS
            write(formatter.format(labels[first:last], texts[first:last]))


# ---- kelpa getfasta ----------------------------------------------------------


def _is_header(line: str) -> bool:
    return not line.strip() or line.startswith(("#", "track", "browser"))


class _Features:
    """A block of BED features, by column: chrom, start and end (0-based,
    half-open), and the name, strand and blocks where the options use them."""

    def __init__(self) -> None:
        self.chroms: list[str] = []
        self.starts: list[int] = []
        self.ends: list[int] = []
        self.names: list[str] = []
        self.strands: list[str] = []
        # With --split: the (start, end) pairs of a BED12 feature's blocks,
        # None for a feature without blocks.
        self.blocks: list[list[tuple[int, int]] | None] = []

    def __len__(self) -> int:
        return len(self.chroms)


class _BedReader:
    """The features of a BED file, checked against the reference."""

    def __init__(self, path: str, ref: Reference, options: argparse.Namespace) -> None:
        self.path = path
        self.ref = ref
        self.strand = options.strand
        self.split = options.split
        self.name = options.name
        self.line_number = 0
        # Record lengths by name, -1 for a name the reference lacks (and
        # for a comment) so that all its features take the slow road.
        self._sizes: dict[str, int] = {}

    def _bad(self, number: int, message: str) -> UserError:
        return UserError(f"{self.path}, line {number}: {message}")

    def blocks(self) -> Iterator[_Features]:
        sizes = self._sizes
        with_names = self.name
        with_strands = self.strand
        split = self.split
        # Split no further than the last column used.
        maxsplit = -1 if split else 6 if with_strands else 4 if with_names else 3
        for lines in _read_lines(self.path, "BED file"):
            features = _Features()
            chroms = features.chroms.append
            starts = features.starts.append
            ends = features.ends.append
            number = self.line_number
            for line in lines:
                number += 1
                columns = line.split("\t", maxsplit)
                try:
                    chrom = columns[0]
                    start = int(columns[1])
                    end = int(columns[2])
                except (IndexError, ValueError):
                    if _is_header(line):
                        continue
                    raise self._bad_line(number, columns) from None
                if (
                    not (0 <= start < end <= sizes.get(chrom, -1))
                    and not self._wanted(number, chrom, start, end)
                ):
                    continue
                chroms(chrom)
                starts(start)
                ends(end)
                if with_names or with_strands or split:
                    self._extra(features, number, start, end, columns)
            self.line_number = number
            if features:
                yield features

    def _wanted(self, number: int, chrom: str, start: int, end: int) -> bool:
        """Whether a feature off the common road is printed: False for a
        comment or a feature that is skipped with a warning."""
        if chrom.startswith("#"):
            self._sizes[chrom] = -1
            return False
        if start < 0:
            raise self._bad(number, "the start is negative")
        if end < start:
            raise self._bad(number, "the start is after the end")
        size = self._sizes.get(chrom)
        if size is None:
            size = self.ref.length(chrom)
            if size is None:
                size = -1
                _warn(f"sequence {chrom} is not in {self.ref.path}; its features are skipped")
            self._sizes[chrom] = size
        if size < 0:
            return False
        where = f"{self.path}, line {number}: {chrom}:{start}-{end}"
        if end > size:
            _warn(f"{where} goes past the end of {chrom} ({size}); skipped")
            return False
        if start == end:
            _warn(f"{where} is empty; skipped")
            return False
        return True

    def _extra(
        self, features: _Features, number: int, start: int, end: int, columns: list[str]
    ) -> None:
        n = len(columns)
        if self.name:
            features.names.append(columns[3] if n > 3 else "")
        if self.strand:
            features.strands.append(columns[5] if n > 5 else "")
        if self.split:
            features.blocks.append(
                self._blocks(number, start, end, columns) if n >= 12 else None
            )

    def _bad_line(self, number: int, columns: list[str]) -> UserError:
        if len(columns) < 3:
            return self._bad(number, "expected at least 3 tab-separated columns")
        return self._bad(number, "the start and end must be whole numbers")

    def _blocks(
        self, number: int, start: int, end: int, columns: list[str]
    ) -> list[tuple[int, int]]:
        try:
            count = int(columns[9])
            sizes = [int(x) for x in columns[10].rstrip(",").split(",")]
            offsets = [int(x) for x in columns[11].rstrip(",").split(",")]
        except ValueError:
            raise self._bad(number, "the block columns must be whole numbers") from None
        if count < 1 or len(sizes) != count or len(offsets) != count:
            raise self._bad(number, "the block count does not match the block lists")
        blocks = []
        for offset, size in zip(offsets, sizes):
            first = start + offset
            if offset < 0 or size < 0 or first + size > end:
                raise self._bad(number, "a block lies outside the feature")
            if size:
                blocks.append((first, first + size))
        return blocks


def _feature_texts(ref: Reference, features: _Features, first: int, last: int) -> list[str]:
    """The sequences of features[first:last]: reverse-complemented on the -
    strand with -s, their blocks joined with --split."""
    chroms = features.chroms[first:last]
    starts = features.starts[first:last]
    ends = features.ends[first:last]
    reverse = [s == "-" for s in features.strands[first:last]]
    blocks = features.blocks[first:last]
    if any(blocks):
        pieces: list[list[tuple[str, int, int]]] = []
        for chrom, start, end, parts in zip(chroms, starts, ends, blocks):
            spans = [(start, end)] if parts is None else parts
            pieces.append([(chrom, s + 1, e) for s, e in spans])
        flat = [p for group in pieces for p in group]
        flags = [rc for group, rc in zip(pieces, reverse or repeat(False)) for _ in group]
        texts = iter(_fetch_texts(ref, flat, flags))
        joined = []
        for group, rc in zip(pieces, reverse or repeat(False)):
            seqs = [next(texts) for _ in group]
            if rc:  # the reverse complement of the joined blocks
                seqs.reverse()
            joined.append("".join(seqs))
        return joined
    regions = list(zip(chroms, map(add, starts, repeat(1)), ends))
    return _fetch_texts(ref, regions, reverse)


def run_getfasta(args: argparse.Namespace) -> None:
    ref = Reference(args.fasta)
    # bedtools' record names: [NAME::]CHROM:START-END[(STRAND)].
    header = "%s:%d-%d"
    if args.name:
        header = "%s::" + header
    if args.strand:
        header += "(%s)"
    record = ">" + header + "\n%s\n"
    write = _output()
    for features in _BedReader(args.bed, ref, args).blocks():
        for first in range(0, len(features), BATCH_REGIONS):
            last = first + BATCH_REGIONS
            texts = _feature_texts(ref, features, first, last)
            columns: list[list[Any]] = [
                features.chroms[first:last],
                features.starts[first:last],
                features.ends[first:last],
            ]
            if args.name:
                columns.insert(0, features.names[first:last])
            if args.strand:
                columns.append(features.strands[first:last])
            columns.append(texts)
            # One tuple of all the fields, record after record, for the
            # % operator to fill in WRITE_RECORDS records at a time.
            width = len(columns)
            fields: list[Any] = [None] * (width * len(texts))
            for i, column in enumerate(columns):
                fields[i::width] = column
            step = width * WRITE_RECORDS
            for i in range(0, len(fields), step):
                piece = tuple(fields[i : i + step])
                text = (record * (len(piece) // width)) % piece
                write(text.encode("utf-8", "surrogateescape"))


# ---- the command line ----------------------------------------------------------


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive whole number")
    return value


class _Version(argparse.Action):
    """--version: the installed distribution's version, looked up only when
    asked for (importlib.metadata takes a while to import)."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("kelpa")
        except PackageNotFoundError:
            found = "unknown"
        print(f"{PROG} {found}")
        parser.exit()


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The parser of the whole command line and those of the commands."""
    parser = _Parser(
        prog=PROG,
        description="Regions of indexed FASTA files, as FASTA.",
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    index = commands.add_parser(
        "index",
        help="write the .fai index of a FASTA file",
        description="Write REF.fai beside the FASTA file, replacing any index there.",
    )
    index.add_argument("fasta", metavar="REF", help="FASTA file")
    index.set_defaults(run=run_index)

    faidx = commands.add_parser(
        "faidx",
        help="print regions given as name:start-end",
        description=(
            "Print each region as a FASTA record named after the region. A region "
            "is NAME, NAME:START, NAME:START-END or NAME:-END (1-based, inclusive; "
            "commas allowed in the numbers); {NAME} quotes a name containing ':'. "
            "Without regions, only brings the index up to date."
        ),
    )
    faidx.add_argument("fasta", metavar="REF", help="FASTA file (indexed when needed)")
    faidx.add_argument("regions", metavar="REGION", nargs="*", help="region to print")
    faidx.add_argument(
        "-r", "--region-file", metavar="FILE",
        help="read regions from FILE, one a line ('-': standard input)",
    )
    faidx.add_argument(
        "-i", "--reverse-complement", action="store_true",
        help="print the reverse complement (the name gets '/rc')",
    )
    faidx.add_argument(
        "-n", "--length", metavar="WIDTH", type=_positive, default=60,
        help="bases per line (default: 60)",
    )
    faidx.set_defaults(run=run_faidx)

    getfasta = commands.add_parser(
        "getfasta",
        help="print the regions of a BED file",
        description=(
            "Print one record, on one line, for each feature of a BED file "
            "(0-based, half-open), named CHROM:START-END."
        ),
    )
    getfasta.add_argument("fasta", metavar="REF", help="FASTA file (indexed when needed)")
    getfasta.add_argument("bed", metavar="BED", help="BED file ('-': standard input)")
    getfasta.add_argument(
        "-s", "--strand", action="store_true",
        help="reverse-complement features on the - strand; the name gets '(STRAND)'",
    )
    getfasta.add_argument(
        "--split", action="store_true", help="join the blocks of BED12 features"
    )
    getfasta.add_argument(
        "--name", action="store_true", help="name records NAME::CHROM:START-END after the BED name"
    )
    getfasta.set_defaults(run=run_getfasta)
    return parser, {"index": index, "faidx": faidx, "getfasta": getfasta}


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser, commands = build_parser()
    if argv and argv[0] in commands:
        # Each command parses its own arguments, options and positional
        # arguments in any order (`kelpa faidx REF -r FILE REGION`).
        return commands[argv[0]].parse_intermixed_args(argv[1:])
    return parser.parse_args(argv)  # help, --version or a usage mistake


def main(argv: list[str] | None = None) -> int:
    """Run the command line `argv` (default: sys.argv[1:]); the exit status."""
    # Nothing here builds reference cycles, and collecting the many small
    # objects of a big batch only costs time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
        args.run(args)
        sys.stdout.flush()
    except UserError as exc:
        _quietly_flush()
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 1
    except BrokenPipeError:
        # The reader went away (`kelpa ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as exc:  # writing the output failed (a full disk, say)
        sys.stderr.write(f"{PROG}: error: cannot write the output: {exc.strerror}\n")
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        if collecting:
            gc.enable()
    return 0


def _quietly_flush() -> None:
    try:
        sys.stdout.flush()
    except OSError:
        pass


if __name__ == "__main__":
    sys.exit(main())
