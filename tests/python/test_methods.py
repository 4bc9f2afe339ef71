"""reshape, clone, real/imag/noncomplex and their properties."""
import pickle

import numpy as np
import pytest

import kalvo

RESHAPE_ARGS = "reshape() must be passed a nonempty sequence of nonnegative integers."
COMPLEX_2x3 = [[1 + 2j, 3 + 0j, 4j], [5 + 6j, 7 + 8j, 9 + 1j]]


def nested(a):
    """The values a shows, as nested lists (the pickled form)."""
    return a.__reduce__()[1][1]


def items(v):
    """The items of a vector-form result, read by index."""
    return [v[i] for i in range(len(v))]


def storage_order(values):
    """Nested 2-D values flattened first index fastest."""
    return [values[i][j] for j in range(len(values[0])) for i in range(len(values))]


def sample_values(kind):
    s = kind.samples
    return [[s[i % len(s)] for i in range(r * 3, r * 3 + 3)] for r in range(2)]


@pytest.fixture
def six():
    return kalvo.double([[1, 2, 3], [4, 5, 6]])


# --- reshape ------------------------------------------------------------------------------

@pytest.mark.parametrize("call", [lambda a: a.reshape(3, 2), lambda a: a.reshape((3, 2)),
                                  lambda a: a.reshape([3, 2])], ids=["separate", "tuple", "list"])
def test_reshape_returns_the_same_array_reading_storage_with_new_dimensions(six, call):
    assert call(six) is six
    assert six.size == (3, 2)
    assert six[0][1] == 5.0
    assert nested(six) == [[1.0, 5.0], [4.0, 3.0], [2.0, 6.0]]


@pytest.mark.parametrize("complex_", [False, True], ids=["real", "complex"])
@pytest.mark.parametrize("dims, size", [((3, 2), (3, 2)), ((6, 1), (6, 1)), ((1, 6, 1, 1), (1, 6)),
                                        ((2, 1, 3), (2, 1, 3)), ((True, 6), (1, 6))])
def test_reshape_keeps_storage_order_for_every_kind(array_type, kind, complex_, dims, size):
    if complex_ and not kind.complex_ok:
        pytest.skip("logical arrays are never complex")
    a = array_type(COMPLEX_2x3 if complex_ else sample_values(kind), is_complex=complex_)
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


@pytest.mark.parametrize("expr", ["a[0].reshape(3)", "a[0:1].reshape(2, 3)", "a[1][1:].reshape(1, 2)"])
def test_reshape_of_a_partial_array_is_refused(six, expr):
    a = six
    with pytest.raises(RuntimeError, match=r"^reshape\(\) not supported for a partial array.$"):
        eval(expr)


def test_reshape_is_seen_through_every_object_sharing_the_storage(six):
    row = six[0]
    six.reshape(3, 2)
    assert len(row) == 2 and items(row) == [1.0, 5.0]


# Objects made before a reshape keep index items checked against the old shape. Whatever is
# done with them afterwards must give values the array holds or a clean error, never bytes
# from outside the storage.
STALE = ["a[1]", "a[2]", "a[-1]", "a[0:3]", "a[1:3]", "a[2][1:]", "a[2][::-1]", "a[0:3][2]", "a[2][3:]"]
READS = {
    "items": lambda p: [p[j] for j in range(4)],
    "iterate": list,
    "memoryview": lambda p: memoryview(p).tolist(),
    "clone": lambda p: nested(p.clone()),
    "pickle": lambda p: nested(pickle.loads(pickle.dumps(p))),
    "noncomplex": lambda p: items(p.noncomplex()),
    "toarray": lambda p: p.toarray().tolist(),
    # These report no values; they must only not crash.
    "len": lambda p: [len(p)][:0],
    "size": lambda p: [p.size][:0],
    "str": lambda p: [str(p)][:0],
    "compare": lambda p: [p == p][:0],
}


def scalars(x):
    if isinstance(x, list):
        return [v for item in x for v in scalars(item)]
    if type(x).__module__ == "kalvo":
        return scalars(nested(x))
    return [x]


@pytest.mark.parametrize("dims", [(2, 6), (12, 1), (4, 3), (1, 12), (2, 2, 3), (3, 2, 2)])
@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
def test_partial_arrays_made_before_a_reshape_never_read_outside_the_storage(dims, read, capsys):
    a = kalvo.double([[10 * i + j for j in range(4)] for i in range(3)])
    held = set(scalars(nested(a)))
    stale = [eval(expr, {"a": a}) for expr in STALE]
    a.reshape(*dims)
    for p in stale:
        try:
            result = read(p)
        except (IndexError, RuntimeError):
            continue
        assert set(scalars(result)) <= held
    capsys.readouterr()  # toarray() prints array.array's complaint


@pytest.mark.parametrize("dims", [(4, 6), (24, 1), (2, 2, 6), (2, 2, 2, 3)])
def test_partial_arrays_made_before_a_reshape_to_other_dimensions(dims, capsys):
    a = kalvo.double(vector=list(range(24)), size=[2, 3, 4])
    stale = [a[1][2], a[1][2][1:3], a[1][0:2], a[-1], a[1][2][::-1]]
    a.reshape(*dims)
    for p in stale:
        for read in READS.values():
            try:
                result = read(p)
            except (IndexError, RuntimeError):
                continue
            assert set(scalars(result)) <= set(range(24))
    capsys.readouterr()


@pytest.mark.parametrize("dims", [(2, 6), (12, 1), (1, 12), (2, 2, 3)])
def test_iterators_made_before_a_reshape_never_read_outside_the_storage(dims):
    a = kalvo.int32([[10 * i + j for j in range(4)] for i in range(3)])
    held = set(scalars(nested(a)))
    iterators = [iter(a[2]), iter(a[1:3]), iter(a[2][::-1]), iter(a)]
    for it in iterators:
        next(it)
    a.reshape(*dims)
    for it in iterators:
        try:
            rest = list(it)
        except (IndexError, RuntimeError):
            continue
        for item in rest:
            try:
                values = scalars(item)
            except (IndexError, RuntimeError):
                continue
            assert set(values) <= held


# --- clone --------------------------------------------------------------------------------

@pytest.mark.parametrize("complex_", [False, True], ids=["real", "complex"])
def test_clone_is_an_equal_independent_array(array_type, kind, complex_):
    if complex_ and not kind.complex_ok:
        pytest.skip("logical arrays are never complex")
    values = COMPLEX_2x3 if complex_ else sample_values(kind)
    a = array_type(values, is_complex=complex_)
    b = a.clone()
    assert type(b) is type(a) and b is not a and b == a
    assert b._is_complex == complex_ and b.size == (2, 3)
    assert b.buffer_info()[0] != a.buffer_info()[0]
    b[0][0] = values[1][2]
    b.reshape(3, 2)
    with memoryview(a):
        b.reshape(6, 1)  # exports of one do not pin the other
    assert a.size == (2, 3) and nested(a) == nested(array_type(values, is_complex=complex_))
    cloned = nested(b)
    a[0][0] = values[1][2]
    assert nested(b) == cloned


@pytest.mark.parametrize("size", [[3, 0], [0, 4], [2, 0, 3]])
def test_clone_keeps_zero_extents(size):
    assert kalvo.int8(size=size).clone().size == tuple(size)


@pytest.mark.parametrize("expr, size, values", [
    ("a[1]", (1, 3), [[4.0, 5.0, 6.0]]),
    ("a[0:2][1][::-1]", (1, 3), [[6.0, 5.0, 4.0]]),
    ("a[::-1]", (2, 3), [[4.0, 5.0, 6.0], [1.0, 2.0, 3.0]]),
    ("a[1:]", (1, 3), [[4.0, 5.0, 6.0]]),
])
def test_clone_of_a_partial_array_is_a_full_array_of_what_it_shows(six, expr, size, values):
    a = six
    c = eval(expr).clone()
    assert c.size == size and nested(c) == values
    assert len(c.__reduce__()) == 2 and reshape_ok(c)


def reshape_ok(a):
    return a.reshape(a.size[::-1] if len(a.size) == 2 else a.size) is a


def test_clone_shows_current_values(six):
    row = six[1]
    first = row.clone()
    six[1][0] = 40
    assert nested(first) == [[4.0, 5.0, 6.0]]
    assert nested(row.clone()) == [[40.0, 5.0, 6.0]]
    assert nested(six.clone())[1][0] == 40.0


# --- real, imag, noncomplex ---------------------------------------------------------------

def test_real_and_imag_of_a_complex_row():
    c = kalvo.double([[1 + 2j, 3 + 4j]], is_complex=True)
    r, i = c.real(), c.imag()
    for v, expected in ((r, [1.0, 3.0]), (i, [2.0, 4.0])):
        assert type(v) is kalvo.double and v._is_complex is False
        assert len(v) == 2 and v.size == (2,) and items(v) == expected and list(v) == expected
    with pytest.raises(ValueError, match=r"^noncomplex\(\) must not be called on a complex array.$"):
        c.noncomplex()


def test_parts_of_every_numeric_kind_in_storage_order(km, numeric_kind):
    array_type = getattr(km, numeric_kind.name)
    c = array_type(COMPLEX_2x3, is_complex=True)
    for part, prop, pick in ((c.real, "_real", lambda z: z.real), (c.imag, "_imag", lambda z: z.imag)):
        expected = [pick(z) for z in storage_order(COMPLEX_2x3)]
        for v in (part(), getattr(c, prop)):
            assert type(v) is array_type and not v._is_complex and v.size == (6,)
            assert items(v) == expected
            assert all(type(x) is (float if numeric_kind.is_float else int) for x in items(v))


def test_noncomplex_of_every_real_kind_in_storage_order(array_type, kind):
    values = sample_values(kind)
    a = array_type(values)
    for v in (a.noncomplex(), a._data):
        assert type(v) is array_type and v.size == (6,)
        assert items(v) == storage_order(values)


def test_noncomplex_example(six):
    assert items(six.noncomplex()) == [1.0, 4.0, 2.0, 5.0, 3.0, 6.0]


@pytest.mark.parametrize("attr", ["real", "imag", "_real", "_imag"])
def test_parts_of_a_real_array_are_refused(array_type, attr):
    a = array_type([[1, 0]])
    with pytest.raises(ValueError, match=r"^real\(\) and imag\(\) can be called only on a complex array.$"):
        v = getattr(a, attr)
        v() if callable(v) else v


@pytest.mark.parametrize("attr", ["noncomplex", "_data"])
def test_noncomplex_of_a_complex_array_is_refused(numeric_kind, km, attr):
    a = getattr(km, numeric_kind.name)([[1j]], is_complex=True)
    with pytest.raises(ValueError, match=r"^noncomplex\(\) must not be called on a complex array.$"):
        v = getattr(a, attr)
        v() if callable(v) else v


@pytest.mark.parametrize("expr, real, imag", [
    ("c[1]", [5, 7, 9], [6, 8, 1]),
    ("c[1][::-1]", [9, 7, 5], [1, 8, 6]),
    ("c[0][1:]", [3, 0], [0, 4]),
    ("c[0:2]", [1, 5, 3, 7, 0, 9], [2, 6, 0, 8, 4, 1]),
    ("c[::-1]", [5, 1, 7, 3, 9, 0], [6, 2, 8, 0, 1, 4]),
])
def test_parts_of_a_partial_array_are_those_of_the_elements_it_shows(expr, real, imag):
    c = kalvo.int16(COMPLEX_2x3, is_complex=True)
    p = eval(expr)
    assert items(p.real()) == real and items(p._imag) == imag
    assert items(p.imag()) == imag


def test_noncomplex_of_a_partial_array_and_independence_of_the_result(six):
    row = six[1].noncomplex()
    assert items(row) == [4.0, 5.0, 6.0]
    assert items(six[0:2][1][1:]._data) == [5.0, 6.0]
    six[1][0] = 0
    assert items(row) == [4.0, 5.0, 6.0]
    assert items(kalvo.uint8(size=[2, 3, 2])[1].noncomplex()) == [0] * 6


def test_is_complex_property(array_type, kind):
    assert array_type([[1]])._is_complex is False
    if kind.complex_ok:
        c = array_type([[1]], is_complex=True)
        assert c._is_complex is True and c[0]._is_complex is True
    with pytest.raises(AttributeError):
        array_type([[1]])._is_complex = True
