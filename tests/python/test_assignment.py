"""a[key] = value: elements, sub-arrays, slices, shared storage, failures and their messages."""
import random

import pytest

import kalvo
from conftest import tolist as read

DIFFERENT_SHAPE = "unable to perform assignment because the left and right sides have a different shape."
COUNT_MISMATCH = "length of slice does not match number of elements."


def grid(rows, cols):
    return [[float(r * cols + c) for c in range(cols)] for r in range(rows)]


@pytest.fixture
def a34():
    """A 3-by-4 double array holding 0 ... 11 row by row."""
    return kalvo.double(grid(3, 4))


def cycle(values, n):
    return [values[i % len(values)] for i in range(n)]


# --- elements and sub-arrays ----------------------------------------------------------------

def test_elements_and_rows_of_every_kind(kind, array_type):
    a = array_type(size=[3, 4])
    expected = read(a)
    for value in kind.samples:
        a[1][2] = value
        assert a[1][2] == value and type(a[1][2]) is type(value)
    a[-1][-1] = expected[2][3] = expected[1][2] = kind.samples[-1]
    a[0] = expected[0] = cycle(kind.samples[::-1], 4)
    assert read(a) == expected
    with pytest.raises(TypeError):
        a[1] = expected[0][:3] + [None]  # the last value fails: nothing of the row is written
    assert read(a) == expected


def test_complex_elements_and_slices_write_both_parts(numeric_kind, km):
    a = getattr(km, numeric_kind.name)(size=[2, 3], is_complex=True)
    a[1][2] = 3 + 4j
    a[0][1] = 5
    a[0][0] = 2.75  # complex integer elements truncate floats
    first = 2 + 0j if numeric_kind.is_integer else 2.75 + 0j
    assert read(a) == [[first, 5 + 0j, 0j], [0j, 0j, 3 + 4j]]
    assert all(type(v) is complex for row in read(a) for v in row)
    a[0:2] = [1j, 2, 3 + 1j, 4, 0, 1]
    a[1][0:1] = [5 + 5j]
    assert read(a) == [[1j, 2 + 0j, 3 + 1j], [5 + 5j, 0j, 1 + 0j]]


def test_rejected_element_leaves_array_unchanged(kind, array_type):
    q = kind.qualname
    rejected = [(None, TypeError, "value must not be 'None'."), ("x", TypeError, "value is not numeric."),
                ([1], TypeError, "sequence passed when scalar was expected."),
                (object(), TypeError, "type does not match."),
                (1j, TypeError, f"{q} does not accept complex values if 'is_complex' is not set to 'True'.")]
    if not kind.is_float:  # logical too: assignment never takes a float by its truth
        rejected.append((0.5, TypeError, f"{q} does not accept floating-point values."))
    if kind.is_integer:
        for v in (kind.min - 1, kind.max + 1):
            text = f"value ({v}) cannot be stored in a variable of type {kind.name}."
            rejected.append((v, OverflowError, text if kind.itemsize < 8 else None))
    a = array_type([cycle(kind.samples, 4)])
    if kind.is_integer:
        a[0][0], a[0][3] = kind.min, kind.max
    before = read(a)
    for value, exc, message in rejected:
        with pytest.raises(exc) as info:
            a[0][1] = value
        assert message is None or str(info.value) == message
    assert read(a) == before


def test_sub_arrays(a34):
    a34[1] = [1, 2, 3, 4]
    a34[-1] = (5, 6, 7, 8)
    a34[False] = range(4)
    assert read(a34) == [[0, 1, 2, 3], [1, 2, 3, 4], [5, 6, 7, 8]]
    a = kalvo.double(size=[2, 3, 2])
    a[1] = [[1, 2], [3, 4], [5, 6]]
    a[0][2] = [7, 8]
    assert read(a) == [[[0, 0], [0, 0], [7, 8]], [[1, 2], [3, 4], [5, 6]]]
    empty = kalvo.double(size=[2, 0])
    empty[1] = []
    assert read(empty) == [[], []]


@pytest.mark.parametrize("target, key, value", [
    *[("a", 1, v) for v in ([1, 2, 3], [1, 2, 3, 4, 5], 7, [], [[1, 2, 3, 4]], [[1, 2], [3, 4]])],
    *[("a[1]", slice(1, 3), v) for v in (7, [1], [[70, 80]], [1, 2, 3])],
    *[("cube", 1, v) for v in ([1, 2, 3, 4, 5, 6], [[1, 2, 3], [4, 5, 6]], [[[1, 2], [3, 4], [5, 6]]])],
])
def test_shape_mismatch_writes_nothing(a34, target, key, value):
    cube = kalvo.double(size=[2, 3, 2])
    t = eval(target, {"a": a34, "cube": cube})
    with pytest.raises(ValueError) as info:
        t[key] = value
    assert str(info.value) == DIFFERENT_SHAPE
    assert read(a34) == grid(3, 4) and read(cube) == [[[0.0] * 2] * 3] * 2


# --- slices -----------------------------------------------------------------------------------

def test_last_dimension_slice(a34):
    b = a34[1]
    b[1:3] = [70, 80]
    b[::-3] = [-1, -2]
    b[2:2] = []
    a34[0][3:1] = []
    assert read(a34)[:2] == [[0, 1, 2, 3], [-2, 70, 80, -1]]


def test_block_slice_fills_positions_row_by_row(a34):
    a34[0:2] = [1, 2, 3, 4, 5, 6, 7, 8]
    assert read(a34) == [[1, 2, 3, 4], [5, 6, 7, 8], [8, 9, 10, 11]]
    a34[::-2] = [[10, 20, 30, 40], [50, 60, 70, 80]]
    assert read(a34) == [[50, 60, 70, 80], [5, 6, 7, 8], [10, 20, 30, 40]]
    cube = kalvo.double(size=[2, 3, 2])
    cube[0:2] = range(12)
    cube[0][1:3] = [-1, -2, -3, -4]
    assert read(cube) == [[[0, 1], [-1, -2], [-3, -4]], [[6, 7], [8, 9], [10, 11]]]


def test_block_slice_count_mismatch_keeps_the_pairs_written(a34):
    with pytest.raises(ValueError) as info:
        a34[0:2] = [-1, -2, -3]
    assert str(info.value) == COUNT_MISMATCH
    assert read(a34) == [[-1, -2, -3, 3], [4, 5, 6, 7], [8, 9, 10, 11]]
    with pytest.raises(ValueError) as info:
        a34[2:] = range(100, 106)
    assert str(info.value) == COUNT_MISMATCH
    assert read(a34)[2] == [100, 101, 102, 103]
    with pytest.raises(ValueError, match=COUNT_MISMATCH):  # no positions below the slice
        kalvo.double(size=[2, 0])[0:2] = [1]


def test_block_slice_conversion_error_writes_nothing(a34):
    with pytest.raises(TypeError):
        a34[0:2] = [1, 2, 3, 4, 5, 6, 7, None]
    assert read(a34) == grid(3, 4)


@pytest.mark.parametrize("key, value, message", [
    (slice(1, 1), [1], "slice is empty, but number of elements assigned is greater than zero."),
    (slice(5, None), 1, "slice is empty, but number of elements assigned is greater than zero."),
    (slice(0, 2), [], "slice is nonempty but values are empty."),
    (slice(0, 2), [[], []], "slice is nonempty but values are empty."),
])
def test_block_slice_empty_sides(a34, key, value, message):
    a34[1:1] = []
    with pytest.raises(ValueError) as info:
        a34[key] = value
    assert str(info.value) == message
    assert read(a34) == grid(3, 4)


# --- deletion and shared storage -------------------------------------------------------------

@pytest.mark.parametrize("path", [(0,), (0, 0), (slice(0, 1),), (0, slice(0, 2)), (slice(0, 2), 1)])
def test_deletion_is_refused(a34, path):
    target = a34
    for key in path[:-1]:
        target = target[key]
    with pytest.raises(RuntimeError) as info:
        del target[path[-1]]
    assert str(info.value) == "null data pointer."
    assert read(a34) == grid(3, 4)


def test_sliced_views_write_through(a34):
    c = a34[0][1:4]
    c[0], c[-1] = 50, 60
    assert read(a34)[0] == [0, 50, 2, 60]
    c[0:2] = [70, 80]
    c[::-1][0] = 90  # a slice of a slice still names a[0][3]
    assert read(a34)[0] == [0, 70, 80, 90]
    with pytest.raises(IndexError):
        c[3] = 1
    rows = a34[1:3]
    rows[1] = [1, 2, 3, 4]
    rows[0:1] = [5, 6, 7, 8]
    a34[::2][0:2] = [[0] * 4, [9] * 4]
    assert read(a34) == [[0] * 4, [5, 6, 7, 8], [9] * 4]


def test_a_write_through_any_sharer_is_seen_by_all(a34):
    row, part, walk, first_row = a34[1], a34[1][1:3], iter(a34[1]), next(iter(a34))
    row[0] = -1
    part[0] = -2
    a34[1][2] = -3
    first_row[3] = -4
    assert read(a34)[0] == [0, 1, 2, -4]
    assert read(row) == [-1, -2, -3, 7] and read(part) == [-2, -3]
    assert list(walk) == [-1, -2, -3, 7]


def test_an_array_may_be_assigned_from_itself(a34):
    a34[2] = a34[0]
    a34[0:2] = a34[1:3]
    assert read(a34) == [[4, 5, 6, 7], [0, 1, 2, 3], [0, 1, 2, 3]]


# --- oracles: Python's list slicing ---------------------------------------------------------

def random_slice(rng, n):
    pick = lambda: rng.choice([None, rng.randint(-n - 3, n + 3)])  # noqa: E731
    return slice(pick(), pick(), rng.choice([None, 1, 2, 3, -1, -2, -3]))


def test_slice_and_slice_of_slice_assignment_match_lists():
    rng = random.Random(20240611)
    for _ in range(2500):
        n = rng.randint(0, 9)
        chain = [random_slice(rng, n) for _ in range(rng.randint(1, 2))]
        positions = list(range(n))
        for s in chain:
            positions = positions[s]
        v = [rng.uniform(-100, 100) for _ in positions]
        r = [float(x) for x in range(n)]
        for p, x in zip(positions, v):
            r[p] = x
        b = kalvo.double([[float(x) for x in range(n)]] if n else [[]])
        target = b[0]
        for s in chain[:-1]:
            target = target[s]
        target[chain[-1]] = v
        assert [b[0][j] for j in range(n)] == r, (n, chain)


def test_block_assignment_matches_row_slices():
    rng = random.Random(3)
    for _ in range(500):
        m, n = rng.randint(1, 5), rng.randint(1, 4)
        rows, s = grid(m, n), random_slice(rng, m)
        chosen = list(range(m))[s]
        if not chosen:
            continue
        v = [float(-x) for x in range(len(chosen) * n)]
        b = kalvo.double(rows)
        b[s] = v
        for j, i in enumerate(chosen):
            rows[i] = v[j * n:(j + 1) * n]
        assert read(b) == rows, (m, n, s)
