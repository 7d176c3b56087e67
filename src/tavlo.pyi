# The types of the tavlo extension module, for type checkers; installed as the tavlo-stubs package.
from collections.abc import Sequence as _Sequence
from typing import Any, ClassVar, Literal, NoReturn, SupportsIndex, TypeVar, final, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer, Self

__all__ = [
    "Fasta",
    "Faidx",
    "Sequence",
    "FastaRecord",
    "FastaIterator",
    "SequenceIterator",
    "MutableFastaRecord",
]

_Region = tuple[str, SupportsIndex, SupportsIndex]
_Span = tuple[SupportsIndex, SupportsIndex]
# fetch_array's columns: lists, or one-dimensional arrays (NumPy, pandas through np.asarray).
_Names = _Sequence[str] | _Sequence[SupportsIndex] | npt.NDArray[Any]
_Positions = _Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]
_Strands = _Sequence[str] | _Sequence[SupportsIndex] | npt.NDArray[Any]
_Out = TypeVar("_Out", bound=npt.NDArray[Any] | Buffer)

@final
class Sequence:
    name: str
    seq: str
    start: int | None
    end: int | None
    comp: bool
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
    def fancy_name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def complement(self) -> Sequence: ...
    @property
    def reverse(self) -> Sequence: ...
    @property
    def orientation(self) -> int | None: ...
    @property
    def gc(self) -> float: ...
    @property
    def gc_strict(self) -> float: ...
    @property
    def gc_iupac(self) -> float: ...
    def __getitem__(self, key: SupportsIndex | slice, /) -> Sequence: ...
    def __neg__(self) -> Sequence: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

@final
class Faidx:
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
    def fetch(self, name: str, start: SupportsIndex, end: SupportsIndex) -> Sequence: ...
    def fetch_entire_sequence(self, name: str) -> Sequence: ...
    def fetch_many(self, regions: _Sequence[_Region]) -> list[Sequence]: ...
    def fetch_many_same_chr(self, name: str, regions: _Sequence[_Span]) -> list[Sequence]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: str = "bytes",
        dtype: npt.DTypeLike | None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: _Out,
        strict_bounds: bool | None = None,
    ) -> _Out: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: Literal["bytes"] = "bytes",
        dtype: None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[np.uint8]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: Literal["codes"],
        dtype: None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[np.int8]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: Literal["onehot"],
        dtype: None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[np.uint8]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: str = "bytes",
        dtype: npt.DTypeLike | None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[Any]: ...
    @property
    def keys(self) -> list[str]: ...
    def __contains__(self, name: str, /) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

@final
class Fasta:
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
    def keys(self) -> list[str]: ...
    def values(self) -> list[FastaRecord]: ...
    def items(self) -> list[tuple[str, FastaRecord]]: ...
    def get_seq(
        self, name: str, start: SupportsIndex, end: SupportsIndex, rc: bool | None = None
    ) -> Sequence: ...
    def get_spliced_seq(
        self, name: str, intervals: _Sequence[_Span], rc: bool | None = None
    ) -> Sequence: ...
    def fetch_many(self, regions: _Sequence[_Region], rc: bool | None = None) -> list[Sequence]: ...
    def fetch_many_same_chr(
        self, name: str, regions: _Sequence[_Span], rc: bool | None = None
    ) -> list[Sequence]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: str = "bytes",
        dtype: npt.DTypeLike | None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: _Out,
        strict_bounds: bool | None = None,
    ) -> _Out: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: Literal["bytes"] = "bytes",
        dtype: None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[np.uint8]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: Literal["codes"],
        dtype: None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[np.int8]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: Literal["onehot"],
        dtype: None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[np.uint8]: ...
    @overload
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        *,
        names: _Names | None = None,
        starts: _Positions | None = None,
        ends: _Positions | None = None,
        encoding: str = "bytes",
        dtype: npt.DTypeLike | None = None,
        alphabet: str = "ACGT",
        channels_first: bool = False,
        rc: bool = False,
        strands: _Strands | None = None,
        fill: str | bytes = "N",
        out: None = None,
        strict_bounds: bool | None = None,
    ) -> npt.NDArray[Any]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, _exc_type: object = None, _exc_value: object = None, _traceback: object = None
    ) -> None: ...
    @overload
    def __getitem__(self, key: str, /) -> FastaRecord: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> FastaRecord: ...
    def __contains__(self, name: str, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> FastaIterator: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

@final
class FastaRecord:
    @property
    def long_name(self) -> str: ...
    @property
    def unpadded_len(self) -> int: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Sequence: ...
    @overload
    def __getitem__(self, key: slice, /) -> Sequence: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> SequenceIterator: ...
    def __reversed__(self) -> list[Sequence]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

@final
class FastaIterator:
    def __iter__(self) -> Self: ...
    def __next__(self) -> FastaRecord: ...
    def __reduce__(self) -> NoReturn: ...

@final
class SequenceIterator:
    def __iter__(self) -> Self: ...
    def __next__(self) -> Sequence: ...
    def __reduce__(self) -> NoReturn: ...

@final
class MutableFastaRecord:
    def __setitem__(self, key: object, _value: str, /) -> NoReturn: ...
    def __delitem__(self, key: object, /) -> NoReturn: ...
    def __reduce__(self) -> NoReturn: ...
