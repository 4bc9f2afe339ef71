"""Leak check of every public operation, on its success and its failure paths.

Each operation runs many times after a warm-up; neither the interpreter's count of allocated
blocks nor the C heap (where the array states, wrappers and runtime buffers live) may grow, and
the reference counts of everything the operation was given stay as they were."""
import array
import contextlib
import ctypes
import gc
import io
import pickle
import sys

import numpy as np
import pytest

import kalvo

ROUNDS = 2000


def fails(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


def quietly(fn):
    """Runs fn with the standard error stream discarded (toarray() prints array.array's complaint)."""
    def run():
        with contextlib.redirect_stderr(io.StringIO()):
            fn()
    return run


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def _heap_probe():
    """Bytes in use on the C heap (glibc's mallinfo2), or None where that is not available."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return lambda: None
    mallinfo2.restype = _MallInfo2
    probe = lambda: mallinfo2().uordblks + mallinfo2().hblkhd
    return probe if probe() else (lambda: None)  # a sanitizer's allocator reports nothing


heap_in_use = _heap_probe()


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


# Private prototypes, leaving ctypes.pythonapi's shared function objects as other modules set them.
_get_buffer = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int)(
    ("PyObject_GetBuffer", ctypes.pythonapi))
_release_buffer = ctypes.PYFUNCTYPE(None, ctypes.POINTER(PyBuffer))(("PyBuffer_Release", ctypes.pythonapi))
PyBUF_WRITABLE, PyBUF_FORMAT, PyBUF_ND, PyBUF_STRIDES = 0x1, 0x4, 0x8, 0x18
PyBUF_C_CONTIGUOUS, PyBUF_F_CONTIGUOUS = 0x38, 0x58


def export(obj, flags):
    """Requests a buffer with raw flags and releases it again."""
    view = PyBuffer()
    _get_buffer(obj, ctypes.byref(view), flags)  # ctypes raises the pending Python error
    _release_buffer(ctypes.byref(view))


def operations():
    """name -> (operation, objects whose reference counts it must leave alone), over fresh arrays."""
    nested, cnested = [[1.5, 2, 3], [4, 5, 6]], [[1 + 2j, 3], [4, 5j]]
    vec, size, row, pair, six = [1, 2, 3, 4], [2, 2], [7.0, 8.0, 9.0], [1.0, 2.0], [0.5] * 6
    keywords, dumped = {"size": [2, 3]}, pickle.dumps(kalvo.double(nested))
    arr, npc = array.array("d", [1, 2, 3]), np.arange(6.0).reshape(2, 3)
    npf, npz, strided = np.asfortranarray(npc), np.array([1 + 1j, 2]), npc[:, ::2]
    a, b = kalvo.double(nested), kalvo.double(nested)
    c, i8, lg = kalvo.double(cnested, is_complex=True), kalvo.int8([[1, 2], [3, 4]]), kalvo.logical([[1, 0]])
    ra, sl = a[1], a[0:2][1:]
    exported, pinned = kalvo.double(nested), []
    key, bad_key, step0 = slice(0, 2), 1.0, slice(None, None, 0)
    empty = kalvo.double()

    def reshape_round_trip():
        a.reshape(3, 2)
        a.reshape((2, 3))

    def reshape_exported():
        with memoryview(exported):
            exported.reshape(3, 2)
            exported.reshape(2, 3)

    def walk_twice(x):
        it = iter(x)
        list(it)
        fails(StopIteration, next, it)

    ops = {
        # construction, every form
        "new nested": (lambda: kalvo.double(nested), (nested,)),
        "new complex": (lambda: kalvo.double(cnested, is_complex=True), (cnested,)),
        "new scalar": (lambda: kalvo.int16(7), ()),
        "new from array": (lambda: kalvo.double(a), (a,)),
        "new vector": (lambda: kalvo.uint8(vector=vec), (vec,)),
        "new vector size": (lambda: kalvo.uint8(vector=vec, size=size), (vec, size)),
        "new size": (lambda: kalvo.single(size=size, is_complex=True), (size,)),
        "new empty": (lambda: kalvo.logical(), ()),
        "new keyword dict": (lambda: kalvo.double(keywords, nested), (keywords, nested)),
        "new array.array": (lambda: kalvo.double(arr), (arr,)),
        "new numpy C": (lambda: kalvo.double(npc), (npc,)),
        "new numpy F": (lambda: kalvo.double(npf), (npf,)),
        "new numpy complex": (lambda: kalvo.double(npz, is_complex=True), (npz,)),
        "new bytes": (lambda: kalvo.uint8(b"\x01\x02"), ()),
        "fail conversion": (lambda: fails(TypeError, kalvo.int8, nested), (nested,)),
        "fail overflow": (lambda: fails(OverflowError, kalvo.int8, [[1, 300]]), ()),
        "fail ragged": (lambda: fails(ValueError, kalvo.double, [[1, 2], [3]]), ()),
        "fail rectangular": (lambda: fails(ValueError, kalvo.double, [[1, 2], [[3], [4]]]), ()),
        "fail string": (lambda: fails(ValueError, kalvo.double, "12"), ()),
        "fail vector value": (lambda: fails(ValueError, kalvo.double, vector=[1, None]), ()),
        "fail vector nested": (lambda: fails(TypeError, kalvo.double, vector=[1, [2]]), ()),
        "fail vector and initializer": (lambda: fails(TypeError, kalvo.double, nested, vector=vec), (nested, vec)),
        "fail shape": (lambda: fails(kalvo.ShapeError, kalvo.double, vector=[1, 2, 3], size=size), (size,)),
        "fail size shape": (lambda: fails(kalvo.SizeError, kalvo.double, nested, size=(3, 2)), (nested,)),
        "fail size value": (lambda: fails(ValueError, kalvo.double, size=[2, -1]), ()),
        "fail size type": (lambda: fails(TypeError, kalvo.double, size=5), ()),
        "fail size memory": (lambda: fails(MemoryError, kalvo.double, size=[10 ** 9, 10 ** 9]), ()),
        "fail is_complex": (lambda: fails(TypeError, kalvo.double, is_complex=1), ()),
        "fail logical complex": (lambda: fails(TypeError, kalvo.logical, is_complex=True), ()),
        "fail buffer format": (lambda: fails(BufferError, kalvo.single, arr), (arr,)),
        "fail buffer contiguity": (lambda: fails(ValueError, kalvo.double, strided), (strided,)),
        "fail buffer complex": (lambda: fails(BufferError, kalvo.double, arr, is_complex=True), (arr,)),
        # reading
        "read element": (lambda: a[1][2], (a,)),
        "read row": (lambda: a[1], (a,)),
        "read negative": (lambda: a[-1][-1], (a,)),
        "read slice of slice": (lambda: a[0:2][1][key], (a, key)),
        "read complex": (lambda: c[1][1], (c,)),
        "read logical": (lambda: lg[0][0], (lg,)),
        "fail index": (lambda: fails(IndexError, a.__getitem__, 5), (a,)),
        "fail huge index": (lambda: fails(IndexError, a.__getitem__, 2 ** 70), (a,)),
        "fail key type": (lambda: fails(RuntimeError, a.__getitem__, bad_key), (a, bad_key)),
        "fail step": (lambda: fails(ValueError, a.__getitem__, step0), (a, step0)),
        "fail slice position": (lambda: fails(IndexError, sl.__getitem__, 1), (sl,)),
        "len": (lambda: (len(a), len(ra), len(sl)), (a, ra, sl)),
        "str": (lambda: (str(a), str(c), str(sl)), (a, c, sl)),
        "repr": (lambda: (repr(a), repr(c), repr(ra)), (a, c, ra)),
        # assignment, each kind
        "set element": (lambda: a[1].__setitem__(2, 7.5), (a,)),
        "set complex element": (lambda: c[0].__setitem__(0, 1 + 2j), (c,)),
        "set row": (lambda: a.__setitem__(1, row), (a, row)),
        "set last slice": (lambda: ra.__setitem__(key, pair), (ra, key, pair)),
        "set block": (lambda: a.__setitem__(key, six), (a, key, six)),
        "set through slice": (lambda: sl.__setitem__(0, row), (sl, row)),
        "fail set overflow": (lambda: fails(OverflowError, i8[0].__setitem__, 0, 300), (i8,)),
        "fail set float": (lambda: fails(TypeError, i8[0].__setitem__, 0, 1.5), (i8,)),
        "fail set index": (lambda: fails(IndexError, a.__setitem__, 5, row), (a, row)),
        "fail set key": (lambda: fails(RuntimeError, a.__setitem__, "x", 1), (a,)),
        "fail delete": (lambda: fails(RuntimeError, a.__delitem__, 0), (a,)),
        "fail set row shape": (lambda: fails(ValueError, a.__setitem__, 1, pair), (a, pair)),
        "fail set row value": (lambda: fails(TypeError, i8.__setitem__, 1, [1, None]), (i8,)),
        "fail set last slice shape": (lambda: fails(ValueError, ra.__setitem__, key, 7), (ra, key)),
        "fail set block count": (lambda: fails(ValueError, a.__setitem__, key, row), (a, key, row)),
        "fail set block empty": (lambda: fails(ValueError, a.__setitem__, key, []), (a, key)),
        "fail set empty slice": (lambda: fails(ValueError, a.__setitem__, slice(1, 1), [1]), (a,)),
        # iteration and comparison
        "iterate rows": (lambda: walk_twice(a), (a,)),
        "iterate elements": (lambda: walk_twice(sl[0]), (sl,)),
        "iterate empty": (lambda: walk_twice(empty), (empty,)),
        "contains": (lambda: 5.0 in ra, (ra,)),
        "compare": (lambda: (a == b, a != b, c == c, a == sl, a == 5, i8 == a), (a, b, c, sl, i8)),
        "fail ordering": (lambda: fails(NotImplementedError, a.__lt__, b), (a, b)),
        # methods and properties
        "reshape": (reshape_round_trip, (a,)),
        "fail reshape count": (lambda: fails(kalvo.ShapeError, a.reshape, 4, 2), (a,)),
        "fail reshape partial": (lambda: fails(RuntimeError, ra.reshape, 3, 1), (ra,)),
        "fail reshape keywords": (lambda: fails(ValueError, a.reshape, 3, 2, order="C"), (a,)),
        "fail reshape argument": (lambda: fails(ValueError, a.reshape, [6]), (a,)),
        "reshape exported": (reshape_exported, (exported,)),
        "clone": (lambda: (a.clone(), sl.clone(), c.clone()), (a, sl, c)),
        "real imag": (lambda: (c.real(), c.imag(), c._real, c._imag, c[0].real()), (c,)),
        "noncomplex": (lambda: (a.noncomplex(), a._data, ra.noncomplex()), (a, ra)),
        "fail real": (lambda: fails(ValueError, a.real), (a,)),
        "fail imag property": (lambda: fails(ValueError, getattr, a, "_imag"), (a,)),
        "fail noncomplex": (lambda: fails(ValueError, c.noncomplex), (c,)),
        "properties": (lambda: (a.size, sl._size, c.itemsize, c._is_complex, ra.size), (a, sl, c, ra)),
        "storage descriptions": (lambda: (a.buffer_info(), ra.get_bytewise_strides()), (a, ra)),
        "toarray": (lambda: (ra.toarray(), lg[0].toarray()), (ra, lg)),
        "fail toarray": (quietly(lambda: fails(RuntimeError, a.toarray)), (a,)),
        "fail toarray complex": (quietly(lambda: fails(RuntimeError, c[0].toarray)), (c,)),
        # exports
        "memoryview": (lambda: memoryview(a).release(), (a,)),
        "memoryview partial": (lambda: memoryview(a[1]).tolist(), (a,)),
        "memoryview cached partial": (lambda: memoryview(ra).release(), (ra,)),
        "tomemoryview": (lambda: (a.tomemoryview(), c.tomemoryview()), (a, c)),
        "numpy view": (lambda: np.asarray(a).sum(), (a,)),
        "raw exports": (lambda: (export(a, PyBUF_STRIDES | PyBUF_FORMAT), export(sl, PyBUF_F_CONTIGUOUS)), (a, sl)),
        "fail writable export": (lambda: fails(ValueError, export, a, PyBUF_WRITABLE), (a,)),
        "fail C export": (lambda: fails(ValueError, export, ra, PyBUF_C_CONTIGUOUS), (ra,)),
        # pickling
        "pickle": (lambda: (pickle.dumps(a), pickle.dumps(c), pickle.dumps(sl)), (a, c, sl)),
        "unpickle": (lambda: pickle.loads(dumped), (dumped,)),
        "reduce": (lambda: (a.__reduce__(), ra.__reduce__()), (a, ra)),
    }
    return ops


OPERATIONS = sorted(operations())


@pytest.mark.parametrize("name", OPERATIONS)
def test_no_leak(name):
    op, inputs = operations()[name]
    for _ in range(100):
        op()
    gc.collect()
    counts = [sys.getrefcount(x) for x in inputs]
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    for _ in range(ROUNDS):
        op()
    gc.collect()
    grown_blocks = sys.getallocatedblocks() - blocks
    assert grown_blocks < ROUNDS // 20, f"{grown_blocks} Python blocks kept after {ROUNDS} rounds"
    if heap is not None:
        grown_heap = heap_in_use() - heap
        assert grown_heap < ROUNDS * 8, f"C heap grew by {grown_heap} bytes over {ROUNDS} rounds"
    assert [sys.getrefcount(x) for x in inputs] == counts


def test_inputs_keep_their_reference_counts():
    """Construction and assignment, succeeding and failing, hand back every reference they take
    to the values, sequences, keyword dictionaries and exporters they were given."""
    value = 12345.5
    rows = [[value, 2.0], [3.0, value]]
    size = [2, 2]
    vector = [value, value, value, value]
    keywords = {"size": size}
    data = np.arange(4.0)
    target = kalvo.double([[1, 2, 3], [4, 5, 6]])
    watched = (value, rows, rows[0], size, vector, keywords, data)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        kalvo.double(rows), kalvo.double(rows, size), kalvo.double(vector=vector, size=size)
        kalvo.double(keywords), kalvo.double(rows, is_complex=True), kalvo.double(data)
        fails(kalvo.ShapeError, kalvo.double, rows, [3])
        fails(ValueError, kalvo.double, [rows, None])
        fails(TypeError, kalvo.double, vector, None, vector)
        fails(ValueError, kalvo.int8, vector=vector)
        fails(BufferError, kalvo.single, data)
        target[0] = rows[0] + [value]
    assert [sys.getrefcount(o) for o in watched] == before
