"""a == b and a != b where the model test does not reach: kinds, complex against real, shapes,
NaN and signed zero, other objects; ordering comparisons are refused."""
import itertools
import operator

import pytest

import kalvo
from conftest import KINDS

NAN = float("nan")


def both(a, b):
    """a == b, checking that a != b is always its opposite."""
    eq, ne = a == b, a != b
    assert type(eq) is bool and type(ne) is bool and eq is not ne
    return eq


def test_complex_and_real_compare_by_value(numeric_kind, km):
    t = getattr(km, numeric_kind.name)
    assert both(t([[1, 2]], is_complex=True), t([[1, 2]]))
    for z in (1 + 1j, 1 + 1j if numeric_kind.min == 0 else 1 - 1j):  # an imaginary part of either sign
        c = t([[z, 2]], is_complex=True)
        assert not both(c, t([[1, 2]])) and not both(t([[1, 2]]), c)
    # Complex integer parts read as doubles, so 2**53 + 1 and 2**53 are the same complex value;
    # real integers read as exact ints.
    big = 2 ** 53
    assert both(kalvo.int64([[big + 1]], is_complex=True), kalvo.int64([[big]], is_complex=True))
    assert not both(kalvo.int64([[big + 1]]), kalvo.int64([[big]]))
    assert not both(kalvo.int64([[big + 1]]), kalvo.int64([[big + 1]], is_complex=True))
    assert both(kalvo.uint64([[big]]), kalvo.uint64([[big + 1]], is_complex=True))


def test_kinds_shapes_nan_and_signed_zero(km):
    arrays = [getattr(km, k.name)([[0, 1]]) for k in KINDS]
    for i, j in itertools.product(range(len(arrays)), repeat=2):
        assert both(arrays[i], arrays[j]) == (i == j)
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    assert not both(kalvo.double([1, 2, 3]), kalvo.double([[1], [2], [3]]))
    assert not both(a, a[0:1]) and not both(a[0], a)
    for row in (a[1], a[1][::-1]):  # element runs of different lengths over the same storage
        assert not both(row, row[0:2]) and not both(row[0:2], row)
    assert both(a, a[0:2]) and both(a[::-1][::-1], a)
    assert both(a[1], kalvo.double([4, 5, 6])[0])
    assert both(a[1][::2], kalvo.double([4, 6])[0]) and both(a[1][::-1], kalvo.double([6, 5, 4])[0])
    assert both(kalvo.double(), kalvo.double(size=[0, 0]))
    assert not both(kalvo.double(), kalvo.double(size=[1, 0]))
    assert not both(kalvo.double(size=[2, 0]), kalvo.double(size=[3, 0]))
    nan = kalvo.double([1, NAN])
    assert not both(nan, nan) and both(nan[0][0:1], nan[0][0:1])
    assert both(kalvo.double([0.0]), kalvo.double([-0.0]))
    true_bytes = kalvo.logical._rebuild((1, 17), False, bytes(range(1, 18)))  # any byte but 0 is true
    assert both(true_bytes, kalvo.logical([[True] * 17]))
    assert not both(kalvo.single([NAN], is_complex=True), kalvo.single([NAN], is_complex=True))


@pytest.mark.parametrize("other", [[[1.0, 2.0]], [1.0, 2.0], None, 1, "12", (1.0, 2.0)])
def test_other_objects_are_never_equal_nor_ordered(other):
    a = kalvo.double([1, 2])
    assert both(a, other) is False and (other == a) is False and (other != a) is True
    for op, (left, right) in itertools.product([operator.lt, operator.le, operator.gt, operator.ge],
                                               [(a, a), (a, other), (other, a), (a, kalvo.int8([1, 2]))]):
        with pytest.raises(NotImplementedError) as info:
            op(left, right)
        assert str(info.value) == "inequality operators not supported."
