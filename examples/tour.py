"""A tour of kalvo: run it after `pip install .` (or simply `bash tools/tour.sh`)."""
import array
import pickle

import kalvo

KINDS = [kalvo.double, kalvo.single, kalvo.int8, kalvo.uint8, kalvo.int16, kalvo.uint16,
         kalvo.int32, kalvo.uint32, kalvo.int64, kalvo.uint64, kalvo.logical]


def section(title: str) -> None:
    print(f"\n== {title}")


def types() -> None:
    section("Eleven array types (every numeric one may also hold complex elements)")
    for kind in KINDS:
        print(f"  {kind.__module__}.{kind.__name__}")


def construction() -> None:
    section("Building arrays")
    print("from nested lists:   ", kalvo.double([[1, 2, 3], [4, 5, 6]]))
    print("a flat list is 1-by-n: kalvo.int32([1, 2, 3]).size =", kalvo.int32([1, 2, 3]).size)
    print("zeros of a size:     ", kalvo.uint8(size=[2, 3]))
    print("vector laid column-major into a size:", kalvo.double(vector=[1, 2, 3, 4], size=[2, 2]))
    print("complex elements:    ", repr(kalvo.single([1 + 2j, 3 - 4j], is_complex=True)))
    print("a scalar is 1-by-1:  ", kalvo.logical(True))
    try:
        kalvo.int8([200])
    except OverflowError as error:
        print("values are range checked:", error)
    try:
        kalvo.double([1, 2, 3], size=(2, 2))
    except kalvo.ShapeError as error:
        print("ShapeError:", error)


def reading() -> None:
    section("Reading: one key at a time, views share storage")
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    print("a[1][2]      =", a[1][2])
    print("a[1]         =", a[1], f"(a partial array, len {len(a[1])})")
    print("a[0][::-1]   =", a[0][::-1])
    print("a[0:2][1][0] =", a[0:2][1][0])
    try:
        a[2]
    except IndexError as error:
        print("out of range:", error)


def assignment_and_iteration() -> None:
    section("Assignment through views, iteration and equality")
    a = kalvo.int16(size=[3, 4])
    row = a[1]
    row[1:3] = [7, 8]            # writes through the view into a
    a[2] = [1, 2, 3, 4]          # a whole sub-array
    a[0][-1] = 9
    print("a =", a)
    print("rows:", [list(r) for r in a])
    print("a == a.clone():", a == a.clone(), "| a != kalvo.int16(size=[3, 4]):", a != kalvo.int16(size=[3, 4]))
    try:
        a[0] = [1, 2]
    except ValueError as error:
        print("shapes must match:", error)


def buffers_and_methods() -> None:
    section("Buffers, reshape, clone, real/imag, toarray")
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    view = memoryview(a)
    print("memoryview: shape", view.shape, "strides", view.strides, "format", view.format,
          "read-only", view.readonly)
    view.release()
    print("storage order (noncomplex):", list(a.noncomplex()))
    print("row 0 as array.array:", a[0].toarray())
    r = a.clone()
    r.reshape(3, 2)
    print("clone().reshape(3, 2) works in place and keeps the storage order, so the 3-by-2 clone",
          "is filled column by column:", r, "| size", r.size, "| storage", list(r.noncomplex()))
    print("from array.array:", kalvo.double(array.array("d", [1.5, 2.5])))
    c = kalvo.double([1 + 2j, 3 + 4j], is_complex=True)
    print("real parts:", list(c.real()), "imaginary parts:", list(c.imag()))
    b = a.clone()
    b[0][0] = 100
    print("a clone is independent:", a[0][0], "vs", b[0][0])
    again = pickle.loads(pickle.dumps(a))
    print("pickle round trip equal:", again == a)


def numpy_interop() -> None:
    section("NumPy, both ways")
    try:
        import numpy as np
    except ImportError:
        print("NumPy is not installed (pip install numpy): skipping this part of the tour.")
        return
    a = kalvo.double([[1, 2, 3], [4, 5, 6]])
    x = np.asarray(a)
    print("numpy.asarray(a) shares memory:", x.__array_interface__["data"][0] == a.buffer_info()[0],
          "| shape", x.shape, "| Fortran order", x.flags.f_contiguous,
          "| read-only", not x.flags.writeable)
    print("x[1, 2] =", x[1, 2], "== a[1][2] =", a[1][2])
    y = np.arange(6, dtype=np.int32).reshape(2, 3)
    b = kalvo.int32(y)
    print("kalvo.int32(numpy C-order array):", b, "| b[1][0] =", b[1][0], "== y[1, 0] =", y[1, 0])


def main() -> None:
    types()
    construction()
    reading()
    assignment_and_iteration()
    buffers_and_methods()
    numpy_interop()


if __name__ == "__main__":
    main()
