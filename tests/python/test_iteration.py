"""iter(a) and `in` where the model test does not reach: walks made before a reshape, and
comparisons that change the array being searched."""
import pytest

import kalvo
from conftest import tolist


def test_eq_that_reshapes_or_writes_during_containment():
    class Eq(float):
        def __eq__(self, other):
            action()
            return float.__eq__(self, other)
        __hash__ = float.__hash__

    for dims, found in (((3, 2), False), ((6, 1), False), ((1, 6), None)):
        a = kalvo.double([[1, 2, 3], [4, 5, 6]])
        action = lambda: a.reshape(*dims)  # noqa: E731
        assert (Eq(3.0) in a[0]) in ((False, True) if found is None else (found,))
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    action = lambda: a[0].__setitem__(2, 9)  # noqa: E731
    assert Eq(9.0) in a[0]  # the walk sees the write made during an earlier comparison
    assert Eq(10.0) not in a[0]


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
    # the same extents again: a walk over stepped, reversed and bounded slices goes on unchanged
    ([3, 4], (1, slice(None, None, 2)), 0, [3, 4], [10, 12]),
    ([3, 4], (1, slice(None, None, -1)), 0, [3, 4], [13, 12, 11, 10]),
    ([3, 4], (1, slice(0, 2)), 0, [3, 4], [10, 11]),
    ([3, 4], (2, slice(3, 0, -2)), 1, [3, 4], [21]),
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


