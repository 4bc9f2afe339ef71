"""Arrays built from objects that offer the buffer protocol: array.array, bytes, memoryview,
NumPy arrays in C and Fortran order, and hand-made exporters with inconsistent descriptions."""
import array
import ctypes
import pickle
import struct

import pytest

from conftest import PyBuffer, capi, tolist

np = pytest.importorskip("numpy")

NUMPY_DTYPES = {"double": "float64", "single": "float32", "int8": "int8", "uint8": "uint8",
                "int16": "int16", "uint16": "uint16", "int32": "int32", "uint32": "uint32",
                "int64": "int64", "uint64": "uint64", "logical": "bool"}
INCOMPATIBLE = ("input buffer format ('{}') is not compatible with output format ('{}'); "
                "use a different input or output type")
NOT_Z = "input buffer format ('{}') does not begin with 'Z', but output type is complex"


def six():
    return np.arange(6.0).reshape(2, 3)


@pytest.mark.parametrize("exporter, name, rows", [
    (lambda: array.array("l", [5, -6]), "int64" if array.array("l").itemsize == 8 else "int32", [[5, -6]]),
    (lambda: array.array("L", [5, 6]), "uint64" if array.array("L").itemsize == 8 else "uint32", [[5, 6]]),
    (lambda: b"\x01\x02", "uint8", [[1, 2]]),
    (lambda: b"\x00\x01\x07", "logical", [[False, True, True]]),
    (lambda: np.array([True, False]), "uint8", [[1, 0]]),
    (lambda: np.array(2.5), "double", [[2.5]]),
    (lambda: memoryview(array.array("d", range(6))).cast("B").cast("d", (2, 3)), "double", [[0, 1, 2], [3, 4, 5]]),
    (lambda: memoryview(array.array("d", range(6))).cast("B").cast("d", (3, 1, 2, 1, 1)), "double",
     [[[0, 1]], [[2, 3]], [[4, 5]]]),
    (lambda: np.arange(3, dtype="int32").reshape(3, 1, 1), "int32", [[0], [1], [2]]),
    (lambda: np.zeros((0, 4), dtype="int32"), "int32", (0, 4)),
    (lambda: six().T, "double", [[0.0, 3.0], [1.0, 4.0], [2.0, 5.0]]),
    (lambda: six().reshape(2, 3, 1, 1), "double", [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]),
    (lambda: six()[0:0], "double", (0, 3)),
    # layouts that are neither C nor Fortran contiguous keep the exporter's own error
    (lambda: six()[:, ::2], "double", ValueError),
    (lambda: six()[::-1], "double", ValueError),
    (lambda: np.broadcast_to(six()[0], (2, 3)), "double", ValueError),
    (lambda: memoryview(b"abcdef")[::2], "uint8", BufferError),
    (lambda: np.zeros(2, dtype=[("a", "f8")]), "double", BufferError),
])
def test_exporters(km, exporter, name, rows):
    make = getattr(km, name)
    if isinstance(rows, type):
        with pytest.raises(rows):
            make(exporter())
        return
    a = make(exporter())  # without elements, `rows` gives the shape alone
    assert (a.size, tolist(a)) == ((rows, []) if isinstance(rows, tuple) else (np.array(rows).shape, rows))


def test_logical_import_keeps_its_bytes_and_reads_any_nonzero_byte_as_true(km):
    raw = b"\x00\x02\xff\x01\x00\x80"
    a = km.logical(raw)
    grid = km.logical(np.frombuffer(raw, dtype=np.uint8).reshape(2, 3))  # C order, reordered
    flags = [False, True, True, True, False, True]
    assert memoryview(a).tobytes() == raw
    assert tolist(a) == [flags] and list(a[0]) == flags and str(a[0][1]) == "True"
    assert tolist(grid) == [flags[:3], flags[3:]]
    assert memoryview(grid).tobytes("A") == b"\x00\x01\x02\x00\xff\x80"  # storage: first index fastest
    assert a == km.logical([flags]) and not a != km.logical([flags]) and 1 in a[0] and 0 in a[0]
    assert str(a) == str(km.logical([flags])) and tolist(a.clone()) == [flags]
    assert tolist(pickle.loads(pickle.dumps(a))) == [flags]
    a.reshape(3, 2)
    a[0][0] = True
    assert memoryview(a).tobytes("A") == b"\x01" + raw[1:]
    assert tolist(km.logical(memoryview(a))) == [[True, True], [True, False], [True, True]]


def test_numpy_with_size_fills_column_major(km):
    assert tolist(km.int16(np.array([1, 2, 3, 4, 5, 6], dtype="int16"), size=[2, 3])) == [[1, 3, 5], [2, 4, 6]]
    with pytest.raises(km.ShapeError):
        km.int16(np.array([1, 2, 3], dtype="int16"), size=[2, 2])
    with pytest.raises(km.SizeError):
        km.int16(np.zeros((2, 3), dtype="int16"), size=[3, 2])


# ---- format refusals -------------------------------------------------------------------------

@pytest.mark.parametrize("exporter, name, is_complex, message", [
    (lambda: array.array("d", [1]), "single", False, INCOMPATIBLE.format("d", "f")),
    (lambda: b"\x01", "int8", False, INCOMPATIBLE.format("B", "b")),
    (lambda: np.zeros(2, dtype="complex128"), "double", False, INCOMPATIBLE.format("Zd", "d")),
    (lambda: np.zeros(2, dtype="complex128"), "single", True, INCOMPATIBLE.format("Zd", "Zf")),
    (lambda: np.zeros(2, dtype=">f8"), "double", False, INCOMPATIBLE.format(">d", "d")),
    (lambda: array.array("i", [1]), "int64", False, INCOMPATIBLE.format("i", "q")),
    (lambda: array.array("L", [1]), "int64", False, INCOMPATIBLE.format("L", "q")),
    *[(lambda n=n: np.zeros(2, dtype=NUMPY_DTYPES[n]), n, True, NOT_Z.format(np.dtype(NUMPY_DTYPES[n]).char))
      for n in ("double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64")],
])
def test_format_refusals(km, exporter, name, is_complex, message):
    with pytest.raises(BufferError) as info:
        getattr(km, name)(exporter(), is_complex=is_complex)
    assert str(info.value) == message


# ---- exporters that describe themselves inconsistently ---------------------------------------

_from_buffer = capi("PyMemoryView_FromBuffer", ctypes.py_object, ctypes.POINTER(PyBuffer))
INCONSISTENT = "input buffer's shape and item size do not match its length."
SIX = struct.pack("6d", 1, 2, 3, 4, 5, 6)


def exporter(keep, data, length, itemsize, shape, strides=None, fmt="d"):
    """A memoryview over `data` that reports whatever description it is given, unchecked."""
    storage = ctypes.create_string_buffer(bytes(data), max(len(data), 64))
    info = PyBuffer(ctypes.addressof(storage), None, length, itemsize, 1, len(shape), fmt.encode())
    if shape:
        info.shape = (ctypes.c_ssize_t * len(shape))(*shape)
        info.strides = (ctypes.c_ssize_t * len(shape))(*strides) if strides else None
    keep += [storage, info]
    return _from_buffer(ctypes.byref(info))


@pytest.mark.parametrize("data, length, itemsize, shape, strides, fmt, expected", [
    (SIX, 48, 8, [2, 3], [8, 16], "d", [[1.0, 3.0, 5.0], [2.0, 4.0, 6.0]]),
    (SIX, 48, 8, [2, 3], [24, 8], "d", [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
    (SIX, 8, 8, [], None, "d", [[1.0]]),
    (SIX, 16, 8, [2], None, "d", [[1.0, 2.0]]),
    (b"", 0, 8, [2, 0, 3], [8, 16, 0], "d", (2, 0, 3)),
    (SIX, 16, 8, [2, 3], None, "d", INCONSISTENT),  # 6 items claimed, 2 present
    (SIX, 16, 4, [4], None, "d", INCONSISTENT),
    (SIX, 48, 8, [1, 1], [8, 8], "d", BufferError),     # shape holds fewer elements than the length
    (SIX, 48, 8, [3, 5], [8, 24], "d", BufferError),    # ... or more
    (SIX, 48, 8, [-2, -3], [8, -16], "d", BufferError),
    (SIX, 48, 8, [2, 2], [8, 24], "d", BufferError),    # not contiguous
    (SIX, 48, 8, [2 ** 62, 4], [8, 8], "d", BufferError),
    (bytes(12), 12, 8, [1], None, "d", "input does not fit evenly into output type."),
    (SIX, 16, 8, [2], None, "", "input 'format' field is null."),
])
def test_hand_made_exporters(km, data, length, itemsize, shape, strides, fmt, expected):
    keep = []
    view = exporter(keep, data, length, itemsize, shape, strides, fmt)
    if isinstance(expected, (list, tuple)):
        a = km.double(view)
        assert (tolist(a) if isinstance(expected, list) else a.size) == expected
        return
    with pytest.raises(BufferError) as info:
        km.double(view)
    assert expected is BufferError or str(info.value) == expected


def test_views_are_released_and_data_copied(km):
    source = bytearray(b"\x01\x02\x03")
    a = km.uint8(source)
    source.append(4)  # would raise BufferError while an export were still held
    source[0] = 9
    assert tolist(a) == [[1, 2, 3]]
    with pytest.raises(BufferError):
        km.double(source)
    source.append(5)
