"""Shared fixtures and helpers: the eleven element kinds, reading arrays back, leak checks.

A test taking ``kind`` runs once per element kind (``array_type`` is then its type),
``numeric_kind`` over the ten kinds that may be complex, ``variant`` over every
(kind, is_complex) pair an array can have, and ``numpy_variant`` over those NumPy has too.
"""
import ctypes
import struct
from dataclasses import dataclass
from typing import Any, Tuple

import pytest


@dataclass(frozen=True)
class Kind:
    name: str             # display name: module attribute, type doc, tp_name "kalvo.<name>"
    fmt: str              # buffer format character; complex arrays use "Z" + fmt
    itemsize: int         # bytes per real element
    min: Any              # smallest representable value
    max: Any              # largest representable value
    samples: Tuple[Any, ...]  # a few exactly representable values
    complex_ok: bool      # whether arrays of this kind may hold complex elements

    @property
    def qualname(self):
        return "kalvo." + self.name

    @property
    def is_integer(self):
        return self.fmt in "bBhHiIqQ"

    @property
    def is_float(self):
        return self.fmt in "df"

    def python_type(self, is_complex=False):
        """The Python type of an element read from an array of this kind."""
        return complex if is_complex else {"d": float, "f": float, "?": bool}.get(self.fmt, int)


def _int_kind(name, fmt):
    size = struct.calcsize(fmt)
    signed = fmt.islower()
    lo = -(1 << (8 * size - 1)) if signed else 0
    hi = (1 << (8 * size - 1)) - 1 if signed else (1 << (8 * size)) - 1
    return Kind(name, fmt, size, lo, hi, (lo, 0, 1, hi), True)


_FLOAT32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
_DOUBLE_MAX = 1.7976931348623157e308

KINDS = (
    Kind("double", "d", 8, -_DOUBLE_MAX, _DOUBLE_MAX, (0.0, -1.5, 2.25, 1e300), True),
    Kind("single", "f", 4, -_FLOAT32_MAX, _FLOAT32_MAX, (0.0, -1.5, 2.25, 0.125), True),
    _int_kind("int8", "b"),
    _int_kind("uint8", "B"),
    _int_kind("int16", "h"),
    _int_kind("uint16", "H"),
    _int_kind("int32", "i"),
    _int_kind("uint32", "I"),
    _int_kind("int64", "q"),
    _int_kind("uint64", "Q"),
    Kind("logical", "?", 1, False, True, (False, True), False),
)
NUMERIC_KINDS = tuple(k for k in KINDS if k.complex_ok)
VARIANTS = tuple((k, False) for k in KINDS) + tuple((k, True) for k in NUMERIC_KINDS)
NUMPY_VARIANTS = tuple((k, c) for k, c in VARIANTS if not (c and k.is_integer))  # no complex integers

# Exactly representable in every complex kind; rows of a 2-by-3 array.
COMPLEX_2x3 = [[1 + 2j, 3 + 0j, 4j], [5 + 6j, 7 + 8j, 9 + 1j]]


def pytest_generate_tests(metafunc):
    if "kind" in metafunc.fixturenames:
        metafunc.parametrize("kind", KINDS, ids=[k.name for k in KINDS])
    if "numeric_kind" in metafunc.fixturenames:
        metafunc.parametrize("numeric_kind", NUMERIC_KINDS, ids=[k.name for k in NUMERIC_KINDS])
    for name, variants in (("variant", VARIANTS), ("numpy_variant", NUMPY_VARIANTS)):
        if name in metafunc.fixturenames:
            metafunc.parametrize(name, variants, ids=[k.name + ("-complex" if c else "") for k, c in variants])


@pytest.fixture(scope="session")
def km():
    """The extension module kalvomultidimarrayforpython."""
    import kalvomultidimarrayforpython
    return kalvomultidimarrayforpython


@pytest.fixture
def array_type(km, kind):
    """The array type of the current ``kind``."""
    return getattr(km, kind.name)


def values_2x3(kind, is_complex=False):
    """Rows of a 2-by-3 array of `kind` made of its sample values (or COMPLEX_2x3)."""
    if is_complex:
        return COMPLEX_2x3
    s = kind.samples
    return [[s[(3 * r + c) % len(s)] for c in range(3)] for r in range(2)]


def tolist(a):
    """Nested lists of what an array or partial array shows, read one key at a time."""
    if type(a).__module__ != "kalvo":
        return a
    return [tolist(a[i]) for i in range(len(a))]


def flatten(nested):
    """The scalars of a nested list, in nesting order."""
    if not isinstance(nested, list):
        return [nested]
    return [x for item in nested for x in flatten(item)]


def same_value(x, y):
    """Equality that also holds for NaN against NaN and tells -0.0 from 0.0."""
    if isinstance(x, complex) or isinstance(y, complex):
        x, y = complex(x), complex(y)
        return same_value(x.real, y.real) and same_value(x.imag, y.imag)
    if isinstance(x, float) or isinstance(y, float):
        x, y = float(x), float(y)
        if x != x or y != y:
            return x != x and y != y
        return x == y and str(x)[0] == str(y)[0]
    return type(x) is type(y) and x == y


class PyBuffer(ctypes.Structure):
    """The interpreter's Py_buffer, for requests with explicit flags and hand-made exporters."""
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)), ("internal", ctypes.c_void_p)]


def capi(name, restype, *argtypes):
    """A C-API function of the running interpreter, called through ctypes."""
    function = getattr(ctypes.pythonapi, name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function
