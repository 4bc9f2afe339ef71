"""Reading: a[key] one key at a time, partial arrays, len(), iteration and text of what they show.

The oracle is Python's own nested lists: any chain of keys applied to an array must show what
the same chain applied to the nested list of its values shows.
"""
import ctypes
import gc
import random
import sys

import pytest

from conftest import capi, tolist

REFUSED_KEY = "index is not an integer or slice."


class MyInt(int):
    """An int subclass whose text is not its value."""

    def __str__(self):
        return "seven"

    __repr__ = __str__


class Indexable:
    """Integer-like, but not an int subclass."""

    def __index__(self):
        return 0


@pytest.fixture
def a23(km):
    """2-by-3 double [[1, 2, 3], [4, 5, 6]]."""
    return km.double([[1, 2, 3], [4, 5, 6]])


def test_every_variant_shows_the_values_it_was_built_from(km, variant):
    kind, is_complex = variant
    array_type = getattr(km, kind.name)
    row = [3 + 4j, 1, 2.0, 5j] if is_complex else [kind.min, kind.max, *kind.samples]
    a = array_type([row], is_complex=is_complex)
    convert = kind.python_type(is_complex)
    expected = [convert(v) for v in row]
    p = a[0]
    assert len(a) == 1 and type(p) is array_type and len(p) == len(row)
    assert a._is_complex is p._is_complex is is_complex
    for got in ([p[i] for i in range(len(row))], list(p)):  # index reads and iteration
        assert got == expected and all(type(v) is convert for v in got)
    assert p[-1] == expected[-1] and p[-len(row)] == expected[0]
    text = str(expected).replace(" ", "")
    assert str(p) == text and str(a) == f"[{text}]"
    assert repr(a) == f"{kind.qualname}([{text}]{', is_complex=True' if is_complex else ''})"


@pytest.mark.parametrize("key, row", [(0, [1.0, 2.0, 3.0]), (1, [4.0, 5.0, 6.0]),
                                      (-1, [4.0, 5.0, 6.0]), (-2, [1.0, 2.0, 3.0]),
                                      (True, [4.0, 5.0, 6.0]), (False, [1.0, 2.0, 3.0]),
                                      (MyInt(1), [4.0, 5.0, 6.0])])
def test_integer_keys(a23, key, row):
    p = a23[key]
    assert type(p) is type(a23) and len(a23) == 2 and tolist(p) == row
    assert p[2] == row[2] and p[-3] == row[0]


# Keys beyond 64 bits fail like other out-of-range keys, with no other error left behind; the
# message shows the key's value, never a subclass's text. Deletion checks the key first.
@pytest.mark.parametrize("key", ["len", "-len-1", 7, MyInt(7), 2**63 - 1, -2**63, 2**63, -2**63 - 1,
                                 10**30, -10**30, MyInt(10**30), 2**70, -(2**64)])
@pytest.mark.parametrize("target", ["a", "a[1]", "a[0:2]", "a[0][1:]"])
def test_out_of_range_keys(a23, target, key):
    t = eval(target, {"a": a23})
    key = {"len": len(t), "-len-1": -len(t) - 1}.get(key, key)
    message = f"index has an invalid value: {int(key)}"
    for access in (lambda: t[key], lambda: t.__setitem__(key, 1), lambda: t.__delitem__(key)):
        with pytest.raises(IndexError) as info:
            access()
        assert str(info.value) == message and info.value.__context__ is None
    assert tolist(a23) == [[1, 2, 3], [4, 5, 6]]


@pytest.mark.parametrize("key", [1.0, (0, 1), "0", None, [0], b"0", Indexable(), 1j])
def test_refused_keys(a23, key):
    for target in (a23, a23[0]):
        for access in (lambda: target[key], lambda: target.__setitem__(key, [1, 2, 3])):
            with pytest.raises(RuntimeError) as info:
                access()
            assert str(info.value) == REFUSED_KEY


def test_zero_step(a23):
    for target in (a23, a23[0], a23[0][1:]):
        for access in (lambda: target[::0], lambda: target.__setitem__(slice(None, None, 0), [])):
            with pytest.raises(ValueError, match=r"^slice step cannot be zero\.$"):
                access()


def test_sequence_item_slot(a23):
    # sq_item: the interpreter adds the length to a negative index before the slot sees it.
    get = capi("PySequence_GetItem", ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t)
    assert tolist(get(a23, -1)) == [4.0, 5.0, 6.0]
    assert get(get(a23, 0), 2) == 3.0
    with pytest.raises(IndexError, match="^index has an invalid value: -8$"):
        get(a23, -10)


def random_key(rng, n):
    """An integer key (sometimes out of range) or a slice for an extent of n."""
    if rng.random() < 0.35:
        return rng.randint(-n - 2, n + 1)
    bound = lambda: rng.choice([None, rng.randint(-n - 3, n + 3)])  # noqa: E731
    return slice(bound(), bound(), rng.choice([None, 1, 2, 3, 5, -1, -2, -3]))


def test_key_chains_match_nested_lists(km):
    rng = random.Random(20240611)
    for _ in range(3000):
        shape = [rng.randint(0, 5), rng.randint(1, 6)] + ([rng.randint(2, 4)] if rng.random() < 0.3 else [])
        count = 1
        for extent in shape:
            count *= extent
        a = km.double(vector=[float(v) for v in range(count)], size=shape)

        # Element (i, j, k) sits at storage position i + m*j + m*n*k.
        def nested(prefix, offset, stride):
            d = len(prefix)
            if d == len(shape):
                return float(offset)
            return [nested(prefix + [i], offset + i * stride, stride * shape[d]) for i in range(shape[d])]

        # `dims` follows what x.size reports: an integer key drops the first remaining
        # dimension, a slice shortens it and the next key applies to it again.
        x, expected, chain, dims = a, nested([], 0, 1), [], list(shape)
        for _ in range(rng.randint(1, 3)):
            if not isinstance(expected, list):
                break
            key = random_key(rng, len(expected))
            chain.append(key)
            try:
                expected = expected[key]
            except IndexError:
                with pytest.raises(IndexError):
                    x[key]
                break
            x = x[key]
            if isinstance(key, int):
                del dims[0]
            else:
                dims[0] = len(expected)
        else:
            if isinstance(expected, list):
                assert len(x) == len(expected) and x.size == x._size == tuple(dims), (shape, chain)
                assert tolist(x) == expected, (shape, chain)
                assert [tolist(item) for item in x] == expected, (shape, chain)  # iteration
                assert str(x) == str(expected).replace(" ", ""), (shape, chain)
                if expected:
                    k = rng.randrange(-len(expected), len(expected))
                    assert tolist(x[k]) == expected[k], (shape, chain, k)
            else:
                assert x == expected, (shape, chain)


def test_views_and_iterators_outlive_their_source(km):
    a = km.double([[1, 2, 3], [4, 5, 6]])
    row, tail, walk = a[1], a[0][1:], iter(a[1])
    del a
    gc.collect()
    assert tolist(row) == [4.0, 5.0, 6.0] and list(walk) == [4.0, 5.0, 6.0]
    reversed_tail = tail[::-1]
    del tail
    gc.collect()
    assert tolist(reversed_tail) == [3.0, 2.0]
    row[2] = 8  # a partial array keeps the storage alive for writes too
    assert tolist(row) == [4.0, 5.0, 8.0]
    it = iter(km.double([[1, 2]])[0])  # the source is gone at once
    assert iter(it) is it and list(it) == [1.0, 2.0]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


@pytest.mark.parametrize("chain, expected", [
    ((slice(None, None, -2), slice(None, None, sys.maxsize)), [9]),
    ((slice(None, None, 3), slice(-1, None, -sys.maxsize - 1), 0), 9),
])
def test_huge_steps_in_slice_chains(km, chain, expected):
    x = km.int32(list(range(10)))[0]
    for key in chain:
        x = x[key]
    assert (tolist(x) if isinstance(expected, list) else x) == expected


@pytest.mark.parametrize("step", [sys.maxsize, -sys.maxsize - 1])
def test_slice_of_one_position_with_huge_step(a23, step):
    assert tolist(a23[1][1::step]) == [5.0]
    assert len(a23[1::step]) == 1 and tolist(a23[1::step][0]) == [4.0, 5.0, 6.0]


def test_positions_near_the_top_of_the_index_range(km):
    # Only an array without elements, of one-byte elements, has such an extent; the position
    # one step past the last selected one lies beyond the index range.
    s = km.int8(size=[sys.maxsize, 0])[::2**62 + 1]
    for view in (s, s[::1], s[::-1]):
        assert len(view) == 2 and len(view[1]) == 0 and view[1:].size == (1, 0)
