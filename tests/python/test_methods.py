"""reshape beyond what the model test draws: argument forms and refusals, extents beyond 64 bits,
objects a reshape left behind, and writes to clones.
clone and real/imag/noncomplex are checked by the model test."""
import pickle

import pytest

import kalvo
from conftest import Seq, boom, flatten, tolist

RESHAPE_ARGS = "reshape() must be passed a nonempty sequence of nonnegative integers."
OUTSIDE = "index is out of range for the array's current shape."


@pytest.fixture
def six():
    return kalvo.double([[1, 2, 3], [4, 5, 6]])


# --- reshape ------------------------------------------------------------------------------

def test_reshape_returns_the_same_array_reading_storage_with_new_dimensions(six):
    row = six[0]
    assert six.reshape(range(3, 1, -1)) is six  # other forms are drawn by the model test
    assert six.size == (3, 2) and six[0][1] == 5.0
    assert tolist(six) == [[1.0, 5.0], [4.0, 3.0], [2.0, 6.0]]
    assert tolist(row) == [1.0, 5.0]  # seen through every object sharing the storage
    empty = kalvo.double()
    with pytest.raises(ValueError, match=r"^reshape\(\) dimensions are too large.$"):
        empty.reshape(2 ** 62, 4, 0)
    assert empty.reshape(0, 5).size == (0, 5) and empty.reshape(0, 2 ** 62).size == (0, 2 ** 62)
    assert empty.reshape(0, 2 ** 40, 2 ** 40).size == (0, 2 ** 40, 2 ** 40)  # strides after a 0 are all 0


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((4, 2), {}, kalvo.ShapeError,
     "number of elements specified by arguments to reshape() (8) does not match current number (6)."),
    ((2, 2), {}, kalvo.ShapeError,  # fewer elements are refused as well as more
     "number of elements specified by arguments to reshape() (4) does not match current number (6)."),
    ((4, 2), {"order": "C"}, kalvo.ShapeError,
     "number of elements specified by arguments to reshape() (8) does not match current number (6)."),
    ((2 ** 62, 4), {}, kalvo.ShapeError,
     "number of elements specified by arguments to reshape() (18446744073709551616) does not match "
     "current number (6)."),
    ((2 ** 32, 2 ** 32, 2 ** 32), {}, kalvo.ShapeError,
     f"number of elements specified by arguments to reshape() ({2 ** 96}) does not match current number (6)."),
    ((2 ** 63, 1), {}, ValueError, RESHAPE_ARGS),
    ((3, 2), {"order": "C"}, ValueError, "reshape() does not accept keyword arguments."),
    *[(args, {}, ValueError, RESHAPE_ARGS) for args in [(), (6,), ([6],), ([],), ("32",), (2, -3), (2.0, 3),
                                                       ([2, 2.0],), ([2**70, 2],)]],
    ((Seq([1, 2], on_get=boom),), {}, RuntimeError,
     "Item 0 could not be retrieved from the value passed to reshape()."),
])
def test_reshape_refusals_leave_the_array_unchanged(six, args, kwargs, error, message):
    with pytest.raises(error) as info:
        six.reshape(*args, **kwargs)
    assert str(info.value) == message
    assert six.size == (2, 3) and tolist(six) == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


# --- partial arrays made before a reshape ---------------------------------------------------

# Each use of a partial array, returning the values it read (nothing for those that read none).
USES = {
    "items": lambda p: [p[j] for j in range(min(len(p), 4))], "iterate": list,
    "slice": lambda p: p[0:1], "in": lambda p: [1 in p][:0], "compare": lambda p: [p == p][:0],
    "len": lambda p: [len(p)][:0], "str": lambda p: [str(p)][:0], "repr": lambda p: [repr(p)][:0],
    "assign": lambda p: p.__setitem__(0, -1) or [], "assign_slice": lambda p: p.__setitem__(slice(0, 1), [-1]) or [],
    "clone": lambda p: tolist(p.clone()), "pickle": lambda p: tolist(pickle.loads(pickle.dumps(p))),
    "noncomplex": lambda p: list(p.noncomplex()), "toarray": lambda p: p.toarray().tolist(),
    "memoryview": lambda p: memoryview(p).tolist(),
}


@pytest.mark.parametrize("use", USES.values(), ids=USES.keys())
def test_partial_arrays_whose_position_is_gone_refuse_every_use(use):
    message = "null data pointer." if use is USES["memoryview"] else OUTSIDE

    def refused(p):
        with pytest.raises(RuntimeError) as info:
            use(p)
        assert str(info.value) == message

    a = kalvo.double([[1, 2, 3], [4, 5, 6]])  # storage order 1 4 2 5 3 6
    b, c = a[1], a[0][1:3]
    a.reshape(3, 2)  # b reads the new layout; c's position 2 is gone
    assert tolist(b) == tolist(a[1]) == [4.0, 3.0]
    refused(c)
    a.reshape(6, 1)
    assert tolist(b) == [4.0]
    refused(c)
    a.reshape(1, 6)  # b's row is gone; c fits again
    refused(b)
    assert tolist(c) == [4.0, 2.0]
    cube = kalvo.int32(vector=list(range(12)), size=[2, 3, 2])
    fixed = cube[1][2]
    cube.reshape(3, 4)  # fixed names two of what are now only two dimensions
    if use in (USES["assign"], USES["assign_slice"]):
        message = "too many indices."  # an integer key or a write finds no dimension left first
    refused(fixed)
    with pytest.raises(RuntimeError, match=r"^too many indices\.$"):
        fixed[0]


@pytest.mark.parametrize("path", [(), (1,), (slice(None, None, -1),), (0, slice(1, None))])
def test_writes_to_a_clone_never_reach_its_source(path):
    """A clone may share storage with what its source keeps for later clones and exports until
    one of them writes: then the writer gets a copy of its own."""
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    source = a
    for key in path:
        source = source[key]
    shown = tolist(source)
    first = source.clone()
    first[0][0] = 99
    again = source.clone()
    assert tolist(source) == shown and tolist(again) == tolist(source.clone())
    assert flatten(memoryview(source).tolist()) == flatten(shown)
    again[0][0] = -1
    assert tolist(first)[0][0] == 99 and tolist(source) == shown
