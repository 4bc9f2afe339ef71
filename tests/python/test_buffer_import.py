"""Arrays built from objects that offer the buffer protocol: array.array, bytes, memoryview,
NumPy arrays in C and Fortran order, and hand-made exporters with inconsistent descriptions."""
import array
import ctypes
import sys

import pytest

from construct_helpers import dims, leak_check, tolist

np = pytest.importorskip("numpy")

NUMPY_DTYPES = {"double": "float64", "single": "float32", "int8": "int8", "uint8": "uint8",
                "int16": "int16", "uint16": "uint16", "int32": "int32", "uint32": "uint32",
                "int64": "int64", "uint64": "uint64", "logical": "bool"}
ARRAY_TYPECODES = {"double": "d", "single": "f", "int8": "b", "uint8": "B", "int16": "h",
                   "uint16": "H", "int32": "i", "uint32": "I", "int64": "q", "uint64": "Q"}
INCOMPATIBLE = ("input buffer format ('{}') is not compatible with output format ('{}'); "
                "use a different input or output type")
NOT_Z = "input buffer format ('{}') does not begin with 'Z', but output type is complex"


def sample(kind, n):
    """n distinct values of the kind (truth values for logical)."""
    if kind.name == "logical":
        return [bool(i % 2) for i in range(n)]
    values = [i + 1 for i in range(n)]
    return [float(v) for v in values] if kind.is_float else values


# ---- array.array, bytes, memoryview ----------------------------------------------------------

def test_array_array(km, numeric_kind):
    t = getattr(km, numeric_kind.name)
    values = sample(numeric_kind, 3)
    code = ARRAY_TYPECODES[numeric_kind.name]
    a = t(array.array(code, values))
    assert dims(a) == (1, 3) and tolist(a) == [values]
    assert dims(t(array.array(code))) == (0, 0)


def test_native_long_codes(km):
    long_kind = "int64" if array.array("l").itemsize == 8 else "int32"
    assert tolist(getattr(km, long_kind)(array.array("l", [5, -6]))) == [[5, -6]]
    assert tolist(getattr(km, "u" + long_kind)(array.array("L", [5, 6]))) == [[5, 6]]


def test_bytes_and_logical_bytes(km):
    assert tolist(km.uint8(b"\x01\x02")) == [[1, 2]]
    assert tolist(km.logical(b"\x00\x01\x07")) == [[False, True, True]]
    assert tolist(km.uint8(np.array([True, False]))) == [[1, 0]]
    assert tolist(km.uint8(bytearray(b"\xff"))) == [[255]]


def test_memoryview_shapes(km):
    flat = array.array("d", [1, 2, 3, 4, 5, 6])
    c_order = memoryview(flat).cast("B").cast("d", (2, 3))
    a = km.double(c_order)
    assert dims(a) == (2, 3) and tolist(a) == [[1, 2, 3], [4, 5, 6]]
    assert a[0][1] == 2.0
    assert dims(km.double(memoryview(flat))) == (1, 6)
    assert dims(km.double(memoryview(flat).cast("B").cast("d", (3, 1, 2, 1, 1)))) == (3, 1, 2)


def test_non_contiguous_exporter_keeps_its_own_error(km):
    with pytest.raises(BufferError):
        km.uint8(memoryview(b"abcdef")[::2])


def test_zero_dimensional_buffer(km):
    assert tolist(km.double(np.array(2.5))) == [[2.5]]


def test_kalvo_array_is_not_imported_as_a_buffer(km):
    source = km.double([[1.0, 2.0]])
    assert tolist(km.single(source)) == [[1.0, 2.0]]


# ---- NumPy: every dtype, C and Fortran order -------------------------------------------------

@pytest.mark.parametrize("shape", [(2, 3), (2, 3, 4)], ids=["2d", "3d"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_numpy_every_dtype(kind, array_type, order, shape):
    values = np.array(sample(kind, int(np.prod(shape))), dtype=NUMPY_DTYPES[kind.name]).reshape(shape)
    a = array_type(np.asarray(values, order=order))
    assert dims(a) == shape and tolist(a) == values.tolist()
    index = (1, 2, 3)[:len(shape)]
    element = a
    for i in index:
        element = element[i]
    assert element == values[index]


def test_c_and_fortran_order_differ_in_memory_not_in_value(km):
    data = np.arange(1, 7, dtype="float64")
    c = km.double(data.reshape(2, 3))
    f = km.double(np.frombuffer(data.tobytes(), dtype="float64").reshape(2, 3, order="F"))
    assert c[0][1] == 2.0 and f[0][1] == 3.0


@pytest.mark.parametrize("dtype, name", [("complex128", "double"), ("complex64", "single")])
@pytest.mark.parametrize("order", ["C", "F"])
def test_numpy_complex(km, dtype, name, order):
    values = (np.arange(6) + 1j * np.arange(6, 12)).astype(dtype).reshape(3, 2)
    a = getattr(km, name)(np.asarray(values, order=order), is_complex=True)
    assert a._is_complex and dims(a) == (3, 2) and tolist(a) == values.tolist()


def test_numpy_with_size(km):
    a = km.int16(np.array([1, 2, 3, 4, 5, 6], dtype="int16"), size=[2, 3])
    assert tolist(a) == [[1, 3, 5], [2, 4, 6]]
    with pytest.raises(km.ShapeError) as info:
        km.int16(np.array([1, 2, 3], dtype="int16"), size=[2, 2])
    assert str(info.value) == "dimensions of initializer (3) do not match dimensions specified by 'size' (2, 2)."
    with pytest.raises(km.SizeError):
        km.int16(np.zeros((2, 3), dtype="int16"), size=[3, 2])


def test_numpy_singleton_dimensions(km):
    col = np.arange(3, dtype="int32").reshape(3, 1, 1)
    assert dims(km.int32(col)) == (3, 1) and tolist(km.int32(col)) == [[0], [1], [2]]
    row = np.arange(3, dtype="int32").reshape(1, 3)
    assert tolist(km.int32(row)) == [[0, 1, 2]]
    assert dims(km.int32(np.zeros((0, 4), dtype="int32"))) == (0, 4)


# ---- format refusals -------------------------------------------------------------------------

def refuse(exporter, array_type, **kwargs):
    with pytest.raises(BufferError) as info:
        array_type(exporter, **kwargs)
    return str(info.value)


def test_format_refusals(km):
    assert refuse(array.array("d", [1]), km.single) == INCOMPATIBLE.format("d", "f")
    assert refuse(b"\x01", km.int8) == INCOMPATIBLE.format("B", "b")
    assert refuse(array.array("d", [1, 2]), km.double, is_complex=True) == NOT_Z.format("d")
    assert refuse(np.zeros(2, dtype="complex128"), km.double) == INCOMPATIBLE.format("Zd", "d")
    assert refuse(np.zeros(2, dtype="complex128"), km.single, is_complex=True) == \
        INCOMPATIBLE.format("Zd", "Zf")
    assert refuse(np.zeros(2, dtype=">f8"), km.double) == INCOMPATIBLE.format(">d", "d")
    assert refuse(array.array("i", [1]), km.int64) == INCOMPATIBLE.format("i", "q")
    assert refuse(array.array("L", [1]), km.int64).startswith("input buffer format ('L')")


def test_real_buffers_refused_for_complex_output(km, numeric_kind):
    exporter = np.zeros(2, dtype=NUMPY_DTYPES[numeric_kind.name])
    fmt = memoryview(exporter).format
    assert refuse(exporter, getattr(km, numeric_kind.name), is_complex=True) == NOT_Z.format(fmt)


# ---- exporters that describe themselves inconsistently ---------------------------------------

class Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)), ("internal", ctypes.c_void_p)]


_from_buffer = ctypes.pythonapi.PyMemoryView_FromBuffer
_from_buffer.argtypes = [ctypes.POINTER(Py_buffer)]
_from_buffer.restype = ctypes.py_object


def exporter(data, fmt, itemsize, shape):
    """A memoryview that reports `fmt`, `itemsize` and `shape` over the bytes `data` as given,
    without checking them against its byte length. Returns (view, objects to keep alive)."""
    storage = ctypes.create_string_buffer(bytes(data), max(len(data), 1))
    shape_array = (ctypes.c_ssize_t * len(shape))(*shape)
    info = Py_buffer(buf=ctypes.addressof(storage), obj=None, len=len(data), itemsize=itemsize,
                     readonly=1, ndim=len(shape), format=fmt.encode(), shape=shape_array,
                     strides=None, suboffsets=None, internal=None)
    return _from_buffer(ctypes.byref(info)), (storage, shape_array, info)


def test_inconsistent_exporters_are_refused(km):
    inconsistent = "input buffer's shape and item size do not match its length."
    eight = bytes(range(16))
    view, keep = exporter(eight, "d", 8, (2, 3))  # 6 items claimed, 2 present
    assert refuse(view, km.double) == inconsistent
    view, keep = exporter(eight, "d", 0, (2,))
    assert refuse(view, km.double) == inconsistent
    view, keep = exporter(eight, "d", 4, (4,))
    assert refuse(view, km.double) == inconsistent
    view, keep = exporter(bytes(12), "d", 8, (1,))
    assert refuse(view, km.double) == "input does not fit evenly into output type."
    view, keep = exporter(eight, "", 8, (2,))
    assert refuse(view, km.double) == "input 'format' field is null."
    view, keep = exporter(eight, "d", 8, (2,))
    assert tolist(km.double(view)) == tolist(km.double(np.frombuffer(eight, dtype="float64")))


# ---- views are released, data are copied, references are kept ------------------------------

def test_views_are_released_and_data_copied(km):
    source = bytearray(b"\x01\x02\x03")
    a = km.uint8(source)
    source.append(4)  # would raise BufferError while an export were still held
    source[0] = 9
    assert tolist(a) == [[1, 2, 3]]
    with pytest.raises(BufferError):
        km.double(source)
    source.append(5)


def test_buffer_import_references_and_memory(km):
    data = np.arange(12, dtype="float64").reshape(3, 4)
    wrong = array.array("f", [1.0])
    before = (sys.getrefcount(data), sys.getrefcount(wrong))

    def round_trip():
        km.double(data)
        km.double(np.asfortranarray(data))
        with pytest.raises(BufferError):
            km.double(wrong)

    leak_check(round_trip, rounds=2000)
    assert (sys.getrefcount(data), sys.getrefcount(wrong)) == before
