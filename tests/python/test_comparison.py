"""a == b and a != b against Python's == on element values; ordering comparisons are refused."""
import operator
import random

import pytest

import kalvo
from conftest import KINDS, tolist as values

NAN = float("nan")


def both(a, b):
    """a == b, checking that a != b is always its opposite."""
    eq, ne = a == b, a != b
    assert type(eq) is bool and type(ne) is bool and eq is not ne
    return eq


def test_every_kind_agrees_with_python_equality_of_the_values(kind, array_type):
    rng = random.Random(kind.name)
    flags = (False, True) if kind.complex_ok else (False,)
    for _ in range(300):
        x = [[rng.choice(kind.samples) for _ in range(3)] for _ in range(2)]
        y = [[rng.choice(kind.samples[:2]) if rng.random() < 0.2 else v for v in row] for row in x]
        a, b = array_type(x, is_complex=rng.choice(flags)), array_type(y, is_complex=rng.choice(flags))
        assert both(a, b) == (values(a) == values(b))
        assert both(a[1], b[1][::-1][::-1]) == (values(a)[1] == values(b)[1])
    assert both(a, a)


def test_kinds_must_match(km):
    arrays = [getattr(km, k.name)([[0, 1]]) for k in KINDS]
    for i, x in enumerate(arrays):
        for j, y in enumerate(arrays):
            assert both(x, y) == (i == j)


def test_complex_and_real_compare_by_value(numeric_kind, km):
    t = getattr(km, numeric_kind.name)
    assert both(t([[1, 2]], is_complex=True), t([[1, 2]]))
    assert not both(t([[1 + 1j, 2]], is_complex=True), t([[1, 2]]))
    # Complex integer parts read as doubles, so 2**53 + 1 and 2**53 are the same complex value;
    # real integers read as exact ints.
    big = 2 ** 53
    assert both(kalvo.int64([[big + 1]], is_complex=True), kalvo.int64([[big]], is_complex=True))
    assert not both(kalvo.int64([[big + 1]]), kalvo.int64([[big]]))
    assert not both(kalvo.int64([[big + 1]]), kalvo.int64([[big + 1]], is_complex=True))
    assert both(kalvo.uint64([[big]]), kalvo.uint64([[big + 1]], is_complex=True))


@pytest.mark.parametrize("other", [[[1.0, 2.0]], [1.0, 2.0], None, 1, "12", (1.0, 2.0)])
def test_other_objects_are_never_equal(other):
    a = kalvo.double([1, 2])
    assert both(a, other) is False
    assert (other == a) is False and (other != a) is True


def test_shapes():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    assert not both(kalvo.double([1, 2, 3]), kalvo.double([[1], [2], [3]]))
    assert not both(a, a[0:1]) and not both(a[0], a)
    assert both(a, a[0:2]) and both(a[::-1][::-1], a)
    assert both(a[1], kalvo.double([4, 5, 6])[0])
    assert both(kalvo.double(), kalvo.double(size=[0, 0]))
    assert not both(kalvo.double(), kalvo.double(size=[1, 0]))
    assert not both(kalvo.double(size=[2, 0]), kalvo.double(size=[3, 0]))


def test_nan_and_signed_zero():
    a = kalvo.double([1, NAN])
    assert not both(a, a)
    assert both(a[0][0:1], a[0][0:1])
    assert both(kalvo.double([0.0]), kalvo.double([-0.0]))
    assert not both(kalvo.single([NAN], is_complex=True), kalvo.single([NAN], is_complex=True))


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_ordering_is_refused(op):
    a = kalvo.double([1, 2])
    for left, right in ((a, a), (a, 0), (0, a), (a, kalvo.int8([1, 2]))):
        with pytest.raises(NotImplementedError) as info:
            op(left, right)
        assert str(info.value) == "inequality operators not supported."


def test_equality_matches_python_equality_of_nested_lists():
    rng = random.Random(11)

    def matrix(rows, cols, complex_values):
        pool = [0.0, 1.0, 2.0] + ([1 + 0j, 1j, 2 - 1j] if complex_values else [])
        # A fresh NaN per cell: Python's list == takes identical objects as equal.
        return [[float("nan") if rng.random() < 0.05 else rng.choice(pool) for _ in range(cols)]
                for _ in range(rows)]

    for _ in range(2000):
        shape = (rng.randint(1, 3), rng.randint(0, 3))
        cx, cy = rng.random() < 0.3, rng.random() < 0.3
        x = matrix(*shape, cx)
        if rng.random() < 0.5:
            y, cy = [[float("nan") if v != v else v for v in row] for row in x], cx
        else:
            y = matrix(*(shape if rng.random() < 0.7 else (rng.randint(1, 3), rng.randint(0, 3))), cy)
        assert both(kalvo.double(x, is_complex=cx), kalvo.double(y, is_complex=cy)) == (x == y), (x, y)


def test_sliced_views_agree_with_list_slices():
    rng = random.Random(5)
    pick = lambda n: rng.choice([None, rng.randint(-n - 2, n + 2)])  # noqa: E731
    for _ in range(1500):
        n = rng.randint(1, 7)
        row = [float(rng.randint(0, 2)) for _ in range(n)]
        s1, s2 = (slice(pick(n), pick(n), rng.choice([None, 1, 2, -1, -2])) for _ in range(2))
        a, b = kalvo.double([row]), kalvo.double([row], is_complex=rng.random() < 0.3)
        assert both(a[0][s1], b[0][s2]) == (row[s1] == row[s2]), (row, s1, s2)
