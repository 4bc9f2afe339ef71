"""iter(a): partial arrays or element values along the active dimension, shared storage, `in`.

Values along sliced views are checked against nested lists in test_reading.
"""
import sys

import pytest

import kalvo
from conftest import tolist


def test_partial_arrays_until_one_dimension_is_left():
    row_vector = kalvo.double([1, 2, 3])
    (item,) = list(row_vector)
    assert type(item) is kalvo.double and list(item) == [1.0, 2.0, 3.0]
    rows = list(kalvo.int16([[1, 2, 3], [4, 5, 6]]))
    assert all(type(r) is kalvo.int16 for r in rows) and [list(r) for r in rows] == [[1, 2, 3], [4, 5, 6]]
    cube = kalvo.double(size=[2, 3, 4])
    assert [len(block) for block in cube] == [3, 3] and [len(r) for r in cube[1]] == [4, 4, 4]


@pytest.mark.parametrize("size, lengths", [([0, 0], []), ([1, 0], [0]), ([3, 0], [0, 0, 0]), ([0, 3], [])])
def test_empty_extents(size, lengths):
    items = list(kalvo.double(size=size))
    assert [len(x) for x in items] == lengths and all(list(x) == [] for x in items)


def test_assignments_during_a_walk_are_seen():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    it = iter(a[0])
    assert next(it) == 1.0
    a[0][1] = 9
    assert next(it) == 9.0
    rows = iter(a)
    next(rows)
    a[1] = [7, 8, 9]
    assert list(next(rows)) == [7.0, 8.0, 9.0]


def test_containment_walks_the_active_dimension():
    a = kalvo.double([1, 2, 3])
    assert 2.0 in a[0] and 2 in a[0]
    assert 5 not in a[0]
    assert 2.0 not in a  # the items of `a` are partial arrays


# A walk made before a reshape goes on from its position in the new layout, and ends where
# that position no longer exists; element (i, j) of the array built holds 10 * i + j.
@pytest.mark.parametrize("size, path, taken, new_size, rest", [
    ([1, 6], (0,), 4, [3, 2], []),              # the next element lies beyond the new extent
    ([2, 6], (1,), 1, [2, 3, 2], []),           # elements, but now two dimensions remain
    ([4, 2], (), 3, [2, 4], []),                # rows beyond the new first extent
    ([1, 6], (0, slice(1, 6)), 2, [3, 2], []),  # a slice bound from the old extent
    ([3, 4], (2, slice(None, None, -1)), 1, [12, 1], []),
    ([3, 4], (slice(1, 3),), 1, [12, 1], [[20]]),
    ([2, 3], (), 1, [3, 2], [[10, 2], [1, 12]]),  # storage 0 10 1 11 2 12 read as 3-by-2
    ([3, 4], (), 1, [2, 6], [[10, 1, 21, 12, 3, 23]]),
    ([3, 4], (), 1, [12, 1], [[10], [20], [1], [11], [21], [2], [12], [22], [3], [13], [23]]),
    ([3, 4], (), 1, [2, 2, 3], [[[10, 21, 3], [1, 12, 23]]]),
])
def test_a_walk_made_before_a_reshape(size, path, taken, new_size, rest):
    a = kalvo.int32([[10 * i + j for j in range(size[1])] for i in range(size[0])])
    view = a
    for key in path:
        view = view[key]
    it = iter(view)
    for _ in range(taken):
        next(it)
    a.reshape(new_size)
    assert [tolist(x) for x in it] == rest
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_walk_over_an_extent_near_the_top_of_the_index_range():
    s = kalvo.int8(size=[sys.maxsize, 0])[::2**62 + 1]
    assert [len(x) for x in s] == [0, 0] == [len(x) for x in s[::-1]]
