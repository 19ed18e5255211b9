"""Regions of FASTA files as numpy arrays, for machine-learning loaders.

The source is a kelpa.Faidx or kelpa.Fasta. Windows are 0-based and
end-exclusive, as in BED files and numpy: names (str, or record positions in
keys order), starts, and ends or one length; or (name, start, end) tuples
passed as names. The part of a window outside its record is padded. rc (one
bool, or one per row) gives a row's reverse complement.

The types of the arguments: ``_Source`` is a kelpa.Faidx or kelpa.Fasta;
``_Names`` record names or positions, or ``(name, start, end)`` tuples;
``_Column`` integers (a list or an integer array); ``_Flags`` one bool or
one per row; ``_Table`` 256 codes, one per byte value.
"""

from collections.abc import Sequence as _Seq
from typing import Any, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt
from kelpa import Faidx, Fasta

__all__ = ["fetch", "codes", "one_hot", "ragged", "Ragged"]

_Source: TypeAlias = Faidx | Fasta
# Record names (str) or record positions (int, in keys order), as a list or
# an array; or, with starts and ends left out, (name, start, end) tuples.
_Names: TypeAlias = _Seq[str] | _Seq[SupportsIndex] | _Seq[tuple[str | SupportsIndex, SupportsIndex, SupportsIndex]] | npt.NDArray[Any]
_Column: TypeAlias = _Seq[SupportsIndex] | npt.NDArray[np.integer[Any]]
_Flags: TypeAlias = bool | np.bool_ | _Seq[bool] | npt.NDArray[np.bool_]
_Table: TypeAlias = _Seq[SupportsIndex] | bytes | bytearray | npt.NDArray[np.integer[Any]]

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
