"""kalvo: N-dimensional numeric arrays, stored column-major in the kalvo data-array runtime.

    >>> import kalvo
    >>> a = kalvo.double([[1, 2], [3, 4]])
    >>> a[1][0]
    3.0
"""
__version__ = "0.1.0"

from kalvomultidimarrayforpython import (
    double, single, int8, uint8, int16, uint16, int32, uint32, int64, uint64, logical,
    ShapeError, SizeError,
)

__all__ = [
    "double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32",
    "int64", "uint64", "logical", "ShapeError", "SizeError",
]
