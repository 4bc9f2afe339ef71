"""Array constructors beyond what the model test draws: argument forms, refusals and their messages,
sizes beyond memory or 64 bits, and sequences that lie or nest without end."""
import sys
import time

import pytest

import kalvo

from conftest import Seq, boom, shrink, tolist

MISMATCH = "dimensions of initializer ({}) do not match dimensions specified by 'size' ({})."


def test_no_arguments_gives_0_by_0(array_type):
    for a in (array_type(), array_type(None, None, None), array_type({})):
        assert type(a) is array_type and a.size == (0, 0) and tolist(a) == []
    assert tolist(array_type(None, None, [1, 0])) == [[1, 0]]  # a third positional is 'vector'


# Forms the model test does not draw: scalars, tuples, ranges, mixed levels, deep nesting.
@pytest.mark.parametrize("initializer, shape, rows", [
    (5, (1, 1), [[5]]),
    ((1, 2, 3), (1, 3), [[1, 2, 3]]),
    (((1, 0, 1), (0, 1, 1)), (2, 3), [[1, 0, 1], [0, 1, 1]]),
    ([[[]], [[]]], (2, 1, 0), [[[]], [[]]]),
    (range(4), (1, 4), [[0, 1, 2, 3]]),
    ([range(2), (2, 3)], (2, 2), [[0, 1], [2, 3]]),
    ([[[[[[[1]]]]]]], (1, 1), [[1]]),  # trailing singleton dimensions are dropped
])
def test_nested_initializers(km, initializer, shape, rows):
    a = km.int16(initializer)
    assert a.size == shape and tolist(a) == rows


# A flat sequence with 'size' fills the storage in column-major order, whether it comes as the
# initializer or as 'vector'; a nested one keeps its layout; with neither, the array holds zeros.
@pytest.mark.parametrize("initializer, size, shape, rows", [
    ([1, 2, 3, 4, 5, 6], (2, 3), (2, 3), [[1, 3, 5], [2, 4, 6]]),
    ([1, 2, 3], [3], (1, 3), [[1, 2, 3]]),
    ([1, 2, 3], [3, 1], (3, 1), [[1], [2], [3]]),
    ([], [0, 5], (0, 5), []),
    ([[1, 2], [3, 4]], [2, 2], (2, 2), [[1, 2], [3, 4]]),
    (None, (4,), (1, 4), [[0] * 4]),
    (None, [0], (1, 0), [[]]),
    (None, (2, 3, 1, 1), (2, 3), [[0] * 3] * 2),
    (None, [True, 3], (1, 3), [[0] * 3]),
    (None, range(2, 4), (2, 3), [[0] * 3] * 2),
])
def test_initializer_and_vector_with_size(km, initializer, size, shape, rows):
    a = km.uint16(initializer, size)
    assert a.size == shape and tolist(a) == rows
    if not (initializer and isinstance(initializer[0], list)):
        b = km.uint16(vector=initializer, size=size)
        assert b.size == shape and tolist(b) == rows


def test_array_initializer_is_read_element_by_element(km):
    source = km.double([[1.5, 2.5], [3.5, 4.5]])
    copy = km.single(source)  # a buffer import would refuse 'd' for 'f'
    assert copy.size == (2, 2) and tolist(copy) == [[1.5, 2.5], [3.5, 4.5]]
    assert tolist(km.double(source[1])) == [[3.5, 4.5]]
    with pytest.raises(TypeError, match="kalvo.int8 does not accept floating-point values."):
        km.int8(source)


def test_leading_dictionary_supplies_keywords(km):
    assert km.double({"size": [2, 2]}).size == (2, 2)
    a = km.double({"is_complex": True}, [[1, 2]])
    assert a._is_complex and tolist(a) == [[1 + 0j, 2 + 0j]]
    assert tolist(km.int8({"vector": [1, 2, 3, 4]}, None, [2, 2])) == [[1, 3], [2, 4]]
    with pytest.raises(TypeError, match="initializer and 'vector' must not both be specified."):
        km.double({"vector": [1]}, [2])
    with pytest.raises(TypeError):
        km.double({"colour": 1})


# ---- refusals --------------------------------------------------------------------------------

ARGUMENT_ERRORS = [
    ((), {"is_complex": 1}, TypeError, "value passed to 'is_complex' must be a bool."),
    (([1], None, [2]), {}, TypeError,
     "more than two positional arguments must not be specified. A third will be treated as "
     "'vector', which must not be specified when an initializer is specified."),
    (([1],), {"vector": [2]}, TypeError, "initializer and 'vector' must not both be specified."),
    ((), {"size": 5}, TypeError, "value of 'size' must be a sequence."),
    ((), {"size": []}, ValueError, "sequence passed to 'size' must not be empty."),
    ((), {"size": [2.0]}, TypeError, "dimensions must be nonnegative integers."),
    ((), {"size": [2, -1]}, ValueError,
     "size cannot contain negative dimensions. Use nonnegative integers for dimensions."),
    ((), {"size": [2**70]}, ValueError,
     "size cannot contain negative dimensions. Use nonnegative integers for dimensions."),
    ((), {"vector": 5}, ValueError, "value of 'vector' must be a sequence."),
    ((), {"vector": "abc"}, ValueError, "value passed to 'vector' must be numeric."),
    ((), {"vector": [1, [2]]}, TypeError, "value of 'vector' must be an unnested sequence."),
    ((), {"vector": [1, None]}, ValueError, "value must not be 'None'."),
    (("12",), {}, ValueError, "value passed to initializer must be numeric."),
    (([[1, 2], "ab"],), {}, ValueError, "value passed to initializer must be numeric."),
    *[((init,), {}, ValueError, "elements of array are of different lengths or types.") for init in
      ([[1, 2], [3]], [[1, 2], 3])],
    *[((init,), {}, ValueError, "arrays must be rectangular.") for init in
      ([[1, 2], [[3], [4]]], [[[1, 2]], [[3, 4, 5]]], [[[], []], [[1], [2]]], [[[]], [[1]]])],
    (([None],), {}, TypeError, "value must not be 'None'."),
]


@pytest.mark.parametrize("name, args, kwargs, exc, message", [("double",) + row for row in ARGUMENT_ERRORS] + [
    ("logical", (), {"is_complex": True}, TypeError, "logical arrays must not be complex.")])
def test_argument_errors(km, name, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        getattr(km, name)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, error, initializer, size", [
    (([1, 2, 3],), {"size": (2, 2)}, "ShapeError", "3", "2, 2"),
    ((5,), {"size": [2, 2]}, "ShapeError", "1, 1", "2, 2"),
    (([[1, 2, 3], [4, 5, 6]],), {"size": (3, 2)}, "SizeError", "2, 3", "3, 2"),
    (([[1, 2], [3, 4]],), {"size": [4]}, "SizeError", "2, 2", "1, 4"),
    (([[[1, 2]], [[3, 4]]],), {"size": [2, 2]}, "SizeError", "2, 1, 2", "2, 2"),
    ((), {"vector": [1, 2, 3], "size": [2, 2]}, "ShapeError", "3", "2, 2"),
    ((), {"vector": [], "size": [1]}, "ShapeError", "0", "1, 1"),
    (([[1, 2]],), {"size": [3]}, "ShapeError", "1, 2", "1, 3"),
])
def test_shape_and_size_errors(km, args, kwargs, error, initializer, size):
    with pytest.raises(getattr(km, error)) as info:
        km.double(*args, **kwargs)
    assert str(info.value) == MISMATCH.format(initializer, size)
    other = km.SizeError if error == "ShapeError" else km.ShapeError
    assert not isinstance(info.value, other)


def test_sizes_too_large_for_memory_or_strides(km, variant):
    kind, is_complex = variant
    t = getattr(km, kind.name)
    start = time.monotonic()
    with pytest.raises(MemoryError) as info:
        t(size=[10**9, 10**9], is_complex=is_complex)
    assert time.monotonic() - start < 5
    assert str(info.value) == ("unable to allocate memory for array with number of elements "
                               f"= 1000000000000000000; type = {kind.name}")
    with pytest.raises(MemoryError, match=f"= {2**64 - 1}; type"):
        t(size=[2**62, 2**62])  # the count saturates instead of wrapping
    # Without elements nothing is allocated, but every stride must still fit.
    biggest = sys.maxsize // (kind.itemsize * (2 if is_complex else 1))
    a = t(size=[biggest // 3, 3, 0], is_complex=is_complex)
    assert a.size == (biggest // 3, 3, 0) and str(a[-1]) == "[[],[],[]]"
    # Strides after a zero extent are 0, however large the extents there.
    assert t(size=[0, 2**62, 5], is_complex=is_complex).size == (0, 2**62, 5)
    for size in ([2, biggest, 0], [biggest // 2, 3, 0]):
        with pytest.raises(ValueError, match=r"^dimensions specified by 'size' are too large\.$"):
            t(size=size, is_complex=is_complex)


# ---- sequences that misbehave or lie -----------------------------------------------------------

class Flaky:
    """`n` ones; the `fail_at`-th fetch (from 1) fails, and with `always` every later one of that item."""

    def __init__(self, n, fail_at, always=False):
        self.n, self.fail_at, self.calls, self.always, self.broken = n, fail_at, 0, always, None

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if not 0 <= i < self.n:
            raise IndexError(i)
        self.calls += 1
        if self.calls == self.fail_at:
            self.broken = i if self.always else None
        if self.calls == self.fail_at or i == self.broken:
            raise KeyError("no item")
        return 1


CLEAN = (TypeError, ValueError, RuntimeError, IndexError, OverflowError, MemoryError, BufferError)
NULL = (RuntimeError, "null data pointer.")


@pytest.mark.parametrize("call, expected", [
    # more items promised than delivered, or fetches that fail
    (lambda t: t(vector=Seq([1, 2], 3)), (RuntimeError, "item 2 could not be retrieved.")),
    (lambda t: t(size=Seq([1, 2], 3)),
     (RuntimeError, "Item 2 could not be retrieved from the value associated with the 'size' keyword.")),
    (lambda t: t([[1, 2]]).reshape(Seq([1, 2], 3)),
     (RuntimeError, "Item 2 could not be retrieved from the value passed to reshape().")),
    (lambda t: t(Seq([1, 2], 3)), NULL),
    (lambda t: t([Seq([1], 2), Seq([1], 2)]), CLEAN),
    (lambda t: t([Flaky(3, 5)]), NULL),  # the shape check fetches the three items once; the walk's second fetch fails
    (lambda t: t(Flaky(3, 2, always=True)), NULL),
    (lambda t: t([[1, 2], Flaky(2, 1, always=True)]), NULL),
    (lambda t: t([Seq([1], on_get=boom)]), NULL),
    (lambda t: t(vector=Flaky(3, 2)), (RuntimeError, "item 1 could not be retrieved.")),
    (lambda t: t(vector=Seq([1, 2, 3], on_get=shrink)), RuntimeError),
    (lambda t: t(size=Flaky(2, 1)),
     (RuntimeError, "Item 0 could not be retrieved from the value associated with the 'size' keyword.")),
    (lambda t: t(Seq([1, 2, 3], on_get=shrink)), CLEAN),
    # fewer items promised than present: only the promised ones count
    (lambda t: t(Seq([1, 2, 3], 2)), [[1.0, 2.0]]),
    (lambda t: t(vector=Seq([1, 2, 3], 2)), [[1.0, 2.0]]),
    (lambda t: t(size=Seq([2, 1, 9], 2)), [[0.0], [0.0]]),
    # absurd lengths; lazy sequences too long for any machine are refused without a walk
    (lambda t: t(Seq([1, 2], -1)), ValueError),
    (lambda t: t(Seq([1, 2], 2 ** 62)), CLEAN),
    (lambda t: t(vector=Seq([1, 2], 2 ** 62)), MemoryError),
    (lambda t: t([Seq([1, 2], 2 ** 62)]), CLEAN),
    (lambda t: t(size=Seq([2, 2], 2 ** 62)), CLEAN),
    (lambda t: t(range(2 ** 62)), MemoryError),
    (lambda t: kalvo.logical([range(2 ** 41), range(2 ** 41)]), MemoryError),
    (lambda t: t(size=range(2 ** 62)), MemoryError),
    (lambda t: t([[1, 2]]).reshape(range(2 ** 62)), MemoryError),
    # extents whose product needs more than 64 bits
    (lambda t: t(size=[2 ** 62, 4]), MemoryError),
    (lambda t: t(size=[2 ** 63]), ValueError),
    (lambda t: t(vector=[1], size=[2 ** 32, 2 ** 32]), CLEAN),
    (lambda t: t([], size=[2 ** 32, 2 ** 32]), CLEAN),
])
def test_lying_sequences_and_huge_extents(call, expected):
    try:
        result = call(kalvo.double)
    except CLEAN as e:
        result = e
    if isinstance(expected, list):
        assert tolist(result) == expected
    elif isinstance(expected, tuple) and isinstance(expected[1], str):
        assert (type(result), str(result)) == expected
    else:
        assert isinstance(result, expected)


def test_rows_that_change_while_the_walk_reads_them():
    """Row 0's fetches change the length of row 1 after the outer consistency check."""
    for change in (lambda row: row.items.clear(), lambda row: row.items.append(9)):
        second = Seq([3, 4])
        first = Seq([1, 2], on_get=lambda seq, i: i == 1 and change(second))
        with pytest.raises(ValueError, match=r"^arrays must be rectangular\.$"):
            kalvo.double([first, second])

    class Fickle(Seq):  # a length that differs on each call: refused, or an array of its items
        calls = 0

        def __len__(self):
            Fickle.calls += 1
            return 2 + Fickle.calls % 2
    try:
        values = tolist(kalvo.double([Fickle([1, 2, 3]), Fickle([4, 5, 6])]))
    except CLEAN:
        return
    assert len({len(row) for row in values}) == 1 and set(sum(values, [])) <= {1, 2, 3, 4, 5, 6}


def nested(depth, leaf=1):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def test_deep_and_self_containing_nesting():
    loop = []
    loop.append(loop)
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    for value in (nested(100_000), loop, [loop, loop], nested(5_000, [1, 2])):
        with pytest.raises(RecursionError):
            kalvo.double(value)
        for assign in (lambda v: a.__setitem__(0, v), lambda v: a[0].__setitem__(slice(0, 3), v),
                       lambda v: a.__setitem__(slice(0, 1), v)):
            with pytest.raises(RecursionError):
                assign(value)
        with pytest.raises(TypeError):
            kalvo.double(vector=[value])
        with pytest.raises(CLEAN + (RecursionError,)):
            kalvo.double(size=value)
    assert tolist(a) == [[1, 2, 3], [4, 5, 6]]
