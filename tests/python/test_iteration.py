"""iter(a): partial arrays or element values along the active dimension, shared storage, `in`."""
import sys

import pytest

import kalvo


def read(a):
    """Nested list of a (partial) array's values, read back one index at a time."""
    return [read(x) if type(x) is type(a) else x for x in (a[i] for i in range(len(a)))]


def test_element_values_of_every_kind(kind, array_type):
    a = array_type([list(kind.samples)])
    values = list(a[0])
    assert values == list(kind.samples)
    assert [type(v) for v in values] == [type(v) for v in kind.samples]


def test_complex_elements(numeric_kind, km):
    a = getattr(km, numeric_kind.name)([[1 + 2j, 3], [4j, 5]], is_complex=True)
    assert [list(row) for row in a] == [[1 + 2j, 3 + 0j], [4j, 5 + 0j]]
    assert all(type(v) is complex for v in a[1])


def test_partial_arrays_until_one_dimension_is_left():
    row_vector = kalvo.double([1, 2, 3])
    (item,) = list(row_vector)
    assert type(item) is kalvo.double and list(item) == [1.0, 2.0, 3.0] == list(row_vector[0])
    a = kalvo.int16([[1, 2, 3], [4, 5, 6]])
    rows = list(a)
    assert len(rows) == 2 and all(type(r) is kalvo.int16 for r in rows)
    assert [list(r) for r in rows] == [[1, 2, 3], [4, 5, 6]]
    cube = kalvo.double(size=[2, 3, 4])
    assert [len(block) for block in cube] == [3, 3]
    assert [len(r) for r in cube[1]] == [4, 4, 4]


@pytest.mark.parametrize("size, lengths", [([0, 0], []), ([1, 0], [0]), ([3, 0], [0, 0, 0]), ([0, 3], [])])
def test_empty_extents(size, lengths):
    a = kalvo.double(size=size)
    items = list(a)
    assert [len(x) for x in items] == lengths
    assert all(list(x) == [] for x in items)
    assert list(kalvo.double()) == []


def test_walk_over_an_extent_near_the_top_of_the_index_range():
    s = kalvo.double(size=[sys.maxsize, 0])[::2**62 + 1]
    assert [len(x) for x in s] == [0, 0] == [len(x) for x in s[::-1]]


@pytest.mark.parametrize("path, expected", [
    ((0, slice(None, None, -1)), [3, 2, 1, 0]),
    ((0, slice(1, 3)), [1, 2]),
    ((0, slice(5, None)), []),
    ((0, slice(None, None, 2), slice(None, None, -1)), [2, 0]),
    ((0, slice(-1, 0, -2)), [3, 1]),
])
def test_walks_over_sliced_views(path, expected):
    view = kalvo.double([[0, 1, 2, 3], [4, 5, 6, 7]])
    for key in path:
        view = view[key]
    assert list(view) == expected


def test_walks_over_sliced_rows():
    a = kalvo.double([[0, 1], [2, 3], [4, 5]])
    assert [list(r) for r in a[1:3]] == [[2, 3], [4, 5]]
    assert [list(r) for r in a[::-2]] == [[4, 5], [0, 1]]
    assert list(a[3:]) == []


def test_end_is_final_and_the_storage_lives_on():
    it = iter(kalvo.double([[1, 2]])[0])  # the source is gone at once
    assert iter(it) is it
    assert list(it) == [1.0, 2.0]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert [list(r) for r in iter(kalvo.double([[1], [2]]))] == [[1.0], [2.0]]


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


def _reshape_or_skip(a, dims):
    try:
        a.reshape(dims)
    except NotImplementedError as e:
        pytest.skip(f"reshape unavailable: {e}")


@pytest.mark.parametrize("size, path, taken, new_size", [
    ([1, 6], (0,), 4, [3, 2]),              # the next element lies beyond the new extent
    ([2, 6], (1,), 1, [2, 3, 2]),           # elements, but now two dimensions remain
    ([4, 2], (), 3, [2, 4]),                # rows beyond the new first extent
    ([1, 6], (0, slice(1, 6)), 2, [3, 2]),  # a slice bound from the old extent
])
def test_a_reshape_never_lets_a_walk_read_outside(size, path, taken, new_size):
    a = kalvo.double(size=size)
    _reshape_or_skip(a, size)
    view = a
    for key in path:
        view = view[key]
    it = iter(view)
    for _ in range(taken):
        next(it)
    a.reshape(new_size)
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_a_walk_follows_a_reshape_that_keeps_its_position():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    _reshape_or_skip(a, [2, 3])
    it = iter(a)
    next(it)
    a.reshape([3, 2])
    # Storage order 1, 4, 2, 5, 3, 6 read as 3-by-2: rows (1, 5), (4, 3), (2, 6).
    assert [read(r) for r in it] == [[4.0, 3.0], [2.0, 6.0]]


def test_iterating_a_stale_partial_array_is_refused():
    a = kalvo.double(size=[3, 2])
    last = a[2]
    _reshape_or_skip(a, [2, 3])
    with pytest.raises(RuntimeError):
        iter(last)


def test_iteration_does_not_leak():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    c = kalvo.int8([[1, 2], [3, 4]], is_complex=True)

    def run(times):
        for _ in range(times):
            for row in a:
                list(row)
            list(a[1][::-1])
            list(c)
            list(kalvo.double())
            it = iter(a[0])
            next(it)
            del it

    run(200)
    before = sys.getallocatedblocks()
    run(3000)
    assert sys.getallocatedblocks() - before < 50
