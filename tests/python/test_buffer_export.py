"""Buffer export, storage descriptions and the array.array / memoryview conversions.

NumPy and memoryview serve as independent consumers of the exported buffer; raw requests
with explicit flags go through ctypes, which is the only way to ask for, e.g., a writable
or C-contiguous view from Python.
"""
import array
import ctypes
import gc
import struct
import sys
from contextlib import contextmanager

import numpy as np
import pytest

import kalvo

# Request flags of the buffer protocol.
PyBUF_SIMPLE = 0
PyBUF_WRITABLE = 0x1
PyBUF_FORMAT = 0x4
PyBUF_ND = 0x8
PyBUF_STRIDES = 0x18
PyBUF_C_CONTIGUOUS = 0x38
PyBUF_F_CONTIGUOUS = 0x58
PyBUF_ANY_CONTIGUOUS = 0x98
PyBUF_INDIRECT = 0x118
PyBUF_RECORDS_RO = PyBUF_STRIDES | PyBUF_FORMAT
PyBUF_FULL_RO = PyBUF_INDIRECT | PyBUF_FORMAT


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(PyBuffer)]
_release_buffer.restype = None


@contextmanager
def raw_view(obj, flags):
    """A Py_buffer of `obj` requested with `flags`, released on exit."""
    view = PyBuffer()
    _get_buffer(obj, ctypes.byref(view), flags)  # raises the exporter's error
    del obj  # only the view's own reference remains
    try:
        yield view
    finally:
        _release_buffer(ctypes.byref(view))


def values_2x3(kind):
    s = kind.samples
    return [[s[0], s[1 % len(s)], s[2 % len(s)]], [s[3 % len(s)], s[0], s[1 % len(s)]]]


COMPLEX_2x3 = [[1 + 2j, 3 + 0j, 4j], [5 + 6j, 7 + 8j, 9 + 1j]]


def f_strides(shape, itemsize):
    strides, step = [], itemsize
    for extent in shape:
        strides.append(step)
        step *= extent
    return tuple(strides)


def reshape_allowed(a):
    """Whether a can be reshaped now (it refuses while its storage is exported)."""
    try:
        a.reshape(a.size)
    except BufferError:
        return False
    return True


@pytest.fixture(params=[False, True], ids=["real", "complex"])
def sample(request, array_type, kind, build):
    """A 2-by-3 array of `kind`, real or complex, with its nested values and element size."""
    if request.param:
        if not kind.complex_ok:
            pytest.skip("logical arrays are never complex")
        return build(array_type, COMPLEX_2x3, is_complex=True), COMPLEX_2x3, "Z" + kind.fmt, 2 * kind.itemsize
    values = values_2x3(kind)
    return build(array_type, values), values, kind.fmt, kind.itemsize


# --- memoryview and the exported fields ---------------------------------------------------

def test_memoryview_of_full_array_describes_the_storage(sample):
    a, values, fmt, itemsize = sample
    m = memoryview(a)
    assert (m.shape, m.strides) == ((2, 3), (itemsize, 2 * itemsize))
    assert (m.format, m.itemsize, m.ndim, m.nbytes) == (fmt, itemsize, 2, 6 * itemsize)
    assert m.readonly and m.obj is a
    assert m.f_contiguous and not m.c_contiguous
    if not fmt.startswith("Z"):  # memoryview cannot unpack complex items
        assert m.tolist() == values
    m.release()


def test_tomemoryview_matches_memoryview_and_keeps_the_array_alive(sample):
    a, values, fmt, itemsize = sample
    m = a.tomemoryview()
    assert isinstance(m, memoryview)
    assert (m.shape, m.strides, m.format, m.readonly) == ((2, 3), (itemsize, 2 * itemsize), fmt, True)
    del a
    gc.collect()
    assert m.nbytes == 6 * itemsize
    if not fmt.startswith("Z"):
        assert m.tolist() == values


@pytest.mark.parametrize("expr, shape, rows", [
    ("a[1]", (1, 3), [[4.0, 5.0, 6.0]]),
    ("a[0:2]", (2, 3), [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
    ("a[::-1]", (2, 3), [[4.0, 5.0, 6.0], [1.0, 2.0, 3.0]]),
    ("a[1][1:]", (1, 2), [[5.0, 6.0]]),
    ("a[0][::-2]", (1, 2), [[3.0, 1.0]]),
    ("a[1:][0]", (1, 3), [[4.0, 5.0, 6.0]]),
])
def test_partial_array_exports_only_the_elements_it_shows(expr, shape, rows):
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    p = eval(expr)
    m = memoryview(p)
    assert m.shape == shape and m.strides == f_strides(shape, 8)
    assert m.tolist() == rows
    # The storage descriptions keep describing the whole underlying array.
    assert p.buffer_info() == a.buffer_info()
    assert p.get_bytewise_strides() == a.get_bytewise_strides()
    assert np.asarray(p).__array_interface__["data"][0] != a.buffer_info()[0]


def test_partial_array_of_three_dimensional_array_exports_a_matrix():
    a = kalvo.int32(size=[2, 3, 4])
    m = memoryview(a[1])
    assert m.shape == (3, 4) and m.strides == (4, 12)


# 2-by-2-by-2 complex 64-bit values that a double cannot hold exactly (real parts) next to
# large imaginary parts; every element must reach exports and clones bit for bit.
EXTREME_64 = {
    "int64": ("q", [[[2**63 - 1, -(2**63 - 1)], [complex(3, -2**62), -2**63]],
                    [[0, 2**63 - 2], [complex(-1, 2**62), 2**53 + 1]]]),
    "uint64": ("Q", [[[2**64 - 1, 2**63 + 1], [complex(2**63, 2**63), 0]],
                     [[2**64 - 2, 5], [complex(1, 2**62), 2**53 + 1]]]),
}


@pytest.mark.parametrize("name", EXTREME_64)
@pytest.mark.parametrize("expr", ["a[1]", "a[0][::-1]", "a[1][1]", "a[0][1][::-1]", "a[::-1]", "a[1:]"])
def test_partial_complex_64_bit_arrays_export_and_clone_exactly(name, expr):
    fmt, values = EXTREME_64[name]
    a = getattr(kalvo, name)(values, is_complex=True)
    shown = eval(expr, {"a": np.array(values, dtype=object)})
    if shown.ndim == 1:
        shown = shown.reshape(1, -1)
    parts = [int(getattr(v, part, v if part == "real" else 0))
             for v in shown.flatten(order="F") for part in ("real", "imag")]
    p = eval(expr)
    for exported in (memoryview(p), memoryview(p.clone())):
        assert exported.format == "Z" + fmt and exported.shape == shown.shape
        assert list(struct.unpack(f"<{len(parts)}{fmt}", exported.tobytes(order="F"))) == parts


def test_empty_array_exports_an_empty_buffer():
    a = kalvo.double()
    m = memoryview(a)
    assert m.shape == (0, 0) and m.nbytes == 0
    assert np.asarray(a).shape == (0, 0)


# --- NumPy as the consumer ----------------------------------------------------------------

@pytest.mark.parametrize("shape", [(2, 3), (3, 1, 4), (1, 5)])
def test_numpy_shares_the_memory_with_fortran_strides(array_type, kind, shape):
    flat = [kind.samples[i % len(kind.samples)] for i in range(int(np.prod(shape)))]
    a = array_type(vector=flat, size=list(shape))
    x = np.asarray(a)
    assert x.__array_interface__["data"][0] == a.buffer_info()[0]
    assert x.shape == a.size == shape
    assert x.strides == f_strides(shape, kind.itemsize) == a.get_bytewise_strides()
    assert x.flags.f_contiguous and not x.flags.writeable
    # vector= with size= lays the values out column-major, as NumPy's order="F" does.
    expected = np.array(flat, dtype=x.dtype).reshape(shape, order="F")
    assert np.array_equal(x, expected)


@pytest.mark.parametrize("name, dtype", [("double", np.complex128), ("single", np.complex64)])
def test_numpy_reads_complex_formats(km, name, dtype):
    a = getattr(km, name)(COMPLEX_2x3, is_complex=True)
    x = np.asarray(a)
    assert x.dtype == dtype
    assert x.__array_interface__["data"][0] == a.buffer_info()[0]
    assert x.strides == f_strides((2, 3), x.itemsize)
    assert np.array_equal(x, np.array(COMPLEX_2x3, dtype=dtype))


def test_numpy_view_keeps_the_array_alive_and_pins_its_storage():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    x = np.asarray(a)
    assert not reshape_allowed(a)
    ref = a
    del a
    gc.collect()
    assert x.tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
    del x
    gc.collect()
    assert reshape_allowed(ref)


# --- raw requests with explicit flags -----------------------------------------------------

ACCEPTED = {
    "simple": PyBUF_SIMPLE, "format": PyBUF_FORMAT, "nd": PyBUF_ND, "strides": PyBUF_STRIDES,
    "f_contiguous": PyBUF_F_CONTIGUOUS, "any_contiguous": PyBUF_ANY_CONTIGUOUS,
    "indirect": PyBUF_INDIRECT, "records_ro": PyBUF_RECORDS_RO, "full_ro": PyBUF_FULL_RO,
}
WRITABLE = {
    "writable": PyBUF_WRITABLE, "contig": PyBUF_ND | PyBUF_WRITABLE,
    "strided": PyBUF_STRIDES | PyBUF_WRITABLE, "full": PyBUF_FULL_RO | PyBUF_WRITABLE,
    "c_contiguous_writable": PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE,
}
C_CONTIGUOUS = {"c_contiguous": PyBUF_C_CONTIGUOUS, "c_with_format": PyBUF_C_CONTIGUOUS | PyBUF_FORMAT}

ARRAYS = {
    "full": lambda: kalvo.double([[1, 2, 3], [4, 5, 6]]),
    "row_vector": lambda: kalvo.double([1, 2, 3]),
    "partial": lambda: kalvo.double([[1, 2, 3], [4, 5, 6]])[1],
    "complex": lambda: kalvo.single([[1j, 2], [3, 4]], is_complex=True),
}


@pytest.mark.parametrize("make", ARRAYS.values(), ids=ARRAYS.keys())
@pytest.mark.parametrize("flags", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_read_only_requests_fill_every_field(make, flags):
    a = make()
    expected = memoryview(a)  # the same export, as the interpreter sees it
    refs = sys.getrefcount(a)
    with raw_view(a, flags) as view:
        assert view.obj == id(a) and sys.getrefcount(a) == refs + 1
        assert view.buf == np.asarray(expected).__array_interface__["data"][0]
        assert (view.len, view.itemsize, view.ndim) == (expected.nbytes, expected.itemsize, expected.ndim)
        assert view.readonly == 1
        assert view.format == (expected.format.encode() if flags & PyBUF_FORMAT else None)
        # Shape and strides are there whatever was asked for.
        assert tuple(view.shape[i] for i in range(view.ndim)) == expected.shape
        assert tuple(view.strides[i] for i in range(view.ndim)) == expected.strides
        assert not view.suboffsets
    assert sys.getrefcount(a) == refs


@pytest.mark.parametrize("make", ARRAYS.values(), ids=ARRAYS.keys())
@pytest.mark.parametrize("flags, message", [
    *[(f, "underlying buffer is not writable.") for f in WRITABLE.values()],
    *[(f, "underlying buffer not C-contiguous.") for f in C_CONTIGUOUS.values()],
], ids=[*WRITABLE.keys(), *C_CONTIGUOUS.keys()])
def test_writable_and_c_contiguous_requests_are_refused(make, flags, message):
    a = make()
    refs = sys.getrefcount(a)
    view = PyBuffer()
    with pytest.raises(ValueError, match=f"^{message}$"):
        _get_buffer(a, ctypes.byref(view), flags)
    assert not view.obj and sys.getrefcount(a) == refs


def test_a_refused_request_leaves_the_export_count_alone():
    a = kalvo.double([[1, 2], [3, 4]])
    for flags in (PyBUF_WRITABLE, PyBUF_C_CONTIGUOUS):
        with pytest.raises(ValueError):
            _get_buffer(a, ctypes.byref(PyBuffer()), flags)
    assert reshape_allowed(a)


# --- export count and pinned storage ------------------------------------------------------

def test_export_count_returns_to_its_earlier_value():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    first, second = memoryview(a), a.tomemoryview()
    with raw_view(a, PyBUF_FULL_RO):
        first.release()
        assert not reshape_allowed(a)
    assert not reshape_allowed(a)
    second.release()
    assert reshape_allowed(a)


def test_reshape_is_refused_while_exported_and_the_view_stays_intact():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    with memoryview(a) as m:
        with pytest.raises(BufferError, match="^cannot reshape an array with outstanding buffer exports.$"):
            a.reshape(3, 2)
        assert a.size == (2, 3)
        assert m.tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
    assert a.reshape(3, 2) is a and a.size == (3, 2)


def test_export_of_a_partial_array_does_not_pin_its_source():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    row = memoryview(a[1])
    a.reshape(3, 2)
    assert row.tolist() == [[4.0, 5.0, 6.0]]


def test_full_array_export_shows_later_assignments_and_partial_export_does_not():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    whole, row = memoryview(a), memoryview(a[1])
    a[1][2] = 9
    assert whole.tolist()[1][2] == 9.0
    assert row.tolist() == [[4.0, 5.0, 6.0]]  # a partial array exports a copy made on first export


# --- storage descriptions -----------------------------------------------------------------

@pytest.mark.parametrize("complex_", [False, True], ids=["real", "complex"])
def test_itemsize_buffer_info_and_strides(array_type, kind, complex_):
    if complex_ and not kind.complex_ok:
        pytest.skip("logical arrays are never complex")
    a = array_type(size=[2, 3, 4], is_complex=complex_)
    itemsize = kind.itemsize * (2 if complex_ else 1)
    assert a.itemsize == a[1].itemsize == itemsize
    address, count = a.buffer_info()
    assert address > 0 and count == 24
    assert a.get_bytewise_strides() == (itemsize, 2 * itemsize, 6 * itemsize)
    a.reshape(4, 6)
    assert a.buffer_info()[1] == 24
    assert a.get_bytewise_strides() == (itemsize, 4 * itemsize)


@pytest.mark.parametrize("shape, expr, size", [
    ((2, 3), "a", (2, 3)),
    ((2, 3), "a[1]", (3,)),
    ((2, 3), "a[0:1]", (1, 3)),
    ((2, 3), "a[0][0:2]", (2,)),
    ((2, 3), "a[5:]", (0, 3)),
    ((2, 3), "a[::-1][0][::2]", (2,)),
    ((1, 3), "a[0][1:]", (2,)),
    ((2, 3, 4), "a[1]", (3, 4)),
    ((2, 3, 4), "a[1][::2]", (2, 4)),
    ((2, 3, 4), "a[0:1][0][2]", (4,)),
    ((0, 0), "a", (0, 0)),
])
def test_size_reports_the_dimensions_shown(shape, expr, size):
    a = kalvo.uint16(size=list(shape))
    p = eval(expr)
    assert p.size == p._size == size


# --- toarray ------------------------------------------------------------------------------

def test_toarray_of_a_row(array_type, kind):
    values = list(kind.samples)
    a = array_type([values])
    got = a[0].toarray()
    code = "B" if kind.fmt == "?" else kind.fmt
    assert got == array.array(code, [int(v) if kind.fmt == "?" else v for v in values])
    assert got.typecode == code


@pytest.mark.parametrize("expr, values", [
    ("a[1]", [4, 5, 6]),
    ("a[0][::-1]", [3, 2, 1]),
    ("a[0:2][1][1:]", [5, 6]),
])
def test_toarray_of_partial_arrays_with_one_dimension_left(expr, values):
    a = kalvo.int64([[1, 2, 3], [4, 5, 6]])
    assert eval(expr).toarray() == array.array("q", values)


@pytest.mark.parametrize("expr", ["kalvo.double([1, 2, 3])", "kalvo.double([[1, 2], [3, 4]])[0:1]",
                                  "kalvo.int8(size=[2, 2, 2])[1]"])
def test_toarray_needs_one_dimension_left(expr, capsys):
    with pytest.raises(RuntimeError, match=r"^toarray\(\) can be called only on a one-dimensional sequence.$"):
        eval(expr).toarray()
    assert capsys.readouterr().err  # array.array's own complaint was printed


def test_toarray_of_complex_values_fails(numeric_kind, km, capsys):
    a = getattr(km, numeric_kind.name)([[1 + 1j, 2]], is_complex=True)
    with pytest.raises(RuntimeError, match=r"^toarray\(\) failed.$"):
        a[0].toarray()
    assert "complex" in capsys.readouterr().err


# --- references and memory ----------------------------------------------------------------

def test_repeated_exports_leak_nothing():
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    c = kalvo.single([[1j, 2]], is_complex=True)

    def cycle():
        memoryview(a).release()
        memoryview(a[1]).release()
        np.asarray(c).sum()
        a.tomemoryview().tolist()
        a[0].toarray()
        with raw_view(a, PyBUF_FULL_RO):
            pass
        a.buffer_info(), a.get_bytewise_strides(), a[0][1:].size, a.itemsize

    for _ in range(50):
        cycle()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):
        cycle()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
    assert reshape_allowed(a)
