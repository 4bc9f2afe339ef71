# Type information for kalvo: the eleven array types and the two exceptions.
import array
from typing import Any, ClassVar, Iterable, Iterator, Mapping, Sequence, SupportsFloat, SupportsIndex, Tuple, Union, final, overload

from typing_extensions import Self, TypeAlias

__version__: str
__all__ = [
    "double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32",
    "int64", "uint64", "logical", "ShapeError", "SizeError",
]

class ShapeError(Exception):
    """The initializer's element count differs from the count of 'size'."""

class SizeError(Exception):
    """The initializer has the element count of 'size' but another shape."""

# One element: a number (complex for complex arrays, bool for logical ones).
_Scalar: TypeAlias = Union[complex, SupportsFloat, SupportsIndex]
# What an assignment or a constructor accepts: a scalar, a nested sequence, another array or
# any iterable of those (e.g. a NumPy array).
_Values: TypeAlias = Union[_Scalar, Sequence[Any], Iterable[Any], "_Array"]
_Dims: TypeAlias = Union[SupportsIndex, Sequence[SupportsIndex]]

class _Array:
    """Operations shared by the eleven array types."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(
        cls,
        initializer: Union[_Values, Mapping[str, Any], None] = ...,
        size: Union[Sequence[SupportsIndex], None] = ...,
        vector: Union[Sequence[_Scalar], None] = ...,
        is_complex: bool = ...,
    ) -> Self: ...
    # An integer key selects along the active dimension: the result is an element when it
    # fixes the last dimension, otherwise a partial array sharing storage. A slice key gives a
    # partial array. Tuples (a[1, 2]) are refused with RuntimeError: index one key at a time.
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Any: ...
    @overload
    def __getitem__(self, key: slice, /) -> Self: ...
    @overload
    def __setitem__(self, key: SupportsIndex, value: _Values, /) -> None: ...
    @overload
    def __setitem__(self, key: slice, value: _Values, /) -> None: ...
    def __delitem__(self, key: Union[SupportsIndex, slice], /) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...
    def __reduce__(self) -> Tuple[type[Self], Tuple[dict[str, bool], list[Any]]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> Tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Any, /) -> Self: ...
    @classmethod
    def _rebuild(cls, dims: Tuple[int, ...], is_complex: bool, data: Any, /) -> Self:
        """Makes an array from the bytes of its column-major storage; pickles refer to it."""
    def reshape(self, *dims: _Dims) -> Self:
        """Changes the dimensions in place, keeping the elements in storage order."""
    def buffer_info(self) -> Tuple[int, int]:
        """(address of the element buffer, number of elements)."""
    def get_bytewise_strides(self) -> Tuple[int, ...]: ...
    def clone(self) -> Self:
        """An independent copy of what this object shows."""
    def real(self) -> Self:
        """The real parts of a complex array, as a 1-by-N array in storage order."""
    def imag(self) -> Self:
        """The imaginary parts of a complex array, as a 1-by-N array in storage order."""
    def noncomplex(self) -> Self:
        """The elements of a real array, as a 1-by-N array in storage order."""
    def toarray(self) -> array.array[Any]:
        """An array.array of a one-dimensional sequence's elements."""
    def tomemoryview(self) -> memoryview: ...
    @property
    def size(self) -> Tuple[int, ...]:
        """The dimensions."""
    @property
    def _size(self) -> Tuple[int, ...]: ...
    @property
    def itemsize(self) -> int:
        """Size of an element in bytes."""
    @property
    def _real(self) -> Self: ...
    @property
    def _imag(self) -> Self: ...
    @property
    def _data(self) -> Self: ...
    @property
    def _is_complex(self) -> bool: ...

@final
class double(_Array): ...
@final
class single(_Array): ...
@final
class int8(_Array): ...
@final
class uint8(_Array): ...
@final
class int16(_Array): ...
@final
class uint16(_Array): ...
@final
class int32(_Array): ...
@final
class uint32(_Array): ...
@final
class int64(_Array): ...
@final
class uint64(_Array): ...
@final
class logical(_Array): ...
