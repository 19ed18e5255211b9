"""Regions of FASTA files as numpy arrays, for machine-learning loaders.

The source is a kelpa.Faidx or kelpa.Fasta. Windows are 0-based and
end-exclusive, as in BED files and numpy: names (str, or record positions in
keys order), starts, and ends or one length; or (name, start, end) tuples
passed as names. The part of a window outside its record is padded. rc (one
bool, or one per row) gives a row's reverse complement.

The types of the arguments: ``_Source`` is a kelpa.Faidx or kelpa.Fasta;
``_Names`` record names or positions, or ``(name, start, end)`` tuples;
``_Column`` integers (a list or an integer array); ``_Flags`` one bool or
one per row; ``_Table`` 256 codes, one per byte value; ``_Alleles`` one
allele per row (str or bytes, as a list or an array of str, bytes or
objects).
"""

from collections.abc import Sequence as _Seq
from typing import Any, Literal, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt
from kelpa import Faidx, Fasta

__all__ = ["fetch", "codes", "one_hot", "ragged", "variant_windows", "haplotype_windows", "Ragged"]

_Source: TypeAlias = Faidx | Fasta
# Record names (str) or record positions (int, in keys order), as a list or
# an array; or, with starts and ends left out, (name, start, end) tuples.
_Names: TypeAlias = _Seq[str] | _Seq[SupportsIndex] | _Seq[tuple[str | SupportsIndex, SupportsIndex, SupportsIndex]] | npt.NDArray[Any]
_Column: TypeAlias = _Seq[SupportsIndex] | npt.NDArray[np.integer[Any]]
_Flags: TypeAlias = bool | np.bool_ | _Seq[bool] | npt.NDArray[np.bool_]
_Table: TypeAlias = _Seq[SupportsIndex] | bytes | bytearray | npt.NDArray[np.integer[Any]]
_Alleles: TypeAlias = _Seq[str] | _Seq[bytes] | npt.NDArray[Any]
_Encoding: TypeAlias = Literal["bytes", "codes", "one_hot"]
_CheckRef: TypeAlias = Literal["raise", "mask", "skip"]
_SoftMask: TypeAlias = Literal["ignore", "n"]

def fetch(
    source: _Source,
    names: _Names,
    starts: _Column | None = None,
    ends: _Column | None = None,
    *,
    length: SupportsIndex | None = None,
    upper: bool = False,
    rc: _Flags = False,
    out: Any = None,
) -> npt.NDArray[np.uint8]:
    """The windows' text as uint8 bytes, shape (n, length); 'N' pads the part of a window outside
    its record. Upper-cased with upper=True. A given out is filled in place and returned; when a
    read fails during the fill, out is left partly written.

    Args:
        source: A kelpa.Faidx or kelpa.Fasta, plain or BGZF, mapped or ``mutable=True``.
        names: Record names (str, bytes) or record positions in ``keys`` order, one
            per window, as a list or a numpy array; or ``(name, start, end)``
            tuples, with ``starts`` and ``ends`` left out.
        starts: Each window's first position, 0-based (as in BED files); may be
            negative (padded).
        ends: Each window's end, excluded; may be past the record's end (padded).
            Leave out with ``length``.
        length: One length for every window, instead of ``ends``.
        upper: Upper-case the text.
        rc: One bool, or one per row: the row is its window's reverse complement.
        out: A C-contiguous writable array or buffer of the result's shape and
            dtype, filled in place and returned.

    Raises:
        KeyError: An unknown name, naming the row (0-based) and the name.
        IndexError: A record position out of range.
        ValueError: A start after its end, columns of different lengths, a
            negative length, both ends and length, or a bad ``out``.
        Exception: ``IOError: ...``, a read that fails during the fill.
    """

def codes(
    source: _Source,
    names: _Names,
    starts: _Column | None = None,
    ends: _Column | None = None,
    *,
    length: SupportsIndex | None = None,
    table: _Table | None = None,
    dtype: npt.DTypeLike = ...,
    rc: _Flags = False,
    out: Any = None,
    soft_mask: _SoftMask = "ignore",
) -> npt.NDArray[np.uint8 | np.int32 | np.int64]:
    """One integer code per base, shape (n, length): by default A/a 0, C/c 1, G/g 2, T/t 3 and every
    other byte 4 (padding too); table maps each of the 256 byte values to a code of its own. A
    given out is filled in place and returned; when a read fails during the fill, out is left
    partly written.

    Args:
        source: A kelpa.Faidx or kelpa.Fasta, plain or BGZF, mapped or ``mutable=True``.
        names: Record names (str, bytes) or record positions in ``keys`` order, one
            per window, as a list or a numpy array; or ``(name, start, end)``
            tuples, with ``starts`` and ``ends`` left out.
        starts: Each window's first position, 0-based (as in BED files); may be
            negative (padded).
        ends: Each window's end, excluded; may be past the record's end (padded).
            Leave out with ``length``.
        length: One length for every window, instead of ``ends``.
        table: 256 codes, one per byte value (integers, or bytes).
        dtype: uint8 (the default), int32 or int64.
        rc: One bool, or one per row: the row is its window's reverse complement.
        out: A C-contiguous writable array or buffer of the result's shape and
            dtype, filled in place and returned.
        soft_mask: ``"ignore"`` (case does not matter) or ``"n"``: lower-case
            bases get N's code. Refused together with ``table``.

    Raises:
        KeyError: An unknown name, naming the row (0-based) and the name.
        IndexError: A record position out of range.
        ValueError: A start after its end, columns of different lengths, a
            negative length, both ends and length, or a bad ``out``.
        Exception: ``IOError: ...``, a read that fails during the fill.
    """

def one_hot(
    source: _Source,
    names: _Names,
    starts: _Column | None = None,
    ends: _Column | None = None,
    *,
    length: SupportsIndex | None = None,
    dtype: npt.DTypeLike = ...,
    channels_first: bool = False,
    rc: _Flags = False,
    n_value: float = 0,
    out: Any = None,
    soft_mask: _SoftMask = "ignore",
    iupac: bool = False,
) -> npt.NDArray[np.bool_ | np.uint8 | np.float16 | np.float32 | np.float64]:
    """One-hot encoding in A, C, G, T order, shape (n, length, 4), or (n, 4, length) with
    channels_first. Case is ignored; every other byte, padding included, is n_value in all four
    channels. A given out is filled in place and returned; when a read fails during the fill, out
    is left partly written.

    Args:
        source: A kelpa.Faidx or kelpa.Fasta, plain or BGZF, mapped or ``mutable=True``.
        names: Record names (str, bytes) or record positions in ``keys`` order, one
            per window, as a list or a numpy array; or ``(name, start, end)``
            tuples, with ``starts`` and ``ends`` left out.
        starts: Each window's first position, 0-based (as in BED files); may be
            negative (padded).
        ends: Each window's end, excluded; may be past the record's end (padded).
            Leave out with ``length``.
        length: One length for every window, instead of ``ends``.
        dtype: bool, uint8 (the default), float16, float32 or float64.
        channels_first: Shape (n, 4, length) instead of (n, length, 4).
        n_value: The value of all four channels for any byte but A, C, G, T (padding too).
        rc: One bool, or one per row: the row is its window's reverse complement.
        out: A C-contiguous writable array or buffer of the result's shape and
            dtype, filled in place and returned.
        soft_mask: ``"ignore"`` (case does not matter) or ``"n"``: lower-case
            bases (and codes) encode as N.
        iupac: Float dtypes only: the ambiguity codes encode as fractions of
            their bases (R is 0.5 A and 0.5 G, N 0.25 in each channel);
            padding and any other byte stay ``n_value``. With ``rc`` the codes
            are complemented (R and Y trade places, K and M, B and V, D and H).

    Raises:
        KeyError: An unknown name, naming the row (0-based) and the name.
        IndexError: A record position out of range.
        ValueError: A start after its end, columns of different lengths, a
            negative length, both ends and length, or a bad ``out``.
        Exception: ``IOError: ...``, a read that fails during the fill.
    """

def ragged(
    source: _Source,
    names: _Names,
    starts: _Column | None = None,
    ends: _Column | None = None,
) -> Ragged:
    """Every region's text, of any length, as a Ragged: the part of a region outside its record is
    left out.

    Args:
        source: A kelpa.Faidx or kelpa.Fasta, plain or BGZF, mapped or ``mutable=True``.
        names: Record names (str, bytes) or record positions in ``keys`` order, one
            per window, as a list or a numpy array; or ``(name, start, end)``
            tuples, with ``starts`` and ``ends`` left out.
        starts: Each window's first position, 0-based (as in BED files); may be
            negative (padded).
        ends: Each window's end, excluded; may be past the record's end (padded).
            Leave out with ``length``.

    Raises:
        KeyError: An unknown name, naming the row (0-based) and the name.
        IndexError: A record position out of range.
        ValueError: A start after its end, columns of different lengths, a
            negative length, both ends and length, or a bad ``out``.
        Exception: ``IOError: ...``, a read that fails during the fill.
    """

def variant_windows(
    source: _Source,
    names: _Names,
    positions: _Column,
    refs: _Alleles,
    alts: _Alleles,
    *,
    length: SupportsIndex,
    anchor: SupportsIndex | None = None,
    encoding: _Encoding = "one_hot",
    check_ref: _CheckRef = "raise",
    rc: _Flags = False,
    out: tuple[Any, Any] | None = None,
    upper: bool = False,
    table: _Table | None = None,
    dtype: npt.DTypeLike | None = None,
    n_value: float = 0,
    channels_first: bool = False,
    soft_mask: _SoftMask = "ignore",
    iupac: bool = False,
) -> tuple[npt.NDArray[Any], npt.NDArray[Any]] | tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[np.bool_]]:
    """The reference and alternate windows of a table of variants, as a pair (ref, alt): positions are
    1-based as in a VCF, alleles of A, C, G, T and N with their padding base. The variant's first
    base sits at offset anchor (length // 2) of both windows; the alternate window carries the
    variant, cut or extended at the right end to length. check_ref='mask' adds a boolean per row,
    true where REF matches the genome; 'skip' checks nothing.

    Base i of ALT stands for base i of REF; ALT bases past REF's length are
    inserted after the last such base, and REF bases past ALT's length are
    deleted: a deletion pulls in more reference from the right, an insertion
    pushes bases out of the right end. Alleles are read ignoring case and
    written upper-case. The reference window is the reference from
    ``position - 1 - anchor``; the parts of either window outside the record
    are padded, as in the other functions.

    Args:
        source: A kelpa.Faidx or kelpa.Fasta, plain or BGZF, mapped or ``mutable=True``.
        names: Each variant's record: names (str, bytes) or record positions in
            ``keys`` order, as a list or a numpy array.
        positions: Each variant's position, 1-based: the first base of REF.
        refs: Each variant's reference allele, with VCF's padding base.
        alts: Each variant's alternate allele (one per row).
        length: The windows' length.
        anchor: Where the variant's first base sits, 0 to ``length - 1``
            (``length // 2`` when not given); with ``rc`` it sits at
            ``length - 1 - anchor``.
        encoding: ``"bytes"`` (as ``fetch``), ``"codes"`` or ``"one_hot"``
            (the default), with those functions' options.
        check_ref: ``"raise"`` (a reference allele that is not the genome's
            raises, before anything is written), ``"mask"`` (a third array, a
            bool per row, true where it is) or ``"skip"``. A reference allele
            that runs past the record's end is a mismatch.
        rc: One bool, or one per row: both windows of the row are reverse complemented.
        out: A pair of arrays (ref, alt) of the result's shape and dtype,
            filled in place and returned.
        upper: ``encoding="bytes"``: upper-case the text.
        table: ``encoding="codes"``: 256 codes, one per byte value.
        dtype: ``codes``: uint8, int32 or int64; ``one_hot``: bool, uint8,
            float16, float32 or float64 (uint8 when not given).
        n_value: ``one_hot``: the value of all four channels for any byte but A, C, G, T.
        channels_first: ``one_hot``: shape (n, 4, length) instead of (n, length, 4).
        soft_mask: ``codes`` and ``one_hot``: ``"n"`` encodes lower-case bases as N.
        iupac: ``one_hot`` with a float dtype: ambiguity codes as fractions of their bases.

    Raises:
        KeyError: An unknown name, naming the row (0-based) and the name.
        IndexError: A record position out of range.
        ValueError: A reference allele that is not the genome's (naming the
            row, the record, the position, the allele and the bases found); an
            allele that is empty or ``-``, symbolic, of several alleles, or of
            any byte but A, C, G, T and N; a position below 1; columns of
            different lengths; a length below 1, an anchor outside the window;
            an unknown encoding or check_ref; or a bad ``out``.
        TypeError: An option that the encoding does not take.
        Exception: ``IOError: ...``, a read that fails during the fill.
    """

def haplotype_windows(
    source: _Source,
    names: _Names,
    starts: _Column,
    offsets: _Column,
    positions: _Column,
    refs: _Alleles,
    alts: _Alleles,
    *,
    length: SupportsIndex,
    encoding: _Encoding = "one_hot",
    check_ref: _CheckRef = "raise",
    rc: _Flags = False,
    out: Any = None,
    upper: bool = False,
    table: _Table | None = None,
    dtype: npt.DTypeLike | None = None,
    n_value: float = 0,
    channels_first: bool = False,
    soft_mask: _SoftMask = "ignore",
    iupac: bool = False,
) -> npt.NDArray[Any] | tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]:
    """Windows of one length with any number of variants applied: row i starts at starts[i] (0-based)
    and carries the variants offsets[i]:offsets[i + 1], in order of position and not overlapping.
    check_ref='mask' returns (array, mask), a boolean per variant.

    A window shows the haplotype from the base that reference position
    ``start`` becomes: the first base after a deletion that covers it, and
    not the bases inserted between ``start - 1`` and ``start``. A variant that
    begins before the window or runs past its end is applied and cut at its
    edges. The window is cut or extended at the right end to ``length``.
    Variants are applied as in ``variant_windows``.

    Args:
        source: A kelpa.Faidx or kelpa.Fasta, plain or BGZF, mapped or ``mutable=True``.
        names: Each row's record: names (str, bytes) or record positions in ``keys`` order.
        starts: Each row's first reference position, 0-based.
        offsets: int64, rows + 1 numbers from 0: row i's variants are
            ``offsets[i]:offsets[i + 1]`` of the variant columns (as ``Ragged`` gives them).
        positions: Each variant's position, 1-based: the first base of REF.
        refs: Each variant's reference allele, with VCF's padding base.
        alts: Each variant's alternate allele.
        length: The windows' length.
        encoding: ``"bytes"``, ``"codes"`` or ``"one_hot"`` (the default), with those functions' options.
        check_ref: ``"raise"``, ``"mask"`` (a bool per variant, ``offsets[-1]`` of them) or ``"skip"``.
        rc: One bool, or one per row: the row is reverse complemented.
        out: A C-contiguous writable array or buffer of the result's shape and
            dtype, filled in place and returned.
        upper: ``encoding="bytes"``: upper-case the text.
        table: ``encoding="codes"``: 256 codes, one per byte value.
        dtype: ``codes``: uint8, int32 or int64; ``one_hot``: bool, uint8,
            float16, float32 or float64 (uint8 when not given).
        n_value: ``one_hot``: the value of all four channels for any byte but A, C, G, T.
        channels_first: ``one_hot``: shape (n, 4, length) instead of (n, length, 4).
        soft_mask: ``codes`` and ``one_hot``: ``"n"`` encodes lower-case bases as N.
        iupac: ``one_hot`` with a float dtype: ambiguity codes as fractions of their bases.

    Raises:
        KeyError: An unknown name, naming the row (0-based) and the name.
        IndexError: A record position out of range.
        ValueError: A row's variants out of order or overlapping (naming the
            row and both variants); offsets that do not match the rows and
            the variants; a reference allele that is not the genome's (naming
            the row and the variant); and the refusals of ``variant_windows``.
        TypeError: An option that the encoding does not take.
        Exception: ``IOError: ...``, a read that fails during the fill.
    """

@final
class Ragged:
    """Regions of any length: data holds their text back to back and offsets where each begins.
    len() counts the regions and r[i] is region i's text as bytes."""

    @property
    def data(self) -> npt.NDArray[np.uint8]:
        """The text of every region, back to back (uint8)."""
    @property
    def offsets(self) -> npt.NDArray[np.int64]:
        """Where each region's text starts in data, and where the last ends (int64, len + 1 numbers)."""
    def __len__(self) -> int:
        """The number of regions."""
    def __getitem__(self, index: SupportsIndex, /) -> bytes:
        """Region ``index``'s text, as bytes."""
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The regions as an Arrow large_binary array, through the Arrow C data interface: a pair of
        PyCapsules (schema, array) sharing data and offsets without a copy."""
