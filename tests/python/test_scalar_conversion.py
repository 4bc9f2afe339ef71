"""Conversion of single Python values into elements, against conftest.element_of. Construction is
lenient (a logical element takes any number by its truth) and raises the conversion's own exception;
'vector' raises the same message as ValueError; assignment puts no float or complex into a logical."""
import decimal
import fractions
import math
import struct

import pytest

from conftest import VARIANTS, Unpredictable, element_of, inputs_for, refused, same_value, tolist

OTHERS = [decimal.Decimal(1), fractions.Fraction(1, 2), {1: 2}, {1, 2}]


class Floatish:
    def __float__(self):
        return 1.0

    def __index__(self):
        return 1


def cases():
    for kind, cplx in VARIANTS:
        for value in inputs_for(kind, cplx) + OTHERS + [Floatish()]:
            try:
                yield kind, cplx, value, element_of(kind, value, cplx, True), element_of(kind, value, cplx, False)
            except Unpredictable:
                pass


CASES = list(cases())


def outcome(read):
    try:
        return read()
    except Exception as e:  # noqa: BLE001 - the exception itself is the outcome
        return type(e), str(e)


@pytest.mark.parametrize("k, cplx, value, built, assigned", CASES,
                         ids=[f"{k.name}{'-complex' if c else ''}-{v!r}" for k, c, v, *_ in CASES])
def test_conversion(km, k, cplx, value, built, assigned):
    t = getattr(km, k.name)
    if not isinstance(value, str):  # a nested initializer refuses strings before converting
        got = outcome(lambda: tolist(t([value], is_complex=cplx))[0][0])
        assert got == built if refused(built) else same_value(got, built), got
        got = outcome(lambda: tolist(t(vector=[value], is_complex=cplx))[0][0])
        assert got == (ValueError, built[1]) if refused(built) else same_value(got, built), got
    a = t(size=[1, 2], is_complex=cplx)
    got = outcome(lambda: a[0].__setitem__(1, value) or a[0][1])
    if refused(assigned):
        assert tolist(a) == [[k.python_type(cplx)(0)] * 2]  # a refused value writes nothing
    assert got == assigned if refused(assigned) else same_value(got, assigned), got


def nearest_single(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.mark.parametrize("value, expected", [
    (1e39, math.inf), (-1e39, -math.inf), (2 ** 70, math.inf), (-2 ** 70, -math.inf),
    (1e38, nearest_single(1e38)), (3.4028234663852886e38, 3.4028234663852886e38),
    (0.1, nearest_single(0.1)), (16777217, 16777216.0), (2 ** 63 - 1, float(2 ** 63)), (-0.0, -0.0),
    (math.nan, math.nan), (complex(1e39, -1e39), complex(math.inf, -math.inf)),
])
def test_single_precision_rounding(km, value, expected):
    if not isinstance(value, complex):
        assert same_value(tolist(km.single([value]))[0][0], expected)
    assert same_value(tolist(km.single([value], is_complex=True))[0][0], complex(expected))


class NoisyFloat(float):
    """Conversion hooks that fail loudly: int and float subclasses are read by value, so no
    conversion may run code that could change the array it is working on."""
    calls = []

    def __float__(self):
        NoisyFloat.calls.append(self)
        raise AssertionError("__float__ called")


class NoisyInt(int):
    calls = []

    def __index__(self):
        NoisyInt.calls.append(self)
        raise AssertionError("__index__ called")

    __int__ = __index__


class MyComplex(complex):
    pass


def test_number_subclasses_are_read_by_value_without_their_hooks(km):
    a = km.double([NoisyFloat(1.5), NoisyInt(2)])
    a[0][0] = NoisyFloat(2.5)
    b = km.int8(vector=[NoisyInt(3)], size=[NoisyInt(1), NoisyInt(1)])
    b[NoisyInt(0)][NoisyInt(0)] = NoisyInt(4)
    assert tolist(a) == [[2.5, 2.0]] and tolist(b) == [[4]] and a[NoisyInt(0)][NoisyInt(1)] == 2.0
    assert tolist(km.double([MyComplex(1, 2)], is_complex=True)) == [[1 + 2j]]
    with pytest.raises(TypeError, match="floating-point"):
        km.int8([NoisyFloat(2.0)])
    for value in (7, -2 ** 70):  # out of range: the message shows the value
        message = f"^index has an invalid value: {value}$"
        with pytest.raises(IndexError, match=message):
            a[0][NoisyInt(value)]
        with pytest.raises(IndexError, match=message):
            a[0][NoisyInt(value)] = 1.0
    assert a.reshape(NoisyInt(2), NoisyInt(1)) is a and a.size == (2, 1)
    assert NoisyFloat.calls == [] and NoisyInt.calls == []


def test_complex_integer_parts_truncate_together(km, kind):
    if kind.is_integer and kind.itemsize < 8:
        lo, hi = float(kind.min) - 0.9, float(kind.max) + 0.9
        assert tolist(getattr(km, kind.name)([complex(hi, lo)], is_complex=True)) == [[complex(kind.max, kind.min)]]
