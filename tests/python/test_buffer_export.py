"""Buffer export beyond what the model test checks: NumPy as a consumer, raw requests with
explicit flags (through ctypes, the only way to ask for a writable or C-contiguous view from
Python), exact 64-bit complex parts, reshapes under live exports, and toarray() refusals."""
import ctypes
import gc
import struct
import sys
from contextlib import contextmanager

import numpy as np
import pytest

import kalvo
from conftest import PyBuffer, capi, tolist

# Request flags of the buffer protocol.
PyBUF_SIMPLE, PyBUF_WRITABLE, PyBUF_FORMAT, PyBUF_ND, PyBUF_STRIDES = 0, 0x1, 0x4, 0x8, 0x18
PyBUF_C_CONTIGUOUS, PyBUF_F_CONTIGUOUS, PyBUF_ANY_CONTIGUOUS, PyBUF_INDIRECT = 0x38, 0x58, 0x98, 0x118
PyBUF_RECORDS_RO = PyBUF_STRIDES | PyBUF_FORMAT
PyBUF_FULL_RO = PyBUF_INDIRECT | PyBUF_FORMAT

get_buffer = capi("PyObject_GetBuffer", ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int)
release_buffer = capi("PyBuffer_Release", None, ctypes.POINTER(PyBuffer))


@contextmanager
def raw_view(obj, flags):
    """A Py_buffer of `obj` requested with `flags`, released on exit."""
    view = PyBuffer()
    get_buffer(obj, ctypes.byref(view), flags)  # raises the exporter's error
    del obj  # only the view's own reference remains
    try:
        yield view
    finally:
        release_buffer(ctypes.byref(view))


# --- the exported fields, seen by memoryview and NumPy --------------------------------------

@pytest.mark.parametrize("shape", [(3, 1, 4), (1, 5)])
def test_export_of_a_full_array_shares_its_storage_and_keeps_it_alive(km, numpy_variant, shape):
    """The export points into the array's own storage (its format, flags and values are checked by
    the model test), and a consumer outlives the array it was made from."""
    kind, is_complex = numpy_variant
    count = int(np.prod(shape))
    flat = [complex(i, count - i) for i in range(count)] if is_complex else \
        [kind.samples[i % len(kind.samples)] for i in range(count)]
    a = getattr(km, kind.name)(vector=flat, size=list(shape), is_complex=is_complex)
    m, x = memoryview(a), np.asarray(a)
    assert m.obj is a and m.c_contiguous == (shape == (1, 5)) and m.nbytes == count * m.itemsize
    assert x.__array_interface__["data"][0] == a.buffer_info()[0] and not x.flags.writeable
    assert x.dtype == np.dtype({"d": "c16", "f": "c8"}[kind.fmt] if is_complex else kind.fmt)
    expected = np.array(flat, dtype=x.dtype).reshape(shape, order="F")  # vector= fills column-major
    del a, m
    gc.collect()
    assert np.array_equal(x, expected)


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
        get_buffer(a, ctypes.byref(view), flags)
    assert not view.obj and sys.getrefcount(a) == refs


def test_reshape_while_exported_leaves_every_view_as_it_was_made():
    """The exporter's own shape and strides arrays, which a raw view points into, stay as exported
    (memoryviews copy them; the model test checks those)."""
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    with raw_view(a, PyBUF_FULL_RO) as raw:
        assert a.reshape(3, 2) is a and a.reshape(6, 1) is a and a.size == (6, 1)
        a[0][0] = 10  # the view shares the storage, which reshape() keeps
        assert (raw.shape[0], raw.shape[1], raw.strides[0], raw.strides[1]) == (2, 3, 8, 16)
        assert ctypes.string_at(raw.buf, raw.len) == memoryview(a).tobytes("A")
        assert memoryview(a).shape == (6, 1)
    assert a.reshape(2, 3) is a and tolist(a) == [[10.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


@pytest.mark.parametrize("expr, message, printed", [
    ("kalvo.int8(size=[2, 2, 2])[1]", "toarray() can be called only on a one-dimensional sequence.", ""),
    ("kalvo.double([[1 + 1j, 2]], is_complex=True)[0]", "toarray() failed.", "complex"),
])
def test_toarray_refusals(expr, message, printed, capsys):
    with pytest.raises(RuntimeError) as info:
        eval(expr).toarray()
    assert str(info.value) == message
    err = capsys.readouterr().err  # array.array's own complaint was printed
    assert err and printed in err
