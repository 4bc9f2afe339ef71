"""Hostile inputs and hostile timing: sequences that lie, callbacks that change the array under
an operation, dimension products beyond 64 bits, malformed buffer exporters, deep nesting,
sources deleted under their views, and many threads at once. Every case must end in a correct
result or an ordinary Python exception; a failed assignment that never reached its first write
leaves the array as it was."""
import ctypes
import gc
import pickle
import random
import struct
import sys
import threading
import time

import numpy as np
import pytest

import kalvo
from conftest import PyBuffer

ARRAY_TYPES = tuple(getattr(kalvo, n) for n in (
    "double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "logical"))
CLEAN = (TypeError, ValueError, RuntimeError, IndexError, OverflowError, MemoryError, BufferError,
         RecursionError, kalvo.ShapeError, kalvo.SizeError)
RESHAPED = "the array was reshaped while the assigned value was read."


def read(obj):
    """Nested list of what an array object shows, read one key at a time."""
    return [read(x) if isinstance(x, ARRAY_TYPES) else x for x in (obj[i] for i in range(len(obj)))]


def outcome(fn):
    """fn's result, or the ordinary exception it raised (anything else propagates)."""
    try:
        return fn()
    except CLEAN as e:
        return e


def storage(a):
    """Every element of a full real array in storage order (unchanged by reshape)."""
    return list(a.noncomplex()) if not a._is_complex else list(a.real()) + list(a.imag())


class Seq:
    """A sequence whose reported length and item fetches are under the test's control."""

    def __init__(self, items, length=None, on_get=None):
        self.items, self.length, self.on_get = list(items), length, on_get

    def __len__(self):
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.on_get:
            self.on_get(self, i)
        return self.items[i]


def boom(seq, i):
    raise KeyError("fetch refused")


def shrink(seq, i):
    seq.items.pop()


# ---------------------------------------------------------------------------------------------
# Sequences that lie about their length or change while they are read


@pytest.mark.parametrize("call, expected", [
    # more items promised than delivered
    (lambda: kalvo.double(vector=Seq([1, 2], 3)), (RuntimeError, "item 2 could not be retrieved.")),
    (lambda: kalvo.double(size=Seq([1, 2], 3)),
     (RuntimeError, "Item 2 could not be retrieved from the value associated with the 'size' keyword.")),
    (lambda: kalvo.double([[1, 2]]).reshape(Seq([1, 2], 3)),
     (RuntimeError, "Item 2 could not be retrieved from the value passed to reshape().")),
    (lambda: kalvo.double(Seq([1, 2], 3)), (RuntimeError, "null data pointer.")),
    (lambda: kalvo.double([Seq([1], 2), Seq([1], 2)]), CLEAN),
    # fewer items promised than present: only the promised ones count
    (lambda: kalvo.double(Seq([1, 2, 3], 2)), [[1.0, 2.0]]),
    (lambda: kalvo.double(vector=Seq([1, 2, 3], 2)), [[1.0, 2.0]]),
    (lambda: kalvo.double(size=Seq([2, 1, 9], 2)), [[0.0], [0.0]]),
    # absurd lengths
    (lambda: kalvo.double(Seq([1, 2], -1)), ValueError),
    (lambda: kalvo.double(vector=Seq([1, 2], -1)), ValueError),
    (lambda: kalvo.double(Seq([1, 2], 2 ** 62)), CLEAN),
    (lambda: kalvo.double(vector=Seq([1, 2], 2 ** 62)), MemoryError),
    (lambda: kalvo.double([Seq([1, 2], 2 ** 62)]), CLEAN),
    (lambda: kalvo.double(size=Seq([2, 2], 2 ** 62)), CLEAN),
    # lazy sequences too long for any machine are refused without fetching every item first
    (lambda: kalvo.double(range(2 ** 62)), MemoryError),
    (lambda: kalvo.logical([range(2 ** 41), range(2 ** 41)]), MemoryError),
    (lambda: kalvo.double(size=range(2 ** 62)), MemoryError),
    (lambda: kalvo.double([[1, 2]]).reshape(range(2 ** 62)), MemoryError),
    # fetches that fail or change the sequence being read
    (lambda: kalvo.double([Seq([1], on_get=boom)]), (RuntimeError, "null data pointer.")),
    (lambda: kalvo.double(vector=Seq([1], on_get=boom)), (RuntimeError, "item 0 could not be retrieved.")),
    (lambda: kalvo.double(size=Seq([2, 2], on_get=boom)), RuntimeError),
    (lambda: kalvo.double(Seq([1, 2, 3], on_get=shrink)), CLEAN),
    (lambda: kalvo.double(vector=Seq([1, 2, 3], on_get=shrink)), RuntimeError),
    # ragged shapes that only show up part way through the walk
    (lambda: kalvo.double([[[], []], [[1], [2]]]), ValueError),
    (lambda: kalvo.double([[[]], [[1]]]), ValueError),
])
def test_lying_sequences_in_construction(call, expected):
    result = outcome(call)
    if isinstance(expected, list):
        assert read(result) == expected
    elif isinstance(expected, tuple) and isinstance(expected[1], str):
        assert type(result) is expected[0] and str(result) == expected[1]
    else:
        assert isinstance(result, expected)


def test_rows_that_change_while_the_walk_reads_them():
    """Row 0's fetches change the length of row 1 after the outer consistency check."""
    for change in (lambda row: row.items.clear(), lambda row: row.items.append(9)):
        second = Seq([3, 4])
        first = Seq([1, 2], on_get=lambda seq, i: i == 1 and change(second))
        result = outcome(lambda: kalvo.double([first, second]))
        assert type(result) is ValueError and str(result) == "arrays must be rectangular."
    # A row whose length differs on each call: refused, or an array holding only its items.
    class Fickle(Seq):
        calls = 0

        def __len__(self):
            Fickle.calls += 1
            return 2 + Fickle.calls % 2
    result = outcome(lambda: kalvo.double([Fickle([1, 2, 3]), Fickle([4, 5, 6])]))
    if not isinstance(result, Exception):
        values = read(result)
        assert len({len(row) for row in values}) == 1 and set(sum(values, [])) <= {1, 2, 3, 4, 5, 6}


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
        assert isinstance(outcome(lambda: assign(lie())), (RuntimeError, ValueError, MemoryError)), name
        assert read(a) == [[1, 2, 3], [4, 5, 6]], name


def test_shorter_length_assigns_the_reported_items():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    a[1] = Seq([7, 8, 9, 10], 3)
    a[0][0:2] = Seq([5, 6, 7], 2)
    assert read(a) == [[5, 6, 3], [7, 8, 9]]


# ---------------------------------------------------------------------------------------------
# Callbacks that change the very array an operation works on


class NoisyFloat(float):
    """Conversion hooks that fail loudly: int and float subclasses are read by value, so no
    conversion may run code that could change the array it is working on."""
    calls = []

    def __float__(self):
        NoisyFloat.calls.append(self)
        raise AssertionError("__float__ called")


class NoisyInt(int):
    calls = []

    def __index__(self):
        NoisyInt.calls.append(self)
        raise AssertionError("__index__ called")

    __int__ = __index__


def test_number_subclasses_are_read_by_value_without_their_hooks():
    a = kalvo.double([NoisyFloat(1.5), NoisyInt(2)])
    a[0][0] = NoisyFloat(2.5)
    b = kalvo.int8(vector=[NoisyInt(3)], size=[NoisyInt(1), NoisyInt(1)])
    b[NoisyInt(0)][NoisyInt(0)] = NoisyInt(4)
    assert read(a) == [[2.5, 2.0]] and read(b) == [[4]] and a[NoisyInt(0)][NoisyInt(1)] == 2.0
    for value in (7, -2 ** 70):  # out of range: the message shows the value
        message = f"^index has an invalid value: {value}$"
        with pytest.raises(IndexError, match=message):
            a[0][NoisyInt(value)]
        with pytest.raises(IndexError, match=message):
            a[0][NoisyInt(value)] = 1.0
    assert a.reshape(NoisyInt(2), NoisyInt(1)) is a and a.size == (2, 1)
    assert NoisyFloat.calls == [] and NoisyInt.calls == []


class Bound:
    """A slice bound whose __index__ runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def reshaping(a, *dims):
    return lambda: a.reshape(*dims)


def test_slice_bound_that_reshapes_during_a_read():
    for dims in ((3, 2), (6, 1), (2, 3), (1, 6)):
        a = kalvo.double([[1, 2, 3], [4, 5, 6]])
        row = a[1]
        for target, key in ((a, lambda: slice(Bound(0, reshaping(a, *dims)), 2)),
                            (row, lambda: slice(0, Bound(2, reshaping(a, *dims))))):
            result = outcome(lambda: target[key()])
            if isinstance(result, Exception):
                assert isinstance(result, RuntimeError)
            else:  # the reshape kept the length the slice was normalised against
                expect = read(target)[0:2]
                assert read(result) == expect


def test_slice_bound_that_reshapes_during_an_assignment():
    for dims in ((3, 2), (6, 1), (1, 6)):
        a = kalvo.double([[1, 2, 3], [4, 5, 6]])
        before = storage(a)
        # last-dimension slice, block slice, block slice through a trailing slice
        for target, stop, value in ((lambda: a[0], 2, [7, 8]), (lambda: a, 1, [7, 8, 9]),
                                    (lambda: a[0:2], 1, [7, 8, 9])):
            view = target()
            result = outcome(lambda: view.__setitem__(slice(Bound(0, reshaping(a, *dims)), stop), value))
            assert (type(result), str(result)) == (RuntimeError, RESHAPED)
            a.reshape(2, 3)
            assert storage(a) == before


def test_slice_bound_that_writes_or_exports_during_an_assignment():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    a[0][Bound(0, lambda: a[0].__setitem__(2, 99)):2] = [7, 8]  # the callback's write stays
    assert read(a) == [[7, 8, 99], [4, 5, 6]]
    views = []
    a[Bound(1, lambda: views.append(memoryview(a))):2] = [0, 0, 0]  # exported mid-assignment
    assert views[0].tolist() == [[7, 8, 99], [0, 0, 0]]
    result = outcome(lambda: a[Bound(0, reshaping(a, 3, 2)):1])  # reshaped under a live export
    assert (type(result), str(result)) == (RuntimeError, "the array was reshaped while the slice was read.")
    assert a.size == (3, 2)
    assert views[0].tolist() == [[7, 8, 99], [0, 0, 0]]
    views[0].release()


def test_slice_bound_whose_index_raises_propagates():
    a = kalvo.double([[1, 2, 3]])
    with pytest.raises(ZeroDivisionError):
        a[0][Bound(0, lambda: 1 / 0):2]
    with pytest.raises(ZeroDivisionError):
        a[0][Bound(0, lambda: 1 / 0):2] = [5, 6]
    assert read(a) == [[1, 2, 3]]


@pytest.mark.parametrize("action", ["reshape", "reshape-same", "write", "clone", "export", "drop-views"])
def test_value_whose_fetch_changes_the_target(action):
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    extra = [a[1], iter(a), a[0:1]]
    act = {"reshape": reshaping(a, 3, 2), "reshape-same": reshaping(a, 2, 3),
           "write": lambda: a[1].__setitem__(0, 42), "clone": lambda: extra.append(a.clone()),
           "export": lambda: extra.append(memoryview(a)), "drop-views": extra.clear}[action]
    for name, assign in assignments(a):
        a.reshape(2, 3)
        before = storage(a)
        value = Seq([7, 8, 9], on_get=lambda seq, i: i == 1 and act())
        result = outcome(lambda: assign(value))
        if action == "reshape":
            assert (type(result), str(result)) == (RuntimeError, RESHAPED), name
            a.reshape(2, 3)
            assert storage(a) == before, name
        else:
            assert result is None, name
            assert read(a)[0] == [7, 8, 9], name
        for m in [x for x in extra if isinstance(x, memoryview)]:
            m.release()


def test_eq_that_reshapes_or_writes_during_containment():
    class Eq(float):
        def __eq__(self, other):
            action()
            return float.__eq__(self, other)
        __hash__ = float.__hash__

    for dims, found in (((3, 2), False), ((6, 1), False), ((1, 6), None)):
        a = kalvo.double([[1, 2, 3], [4, 5, 6]])
        action = reshaping(a, *dims)
        assert (Eq(3.0) in a[0]) in ((False, True) if found is None else (found,))
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    action = lambda: a[0].__setitem__(2, 9)
    assert Eq(9.0) in a[0]  # the walk sees the write made during an earlier comparison
    assert Eq(10.0) not in a[0]


def test_iterators_and_views_across_reshapes():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    row, rows, elements, block = a[1], iter(a), iter(a[1]), a[0:2][1:2]
    next(rows), next(elements)
    for dims in ((6, 1), (1, 6), (3, 2), (2, 3)):
        a.reshape(*dims)
        for use in (lambda: read(row), lambda: next(rows, None), lambda: next(elements, None), lambda: str(block),
                    lambda: block == block, lambda: memoryview(row).tolist(), lambda: row.clone(),
                    lambda: len(block), lambda: row.__setitem__(0, 1)):
            result = outcome(use)
            assert not isinstance(result, (TypeError, ValueError, MemoryError))
    assert len(storage(a)) == 6 and set(storage(a)) <= {1, 2, 3, 4, 5, 6}


# ---------------------------------------------------------------------------------------------
# Dimension products beyond 64 bits


@pytest.mark.parametrize("call, expected", [
    (lambda: kalvo.double(size=[2 ** 40, 2 ** 40]), MemoryError),
    (lambda: kalvo.double(size=[2 ** 62, 4]), MemoryError),
    (lambda: kalvo.double(size=[2 ** 32, 2 ** 32]), MemoryError),
    (lambda: kalvo.double(size=[2 ** 21] * 3), MemoryError),
    (lambda: kalvo.double(size=[2 ** 63]), ValueError),
    (lambda: kalvo.double(size=[2 ** 64, 1]), ValueError),
    (lambda: kalvo.double(vector=[], size=[2 ** 32, 2 ** 32]), CLEAN),
    (lambda: kalvo.double(vector=[1], size=[2 ** 32, 2 ** 32]), CLEAN),
    (lambda: kalvo.double([], size=[2 ** 32, 2 ** 32]), CLEAN),
    (lambda: kalvo.double([[]], size=[2 ** 32, 2 ** 32, 0]), CLEAN),
    (lambda: kalvo.double([[1, 2], [3, 4]]).reshape(2 ** 62, 4), (kalvo.ShapeError, f"({2 ** 64}) does not")),
    (lambda: kalvo.double([[1, 2], [3, 4]]).reshape(2 ** 32, 2 ** 32, 2 ** 32),
     (kalvo.ShapeError, f"({2 ** 96}) does not match current number (4).")),
    (lambda: kalvo.double([[1, 2], [3, 4]]).reshape(2 ** 63, 1), ValueError),
    (lambda: kalvo.double(size=[0, 0]).reshape(2 ** 62, 0), CLEAN),
    (lambda: kalvo.double(size=[0, 0]).reshape(0, 2 ** 40, 2 ** 40), kalvo.double),  # strides all 0
    (lambda: kalvo.double([[1, 2]])[0][2 ** 64], IndexError),
    (lambda: kalvo.double([[1, 2]])[0][-2 ** 64], IndexError),
])
def test_dimension_products_beyond_64_bits(call, expected):
    result = outcome(call)
    expected, text = expected if isinstance(expected, tuple) and len(expected) == 2 and \
        isinstance(expected[1], str) else (expected, "")
    assert isinstance(result, expected) and text in str(result), result


@pytest.mark.parametrize("size", [[2 ** 62, 0], [0, 2 ** 62], [2 ** 31, 0, 2 ** 31], [3, 2 ** 61, 0]])
def test_empty_arrays_with_huge_extents(size):
    try:
        a = kalvo.int8(size=size)
    except CLEAN:
        return
    n = len(a)
    for use in (lambda: a[n - 1], lambda: a[-1][0:2 ** 62], lambda: a[0:2 ** 62:2 ** 40].size,
                lambda: a.clone().size, lambda: memoryview(a).shape, lambda: next(iter(a), None),
                lambda: a.toarray(), lambda: a.noncomplex().size, lambda: str(a[n - 1]),
                lambda: a.__setitem__(slice(0, 2), []), lambda: a[0].__setitem__(0, [])):
        outcome(use)
    assert a.buffer_info()[1] == 0


# ---------------------------------------------------------------------------------------------
# Malformed buffer exporters


# A private prototype: setting argtypes on ctypes.pythonapi's shared function objects would
# change them for every other test module.
_from_buffer = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.POINTER(PyBuffer))(
    ("PyMemoryView_FromBuffer", ctypes.pythonapi))


def raw_view(keep, length, itemsize, shape, strides, fmt=b"d"):
    """A memoryview over six doubles 1..6 that reports whatever description it is given."""
    data = ctypes.create_string_buffer(struct.pack("6d", 1, 2, 3, 4, 5, 6), 64)
    info = PyBuffer(ctypes.addressof(data), None, length, itemsize, 1, len(shape), fmt)
    if shape:
        info.shape = (ctypes.c_ssize_t * len(shape))(*shape)
        info.strides = (ctypes.c_ssize_t * len(shape))(*strides)
    keep += [data, info, fmt]
    return _from_buffer(ctypes.byref(info))


@pytest.mark.parametrize("length, itemsize, shape, strides, expected", [
    (48, 8, [2, 3], [8, 16], [[1.0, 3.0, 5.0], [2.0, 4.0, 6.0]]),
    (48, 8, [2, 3], [24, 8], [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
    (8, 8, [], [], [[1.0]]),
    (0, 8, [2, 0, 3], [8, 16, 0], (2, 0, 3)),
    (48, 0, [2, 3], [0, 0], BufferError),       # zero item size
    (48, 0, [6], [0], BufferError),
    (48, 8, [1, 1], [8, 8], BufferError),       # shape holds fewer elements than the length
    (48, 8, [3, 5], [8, 24], BufferError),      # ... or more
    (48, 8, [10], [8], BufferError),
    (16, 8, [], [], BufferError),               # a scalar of two elements
    (48, 8, [-2, -3], [8, -16], BufferError),
    (48, 4, [12], [4], BufferError),            # item size of another type
    (47, 8, [6], [8], BufferError),
    (48, 8, [2, 2], [8, 24], BufferError),      # not contiguous
    (48, 8, [2 ** 62, 4], [8, 8], BufferError),
])
def test_malformed_exporters(length, itemsize, shape, strides, expected):
    keep = []
    expect_import(outcome(lambda: kalvo.double(raw_view(keep, length, itemsize, shape, strides))), expected)


@pytest.mark.parametrize("source, expected", [
    (lambda x: x[:, ::2], ValueError),
    (lambda x: x[::-1], ValueError),
    (lambda x: np.broadcast_to(x[0], (2, 3)), ValueError),
    (lambda x: x.astype(">f8"), BufferError),
    (lambda x: np.zeros(2, dtype=[("a", "f8")]), BufferError),
    (lambda x: x.T, [[0.0, 3.0], [1.0, 4.0], [2.0, 5.0]]),
    (lambda x: np.asfortranarray(x), [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]),
    (lambda x: x.reshape(2, 3, 1, 1), [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]),
    (lambda x: x[0:0], (0, 3)),
    (lambda x: np.float64(2.5), [[2.5]]),
])
def test_numpy_exporters(source, expected):
    expect_import(outcome(lambda: kalvo.double(source(np.arange(6.0).reshape(2, 3)))), expected)


def expect_import(result, expected):
    """expected: the nested values, the size of an empty array, or the exception type."""
    if isinstance(expected, list):
        assert read(result) == expected
    elif isinstance(expected, tuple):
        assert result.size == expected
    else:
        assert isinstance(result, expected)


# ---------------------------------------------------------------------------------------------
# Deep nesting


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
        assert isinstance(outcome(lambda: kalvo.double(value)), RecursionError)
        for name, assign in assignments(a):
            assert isinstance(outcome(lambda: assign(value)), RecursionError), name
        assert isinstance(outcome(lambda: kalvo.double(vector=[value])), TypeError)
        assert isinstance(outcome(lambda: kalvo.double(size=value)), CLEAN)
    assert read(a) == [[1, 2, 3], [4, 5, 6]]
    assert kalvo.double(nested(50, 7)).size == (1, 1)  # trailing singleton dimensions are dropped
    assert read(kalvo.double(nested(50, 7))) == [[7.0]]


# ---------------------------------------------------------------------------------------------
# Sources deleted under their views, iterators and exports


@pytest.mark.parametrize("order", range(6))
def test_deleting_sources_under_views_iterators_and_exports(order):
    """The source goes first; the rest go in a shuffled order, each checked just before it goes."""
    a = kalvo.int16([[1, 2, 3], [4, 5, 6]])
    objects = {"row": a[1], "block": a[0:2][1:], "rows": iter(a), "elements": iter(a[0]),
               "export": memoryview(a), "row-export": memoryview(a[1])}
    next(objects["rows"]), next(objects["elements"])
    objects["row"][2] = 9  # shared storage; the row's own export was copied before this write
    checks = {"row": (read, [4, 5, 9]), "block": (read, [[4, 5, 9]]),
              "rows": (lambda it: [read(x) for x in it], [[4, 5, 9]]), "elements": (list, [2, 3]),
              "export": (memoryview.tolist, [[1, 2, 3], [4, 5, 9]]),
              "row-export": (memoryview.tolist, [[4, 5, 6]])}
    del a
    names = list(objects)
    random.Random(order).shuffle(names)
    for name in names:
        gc.collect()
        check, expected = checks[name]
        assert check(objects.pop(name)) == expected, name
    gc.collect()


# ---------------------------------------------------------------------------------------------
# Many threads at once


def test_many_threads_share_arrays():
    shared = kalvo.double(size=[8, 8])
    errors = []
    stop = time.monotonic() + 3.0
    allowed = (IndexError, RuntimeError, BufferError)  # views made stale by another thread's reshape

    def worker(seed):
        rng = random.Random(seed)
        try:
            while time.monotonic() < stop:
                own = kalvo.int32([[seed, 1], [2, 3]])
                own[1][0] = seed
                assert read(own) == [[seed, 1], [seed, 3]] and own == own.clone()
                m = memoryview(own)
                assert m.tolist() == [[seed, 1], [seed, 3]]
                m.release()
                assert pickle.loads(pickle.dumps(own)) == own
                try:
                    rows, cols = shared.size
                    shared[rng.randrange(rows)][rng.randrange(cols)] = float(seed)
                    row = shared[rng.randrange(rows)]
                    assert set(row) <= set(map(float, range(9)))
                    with memoryview(shared) as view:
                        assert len(view.tobytes()) == 512
                    shared.reshape(rng.choice([(8, 8), (4, 16), (16, 4), (2, 32)]))
                    assert (shared == shared) is True
                    str(row)
                except allowed:
                    pass
        except Exception as e:  # reported to the main thread
            errors.append(e)

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
    finally:
        sys.setswitchinterval(switch)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert errors == []
    assert set(storage(shared)) <= set(map(float, range(9))) and len(storage(shared)) == 64

