"""Fast random access to regions of FASTA files through their .fai index.

Coordinates given to the fetch methods (``Faidx.fetch``, ``Fasta.get_seq``,
``get_spliced_seq``, ``fetch_many``, ``fetch_many_same_chr``) are 1-based and
inclusive: ``fetch("chr1", 11, 20)`` is 10 bases. Slicing a FastaRecord or a
Sequence is 0-based with the end excluded, as in Python:
``genome["chr1"][10:20]`` is the same 10 bases.

Failures of the index and fetch code are raised as the built-in
``Exception`` whose message starts with the kind of failure
("FetchError: ...", "FastaNotFoundError: ...", "IOError: ..."), so
``except KeyError`` catches none of them; a failing region of a batch of
1000 or more is a ``RuntimeError``, bad coordinates under ``strict_bounds``
an ``IndexError``, an argument of the wrong type a ``TypeError`` naming it,
and a negative or too large coordinate an ``OverflowError``.

The types of region arguments: ``_Region`` is a ``(name, start, end)``
tuple and ``_Interval`` a ``(start, end)`` tuple, both 1-based and
inclusive.
"""

from collections.abc import Sequence as _Seq
from typing import ClassVar, Literal, NoReturn, Self, SupportsIndex, final, overload

# Methods take their arguments by position or by keyword; the operator
# methods (__getitem__, __contains__, __eq__, ...) by position only, as every
# operator slot of a type made in C does.

__all__ = [
    "Fasta",
    "Faidx",
    "Sequence",
    "FastaRecord",
    "FastaIterator",
    "SequenceIterator",
    "MutableFastaRecord",
]

# (name, start, end), 1-based and inclusive.
_Region = tuple[str, SupportsIndex, SupportsIndex]
# (start, end) on one record, 1-based and inclusive.
_Interval = tuple[SupportsIndex, SupportsIndex]

@final
class Fasta:
    """A FASTA file as a read-only mapping from record name to FastaRecord.

    Integer keys address the names in the order of ``keys()``. ``len()`` is
    the total number of bases of all records, not the number of records.
    """

    # key_function, read_ahead, split_char, filt_function, read_long_names and
    # duplicate_action (default "stop") are accepted and stored without effect.
    def __new__(
        cls,
        filename: str,
        indexname: str | None = None,
        default_seq: str | None = None,
        key_function: object = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        read_ahead: SupportsIndex | None = None,
        mutable: bool = False,
        split_char: str | None = None,
        filt_function: object = None,
        one_based_attributes: bool = True,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
    ) -> Self:
        """Open a FASTA file, reading its index or building it when it is
        missing or older than the file.

        Args:
            filename: The FASTA file: a path, plain or BGZF-compressed (told by
                its first bytes), or a URL (``http://``, ``https://``,
                ``s3://``, ``gs://``), read in place.
            indexname: The ``.fai`` index; by default ``filename + ".fai"``.
            default_seq: Pads text that comes back short (a file cut short
                after its index was written), e.g. ``"N"``.
            as_raw: Results carry no coordinates (``start`` and ``end`` are
                ``None``).
            strict_bounds: Raise ``IndexError`` for bad coordinates instead
                of a warning and clamped or empty text.
            mutable: Read through the open file (positioned reads) instead of
                a memory mapping.
            one_based_attributes: With ``False``, the ``start`` of results is
                0-based (``end`` stays inclusive).
            sequence_always_upper: Upper-case every result.
            rebuild: May an index older than the FASTA file be rebuilt?
            build_index: May a missing index be built? Without it a missing
                index raises ``Exception("IndexNotFoundError: ...")``.
            key_function: Accepted and kept (pickled too), without effect.
            filt_function: Accepted and kept, without effect.
            read_ahead: Accepted and kept, without effect.
            split_char: Accepted and kept, without effect.
            read_long_names: Accepted and kept, without effect.
            duplicate_action: Accepted and kept (default ``"stop"``), without effect.

        Raises:
            Exception: ``FastaNotFoundError: <path>`` for a missing file,
                ``IndexNotFoundError: <path>``, ``FastaIndexingError: ...``
                for a bad index line, ``IOError: ...`` for a file that cannot
                be read or indexed.
        """

    @property
    def filename(self) -> str:
        """The path or URL as given."""

    def keys(self) -> list[str]:
        """The record names, in the order of the file (a method, unlike ``Faidx.keys``)."""

    def values(self) -> list[FastaRecord]:
        """The records, in the order of the file."""

    def items(self) -> list[tuple[str, FastaRecord]]:
        """(name, record) pairs, in the order of the file."""

    def get_seq(
        self, name: str, start: SupportsIndex, end: SupportsIndex, rc: bool | None = None
    ) -> Sequence:
        """The bases ``start`` to ``end`` of record ``name``, 1-based and inclusive.

        Args:
            name: The record's name.
            start: The first base, counted from 1.
            end: The last base, included.
            rc: Return the reverse complement (coordinates swapped, ``comp`` set).

        Raises:
            Exception: ``FetchError: Sequence '<name>' not found``.
            IndexError: Bad coordinates under ``strict_bounds``; without it they
                give a warning on standard error and clamped or empty text.
        """

    def get_spliced_seq(
        self, name: str, intervals: _Seq[_Interval], rc: bool | None = None
    ) -> Sequence:
        """The intervals of record ``name`` joined in the order given, as one Sequence
        from the first interval's start to the last one's end.

        Args:
            name: The record's name.
            intervals: ``(start, end)`` pairs, 1-based and inclusive (exons).
            rc: Return the reverse complement of the joined text.
        """
    def fetch_many(self, regions: _Seq[_Region], rc: bool | None = None) -> list[Sequence]:
        """Many regions in one call, the results in the order of the regions.

        From 1000 regions on, the batch runs on the worker pool and treats bad
        coordinates silently (the end clamped to the record, a 0 taken as 1,
        empty text for reversed coordinates or a region past the record's
        end); below that, each region is fetched as ``get_seq`` would.

        Args:
            regions: ``(name, start, end)`` tuples, 1-based and inclusive (add 1
                to a BED start).
            rc: Reverse complement every result.

        Returns:
            One Sequence per region, in the order of ``regions``.

        Raises:
            RuntimeError: A failing region of a batch of 1000 or more, the
                lowest position: ``Error fetching region 5: Fetch error: ...``.
            Exception: ``FetchError: ...`` for an unknown name in a smaller batch.
        """

    def fetch_many_same_chr(
        self, name: str, regions: _Seq[_Interval], rc: bool | None = None
    ) -> list[Sequence]:
        """Many regions of one record, as ``fetch_many`` fetches them.

        Args:
            name: The record's name.
            regions: ``(start, end)`` pairs, 1-based and inclusive.
            rc: Reverse complement every result.

        Returns:
            One Sequence per region, in the order of ``regions``.
        """

    def close(self) -> None:
        """Accepted for compatibility; the file stays readable until the object is gone."""

    def __enter__(self) -> Self:
        """A Fasta is its own context manager."""

    def __exit__(
        self, _exc_type: object = None, _exc_value: object = None, _traceback: object = None
    ) -> None:
        """Calls ``close()``."""

    def __getitem__(self, key: str | SupportsIndex, /) -> FastaRecord:
        """The record of that name, or at that position in ``keys()``.

        Raises:
            KeyError: ``'<name> not in <filename>.'`` for an unknown name.
            IndexError: A position out of range.
        """

    def __contains__(self, key: str, /) -> bool:
        """Whether a record has that name."""

    def __len__(self) -> int:
        """The number of bases of all records together, not the number of records."""

    def __iter__(self) -> FastaIterator:
        """The records, in the order of the file."""

@final
class Faidx:
    """An indexed FASTA file: region fetch by name and 1-based inclusive
    coordinates. The index is built when it is missing or older than the
    FASTA file (``rebuild``, ``build_index``)."""

    # key_function, split_char, filt_function, read_long_names,
    # duplicate_action (default "stop") and read_ahead are accepted and
    # stored without effect.
    def __new__(
        cls,
        filename: str,
        indexname: str | None = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
        one_based_attributes: bool = True,
        default_seq: str | None = None,
        mutable: bool = False,
        key_function: object = None,
        split_char: str | None = None,
        filt_function: object = None,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        read_ahead: SupportsIndex | None = None,
    ) -> Self:
        """Open a FASTA file, reading its index or building it when it is
        missing or older than the file (the options as for ``Fasta``).

        Args:
            filename: The FASTA file: a path, plain or BGZF-compressed (told by
                its first bytes), or a URL (``http://``, ``https://``,
                ``s3://``, ``gs://``), read in place.
            indexname: The ``.fai`` index; by default ``filename + ".fai"``.
            default_seq: Pads text that comes back short (a file cut short
                after its index was written), e.g. ``"N"``.
            as_raw: Results carry no coordinates (``start`` and ``end`` are
                ``None``).
            strict_bounds: Raise ``IndexError`` for bad coordinates instead
                of a warning and clamped or empty text.
            mutable: Read through the open file (positioned reads) instead of
                a memory mapping.
            one_based_attributes: With ``False``, the ``start`` of results is
                0-based (``end`` stays inclusive).
            sequence_always_upper: Upper-case every result.
            rebuild: May an index older than the FASTA file be rebuilt?
            build_index: May a missing index be built? Without it a missing
                index raises ``Exception("IndexNotFoundError: ...")``.
            key_function: Accepted and kept (pickled too), without effect.
            filt_function: Accepted and kept, without effect.
            read_ahead: Accepted and kept, without effect.
            split_char: Accepted and kept, without effect.
            read_long_names: Accepted and kept, without effect.
            duplicate_action: Accepted and kept (default ``"stop"``), without effect.

        Raises:
            Exception: ``FastaNotFoundError: <path>`` for a missing file,
                ``IndexNotFoundError: <path>``, ``FastaIndexingError: ...``
                for a bad index line, ``IOError: ...`` for a file that cannot
                be read or indexed.
        """

    @property
    def keys(self) -> list[str]:
        """The record names, in the order of the file (a property, not a method)."""

    def fetch(self, name: str, start: SupportsIndex, end: SupportsIndex) -> Sequence:
        """The bases ``start`` to ``end`` of record ``name``, 1-based and inclusive:
        ``fetch("chr1", 11, 20)`` is 10 bases, ``genome["chr1"][10:20]``.

        Args:
            name: The record's name.
            start: The first base, counted from 1 (0 is a bad coordinate).
            end: The last base, included.

        Raises:
            Exception: ``FetchError: Sequence '<name>' not found`` (not ``KeyError``).
            IndexError: Bad coordinates under ``strict_bounds``; without it, an
                end past the record gives its text up to the record's end, and
                a start past the record, a 0 or a start after the end empty
                text, each with a ``WARNING:`` line on standard error.
        """

    def fetch_entire_sequence(self, name: str) -> Sequence:
        """The whole record ``name``, from base 1 to its last.

        Raises:
            Exception: ``FetchError: Sequence '<name>' not found``.
        """

    def fetch_many(self, regions: _Seq[_Region]) -> list[Sequence]:
        """Many regions in one call, as ``Fasta.fetch_many`` fetches them.

        Args:
            regions: ``(name, start, end)`` tuples, 1-based and inclusive.

        Returns:
            One Sequence per region, in the order of ``regions``.

        Raises:
            RuntimeError: A failing region of a batch of 1000 or more.
            Exception: ``FetchError: ...`` for an unknown name in a smaller batch.
        """

    def fetch_many_same_chr(self, name: str, regions: _Seq[_Interval]) -> list[Sequence]:
        """Many regions of one record, as ``fetch_many`` fetches them.

        Args:
            name: The record's name.
            regions: ``(start, end)`` pairs, 1-based and inclusive.
        """

    def __contains__(self, key: str, /) -> bool:
        """Whether a record has that name."""

@final
class Sequence:
    """A piece of sequence text with its record name, the coordinates it was
    cut from and whether it is the complement of the stored strand."""

    name: str
    """The record's name."""
    seq: str
    """The text."""
    start: int | None
    """The first base's position, 1-based (0-based with ``one_based_attributes=False``); ``None`` without coordinates."""
    end: int | None
    """The last base's position, inclusive; ``None`` without coordinates."""
    comp: bool
    """Whether the text is the complement of the stored strand."""
    # Equality is defined (against Sequence and str) and hashing is not.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(
        cls,
        name: str = ...,
        seq: str = ...,
        start: SupportsIndex | None = None,
        end: SupportsIndex | None = None,
        comp: bool = False,
    ) -> Self:
        """A Sequence of your own text.

        Args:
            name: The record's name.
            seq: The text.
            start: The first base's position, 1-based.
            end: The last base's position, inclusive.
            comp: Whether the text is a complement.
        """
    @property
    def fancy_name(self) -> str:
        """name:start-end, plus " (complement)" when comp is set."""

    @property
    def long_name(self) -> str:
        """The same text as fancy_name."""

    @property
    def orientation(self) -> Literal[1, -1] | None:
        """1 for text of the stored strand (``comp`` unset, start before end), -1 for a
        reverse complement (``comp`` set, start after end), else None."""

    @property
    def complement(self) -> Sequence:
        """The complement, not reversed (a property); bytes that are no nucleotide become N."""
    @property
    def reverse(self) -> Sequence:
        """The reversed text with start and end exchanged (a property)."""

    @property
    def gc(self) -> float:
        """The share of G and C among all bytes (case ignored)."""

    @property
    def gc_strict(self) -> float:
        """The share of G and C among A, C, G and T only."""

    @property
    def gc_iupac(self) -> float:
        """The mean IUPAC weight of G or C (S 1, K/M/R/Y 0.5, B/V 0.67, D/H 0.33, N 0.25)."""
    def __neg__(self) -> Sequence:
        """The reverse complement."""

    def __len__(self) -> int:
        """The number of bases of the text."""

    def __eq__(self, value: object, /) -> bool:
        """Equal to a Sequence or a str of the same text."""

    def __ne__(self, value: object, /) -> bool: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Sequence: ...
    @overload
    def __getitem__(self, key: slice, /) -> Sequence:
        """A base or a slice of the text, 0-based relative to the text, with coordinates that follow it."""

@final
class FastaRecord:
    """One record of a Fasta; made by the Fasta, not by calling the type."""

    @property
    def name(self) -> str:
        """The record's name, the first word of its header line."""

    @property
    def long_name(self) -> str:
        """The record's name, as ``name``."""
    @property
    def unpadded_len(self) -> int:
        """The length without the leading and trailing runs of N."""

    def __reversed__(self) -> list[Sequence]:
        """The line-sized chunks from last to first, each reversed (a list)."""

    def __len__(self) -> int:
        """The number of bases of the record."""

    def __iter__(self) -> SequenceIterator:
        """The record in chunks of one file line, read on demand."""

    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Sequence: ...
    @overload
    def __getitem__(self, key: slice, /) -> Sequence:
        """A base or a slice of the record, 0-based with the end excluded, as in
        Python: ``record[10:20]`` is bases 11 to 20, whose Sequence has
        ``start=11, end=20``; a step of -1 reverses (not complemented)."""

@final
class FastaIterator:
    """Iterator over the records of a Fasta."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> FastaRecord:
        """The next record."""

@final
class SequenceIterator:
    """Iterator over a record in chunks of one file line."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> Sequence:
        """The next line of the record."""

@final
class MutableFastaRecord:
    """Placeholder for writable records: item assignment always fails."""

    def __setitem__(self, key: object, value: str, /) -> NoReturn:
        """Always raises."""

    def __delitem__(self, key: object, /) -> NoReturn:
        """Always raises."""
