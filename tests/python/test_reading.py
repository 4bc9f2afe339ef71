"""Reading: a[key] one key at a time, partial arrays, len(), and the Python type of each element.

Values are read back by index only (x[i] for i in range(len(x))), so these tests rely on the
subscript and length slots alone, not on iteration or comparison.
"""
import ctypes
import gc
import random
import struct
import sys

import pytest


def values(x):
    """The entries of the active dimension of `x`, read by index."""
    return [x[i] for i in range(len(x))]


def python_type(kind, is_complex=False):
    if is_complex:
        return complex
    return {"d": float, "f": float, "?": bool}.get(kind.fmt, int)


def invalid(key):
    return "index has an invalid value: " + str(int(key))


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
def a23(km, build):
    """2-by-3 double [[1, 2, 3], [4, 5, 6]]."""
    return build(km.double, [[1, 2, 3], [4, 5, 6]])


def test_row_vector_every_kind(kind, array_type, build):
    row = [kind.min, kind.max] + list(kind.samples)
    a = build(array_type, row)
    assert len(a) == 1
    p = a[0]
    assert type(p) is array_type and len(p) == len(row)
    got = values(p)
    assert got == row
    assert all(type(v) is python_type(kind) for v in got)
    assert p[-1] == row[-1] and p[-len(row)] == row[0]
    with pytest.raises(IndexError, match="^index has an invalid value: 1$"):
        a[1]
    with pytest.raises(IndexError, match=f"^index has an invalid value: {len(row)}$"):
        p[len(row)]


def test_complex_elements_every_numeric_kind(km, numeric_kind, build):
    array_type = getattr(km, numeric_kind.name)
    a = build(array_type, [[3 + 4j, 1, 2.0]], is_complex=True)
    got = values(a[0])
    assert got == [3 + 4j, 1 + 0j, 2 + 0j]
    assert all(type(v) is complex for v in got)


def test_single_widens_exactly(km, build):
    a = build(km.single, [0.1, 16777217])
    assert a[0][0] == struct.unpack("f", struct.pack("f", 0.1))[0] == 0.10000000149011612
    assert a[0][1] == 16777216.0


def test_uint64_top_half_stays_positive(km, build):
    a = build(km.uint64, [2**64 - 1, 2**63])
    assert values(a[0]) == [18446744073709551615, 9223372036854775808]


@pytest.mark.parametrize("key, row", [(0, [1.0, 2.0, 3.0]), (1, [4.0, 5.0, 6.0]),
                                      (-1, [4.0, 5.0, 6.0]), (-2, [1.0, 2.0, 3.0]),
                                      (True, [4.0, 5.0, 6.0]), (False, [1.0, 2.0, 3.0]),
                                      (MyInt(1), [4.0, 5.0, 6.0])])
def test_integer_keys(a23, key, row):
    p = a23[key]
    assert type(p) is type(a23) and len(a23) == 2 and len(p) == 3
    assert values(p) == row
    assert p[2] == row[2] and p[-3] == row[0]


@pytest.mark.parametrize("key", [2, -3])
def test_out_of_range_first_dimension(a23, key):
    with pytest.raises(IndexError) as info:
        a23[key]
    assert str(info.value) == invalid(key)


@pytest.mark.parametrize("key", [3, -4, 7, MyInt(7), 2**63 - 1, -2**63, 2**63, -2**63 - 1,
                                 10**30, -10**30, MyInt(10**30)])
def test_out_of_range_keys(a23, key):
    # Keys beyond 64 bits fail exactly like other out-of-range keys, with no other error
    # left behind; the message shows the key's value, never a subclass's text.
    for target in (a23, a23[1], a23[0:2]):
        with pytest.raises(IndexError) as info:
            target[key]
        assert str(info.value) == invalid(key)
        assert info.value.__context__ is None
    assert a23[1][2] == 6.0


@pytest.mark.parametrize("key", [1.0, (0, 1), "0", None, [0], b"0", Indexable(), 1j])
def test_refused_keys(a23, key):
    with pytest.raises(RuntimeError, match=r"^index is not an integer or slice\.$"):
        a23[key]
    with pytest.raises(RuntimeError, match=r"^index is not an integer or slice\.$"):
        a23[0][key]


def test_slices_and_composition(a23):
    s = a23[0:2]
    assert type(s) is type(a23) and len(s) == 2
    assert values(s[1]) == values(a23[1])
    assert s[1][2] == 6.0 and s[-1][0] == 4.0
    assert values(a23[1:][0]) == [4.0, 5.0, 6.0]
    assert a23[0][::-1][0] == 3.0
    assert values(a23[1][::-2]) == [6.0, 4.0]
    assert values(a23[::-1][0]) == [4.0, 5.0, 6.0]


@pytest.mark.parametrize("chain, expected", [
    ((slice(2, 8, 2), slice(1, 3)), [4, 6]),
    ((slice(8, 2, -2), slice(None, None, -1)), [4, 6, 8]),
    ((slice(1, 5), 2), 3),
    ((slice(5, 5), slice(0, 3)), []),
    ((slice(None, None, -1), slice(None, None, -3), slice(1, None)), [3, 6, 9]),
    ((slice(None, None, -2), slice(None, None, sys.maxsize)), [9]),
    ((slice(None, None, 3), slice(-1, None, -sys.maxsize - 1), 0), 9),
])
def test_slice_of_slice_on_extent_ten(km, build, chain, expected):
    x = build(km.int32, list(range(10)))[0]
    for key in chain:
        x = x[key]
    assert (values(x) if isinstance(expected, list) else x) == expected


@pytest.mark.parametrize("step", [sys.maxsize, -sys.maxsize - 1])
def test_slice_of_one_position_with_huge_step(a23, step):
    assert values(a23[1][1::step]) == [5.0]
    assert len(a23[1::step]) == 1 and values(a23[1::step][0]) == [4.0, 5.0, 6.0]


def test_positions_near_the_top_of_the_index_range(km, build):
    # Only an array without elements has such extents; the position one step past the last
    # selected one lies beyond the index range.
    s = build(km.double, size=[sys.maxsize, 0])[::2**62 + 1]
    for view in (s, s[::1], s[::-1]):
        assert len(view) == 2 and len(view[1]) == 0 and view[1:].size == (1, 0)


def test_empty_slice(a23):
    e = a23[0][5:]
    assert len(e) == 0 and values(e) == []
    with pytest.raises(IndexError, match="^index has an invalid value: 0$"):
        e[0]
    assert len(e[1:]) == 0
    assert len(a23[2:2]) == 0


def test_zero_step(a23):
    for target in (a23, a23[0], a23[0][1:]):
        with pytest.raises(ValueError, match=r"^slice step cannot be zero\.$"):
            target[::0]


def test_sequence_item_slot(a23):
    # sq_item: the interpreter adds the length to a negative index before the slot sees it.
    get = ctypes.pythonapi.PySequence_GetItem
    get.restype = ctypes.py_object
    get.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    assert values(get(a23, -1)) == [4.0, 5.0, 6.0]
    assert get(get(a23, 0), 2) == 3.0
    with pytest.raises(IndexError, match="^index has an invalid value: -8$"):
        get(a23, -10)


def test_three_dimensions(km, build):
    nested = [[[100 * i + 10 * j + k for k in range(4)] for j in range(3)] for i in range(2)]
    a = build(km.int16, nested)
    assert len(a) == 2 and len(a[1]) == 3 and len(a[1][2]) == 4
    for i in range(2):
        for j in range(3):
            assert values(a[i][j]) == nested[i][j]
    assert values(a[1][::-1][0]) == nested[1][2]
    assert values(a[::-1][1][1:][1]) == nested[0][2]


def test_oracle_against_list_slicing(km, build):
    rng = random.Random(20240611)

    def bound(n):
        return rng.choice([None, rng.randint(-n - 3, n + 3)])

    def random_slice(n):
        return slice(bound(n), bound(n), rng.choice([None, rng.choice([-3, -2, -1, 1, 2, 3, 5])]))

    for _ in range(3000):
        row = [float(v) for v in range(rng.randint(0, 12))]
        s1, s2 = random_slice(len(row)), random_slice(len(row))
        x = build(km.double, vector=row)[0][s1][s2]
        expected = row[s1][s2]
        assert values(x) == expected, (len(row), s1, s2)
        for key in (len(expected), -len(expected) - 1, rng.randint(len(expected), 20)):
            with pytest.raises(IndexError):
                x[key]
        if expected:
            k = rng.randrange(-len(expected), len(expected))
            assert x[k] == expected[k]


def test_oracle_first_dimension(km, build):
    # Composition on the first dimension, then reads through the second.
    rng = random.Random(7)
    for _ in range(500):
        m = rng.randint(0, 8)
        rows = [[10.0 * i + j for j in range(2)] for i in range(m)]
        flat = [rows[i][j] for j in range(2) for i in range(m)]
        a = build(km.double, vector=flat, size=[m, 2])
        s1 = slice(rng.choice([None, rng.randint(-m - 2, m + 2)]), None, rng.choice([1, -1, 2, -2]))
        s2 = slice(None, rng.choice([None, rng.randint(-m - 2, m + 2)]), rng.choice([1, -1, 3]))
        x = a[s1][s2]
        expected = rows[s1][s2]
        assert len(x) == len(expected)
        assert [values(x[i]) for i in range(len(x))] == expected


def test_partial_arrays_outlive_their_source(km, build):
    a = build(km.double, [[1, 2, 3], [4, 5, 6]])
    p = a[1]
    q = a[0][1:]
    del a
    gc.collect()
    assert values(p) == [4.0, 5.0, 6.0]
    r = q[::-1]
    del q
    gc.collect()
    assert values(r) == [3.0, 2.0]


def test_partial_arrays_share_storage(a23):
    b = a23[0]
    try:
        b[1] = 9
    except NotImplementedError:
        pytest.skip("assignment unavailable")
    assert a23[0][1] == 9.0
    a23[0][2] = 7
    assert b[2] == 7.0


def reshape_or_skip(a, dims):
    try:
        a.reshape(dims)
    except NotImplementedError:
        pytest.skip("reshape unavailable")


OUTSIDE = r"^index is out of range for the array's current shape\.$"


def test_partial_array_after_reshape(km, build):
    a = build(km.double, [[1, 2, 3], [4, 5, 6]])  # storage order 1 4 2 5 3 6
    b, c = a[1], a[0][1:3]

    def refused(x):
        for read in (len, str, repr, lambda x: x[0], lambda x: x[0:1]):
            with pytest.raises(RuntimeError, match=OUTSIDE):
                read(x)

    reshape_or_skip(a, [3, 2])  # b reads the new layout; c's position 2 is gone
    assert values(b) == values(a[1]) == [4.0, 3.0]
    refused(c)
    reshape_or_skip(a, [6, 1])
    assert values(b) == [4.0]
    refused(c)
    reshape_or_skip(a, [1, 6])  # b's row is gone; c fits again
    refused(b)
    assert values(c) == [4.0, 2.0]


def test_fixed_dimensions_vanish_after_reshape(km, build):
    a = build(km.int32, vector=list(range(12)), size=[2, 3, 2])
    p = a[1][2]
    reshape_or_skip(a, [3, 4])  # p fixes two of what are now only two dimensions
    for read in (len, str, lambda x: x[0]):
        with pytest.raises(RuntimeError, match=OUTSIDE):
            read(p)


def test_reshape_while_slice_is_read(km, build):
    a = build(km.double, [[1, 2, 3], [4, 5, 6]])
    reshape_or_skip(a, [2, 3])

    class Reshaping:
        def __index__(self):
            a.reshape([3, 2])
            return 1

    with pytest.raises(RuntimeError, match=r"^the array was reshaped while the slice was read\.$"):
        a[Reshaping():]
    assert len(a) == 3


def test_reads_do_not_leak(km, build):
    a = build(km.int16, [[1, 2, 3], [4, 5, 6]], is_complex=True)
    sys_refs = sys.getrefcount(a)

    def work(i):
        a[1][2]
        a[0][1:3][1]
        len(a[i % 2][::-1])
        for key in (5, 10**30 + i, 1.0, None):
            try:
                a[key]
            except (IndexError, RuntimeError):
                pass
        try:
            a[0][::0]
        except ValueError:
            pass

    for i in range(200):
        work(i)
    gc.collect()
    before = sys.getallocatedblocks()
    for i in range(5000):
        work(i)
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
    assert sys.getrefcount(a) == sys_refs
