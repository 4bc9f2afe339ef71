"""Cost that follows the element count, the dimension limit, and hostile slice steps."""
import faulthandler
import itertools
import pickle
import resource

import numpy as np
import pytest

import kalvo
from conftest import KINDS, tolist

ARRAY_TYPES = tuple(getattr(kalvo, k.name) for k in KINDS)
TOO_MANY = "number of dimensions ({}) exceeds the maximum of 64."


@pytest.fixture
def quick():
    """Ends the whole run with a traceback if the test hangs: a walk over 2**40 positions stays
    in C code, where no Python-level timeout can interrupt it."""
    faulthandler.dump_traceback_later(60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def walk_equal(a, b):
    """== by its definition: both walks side by side, item by item, through iter()."""
    if type(a) is not type(b):
        return False
    for x, y in itertools.zip_longest(a, b, fillvalue=None):
        if x is None or y is None:
            return x is None and y is None
        if isinstance(x, ARRAY_TYPES) != isinstance(y, ARRAY_TYPES):
            return False
        if not (walk_equal(x, y) if isinstance(x, ARRAY_TYPES) else x == y):
            return False
    return True


def views(size):
    a = kalvo.double(size=size)
    yield a
    if len(a):
        yield a[0]
        yield a[len(a) - 1:]
        yield a[::-1][0]
    yield a[1:1]


SIZES = [[0, 0], [0, 2], [2, 0], [1, 0], [2, 0, 3], [2, 3, 0], [0, 2, 2], [2, 1, 0, 2], [1, 2], [2, 2, 1, 2]]


def test_equality_and_containment_follow_the_walks():
    arrays = [v for s in SIZES for v in views(s)] + [kalvo.single(size=[2, 0]), kalvo.double([[1.0, 0.0]])]
    for a, b in itertools.product(arrays, repeat=2):
        assert (a == b) is walk_equal(a, b) and (a != b) is not walk_equal(a, b), (a.size, b.size)
        expected = any(walk_equal(item, b) if isinstance(item, ARRAY_TYPES) else item == b for item in a)
        assert (b in a) is expected, (a.size, b.size)
    row = arrays[-1]  # [[1.0, 0.0]]: its items are partial arrays, the items of row[0] numbers
    assert 0 in row[0] and 1.0 in row[0] and 2.0 not in row[0] and 1.0 not in row
    assert 1.0 not in kalvo.double(size=[2, 0])


@pytest.mark.parametrize("size", [[2 ** 40, 0], [0, 2 ** 40], [2, 2 ** 40, 0], [1, 2 ** 40, 0, 2 ** 40],
                                  [2 ** 31, 0, 2 ** 31]])
def test_empty_arrays_with_huge_extents_cost_nothing(quick, size):
    a, b = kalvo.int16(size=size), kalvo.int16(size=size)
    assert a == b and not a != b and a != kalvo.int16(size=[3, 0]) and a != kalvo.double(size=size)
    assert len(list(itertools.islice(a, 3))) == min(3, size[0])
    first = next(iter(a), None)
    assert (first in a) is (first is not None) and b not in a
    assert 0 not in a and kalvo.double([[1]]) not in a
    assert a.clone().size == (0,) + tuple(size[1:])
    if size[0]:
        assert a[len(a) - 1].clone().size[0] == 0
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss < 2 * 2 ** 20  # KiB


def many(n):
    return [1] * n + [2]


def nested(dims):
    rows = [True] * dims[-1]
    for extent in reversed(dims[:-1]):
        rows = [rows] * extent
    return rows


MAKERS = {
    "size": lambda dims: kalvo.double(size=dims),
    "vector": lambda dims: kalvo.double(size=dims, vector=[1, 2]),
    "reshape": lambda dims: kalvo.double([7, 8]).reshape(dims),
    "reshape-args": lambda dims: kalvo.double([7, 8]).reshape(*dims),
    "zeros": lambda dims: kalvo.double(size=[0] * len(dims)),
    "nested": lambda dims: kalvo.logical(nested(dims)),
    "buffer": lambda dims: kalvo.double(np.ones(dims)),
}


@pytest.mark.parametrize("how", MAKERS)
@pytest.mark.parametrize("n", [63, 64, 100_000])
def test_dimension_limit(how, n):
    if (how == "nested" and n > 64) or (how == "buffer" and n > 63):
        pytest.skip("deeper nesting is a RecursionError; NumPy makes at most 64 dimensions")
    if n > 63:
        with pytest.raises(ValueError) as info:
            MAKERS[how](many(n))
        assert str(info.value) == TOO_MANY.format(n + 1)
        return
    a = MAKERS[how](many(n))
    assert len(a.size) == n + 1
    assert a == a.clone() and pickle.loads(pickle.dumps(a)) == a
    text = str(a)
    assert repr(a) == f"kalvo.{type(a).__name__}({text})" and text.count("[") == (1 if how == "zeros" else n + 1)
    assert memoryview(a).ndim == n + 1 and np.asarray(a).shape == tuple(a.size)


def test_dimension_limit_comes_after_every_other_check():
    with pytest.raises(kalvo.ShapeError):
        kalvo.double([1, 2, 3], size=many(100))
    with pytest.raises(kalvo.ShapeError):
        kalvo.double([1, 2, 3]).reshape(many(100))
    with pytest.raises(ValueError, match="^reshape.. does not accept keyword arguments"):
        kalvo.double([1, 2]).reshape(many(100), order="F")
    with pytest.raises(ValueError, match="^dimensions specified by 'size' are too large"):
        kalvo.double(size=[2 ** 62, 2, 0] + [1] * 100 + [2])
    assert kalvo.double(size=[2, 3] + [1] * 100).size == (2, 3)  # trailing 1s are dropped first


class RaisingIndex:
    def __index__(self):
        raise KeyError("no index")


@pytest.mark.parametrize("step, error, text", [
    (1.5, TypeError, "slice indices must be integers or None or have an __index__ method"),
    ("2", TypeError, "slice indices must be integers or None or have an __index__ method"),
    (RaisingIndex(), KeyError, "'no index'"),
    (0, ValueError, "slice step cannot be zero."),
])
def test_slice_step_conversion_errors_are_reported(step, error, text):
    a = kalvo.int32([[1, 2, 3], [4, 5, 6]])
    for access in (lambda: a[::step], lambda: a[0][::step], lambda: a[0][1:][::step],
                   lambda: a.__setitem__(slice(None, None, step), []),
                   lambda: a[0].__setitem__(slice(None, None, step), [])):
        with pytest.raises(error) as info:
            access()
        assert str(info.value) == text
    assert tolist(a) == [[1, 2, 3], [4, 5, 6]]
