"""Reading: keys the model test does not draw (beyond 64 bits, of other types, slice bounds that
run code), extreme slice steps and positions, and views that outlive or lose their source."""
import ctypes
import gc
import random
import sys

import pytest

import kalvo
from conftest import Bound, capi, tolist

REFUSED_KEY = "index is not an integer or slice."


class MyInt(int):
    """An int subclass whose text is not its value."""
    __str__ = __repr__ = lambda self: "seven"


class Indexable:
    """Integer-like, but not an int subclass."""

    def __index__(self):
        return 0


@pytest.fixture
def a23(km):
    """2-by-3 double [[1, 2, 3], [4, 5, 6]]."""
    return km.double([[1, 2, 3], [4, 5, 6]])


# Keys beyond 64 bits fail like other out-of-range keys, with no other error left behind; the
# message shows the key's value, never a subclass's text. Keys of other types are refused.
# Deletion checks the key first.
@pytest.mark.parametrize("key", ["len", "-len-1", 7, MyInt(7), 2**63 - 1, -2**63, 2**63, -2**63 - 1,
                                 10**30, -10**30, MyInt(10**30), 2**70, -(2**64),
                                 1.0, (0, 1), "0", None, [0], b"0", Indexable(), 1j])
@pytest.mark.parametrize("target", ["a", "a[1]", "a[0:2]", "a[0][1:]"])
def test_keys_out_of_range_or_of_other_types(a23, target, key):
    t = eval(target, {"a": a23})
    if key in ("len", "-len-1"):
        key = len(t) if key == "len" else -len(t) - 1
    error, message = (IndexError, f"index has an invalid value: {int(key)}") if isinstance(key, int) \
        else (RuntimeError, REFUSED_KEY)
    for access in (lambda: t[key], lambda: t.__setitem__(key, 1), lambda: t.__delitem__(key)):
        with pytest.raises(error) as info:
            access()
        assert str(info.value) == message and info.value.__context__ is None
    assert tolist(a23) == [[1, 2, 3], [4, 5, 6]]


def test_sequence_item_slot(a23):
    # sq_item: the interpreter adds the length to a negative index before the slot sees it.
    get = capi("PySequence_GetItem", ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t)
    assert tolist(get(a23, -1)) == [4.0, 5.0, 6.0]
    assert get(get(a23, 0), 2) == 3.0
    with pytest.raises(IndexError, match="^index has an invalid value: -8$"):
        get(a23, -10)


@pytest.mark.parametrize("chain, expected", [
    ((0, slice(None, None, -2), slice(None, None, sys.maxsize)), [9]),
    ((0, slice(None, None, 3), slice(-1, None, -sys.maxsize - 1), 0), 9),
    *[((1, slice(1, None, step)), [11]) for step in (sys.maxsize, -sys.maxsize - 1)],  # one position
    *[((slice(1, None, step),), [list(range(10, 20))]) for step in (sys.maxsize, -sys.maxsize - 1)],
])
def test_huge_steps_in_slice_chains(km, chain, expected):
    x = km.int32([list(range(10)), list(range(10, 20))])
    for key in chain:
        x = x[key]
    assert (tolist(x) if isinstance(expected, list) else x) == expected


def test_positions_near_the_top_of_the_index_range(km):
    # Only an array without elements, of one-byte elements, has such an extent; the position
    # one step past the last selected one lies beyond the index range.
    s = km.int8(size=[sys.maxsize, 0])[::2**62 + 1]
    for view in (s, s[::1], s[::-1]):
        assert len(view) == 2 and len(view[1]) == 0 and view[1:].size == (1, 0)
        assert [len(x) for x in view] == [0, 0]  # the walk too


def test_slice_bound_that_reshapes_or_raises_during_a_read():
    for dims in ((3, 2), (6, 1), (2, 3), (1, 6)):
        a = kalvo.double([[1, 2, 3], [4, 5, 6]])
        row = a[1]
        for target, key in ((a, lambda: slice(Bound(0, lambda: a.reshape(*dims)), 2)),
                            (row, lambda: slice(0, Bound(2, lambda: a.reshape(*dims))))):
            try:
                result = target[key()]
            except RuntimeError:  # the positions are gone, or the reshape was noticed
                pass
            else:  # the reshape kept the length the slice was normalised against
                assert tolist(result) == tolist(target)[0:2]
    with pytest.raises(ZeroDivisionError):
        a[0][Bound(0, lambda: 1 / 0):2]


@pytest.mark.parametrize("order", range(6))
def test_deleting_sources_under_views_iterators_and_exports(order):
    """The source goes first; the rest go in a shuffled order, each checked just before it goes."""
    a = kalvo.int16([[1, 2, 3], [4, 5, 6]])
    objects = {"row": a[1], "block": a[0:2][1:], "rows": iter(a), "elements": iter(a[0]),
               "export": memoryview(a), "row-export": memoryview(a[1]), "tail": a[0][1:][::-1]}
    next(objects["rows"]), next(objects["elements"])
    objects["row"][2] = 9  # shared storage; the row's own export was copied before this write
    checks = {"row": (tolist, [4, 5, 9]), "block": (tolist, [[4, 5, 9]]),
              "rows": (lambda it: [tolist(x) for x in it], [[4, 5, 9]]), "elements": (list, [2, 3]),
              "export": (memoryview.tolist, [[1, 2, 3], [4, 5, 9]]),
              "row-export": (memoryview.tolist, [[4, 5, 6]]), "tail": (tolist, [3, 2])}
    del a
    names = list(objects)
    random.Random(order).shuffle(names)
    for name in names:
        gc.collect()
        check, expected = checks[name]
        assert check(objects.pop(name)) == expected, name
    it = iter(kalvo.double([[1, 2]])[0])  # the source is gone at once
    assert iter(it) is it and list(it) == [1.0, 2.0]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


