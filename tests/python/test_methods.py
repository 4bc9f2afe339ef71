"""reshape, clone, real/imag/noncomplex, and partial arrays that a reshape left behind."""
import pickle

import numpy as np
import pytest

import kalvo
from conftest import COMPLEX_2x3, tolist, values_2x3

RESHAPE_ARGS = "reshape() must be passed a nonempty sequence of nonnegative integers."
OUTSIDE = "index is out of range for the array's current shape."


def nested(a):
    """The values a shows, as nested lists (the pickled form)."""
    return a.__reduce__()[1][1]


def storage_order(values):
    """Nested 2-D values flattened first index fastest."""
    return [values[i][j] for j in range(len(values[0])) for i in range(len(values))]


@pytest.fixture
def six():
    return kalvo.double([[1, 2, 3], [4, 5, 6]])


# --- reshape ------------------------------------------------------------------------------

class Unreadable:
    """A sequence of two items, neither of which can be fetched."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise KeyError(i)


@pytest.mark.parametrize("call", [lambda a: a.reshape(3, 2), lambda a: a.reshape((3, 2)), lambda a: a.reshape([3, 2]),
                                  lambda a: a.reshape(range(3, 1, -1))], ids=["separate", "tuple", "list", "range"])
def test_reshape_returns_the_same_array_reading_storage_with_new_dimensions(six, call):
    row = six[0]
    assert call(six) is six
    assert six.size == (3, 2) and six[0][1] == 5.0
    assert nested(six) == [[1.0, 5.0], [4.0, 3.0], [2.0, 6.0]]
    assert tolist(row) == [1.0, 5.0]  # seen through every object sharing the storage


@pytest.mark.parametrize("dims, size", [((3, 2), (3, 2)), ((6, 1), (6, 1)), ((1, 6, 1, 1), (1, 6)),
                                        ((2, 1, 3), (2, 1, 3)), ((True, 6), (1, 6))])
def test_reshape_keeps_storage_order_for_every_variant(km, variant, dims, size):
    kind, is_complex = variant
    a = getattr(km, kind.name)(values_2x3(kind, is_complex), is_complex=is_complex)
    before = np.array(nested(a), dtype=object)
    assert a.reshape(*dims) is a
    assert a.size == size
    assert a.get_bytewise_strides() == tuple(a.itemsize * int(np.prod(size[:i])) for i in range(len(size)))
    assert np.array_equal(np.array(nested(a), dtype=object), before.reshape(size, order="F"))


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((4, 2), {}, kalvo.ShapeError,
     "number of elements specified by arguments to reshape() (8) does not match current number (6)."),
    ((4, 2), {"order": "C"}, kalvo.ShapeError,
     "number of elements specified by arguments to reshape() (8) does not match current number (6)."),
    ((2 ** 62, 4), {}, kalvo.ShapeError,
     "number of elements specified by arguments to reshape() (18446744073709551616) does not match "
     "current number (6)."),
    ((3, 2), {"order": "C"}, ValueError, "reshape() does not accept keyword arguments."),
    ((), {}, ValueError, RESHAPE_ARGS),
    ((6,), {}, ValueError, RESHAPE_ARGS),
    (([6],), {}, ValueError, RESHAPE_ARGS),
    (([],), {}, ValueError, RESHAPE_ARGS),
    ((None,), {}, ValueError, RESHAPE_ARGS),
    (("32",), {}, ValueError, RESHAPE_ARGS),
    ((2, -3), {}, ValueError, RESHAPE_ARGS),
    ((2.0, 3), {}, ValueError, RESHAPE_ARGS),
    (([2, None],), {}, ValueError, RESHAPE_ARGS),
    (([2, 2.0],), {}, ValueError, RESHAPE_ARGS),
    (([2**70, 2],), {}, ValueError, RESHAPE_ARGS),
    ((Unreadable(),), {}, RuntimeError, "Item 0 could not be retrieved from the value passed to reshape()."),
])
def test_reshape_refusals_leave_the_array_unchanged(six, args, kwargs, error, message):
    with pytest.raises(error) as info:
        six.reshape(*args, **kwargs)
    assert str(info.value) == message
    assert six.size == (2, 3) and nested(six) == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


def test_reshape_of_an_empty_array_with_absurd_extents_is_refused():
    a = kalvo.double()
    with pytest.raises(ValueError, match=r"^reshape\(\) dimensions are too large.$"):
        a.reshape(2 ** 62, 4, 0)
    assert a.reshape(0, 5).size == (0, 5)
    assert a.reshape(0, 2 ** 62).size == (0, 2 ** 62)


@pytest.mark.parametrize("expr", ["a[0].reshape(3)", "a[0:1].reshape(2, 3)", "a[1][1:].reshape(1, 2)"])
def test_reshape_of_a_partial_array_is_refused(six, expr):
    with pytest.raises(RuntimeError, match=r"^reshape\(\) not supported for a partial array.$"):
        eval(expr, {"a": six})


# --- partial arrays made before a reshape ---------------------------------------------------

# Each use of a partial array, returning the values it read (nothing for those that read none).
USES = {
    "items": lambda p: [p[j] for j in range(min(len(p), 4))], "iterate": list,
    "slice": lambda p: p[0:1], "in": lambda p: [1 in p][:0], "compare": lambda p: [p == p][:0],
    "len": lambda p: [len(p)][:0], "str": lambda p: [str(p)][:0], "repr": lambda p: [repr(p)][:0],
    "assign": lambda p: p.__setitem__(0, -1) or [], "assign_slice": lambda p: p.__setitem__(slice(0, 1), [-1]) or [],
    "clone": lambda p: nested(p.clone()), "pickle": lambda p: nested(pickle.loads(pickle.dumps(p))),
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


class Reshaping:
    """An integer, and a sequence of four ones, that reshapes `a` to 2-by-6 while being read."""

    def __init__(self, a):
        self.a = a

    def __index__(self):
        self.a.reshape([2, 6])
        return 1

    def __len__(self):
        return 4

    def __getitem__(self, i):
        if i >= 4:
            raise IndexError(i)
        if i == 3:
            self.a.reshape([2, 6])
        return 1


@pytest.mark.parametrize("use, message", [
    (lambda a: a[Reshaping(a):], "the array was reshaped while the slice was read."),
    (lambda a: a.__setitem__(2, Reshaping(a)), "the array was reshaped while the assigned value was read."),
])
def test_reshape_while_a_key_or_value_is_read(use, message):
    a = kalvo.double(size=[3, 4])
    with pytest.raises(RuntimeError) as info:
        use(a)
    assert str(info.value) == message
    assert a.size == (2, 6) and tolist(a) == [[0.0] * 6] * 2


# Objects made before a reshape keep index items checked against the old shape. Whatever is
# done with them afterwards must give values the array holds (or -1, written by a use) or a
# clean error, never bytes from outside the storage.
SOURCES = {
    "3x4": (lambda: kalvo.double([[10 * i + j for j in range(4)] for i in range(3)]),
            ["a[1]", "a[2]", "a[-1]", "a[0:3]", "a[1:3]", "a[2][1:]", "a[2][::-1]", "a[0:3][2]", "a[2][3:]"],
            [(2, 6), (12, 1), (4, 3), (1, 12), (2, 2, 3), (3, 2, 2)]),
    "2x3x4": (lambda: kalvo.double(vector=list(range(24)), size=[2, 3, 4]),
              ["a[1][2]", "a[1][2][1:3]", "a[1][0:2]", "a[-1]", "a[1][2][::-1]"],
              [(4, 6), (24, 1), (2, 2, 6), (2, 2, 2, 3)]),
}


def scalars(x):
    if isinstance(x, list):
        return [v for item in x for v in scalars(item)]
    if type(x).__module__ == "kalvo":
        return scalars(nested(x))
    return [x]


@pytest.mark.parametrize("source", SOURCES.values(), ids=SOURCES.keys())
@pytest.mark.parametrize("use", USES.values(), ids=USES.keys())
def test_partial_arrays_made_before_a_reshape_never_read_outside_the_storage(source, use, capsys):
    make, exprs, shapes = source
    for dims in shapes:
        a = make()
        held = set(scalars(nested(a))) | {-1}
        stale = [eval(expr, {"a": a}) for expr in exprs]
        a.reshape(*dims)
        for p in stale:
            try:
                result = use(p)
            except (IndexError, ValueError):  # out of range, or a value of another shape
                continue
            except RuntimeError as e:
                assert str(e) in (OUTSIDE, "null data pointer.", "too many indices.",
                                  "toarray() can be called only on a one-dimensional sequence.")
                continue
            assert set(scalars(result)) <= held
    capsys.readouterr()  # toarray() prints array.array's complaint


# --- clone --------------------------------------------------------------------------------

def test_clone_is_an_equal_independent_array(km, variant):
    kind, is_complex = variant
    array_type = getattr(km, kind.name)
    values = values_2x3(kind, is_complex)
    a = array_type(values, is_complex=is_complex)
    b = a.clone()
    assert type(b) is type(a) and b is not a and b == a
    assert b._is_complex == is_complex and b.size == (2, 3)
    assert b.buffer_info()[0] != a.buffer_info()[0]
    b[0][0] = values[1][2]
    b.reshape(3, 2)
    with memoryview(a):
        b.reshape(6, 1)  # exports of one do not pin the other
    assert a.size == (2, 3) and nested(a) == nested(array_type(values, is_complex=is_complex))
    cloned = nested(b)
    a[0][0] = values[1][2]
    assert nested(b) == cloned


@pytest.mark.parametrize("expr, size, values", [
    ("a[1]", (1, 3), [[4.0, 5.0, 6.0]]),
    ("a[0:2][1][::-1]", (1, 3), [[6.0, 5.0, 4.0]]),
    ("a[::-1]", (2, 3), [[4.0, 5.0, 6.0], [1.0, 2.0, 3.0]]),
    ("a[1:]", (1, 3), [[4.0, 5.0, 6.0]]),
    # Without elements: the source's extents with the first one 0.
    ("a[1][0:0]", (0, 3), []),
    ("kalvo.int8(size=[3, 0])", (0, 0), []),
    ("kalvo.int8(size=[0, 4])", (0, 4), []),
    ("kalvo.int8(size=[2, 0, 3])", (0, 0, 3), []),
])
def test_clone_of_a_partial_array_is_a_full_array_of_what_it_shows(six, expr, size, values):
    c = eval(expr, {"a": six, "kalvo": kalvo}).clone()
    assert c.size == size and nested(c) == values
    assert c.reshape(*c.size[::-1]) is c  # a full array


def test_clone_shows_current_values(six):
    row = six[1]
    first = row.clone()
    six[1][0] = 40
    assert nested(first) == [[4.0, 5.0, 6.0]]
    assert nested(row.clone()) == [[40.0, 5.0, 6.0]]
    assert nested(six.clone())[1][0] == 40.0


# --- real, imag, noncomplex ---------------------------------------------------------------

def test_parts_of_every_variant_in_storage_order(km, variant):
    kind, is_complex = variant
    array_type = getattr(km, kind.name)
    values = values_2x3(kind, is_complex)
    a = array_type(values, is_complex=is_complex)
    if is_complex:
        parts = [(a.real(), lambda z: z.real), (a._real, lambda z: z.real),
                 (a.imag(), lambda z: z.imag), (a._imag, lambda z: z.imag)]
    else:
        parts = [(a.noncomplex(), lambda v: v), (a._data, lambda v: v)]
    for v, pick in parts:
        assert type(v) is array_type and v._is_complex is False and v.size == (6,) and len(v) == 6
        expected = [pick(x) for x in storage_order(values)]
        assert [v[i] for i in range(6)] == list(v) == expected
        assert all(type(x) is kind.python_type() for x in v)


def test_parts_of_the_wrong_variant_are_refused(km, variant):
    kind, is_complex = variant
    a = getattr(km, kind.name)([[1, 0]], is_complex=is_complex)
    if is_complex:
        refused, message = ("noncomplex", "_data"), "noncomplex() must not be called on a complex array."
    else:
        refused, message = ("real", "imag", "_real", "_imag"), "real() and imag() can be called only on a complex array."
    for attr in refused:
        with pytest.raises(ValueError) as info:
            v = getattr(a, attr)
            v() if callable(v) else v
        assert str(info.value) == message


@pytest.mark.parametrize("expr, real, imag", [
    ("c[1]", [5, 7, 9], [6, 8, 1]),
    ("c[1][::-1]", [9, 7, 5], [1, 8, 6]),
    ("c[0][1:]", [3, 0], [0, 4]),
    ("c[0:2]", [1, 5, 3, 7, 0, 9], [2, 6, 0, 8, 4, 1]),
    ("c[::-1]", [5, 1, 7, 3, 9, 0], [6, 2, 8, 0, 1, 4]),
])
def test_parts_of_a_partial_array_are_those_of_the_elements_it_shows(expr, real, imag):
    p = eval(expr, {"c": kalvo.int16(COMPLEX_2x3, is_complex=True)})
    assert list(p.real()) == real and list(p._imag) == list(p.imag()) == imag


def test_noncomplex_of_a_partial_array_and_independence_of_the_result(six):
    row = six[1].noncomplex()
    assert list(row) == [4.0, 5.0, 6.0]
    assert list(six[0:2][1][1:]._data) == [5.0, 6.0]
    six[1][0] = 0
    assert list(row) == [4.0, 5.0, 6.0]
    assert list(kalvo.uint8(size=[2, 3, 2])[1].noncomplex()) == [0] * 6
