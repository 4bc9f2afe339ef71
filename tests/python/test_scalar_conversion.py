"""Conversion of single Python values into elements, seen through the constructors.

A nested initializer raises the conversion's own exception type; the 'vector' keyword raises
the same message as ValueError.
"""
import decimal
import fractions
import math
import struct

import pytest

from conftest import KINDS, same_value, tolist

INTEGER_KINDS = tuple(k for k in KINDS if k.is_integer)
TOO_LARGE = "Python int too large to convert to C long long"


def element(array_type, value, **kwargs):
    """The single element of array_type([value], ...)."""
    return tolist(array_type([value], **kwargs))[0][0]


def refusal(array_type, value, **kwargs):
    """(type, message) of array_type([value]); the same message must come from 'vector'."""
    with pytest.raises(Exception) as nested:
        array_type([value], **kwargs)
    with pytest.raises(ValueError) as flat:
        array_type(vector=[value], **kwargs)
    assert str(flat.value) == str(nested.value)
    return type(nested.value), str(nested.value)


def expected_int_refusal(kind, v):
    """The OverflowError text for int v outside the range of integer kind `kind`."""
    signed = kind.fmt.islower()
    if signed and not -2**63 <= v < 2**63:
        return TOO_LARGE
    if not signed and not -2**63 <= v < 2**64:
        return TOO_LARGE
    return f"value ({v}) cannot be stored in a variable of type {kind.name}."


# ---- integers --------------------------------------------------------------------------------

@pytest.mark.parametrize("is_complex", [False, True], ids=["real", "complex"])
@pytest.mark.parametrize("ikind", INTEGER_KINDS, ids=[k.name for k in INTEGER_KINDS])
def test_integer_bounds(km, ikind, is_complex):
    t = getattr(km, ikind.name)
    for v in (ikind.min, ikind.max):
        got = element(t, v, is_complex=is_complex)
        assert got == (complex(v) if is_complex else v)
    for v in (ikind.min - 1, ikind.max + 1):
        exc, message = refusal(t, v, is_complex=is_complex)
        assert exc is OverflowError
        assert message == expected_int_refusal(ikind, v)


@pytest.mark.parametrize("value", [2**63, -2**63 - 1, 2**64, 10**30, -10**30])
def test_ints_beyond_64_bits(km, value):
    for name in ("int64", "double", "logical"):
        assert refusal(getattr(km, name), value) == (OverflowError, TOO_LARGE), name
    if value == 2**63:
        assert element(km.uint64, value) == value
    else:
        assert refusal(km.uint64, value) == (OverflowError, TOO_LARGE)


def test_bool_is_an_integer(kind, array_type):
    one = element(array_type, True)
    assert one == 1 and same_value(element(array_type, False), type(one)(0))


@pytest.mark.parametrize("ikind", INTEGER_KINDS, ids=[k.name for k in INTEGER_KINDS])
def test_real_integer_kinds_refuse_floats_and_complex(km, ikind):
    t = getattr(km, ikind.name)
    for value in (1.0, 3.0, float("nan")):
        assert refusal(t, value) == (TypeError, f"kalvo.{ikind.name} does not accept floating-point values.")
    assert refusal(t, 1j) == (
        TypeError, f"kalvo.{ikind.name} does not accept complex values if 'is_complex' is not set to 'True'.")


# ---- complex integers: floats are truncated toward zero, bounds are min-1 < v < max+1 --------

@pytest.mark.parametrize("ikind", INTEGER_KINDS, ids=[k.name for k in INTEGER_KINDS])
def test_complex_integer_truncation_and_bounds(km, ikind):
    t = getattr(km, ikind.name)
    if ikind.itemsize < 8:
        lo, hi = float(ikind.min) - 0.9, float(ikind.max) + 0.9
        assert element(t, lo, is_complex=True) == complex(ikind.min)
        assert element(t, hi, is_complex=True) == complex(ikind.max)
        assert element(t, complex(hi, lo), is_complex=True) == complex(ikind.max, ikind.min)
        outside = (float(ikind.min - 1), float(ikind.max + 1))
    else:
        # Both bounds are exclusive, so -2**63 itself is refused for int64.
        outside = (float(ikind.min) if ikind.min else -1.0, float(ikind.max) + 1.0)
    for v in outside:
        text = f"{v:g}" if abs(v) >= 1e6 else str(int(v))
        message = f"value ({text}) cannot be stored in a variable of type {ikind.name}."
        assert refusal(t, v, is_complex=True) == (OverflowError, message)
        assert refusal(t, complex(0, v), is_complex=True) == (OverflowError, message)
    for v in (float("nan"), float("inf"), -float("inf")):
        message = f"value ({v}) cannot be stored in a variable of type {ikind.name}."
        assert refusal(t, v, is_complex=True) == (OverflowError, message)


def test_complex_integer_examples(km):
    assert element(km.int8, 1.9, is_complex=True) == 1 + 0j
    assert element(km.int8, -1.9, is_complex=True) == -1 + 0j
    assert element(km.int8, 127.9, is_complex=True) == 127
    assert element(km.int8, 1.5 + 2.7j, is_complex=True) == 1 + 2j
    assert refusal(km.int8, 128.0, is_complex=True) == (
        OverflowError, "value (128) cannot be stored in a variable of type int8.")
    assert refusal(km.int16, 1 + 1e20j, is_complex=True) == (
        OverflowError, "value (1e+20) cannot be stored in a variable of type int16.")
    assert refusal(km.uint8, 300.5, is_complex=True) == (
        OverflowError, "value (300.5) cannot be stored in a variable of type uint8.")
    assert element(km.uint8, -0.5, is_complex=True) == 0
    assert refusal(km.uint8, -1, is_complex=True) == (
        OverflowError, "value (-1) cannot be stored in a variable of type uint8.")
    assert element(km.uint64, 2**64 - 1, is_complex=True) == complex(2**64 - 1)


# ---- floating point --------------------------------------------------------------------------

def test_double_values(km):
    assert same_value(element(km.double, -0.0), -0.0)
    assert math.isnan(element(km.double, float("nan")))
    assert element(km.double, 2**63 - 1) == float(2**63 - 1)
    assert element(km.double, True) == 1.0
    assert refusal(km.double, 1j) == (
        TypeError, "kalvo.double does not accept complex values if 'is_complex' is not set to 'True'.")
    assert element(km.double, 1j, is_complex=True) == 1j
    assert element(km.double, 2, is_complex=True) == 2 + 0j


def nearest_single(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.mark.parametrize("value, expected", [
    (1e39, math.inf), (-1e39, -math.inf), (2**70, math.inf), (-2**70, -math.inf),
    (1e38, nearest_single(1e38)), (3.4028234663852886e38, 3.4028234663852886e38),
    (0.1, nearest_single(0.1)), (16777217, 16777216.0), (2**63 - 1, float(2**63)), (-0.0, -0.0),
    (math.nan, math.nan),
])
@pytest.mark.parametrize("is_complex", [False, True], ids=["real", "complex"])
def test_single_values(km, value, expected, is_complex):
    got = element(km.single, value, is_complex=is_complex)
    assert same_value(got, complex(expected, 0) if is_complex else expected)


def test_single_complex_parts(km):
    assert element(km.single, complex(1e39, -1e39), is_complex=True) == complex(math.inf, -math.inf)
    assert refusal(km.single, 1j) == (
        TypeError, "kalvo.single does not accept complex values if 'is_complex' is not set to 'True'.")


# ---- logical ---------------------------------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    (2, True), (0, False), (-1, True), (0.5, True), (0.0, False), (float("nan"), True),
    (-0.0, False), (1j, True), (0j, False), (True, True),
])
def test_logical_by_truth(km, value, expected):
    assert element(km.logical, value) is expected


# ---- values that are not numbers -------------------------------------------------------------

class Floatish:
    def __float__(self):
        return 1.0

    def __index__(self):
        return 1


@pytest.mark.parametrize("value, message", [
    (None, "value must not be 'None'."),
    (decimal.Decimal(1), "type does not match."),
    (fractions.Fraction(1, 2), "type does not match."),
    (Floatish(), "type does not match."),
    ({1: 2}, "type does not match."),
    ({1, 2}, "type does not match."),
    (object(), "type does not match."),
])
def test_non_numbers(kind, array_type, value, message):
    assert refusal(array_type, value) == (TypeError, message)
    if kind.complex_ok:
        assert refusal(array_type, value, is_complex=True) == (TypeError, message)


def test_subclasses_of_numbers_are_read_by_value(km):
    class MyInt(int):
        def __index__(self):
            raise AssertionError("not called")

    class MyFloat(float):
        def __float__(self):
            raise AssertionError("not called")

    class MyComplex(complex):
        pass

    assert element(km.int8, MyInt(7)) == 7
    assert element(km.double, MyFloat(2.5)) == 2.5
    assert element(km.double, MyComplex(1, 2), is_complex=True) == 1 + 2j
    assert refusal(km.int8, MyFloat(2.0))[0] is TypeError

