"""Fast random access to regions of FASTA files through their .fai index.

Coordinates given to the fetch methods are 1-based and inclusive; slicing a
FastaRecord or a Sequence is 0-based, as in Python. Failures of the index and
fetch code are raised as the built-in ``Exception`` whose message starts with
the kind of failure ("FetchError: ...", "FastaNotFoundError: ...", ...).
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
    ) -> Self: ...
    @property
    def filename(self) -> str: ...
    def keys(self) -> list[str]: ...
    def values(self) -> list[FastaRecord]: ...
    def items(self) -> list[tuple[str, FastaRecord]]: ...
    def get_seq(
        self, name: str, start: SupportsIndex, end: SupportsIndex, rc: bool | None = None
    ) -> Sequence: ...
    def get_spliced_seq(
        self, name: str, intervals: _Seq[_Interval], rc: bool | None = None
    ) -> Sequence: ...
    def fetch_many(self, regions: _Seq[_Region], rc: bool | None = None) -> list[Sequence]:
        """High-performance batch fetch for many sequences

        This method is optimized for genomics workloads where you need to fetch
        many sequences at once (e.g., 200,000+ regions). It uses parallel processing
        and optimized memory access patterns for maximum throughput.

        Args:
            regions: List of (name, start, end) tuples specifying regions to fetch
            rc: Optional boolean to reverse complement all sequences

        Returns:
            List of Sequence objects in the same order as input regions

        Example:
            >>> regions = [("chr1", 1000, 2000), ("chr2", 5000, 6000)]
            >>> sequences = fasta.fetch_many(regions)
        """

    def fetch_many_same_chr(
        self, name: str, regions: _Seq[_Interval], rc: bool | None = None
    ) -> list[Sequence]:
        """Ultra-fast batch fetch for regions from the same chromosome

        This method is optimized for BED file processing where many regions
        come from the same chromosome. It's significantly faster than fetch_many
        when all regions are from the same chromosome.

        Args:
            name: Chromosome/sequence name
            regions: List of (start, end) tuples
            rc: Optional boolean to reverse complement all sequences

        Returns:
            List of Sequence objects in the same order as input regions

        Example:
            >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]
            >>> sequences = fasta.fetch_many_same_chr("chr1", regions)
        """

    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, _exc_type: object = None, _exc_value: object = None, _traceback: object = None
    ) -> None: ...
    def __getitem__(self, key: str | SupportsIndex, /) -> FastaRecord: ...
    def __contains__(self, key: str, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> FastaIterator: ...

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
    ) -> Self: ...
    @property
    def keys(self) -> list[str]:
        """The record names (a property, not a method)."""

    def fetch(self, name: str, start: SupportsIndex, end: SupportsIndex) -> Sequence: ...
    def fetch_entire_sequence(self, name: str) -> Sequence:
        """Ultra-fast method for fetching entire sequences - bypasses all bounds checking"""

    def fetch_many(self, regions: _Seq[_Region]) -> list[Sequence]:
        """High-performance batch fetch for many sequences

        Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:
        - Sequential processing for small batches (< 1000 regions) to avoid overhead
        - Parallel processing for large batches to maximize throughput

        Args:
            regions: List of (name, start, end) tuples specifying regions to fetch

        Returns:
            List of Sequence objects in the same order as input regions

        Example:
            >>> regions = [("chr1", 1000, 2000), ("chr2", 5000, 6000)]
            >>> sequences = faidx.fetch_many(regions)
        """

    def fetch_many_same_chr(self, name: str, regions: _Seq[_Interval]) -> list[Sequence]:
        """Ultra-fast batch fetch for regions from the same chromosome

        Optimized for BED file processing where many regions come from the same chromosome.
        Uses smart batching like fetch_many but optimized for single chromosome access.

        Args:
            name: Chromosome/sequence name
            regions: List of (start, end) tuples

        Returns:
            List of Sequence objects in the same order as input regions

        Example:
            >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]
            >>> sequences = faidx.fetch_many_same_chr("chr1", regions)
        """

    def __contains__(self, key: str, /) -> bool: ...

@final
class Sequence:
    """A piece of sequence text with its record name, the coordinates it was
    cut from and whether it is the complement of the stored strand."""

    name: str
    seq: str
    start: int | None
    end: int | None
    comp: bool
    # Equality is defined (against Sequence and str) and hashing is not.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(
        cls,
        name: str = ...,
        seq: str = ...,
        start: SupportsIndex | None = None,
        end: SupportsIndex | None = None,
        comp: bool = False,
    ) -> Self: ...
    @property
    def fancy_name(self) -> str:
        """name:start-end, plus " (complement)" when comp is set."""

    @property
    def long_name(self) -> str:
        """The same text as fancy_name."""

    @property
    def orientation(self) -> Literal[1, -1] | None: ...
    @property
    def complement(self) -> Sequence: ...
    @property
    def reverse(self) -> Sequence:
        """The reversed text with start and end exchanged (a property)."""

    @property
    def gc(self) -> float: ...
    @property
    def gc_strict(self) -> float: ...
    @property
    def gc_iupac(self) -> float: ...
    def __neg__(self) -> Sequence:
        """The reverse complement."""

    def __len__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Sequence: ...
    @overload
    def __getitem__(self, key: slice, /) -> Sequence: ...

@final
class FastaRecord:
    """One record of a Fasta; made by the Fasta, not by calling the type."""

    @property
    def name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def unpadded_len(self) -> int:
        """The length without the leading and trailing runs of N."""

    def __reversed__(self) -> list[Sequence]:
        """The line-sized chunks from last to first, each reversed (a list)."""

    def __len__(self) -> int: ...
    def __iter__(self) -> SequenceIterator: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Sequence: ...
    @overload
    def __getitem__(self, key: slice, /) -> Sequence: ...

@final
class FastaIterator:
    """Iterator over the records of a Fasta."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> FastaRecord: ...

@final
class SequenceIterator:
    """Iterator over a record in chunks of one file line."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> Sequence: ...

@final
class MutableFastaRecord:
    """Placeholder for writable records: item assignment always fails."""

    def __setitem__(self, key: object, value: str, /) -> NoReturn: ...
    def __delitem__(self, key: object, /) -> NoReturn: ...
