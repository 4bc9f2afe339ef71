"""Bulk construction, pickling, text and equality: every fast path agrees exactly with the general
one, reached by wrapping the same input in a list subclass (or a type the fast paths do not take).
Outcomes are compared as (extents, storage bytes) or as (exception type, message)."""
import copy
import math
import pickle
import sys

import numpy as np
import pytest

import kalvo
from conftest import COMPLEX_2x3, tolist, values_2x3


class Sub(list):
    """A list the fast paths decline, so the general walk reads it."""


class Index:
    def __index__(self):
        return 3


class F(float):
    """A float the fast paths decline."""


def outcome(make):
    try:
        a = make()
    except Exception as e:  # noqa: BLE001 - the exception itself is the outcome
        return type(e), str(e)
    return a.size, bytes(memoryview(a))


def generic(init):
    """The same nesting with every list level replaced by Sub."""
    if isinstance(init, (list, tuple)):
        return Sub(generic(x) for x in init)
    return init


def grid(values, rows=3, cols=4):
    return [[values[(r * cols + c) % len(values)] for c in range(cols)] for r in range(rows)]


def _edge_values(kind):
    big = [2**31, -2**31 - 1, 2**63 - 1, -2**63, 2**63, 2**64 - 1, 2**64, -1]
    return [kind.min, kind.max, kind.min - 1 if kind.is_integer else kind.min,
            kind.max + 1 if kind.is_integer else kind.max] + big


INPUTS = {
    "floats": lambda k: grid([0.5, -1.25, 3.0, float("inf"), -0.0]),
    "complex": lambda k: grid([1 + 2j, -3j, 0j]),
    "mixed": lambda k: grid([1, 2.5, True, 4]),
    "nan": lambda k: [[float("nan"), 1.0], [2.0, float("nan")]],
    "edges": lambda k: [[v] for v in _edge_values(k)],
    "edges-row": lambda k: [_edge_values(k)],
    "3d": lambda k: [grid([1, 2, 3], 9, 3), grid([4, 5, 6], 9, 3)],  # a block of rows and a part block
    "4d-tuples": lambda k: (((1, 2), (3, 4)), ((5, 6), (7, 8)), ((9, 10), (11, 12))),
    "flat": lambda k: [1, 2, 3, 4, 5, 6],
    "wide-block": lambda k: grid(list(range(50)), 37, 5),
    "ragged": lambda k: [[1, 2], [3]],
    "ragged-deep": lambda k: [[1, 2], [3, [4]]],
    "scalar-and-list": lambda k: [[1, 2], 3],
    "string": lambda k: [[1, "2"]],
    "none": lambda k: [[1, None]],
    "empty-level": lambda k: [[[], []], [[1], [2]]],
    "empty": lambda k: [[], []],
    "subclasses": lambda k: [[1, F(2.5), True, Index()]],
}


@pytest.mark.parametrize("name", list(INPUTS))
@pytest.mark.parametrize("is_complex", [False, True], ids=["real", "complex"])
def test_nested_fill_matches_general_walk(kind, name, is_complex):
    if is_complex and not kind.complex_ok:
        pytest.skip("logical arrays are never complex")
    make = getattr(kalvo, kind.name)
    init = INPUTS[name](kind)
    fast = outcome(lambda: make(init, is_complex=is_complex))
    assert fast == outcome(lambda: make(generic(init), is_complex=is_complex))
    if name in ("ragged", "string", "none", "empty-level"):
        assert isinstance(fast[0], type) and issubclass(fast[0], Exception)


@pytest.mark.parametrize("size", [None, [2, 6], [6, 2], [12], [1, 12], [3, 4], [4, 3]])
def test_nested_fill_with_size_matches_general_walk(size):
    for init in ([float(i) for i in range(12)], grid(list(range(12)))):
        fast = outcome(lambda: kalvo.int16(init, size=size))
        assert fast == outcome(lambda: kalvo.int16(Sub(init), size=size))


@pytest.mark.parametrize("values", [[1.5, 2, True, 3j], [1, 2, 300], [1, -1], [1.0, [2]],
                                    [1, None], [2**64, 1], [float("nan"), F(1.5)]])
def test_vector_fill_matches_general_conversion(kind, values):
    make = getattr(kalvo, kind.name)
    for is_complex in ([False, True] if kind.complex_ok else [False]):
        fast = outcome(lambda: make(vector=values, size=[1, len(values)], is_complex=is_complex))
        assert fast == outcome(lambda: make(vector=Sub(values), size=[1, len(values)],
                                            is_complex=is_complex))


def test_recursion_limit_is_met_at_the_same_depth():
    """Near the recursion limit the fill raises RecursionError exactly where the walk does."""
    init = [[[1.0, 2.0]], [[3.0, 4.0]]]
    walked = [[[1.0, 2.0]], [[3.0, F(4.0)]]]  # the last value sends it to the walk

    def attempt(make):
        try:
            return make().size
        except RecursionError as e:  # formatting it could recurse again: keep its arguments
            return e.args

    def at_depth(n, make):
        return attempt(make) if n == 0 else at_depth(n - 1, make)

    def fits(n):
        try:
            return at_depth(n, lambda: kalvo.double(5)) is not None
        except RecursionError:
            return False

    limit = sys.getrecursionlimit()
    try:
        low, high = 0, limit  # the deepest call that fits lies in [low, high)
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (middle, high) if fits(middle) else (low, middle)
        sys.setrecursionlimit(limit - low + 50)  # now about 50 levels of room are left
        depths = range(25, 51)
        fast = [at_depth(n, lambda: kalvo.double(init)) for n in depths]
        walk = [at_depth(n, lambda: kalvo.double(walked)) for n in depths]
    finally:
        sys.setrecursionlimit(limit)
    assert fast == walk
    if sys.version_info < (3, 12):  # later Pythons count the walk's levels apart from the caller's frames
        assert ("maximum recursion depth exceeded while reading an initializer",) in fast
    assert (2, 1, 2) in fast


@pytest.mark.parametrize("shape", [(2, 3), (3, 1, 4), (1, 5), (5, 1), (2, 3, 4, 5), (0, 3), (33, 65),
                                   (70, 3, 1, 2)])
def test_buffer_import_stores_column_major(numpy_variant, shape):
    kind, is_complex = numpy_variant
    dtype = {"d": "f8", "f": "f4", "?": "?"}.get(kind.fmt, kind.fmt)
    if is_complex:
        dtype = {"d": "c16", "f": "c8"}[kind.fmt]
    x = (np.arange(int(np.prod(shape))) % 120).astype(dtype).reshape(shape)
    for source in (x, np.asfortranarray(x)):
        a = getattr(kalvo, kind.name)(source, is_complex=is_complex)
        assert memoryview(a).tobytes("A") == x.tobytes("F")


def _complex(t, k):
    if not k.complex_ok:
        pytest.skip("logical arrays are never complex")
    if k.is_integer and k.itemsize == 8:  # parts beyond 2**53 or at the bounds cannot travel as floats
        parts = [v for v in (k.min, k.max, k.max - 1, 2**53 + 1, 2**53, 0, 12345) if v >= k.min]
        return t._rebuild((2, 3), True, np.array([parts[i % 7] for i in range(12)], dtype=k.fmt).tobytes())
    return t(COMPLEX_2x3, is_complex=True)


def _whole(t, k):
    return t(vector=[k.samples[i % len(k.samples)] for i in range(24)], size=[2, 3, 4])


# What is copied, and the extents of its copies: whole arrays keep theirs, partial ones come back
# as their nested list would; arrays without elements cost nothing, whatever their extents.
COPIED = {
    "whole": (_whole, (2, 3, 4)), "row": (lambda t, k: _whole(t, k)[1], (3, 4)),
    "tail": (lambda t, k: _whole(t, k)[0][1:], (2, 4)), "reversed": (lambda t, k: _whole(t, k)[::-1], (2, 3, 4)),
    "complex": (_complex, (2, 3)), "complex-row": (lambda t, k: _complex(t, k)[1][::-1], (1, 3)),
    "empty": (lambda t, k: t(size=[2, 0, 4]), (2, 0, 4)), "huge-empty": (lambda t, k: t(size=[2**40, 0]), (2**40, 0)),
    "huge-empty-row": (lambda t, k: t(size=[2, 2**40, 0])[1], (2**40, 0)),
    "empty-slice": (lambda t, k: t(size=[2, 2**40, 0])[0][0:0], (0, 0)),
}
COPIES = [lambda a, p=p: pickle.loads(pickle.dumps(a, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("what", COPIED)
def test_pickles_and_copies_show_what_was_copied(kind, what):
    t = getattr(kalvo, kind.name)
    make, shape = COPIED[what]
    a = make(t, kind)
    shown = bytes(memoryview(a))
    for b in [copy_of(a) for copy_of in COPIES] + [copy.copy(a), copy.deepcopy(a)]:
        assert (type(b), b._is_complex, b.size, bytes(memoryview(b))) == (t, a._is_complex, shape, shown)
        n = b.buffer_info()[1]
        if n:  # a write to the copy is its own
            row = b.reshape(1, n)[0]
            row[n - 1] = 0 if row[n - 1] else 1
            assert bytes(memoryview(a)) == shown and bytes(memoryview(b)) != shown
    small = t([[kind.samples[0]]])  # small arrays keep the nested-list form below protocol 5
    assert small.__reduce_ex__(4) == small.__reduce__()
    assert t(size=[3, 0]).__reduce_ex__(4) == t(size=[3, 0]).__reduce__()


def test_protocol_5_hands_out_the_storage_out_of_band():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    buffers = []
    data = pickle.dumps(a, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(data) < 120
    raw = buffers[0].raw()
    assert raw.readonly and bytes(raw) == memoryview(a).tobytes("A")
    b = pickle.loads(data, buffers=buffers)
    assert b == a and b.size == (2, 3)
    with pytest.raises(pickle.UnpicklingError):
        pickle.loads(data)


BAD_DIMENSIONS = "dimensions must be a nonempty tuple of nonnegative integers."


@pytest.mark.parametrize("args, outcome", [
    (((2, 2), False, bytes(24)), (ValueError, "data do not match the dimensions and element type.")),
    (((2, 2), False, bytes(40)), (ValueError, "data do not match the dimensions and element type.")),
    (((2, -2), False, b""), (ValueError, BAD_DIMENSIONS)),
    (((), False, b""), (TypeError, BAD_DIMENSIONS)),
    (([2, 2], False, bytes(32)), (TypeError, BAD_DIMENSIONS)),
    (((2, 2.0), False, bytes(32)), (TypeError, BAD_DIMENSIONS)),
    (((2**62, 2**62), False, b""), (ValueError, "data do not match the dimensions and element type.")),
    (((2, 2), 1, bytes(32)), (TypeError, "value passed to 'is_complex' must be a bool.")),
    (((0,) * 65, False, b""), (ValueError, "number of dimensions (65) exceeds the maximum of 64.")),
    (((2,) * 65, False, b""), (ValueError, "number of dimensions (65) exceeds the maximum of 64.")),
    (((2, 2), False, "abcd"), (TypeError, None)),
    (((2, 2), False), (TypeError, None)),
    # accepted dimensions make the shapes the constructors make
    *[((dims, False, np.arange(math.prod(dims), dtype="d").tobytes()), shape) for dims, shape in [
        ((6,), (1, 6)), ((2, 3, 1), (2, 3)), ((1,) * 65, (1, 1)), ((0,), (1, 0)), ((3, 1, 1, 0), (3, 1, 1, 0))]],
])
def test_rebuild(args, outcome):
    if isinstance(outcome[0], type):
        with pytest.raises(outcome[0]) as info:
            kalvo.double._rebuild(*args)
        assert outcome[1] is None or str(info.value) == outcome[1]
    else:
        a = kalvo.double._rebuild(*args)
        assert a.size == outcome and memoryview(a).tobytes("A") == args[2]
    with pytest.raises(TypeError, match="logical arrays must not be complex."):
        kalvo.logical._rebuild((1, 1), True, b"\x01")


# ---- str/repr and == of whole arrays against the item-by-item forms ----

_FLOATS = [0.0, -0.0, 1.5, -2.0, 0.1, 1e16, 1e-5, 1e-4, 2.0**53, -(2.0**53) + 1, 2.0**53 + 2, 123456789.0,
           1e300, 5e-324, float("inf"), float("-inf"), float("nan"), 1e15 + 0.5, 3.0e22]
_COMPLEX = [0j, complex(-0.0, 0.0), complex(0.0, -0.0), complex(-0.0, -0.0), 1 + 2j, -1 - 2.5j, 3j,
            complex(float("nan"), 1), complex(1, float("nan")), complex(float("inf"), -float("inf")),
            complex(1e16, 1e-5), complex(2.0**53, -7)]


def _samples(kind, is_complex):
    if kind.is_float:
        values = _COMPLEX if is_complex else _FLOATS
        if kind.fmt == "f":  # within single range
            values = [v for v in values if not abs(v) < float("inf") or abs(v) < 1e38]
        return values
    return [0, 1 + 2j, 3j, 5 + 0j, 7 + 1j] if is_complex else list(kind.samples)


@pytest.mark.parametrize("shape", [(4, 5), (3, 2, 4), (1, 7), (7, 1)])
def test_text_is_the_nested_list_text(variant, shape):
    kind, is_complex = variant
    t = getattr(kalvo, kind.name)
    s = _samples(kind, is_complex)
    n = shape[0] * shape[1] * (shape[2] if len(shape) > 2 else 1)
    a = t(vector=[s[i % len(s)] for i in range(n)], size=list(shape), is_complex=is_complex)
    suffix = ", is_complex=True)" if is_complex else ")"
    parts = [a, a[1 % shape[0]], a[0:2], a[::-1], a[0][::-2], a[0][1:1], a[shape[0] - 1:0:-2]]
    if len(shape) > 2:
        parts += [a[1][::-1], a[2][1], a[0][1][3:0:-2]]
    for p in parts:
        text = str(tolist(p)).replace(" ", "")  # the nested-list form, read one key at a time
        assert str(p) == text and repr(p) == kind.qualname + "(" + text + suffix


def test_text_too_long_for_memory_fails_at_once():
    for a in (kalvo.int8(size=[2 ** 62, 0]), kalvo.int8(size=[3, 2 ** 61, 0])[2]):
        with pytest.raises(MemoryError):
            str(a)


def _equal_pairs(kind, is_complex):
    t = getattr(kalvo, kind.name)
    s = _samples(kind, is_complex)
    n = 3000  # more than one compared block
    base = [s[i % len(s)] for i in range(n)]
    make = lambda v, size=(2, n // 2): t(vector=v, size=list(size), is_complex=is_complex)  # noqa: E731
    a = make(base)
    yield a, a
    yield a, make(base)
    yield a, make(base, (n // 2, 2))
    yield a, make(base, (2, n // 4, 2))
    for i in (0, 1, 1024, n - 1):
        other = list(base)
        other[i] = s[(i + 1) % len(s)]
        yield a, make(other)
    if kind.is_float:
        zeros = make([0.0] * n)
        yield zeros, make([-0.0] * n)
        yield make([1.0] * n), make([1.0] * (n - 1) + [float("nan")])


def test_equality_of_whole_arrays_matches_the_walk(variant):
    kind, is_complex = variant
    for a, b in _equal_pairs(kind, is_complex):
        walked = a[0:len(a)] == b[0:len(b)]  # partial arrays take the item-by-item path
        assert (a == b) is walked and (a != b) is (not walked)


# ---- element writes ----------------------------------------------------------
# Exact int keys and exact float/int/bool/complex values are written in place; an int subclass
# key and value subclasses take the general path. Both must leave the same bytes or raise the same.

class I(int):
    pass


class C(complex):
    pass


def _declined(v):
    return {float: F, int: I, complex: C}.get(type(v), lambda x: x)(v)


@pytest.mark.parametrize("key", [0, 2, -1, -3, 3, -4, 2**70])
@pytest.mark.parametrize("value", [1.5, -2.0, float("nan"), 7, -1, 300, 2**64, True, False,
                                   1 + 2j, 3 + 0j, "x", None])
def test_element_writes_match_general_path(variant, key, value):
    kind, is_complex = variant

    def write(fast):
        a = getattr(kalvo, kind.name)(values_2x3(kind, is_complex), is_complex=is_complex)
        row = a[1]
        k = key if fast else I(key)
        v = value if fast else _declined(value)
        try:
            row[k] = v
        except Exception as e:  # noqa: BLE001 - the exception itself is the outcome
            return type(e), str(e)
        return bytes(memoryview(a))

    assert write(True) == write(False)


def test_partial_arrays_held_elsewhere_keep_their_position():
    a = kalvo.int32([[10 * i + j for j in range(3)] for i in range(3)])
    held = [a[i] for i in range(3)]
    cube = kalvo.double(size=[2, 2, 2])
    cube[1][0][1] = 5.0
    arrays = [kalvo.double(size=[2, 2, 2]) for _ in range(200)]  # freed with their kept items
    for b in arrays:
        b[1][0][1]
    del arrays
    assert cube[1][0][1] == 5.0 and tolist(held[2]) == [20, 21, 22]
