"""Array constructors: argument forms, dimensions, nested initializers and their messages."""
import sys
import time

import pytest

import kalvo
from construct_helpers import dims, flatten, leak_check, tolist

MISMATCH = "dimensions of initializer ({}) do not match dimensions specified by 'size' ({})."


def zero(kind, is_complex=False):
    if is_complex:
        return 0j
    return False if kind.name == "logical" else (0.0 if kind.is_float else 0)


def complex_flags(kind):
    return [False, True] if kind.complex_ok else [False]


# ---- forms without initializer ---------------------------------------------------------------

def test_no_arguments_gives_0_by_0(kind, array_type):
    for a in (array_type(), array_type(None, None, None), array_type({})):
        assert type(a) is array_type and dims(a) == (0, 0) and tolist(a) == []


@pytest.mark.parametrize("size, shape", [
    ([2, 3], (2, 3)), ((4,), (1, 4)), ([0], (1, 0)), ((2, 3, 1, 1), (2, 3)), ((2, 1, 3), (2, 1, 3)),
    ([True, 3], (1, 3)), ((1, 1, 1), (1, 1)), ([3, 0], (3, 0)), (range(2, 4), (2, 3)),
])
def test_size_alone_gives_zeros(kind, array_type, size, shape):
    for is_complex in complex_flags(kind):
        a = array_type(size=size, is_complex=is_complex)
        assert dims(a) == shape
        expected = zero(kind, is_complex)
        assert all(x == expected and type(x) is type(expected) for x in flatten(tolist(a)))
        assert a._is_complex is is_complex


def test_vector(kind, array_type):
    for is_complex in complex_flags(kind):
        a = array_type(vector=[1, 0, 1], is_complex=is_complex)
        assert dims(a) == (1, 3) and tolist(a) == [[1, 0, 1]] and a._is_complex is is_complex
        assert tolist(array_type(vector=(1, 0, 1, 1), size=[2, 2])) == [[1, 1], [0, 1]]
    assert dims(array_type(vector=[])) == (1, 0)
    assert dims(array_type(None, None, [1, 1])) == (1, 2)


@pytest.mark.parametrize("vector, size, shape, rows", [
    ([1, 2, 3], [3], (1, 3), [[1, 2, 3]]),
    ([1, 2, 3], [1, 3], (1, 3), [[1, 2, 3]]),
    ([1, 2, 3], [3, 1], (3, 1), [[1], [2], [3]]),
    ([1, 2, 3, 4, 5, 6], [2, 3], (2, 3), [[1, 3, 5], [2, 4, 6]]),
    ([7], [1, 1], (1, 1), [[7]]),
    ([], [0, 5], (0, 5), []),
])
def test_vector_with_size(vector, size, shape, rows):
    a = kalvo.int32(vector=vector, size=size)
    assert dims(a) == shape and tolist(a) == rows


# ---- initializers ----------------------------------------------------------------------------

@pytest.mark.parametrize("initializer, shape, rows", [
    (5, (1, 1), [[5]]),
    ([], (0, 0), []),
    ([[], []], (2, 0), [[], []]),
    ([1, 2, 3], (1, 3), [[1, 2, 3]]),
    ((1, 2, 3), (1, 3), [[1, 2, 3]]),
    ([[1], [2], [3]], (3, 1), [[1], [2], [3]]),
    ([[[1]], [[2]]], (2, 1), [[1], [2]]),
    ([[1, 2, 3], [4, 5, 6]], (2, 3), [[1, 2, 3], [4, 5, 6]]),
    ([[[1, 2], [3, 4], [5, 6]], [[7, 8], [9, 10], [11, 12]]], (2, 3, 2),
     [[[1, 2], [3, 4], [5, 6]], [[7, 8], [9, 10], [11, 12]]]),
    ([[[1, 2]]], (1, 1, 2), [[[1, 2]]]),
    ([[[]], [[]]], (2, 1, 0), [[[]], [[]]]),
    (range(4), (1, 4), [[0, 1, 2, 3]]),
    ([range(2), (2, 3)], (2, 2), [[0, 1], [2, 3]]),
])
def test_nested_initializers(initializer, shape, rows):
    a = kalvo.int16(initializer)
    assert dims(a) == shape and tolist(a) == rows


def test_storage_is_column_major(km):
    a = km.double([[1, 2, 3], [4, 5, 6]])
    assert a[0][1] == 2.0
    assert flatten(tolist(a.noncomplex())) == [1.0, 4.0, 2.0, 5.0, 3.0, 6.0]
    b = km.double([[[1, 2], [3, 4], [5, 6]], [[7, 8], [9, 10], [11, 12]]])
    assert flatten(tolist(b.noncomplex())) == [1, 7, 3, 9, 5, 11, 2, 8, 4, 10, 6, 12]


def test_initializer_for_every_kind(kind, array_type):
    rows = [[1, 0, 1], [0, 1, 1]]
    for is_complex in complex_flags(kind):
        a = array_type(rows, is_complex=is_complex)
        assert dims(a) == (2, 3) and a._is_complex is is_complex
        assert tolist(a) == rows
        assert tolist(array_type(tuple(map(tuple, rows)), is_complex=is_complex)) == rows


def test_mixed_numbers_in_double(km):
    assert tolist(km.double((1, 2.5, True))) == [[1.0, 2.5, 1.0]]


@pytest.mark.parametrize("initializer, size, shape, rows", [
    ([1, 2, 3, 4, 5, 6], (2, 3), (2, 3), [[1, 3, 5], [2, 4, 6]]),
    ([1, 2, 3, 4], [1, 4], (1, 4), [[1, 2, 3, 4]]),
    ([1, 2, 3, 4], [4], (1, 4), [[1, 2, 3, 4]]),
    ([[1, 2], [3, 4]], [2, 2], (2, 2), [[1, 2], [3, 4]]),
    ([[1, 2, 3]], [3], (1, 3), [[1, 2, 3]]),
    (7, [1, 1], (1, 1), [[7]]),
    ([], [0, 3], (0, 3), []),
    ([[], []], [0, 3], (0, 3), []),
])
def test_initializer_with_size(initializer, size, shape, rows):
    a = kalvo.uint16(initializer, size)
    assert dims(a) == shape and tolist(a) == rows


def test_array_initializer_is_read_element_by_element(km):
    source = km.double([[1.5, 2.5], [3.5, 4.5]])
    copy = km.single(source)  # a buffer import would refuse 'd' for 'f'
    assert dims(copy) == (2, 2) and tolist(copy) == [[1.5, 2.5], [3.5, 4.5]]
    assert tolist(km.double(source[1])) == [[3.5, 4.5]]
    with pytest.raises(TypeError, match="kalvo.int8 does not accept floating-point values."):
        km.int8(source)


# ---- leading dictionary ----------------------------------------------------------------------

def test_leading_dictionary_supplies_keywords(km):
    assert dims(km.double({"size": [2, 2]})) == (2, 2)
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
    ((), {"is_complex": None}, TypeError, "value passed to 'is_complex' must be a bool."),
    (([1], None, [2]), {}, TypeError,
     "more than two positional arguments must not be specified. A third will be treated as "
     "'vector', which must not be specified when an initializer is specified."),
    (([1],), {"vector": [2]}, TypeError, "initializer and 'vector' must not both be specified."),
    ((), {"size": 5}, TypeError, "value of 'size' must be a sequence."),
    ((), {"size": []}, ValueError, "sequence passed to 'size' must not be empty."),
    ((), {"size": [2.0]}, TypeError, "dimensions must be nonnegative integers."),
    ((), {"size": ["2"]}, TypeError, "dimensions must be nonnegative integers."),
    ((), {"size": [2, -1]}, ValueError,
     "size cannot contain negative dimensions. Use nonnegative integers for dimensions."),
    ((), {"size": [2**70]}, ValueError,
     "size cannot contain negative dimensions. Use nonnegative integers for dimensions."),
    ((), {"vector": 5}, ValueError, "value of 'vector' must be a sequence."),
    ((), {"vector": "abc"}, ValueError, "value passed to 'vector' must be numeric."),
    ((), {"vector": [1, [2]]}, TypeError, "value of 'vector' must be an unnested sequence."),
    ((), {"vector": [1, "a"]}, TypeError, "value of 'vector' must be an unnested sequence."),
    ((), {"vector": [1, None]}, ValueError, "value must not be 'None'."),
    (("12",), {}, ValueError, "value passed to initializer must be numeric."),
    (([[1, 2], "ab"],), {}, ValueError, "value passed to initializer must be numeric."),
    (([[1, 2], [3]],), {}, ValueError, "elements of array are of different lengths or types."),
    (([[1, 2], 3],), {}, ValueError, "elements of array are of different lengths or types."),
    (([1, [2]],), {}, ValueError, "elements of array are of different lengths or types."),
    (([[1, 2], [[3], [4]]],), {}, ValueError, "arrays must be rectangular."),
    (([[[1, 2]], [[3, 4, 5]]],), {}, ValueError, "arrays must be rectangular."),
    (([[[], []], [[1], [2]]],), {}, ValueError, "arrays must be rectangular."),
    (([[[]], [[1]]],), {}, ValueError, "arrays must be rectangular."),
    (([None],), {}, TypeError, "value must not be 'None'."),
]


@pytest.mark.parametrize("args, kwargs, exc, message", ARGUMENT_ERRORS)
def test_argument_errors(km, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        km.double(*args, **kwargs)
    assert str(info.value) == message


def test_logical_must_not_be_complex(km):
    with pytest.raises(TypeError) as info:
        km.logical(is_complex=True)
    assert str(info.value) == "logical arrays must not be complex."
    assert dims(km.logical(is_complex=False)) == (0, 0)


SHAPE_ERRORS = [
    (([1, 2, 3],), {"size": (2, 2)}, "ShapeError", "3", "2, 2"),
    ((5,), {"size": [2, 2]}, "ShapeError", "1, 1", "2, 2"),
    (([[1, 2, 3], [4, 5, 6]],), {"size": (3, 2)}, "SizeError", "2, 3", "3, 2"),
    (([[1, 2], [3, 4]],), {"size": [4]}, "SizeError", "2, 2", "1, 4"),
    (([[1, 2, 3]],), {"size": [3, 1]}, "SizeError", "1, 3", "3, 1"),
    (([[[1, 2]], [[3, 4]]],), {"size": [2, 2]}, "SizeError", "2, 1, 2", "2, 2"),
    ((), {"vector": [1, 2, 3], "size": [2, 2]}, "ShapeError", "3", "2, 2"),
    ((), {"vector": [], "size": [1]}, "ShapeError", "0", "1, 1"),
    (([[1, 2]],), {"size": [3]}, "ShapeError", "1, 2", "1, 3"),
]


@pytest.mark.parametrize("args, kwargs, error, initializer, size", SHAPE_ERRORS)
def test_shape_and_size_errors(km, args, kwargs, error, initializer, size):
    with pytest.raises(getattr(km, error)) as info:
        km.double(*args, **kwargs)
    assert str(info.value) == MISMATCH.format(initializer, size)
    other = km.SizeError if error == "ShapeError" else km.ShapeError
    assert not isinstance(info.value, other)


def test_size_too_large_for_memory(kind, array_type):
    for is_complex in complex_flags(kind):
        start = time.monotonic()
        with pytest.raises(MemoryError) as info:
            array_type(size=[10**9, 10**9], is_complex=is_complex)
        assert time.monotonic() - start < 5
        assert str(info.value) == ("unable to allocate memory for array with number of elements "
                                   f"= 1000000000000000000; type = {kind.name}")
    with pytest.raises(MemoryError, match=f"= {2**64 - 1}; type"):
        array_type(size=[2**62, 2**62])  # the count saturates instead of wrapping


# ---- sequences that misbehave ----------------------------------------------------------------

class Flaky:
    """A sequence of `n` ones whose `fail_at`-th item fetch (counting from 1) fails."""

    def __init__(self, n, fail_at):
        self.n, self.fail_at, self.calls = n, fail_at, 0

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if not 0 <= i < self.n:
            raise IndexError(i)
        self.calls += 1
        if self.calls == self.fail_at:
            raise KeyError("no item")
        return 1


def test_unfetchable_items(km):
    # The shape check fetches the three items once; the walk's second fetch fails.
    with pytest.raises(RuntimeError) as info:
        km.double([Flaky(3, 5)])
    assert str(info.value) == "null data pointer."
    with pytest.raises(ValueError, match="elements of array are of different lengths or types."):
        km.double(Flaky(3, 2))
    with pytest.raises(RuntimeError) as info:
        km.double(vector=Flaky(3, 2))
    assert str(info.value) == "item 1 could not be retrieved."
    with pytest.raises(RuntimeError) as info:
        km.double(size=Flaky(2, 1))
    assert str(info.value) == ("Item 0 could not be retrieved from the value associated with "
                               "the 'size' keyword.")


def test_sequence_shrinking_while_read(km):
    class Shrinking(list):
        def __getitem__(self, i):
            item = list.__getitem__(self, i)
            self.clear()
            return item

    with pytest.raises(RuntimeError, match="item 1 could not be retrieved."):
        km.double(vector=Shrinking([1, 2, 3]))


def test_self_containing_and_deep_initializers(km):
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        km.double(loop)
    deep = 1.0
    for _ in range(sys.getrecursionlimit() + 100):
        deep = [deep]
    with pytest.raises(RecursionError):
        km.double(deep)
    assert dims(km.double([[[[[[[[1.0]]]]]]]])) == (1, 1)


# ---- references and memory -------------------------------------------------------------------

def test_inputs_keep_their_reference_counts(km):
    value = 12345.5
    rows = [[value, 2.0], [3.0, value]]
    size = [2, 2]
    vector = [value, value, value, value]
    keywords = {"size": size}
    watched = (value, rows, rows[0], size, vector, keywords)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        km.double(rows)
        km.double(rows, size)
        km.double(vector=vector, size=size)
        km.double(keywords)
        km.double(rows, is_complex=True)
        for call in (lambda: km.double(rows, [3]), lambda: km.double([rows, None]),
                     lambda: km.double(vector, None, vector), lambda: km.int8(vector=vector)):
            with pytest.raises(Exception):
                call()
        del call
    assert [sys.getrefcount(o) for o in watched] == before


def test_no_memory_growth(km):
    rows = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]

    def succeed():
        km.double(rows)
        km.int8(vector=[1, 2, 3, 4], size=[2, 2])
        km.uint16(size=[3, 3], is_complex=True)
        km.logical({"size": [2]})

    def fail():
        for call in (lambda: km.double([[1, 2], [3]]), lambda: km.int8([1.5]),
                     lambda: km.double(rows, size=[3, 2]), lambda: km.double(size=[10**9, 10**9]),
                     lambda: km.double(vector=[1, None]), lambda: km.logical(is_complex=True)):
            with pytest.raises(Exception):
                call()

    leak_check(succeed)
    leak_check(fail)
