"""a[key] = value beyond what the model test draws: rows that fall short, deletion, and values or
slice bounds that lie about themselves or change the target while they are read. A failed
assignment that never reached its first write leaves the array as it was."""
import pytest

import kalvo
from conftest import Bound, Seq, boom, shrink, tolist as read

RESHAPED = "the array was reshaped while the assigned value was read."


def grid(rows, cols):
    return [[float(r * cols + c) for c in range(cols)] for r in range(rows)]


def storage(a):
    """Every element of a full real array in storage order (unchanged by reshape)."""
    return list(a.noncomplex())


@pytest.mark.parametrize("target, key, value", [
    ("a[1]", slice(1, 3), [[70, 80]]), ("a[1]", slice(1, 3), 7), ("a[1]", slice(0, 3), [70, 80]),
    ("a[1]", slice(1, 3), [70, 80, 90]), ("a", 1, [[1, 2, 3, 4]]), ("a", 1, 7),
    ("cube", 1, [1, 2, 3, 4, 5, 6]), ("cube", 1, [[[1, 2], [3, 4], [5, 6]]]), ("cube[0]", 1, [[1, 2]]),
    ("a", 1, [1, 2, 3]), ("cube", 1, [[1, 2], [3, 4]]), ("cube[0]", 1, [1]),  # rows that fall short
])
def test_shape_mismatch_writes_nothing(target, key, value):
    a, cube = kalvo.double(grid(3, 4)), kalvo.double(size=[2, 3, 2])
    with pytest.raises(ValueError, match="^unable to perform assignment because the left and right sides"):
        eval(target)[key] = value
    assert read(a) == grid(3, 4) and read(cube) == [[[0.0] * 2] * 3] * 2


@pytest.mark.parametrize("path", [(0,), (0, 0), (slice(0, 1),), (0, slice(0, 2)), (slice(0, 2), 1)])
def test_deletion_is_refused(path):
    target = a = kalvo.double(grid(3, 4))
    for key in path[:-1]:
        target = target[key]
    with pytest.raises(RuntimeError, match=r"^null data pointer\.$"):
        del target[path[-1]]
    assert read(a) == grid(3, 4)


# ---- values that lie about themselves --------------------------------------------------------

def assignments(a):
    """(name, assign(value)) for every assignment routine of a 2-by-3 array."""
    return [("row", lambda v: a.__setitem__(0, v)),
            ("last-slice", lambda v: a[0].__setitem__(slice(0, 3), v)),
            ("block", lambda v: a.__setitem__(slice(0, 1), v))]


@pytest.mark.parametrize("lie", [
    lambda: Seq([7, 8, 9], 4), lambda: Seq([7, 8, 9], on_get=boom), lambda: Seq([7, 8, 9], on_get=shrink),
    lambda: Seq([7, 8, 9], -1), lambda: Seq([7, 8, 9], 2 ** 62), lambda: [7, Seq([8], 2), 9],
])
def test_lying_values_leave_the_target_unchanged(lie):
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    for name, assign in assignments(a):
        # A promised length of 2**62 asks for storage before the missing item shows.
        with pytest.raises((RuntimeError, ValueError, MemoryError)):
            assign(lie())
        assert read(a) == [[1, 2, 3], [4, 5, 6]], name


def test_shorter_length_assigns_the_reported_items():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    a[1] = Seq([7, 8, 9, 10], 3)
    a[0][0:2] = Seq([5, 6, 7], 2)
    assert read(a) == [[5, 6, 3], [7, 8, 9]]


# ---- callbacks that change the very array being assigned to -----------------------------------

@pytest.mark.parametrize("action", ["reshape", "reshape-same", "write", "clone", "export", "drop-views"])
def test_value_whose_fetch_changes_the_target(action):
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    extra = [a[1], iter(a), a[0:1]]
    act = {"reshape": lambda: a.reshape(3, 2), "reshape-same": lambda: a.reshape(2, 3),
           "write": lambda: a[1].__setitem__(0, 42), "clone": lambda: extra.append(a.clone()),
           "export": lambda: extra.append(memoryview(a)), "drop-views": extra.clear}[action]
    for name, assign in assignments(a):
        a.reshape(2, 3)
        before = storage(a)
        value = Seq([7, 8, 9], on_get=lambda seq, i: i == 1 and act())
        if action == "reshape":
            with pytest.raises(RuntimeError) as info:
                assign(value)
            assert str(info.value) == RESHAPED, name
            a.reshape(2, 3)
            assert storage(a) == before, name
        else:
            assign(value)
            assert read(a)[0] == [7, 8, 9], name
        for m in [x for x in extra if isinstance(x, memoryview)]:
            m.release()


def test_slice_bound_that_reshapes_during_an_assignment():
    for dims in ((3, 2), (6, 1), (1, 6)):
        a = kalvo.double([[1, 2, 3], [4, 5, 6]])
        before = storage(a)
        # last-dimension slice, block slice, block slice through a trailing slice
        for target, stop, value in ((lambda: a[0], 2, [7, 8]), (lambda: a, 1, [7, 8, 9]),
                                    (lambda: a[0:2], 1, [7, 8, 9])):
            view = target()
            with pytest.raises(RuntimeError) as info:
                view[Bound(0, lambda: a.reshape(*dims)):stop] = value
            assert str(info.value) == RESHAPED
            a.reshape(2, 3)
            assert storage(a) == before
    with pytest.raises(ZeroDivisionError):
        a[0][Bound(0, lambda: 1 / 0):2] = [5, 6]
    assert storage(a) == before


def test_slice_bound_that_writes_or_exports_during_an_assignment():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    a[0][Bound(0, lambda: a[0].__setitem__(2, 99)):2] = [7, 8]  # the callback's write stays
    assert read(a) == [[7, 8, 99], [4, 5, 6]]
    views = []
    a[Bound(1, lambda: views.append(memoryview(a))):2] = [0, 0, 0]  # exported mid-assignment
    assert views[0].tolist() == [[7, 8, 99], [0, 0, 0]]
    with pytest.raises(RuntimeError, match=r"^the array was reshaped while the slice was read\.$"):
        a[Bound(0, lambda: a.reshape(3, 2)):1]  # reshaped under a live export
    assert a.size == (3, 2) and views[0].tolist() == [[7, 8, 99], [0, 0, 0]]
    views[0].release()
