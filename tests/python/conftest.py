"""Shared test fixtures: the table of the eleven element kinds and the extension module.

Any test that takes an argument named ``kind`` runs once per element kind; ``array_type`` is
then the matching array type. ``numeric_kind`` runs over the ten kinds that may be complex.
"""
import struct
from dataclasses import dataclass
from typing import Any, Tuple

import pytest


@dataclass(frozen=True)
class Kind:
    name: str             # display name: module attribute, type doc, tp_name "kalvo.<name>"
    ctype: str            # element type of the per-type slots (KCPyArray_New_<ctype>)
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


def _int_kind(name, ctype, fmt):
    size = struct.calcsize(fmt)
    signed = fmt.islower()
    lo = -(1 << (8 * size - 1)) if signed else 0
    hi = (1 << (8 * size - 1)) - 1 if signed else (1 << (8 * size)) - 1
    return Kind(name, ctype, fmt, size, lo, hi, (lo, 0, 1, hi), True)


_FLOAT32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
_DOUBLE_MAX = 1.7976931348623157e308

KINDS = (
    Kind("double", "double", "d", 8, -_DOUBLE_MAX, _DOUBLE_MAX, (0.0, -1.5, 2.25, 1e300), True),
    Kind("single", "float", "f", 4, -_FLOAT32_MAX, _FLOAT32_MAX, (0.0, -1.5, 2.25, 0.125), True),
    _int_kind("int8", "int8_t", "b"),
    _int_kind("uint8", "uint8_t", "B"),
    _int_kind("int16", "int16_t", "h"),
    _int_kind("uint16", "uint16_t", "H"),
    _int_kind("int32", "int32_t", "i"),
    _int_kind("uint32", "uint32_t", "I"),
    _int_kind("int64", "int64_t", "q"),
    _int_kind("uint64", "uint64_t", "Q"),
    Kind("logical", "bool", "?", 1, False, True, (False, True), False),
)
KINDS_BY_NAME = {k.name: k for k in KINDS}
NUMERIC_KINDS = tuple(k for k in KINDS if k.complex_ok)


def pytest_generate_tests(metafunc):
    if "kind" in metafunc.fixturenames:
        metafunc.parametrize("kind", KINDS, ids=[k.name for k in KINDS])
    if "numeric_kind" in metafunc.fixturenames:
        metafunc.parametrize("numeric_kind", NUMERIC_KINDS, ids=[k.name for k in NUMERIC_KINDS])


@pytest.fixture(scope="session")
def km():
    """The extension module kalvomultidimarrayforpython."""
    import kalvomultidimarrayforpython
    return kalvomultidimarrayforpython


@pytest.fixture
def array_type(km, kind):
    """The array type of the current ``kind``."""
    return getattr(km, kind.name)


@pytest.fixture
def build():
    """Calls an array type, skipping the test while construction is not available yet."""
    def make(array_type, *args, **kwargs):
        try:
            return array_type(*args, **kwargs)
        except NotImplementedError as e:
            pytest.skip(f"construction unavailable: {e}")
    return make
