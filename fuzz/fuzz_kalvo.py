"""Coverage-guided fuzzing of kalvo with atheris; run it through tools/fuzz.sh.

Each input is decoded into a short program: Python values of every sort (huge and boundary
ints, floats with NaN and infinities, complex, nested lists and tuples, ragged or not, buffers
of many formats, hostile sequences that reshape arrays while being read) and operations on a
pool of arrays and views: every constructor form, index chains, assignment, buffer import and
export, reshape, clone/real/imag/noncomplex, equality, iteration, text, pickling and copying,
and the host capsule's buffer import called through ctypes.

A finding is a crash or sanitizer report, an exception outside ALLOWED, or a broken oracle:
what construction or assignment stored reads back as the scalar conversion predicts, text,
iteration, indexing, buffer export and the pickle form agree with one another, and a clone or a
pickle round trip renders like its source.
"""
import array
import contextlib
import copy
import ctypes
import io
import math
import pathlib
import pickle
import struct
import sys
from decimal import Decimal
from fractions import Fraction

import atheris

import kalvo
import kalvomultidimarrayforpython
try:
    import numpy as np
except ImportError:
    np = None

# The element conversion rules and kind table are the test suite's own (tests/python/conftest.py).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from conftest import FLOAT32_MAX as FLT_MAX, KIND_OF, Unpredictable, element_of, refused  # noqa: E402

ALLOWED = (TypeError, ValueError, OverflowError, IndexError, RuntimeError, MemoryError,
           BufferError, NotImplementedError, RecursionError, kalvo.ShapeError, kalvo.SizeError)
TYPES = (kalvo.double, kalvo.single, kalvo.int8, kalvo.uint8, kalvo.int16, kalvo.uint16,
         kalvo.int32, kalvo.uint32, kalvo.int64, kalvo.uint64, kalvo.logical)
KIND = {t: KIND_OF[t.__name__] for t in TYPES}
FMT = {t: k.fmt for t, k in KIND.items()}
NAME = {t: t.__name__ for t in TYPES}
RANGE = {k.fmt: (k.min, k.max) for k in KIND.values() if k.is_integer}
SPECIAL_INTS = sorted({s * ((1 << b) + d) for b in (0, 7, 8, 15, 16, 31, 32, 53, 63, 64, 65, 100)
                       for d in (-1, 0, 1) for s in (1, -1)} | {0, 2, 3, 10 ** 30})
SPECIAL_FLOATS = (0.0, -0.0, 0.5, -1.5, 1.9, 127.9, 128.0, -129.0, 255.5, 65536.0, 2.0 ** 31,
                  2.0 ** 63, -2.0 ** 63, 2.0 ** 64, 1e20, FLT_MAX, 3.5e38, -3.5e38, 1e-45, 1e300,
                  math.inf, -math.inf, math.nan)
NP_DTYPES = ("f8", "f4", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?", "c16", "c8", ">f8",
             "<i4", "f2")
MAX_CELLS = 2000


def _capsule_slots():
    """Slots 1, 2 and 4 of the host capsule, callable with Python objects."""
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = (ctypes.c_void_p * 5).from_address(
        get(kalvomultidimarrayforpython._capi, b"kalvomultidimarrayforpython._capi"))
    api = ctypes.PYFUNCTYPE
    # Slot 2 returns a new reference as a plain pointer: a py_object result type would crash
    # ctypes itself when the slot returns null without an exception (a non-exporter).
    slot2 = api(ctypes.c_void_p, ctypes.py_object, ctypes.POINTER(ctypes.c_int))(table[2])

    def from_buffer(exporter, code):
        pointer = slot2(exporter, code)
        if not pointer:
            return None
        result = ctypes.cast(pointer, ctypes.py_object).value
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(result))  # the reference slot 2 handed over
        return result
    return (api(ctypes.c_void_p, ctypes.py_object)(table[1]), from_buffer,
            api(ctypes.c_bool, ctypes.py_object)(table[4]))


TO_IMPL, FROM_BUFFER, HAS_BUFFER = _capsule_slots()


class Boom(RuntimeError):
    """Raised by hostile sequences; RuntimeError, so passing it on is acceptable."""


class IntSub(int):
    pass


class FloatSub(float):
    pass


class Hostile:
    """A sequence whose __len__/__getitem__/__index__ run an action (typically a reshape of an
    array of the pool) and may lie about its length or raise."""

    def __init__(self, items, action, mode):
        self.items, self.action, self.mode = items, action, mode

    def __len__(self):
        self.action()
        return len(self.items) + (self.mode == 1)

    def __getitem__(self, i):
        self.action()
        if self.mode == 2 and i == len(self.items) - 1:
            raise Boom("hostile item")
        return self.items[i]

    def __index__(self):
        self.action()
        return len(self.items)


def conv(t, cplx, v, lenient):
    """What element value a plain scalar v becomes in an array of type t, or the exception type
    its conversion raises (returned, not raised); Unpredictable for the cases left open."""
    if type(v) not in (bool, int, float, complex):
        raise Unpredictable(v)
    out = element_of(KIND[t], v, cplx, lenient)
    return out[0] if refused(out) else out


def flat(v):
    if isinstance(v, (list, tuple)):
        return [e for item in v for e in flat(item)]
    return [v]


def reprs(values):
    return [repr(e) for e in values]


def cells(size):
    return math.prod(max(d, 1) for d in size)


def small(x):
    """Whether walking every position of x is cheap: a zero extent lets an array without
    elements have millions of positions, which text, lists, equality and copies all visit."""
    if not isinstance(x, TYPES):
        return True
    size = call(lambda: x.size)
    return size is not None and cells(size) <= MAX_CELLS


def call(f, *args, **kwargs):
    """f(*args, **kwargs), or None when it raises one of the documented exception types."""
    try:
        return f(*args, **kwargs)
    except ALLOWED:
        return None


class Program:
    def __init__(self, data):
        self.f = atheris.FuzzedDataProvider(data)
        self.pool = []     # [array object, is_full]: full arrays own storage, views share it
        self.views = []    # live memoryviews of pool arrays, read again after the program

    def n(self, lo, hi):
        return self.f.ConsumeIntInRange(lo, hi)

    def pick(self, seq):
        return seq[self.n(0, len(seq) - 1)] if seq else None

    # ---- values
    def int_(self):
        r = self.n(0, 3)
        if r == 0:
            return self.n(-3, 300)
        if r == 1:
            return self.pick(SPECIAL_INTS)
        if r == 2:
            return self.f.ConsumeInt(self.n(1, 20))
        return IntSub(self.n(-2, 2)) if self.f.ConsumeBool() else self.f.ConsumeBool()

    def float_(self):
        r = self.n(0, 3)
        if r == 0:
            return self.pick(SPECIAL_FLOATS)
        if r == 1:
            return self.f.ConsumeFloat()
        if r == 2:
            return self.n(-20, 20) / 4
        return FloatSub(self.n(-2, 2))

    def scalar(self):
        r = self.n(0, 9)
        if r <= 2:
            return self.int_()
        if r <= 4:
            return self.float_()
        if r == 5:
            return complex(self.float_(), self.float_())
        return self.pick((None, "1", b"\x01", Decimal(1), Fraction(1, 2), object(), 1j, True))

    def leaf(self, t, cplx):
        """A scalar that suits type t most of the time."""
        c = FMT[t]
        r = self.n(0, 7)
        if r == 0:
            return self.scalar()
        if c == "?":
            return self.f.ConsumeBool() if r < 5 else self.float_()
        if c in "df":
            if r < 4:
                return self.float_()
            return self.int_() if r < 6 or not cplx else complex(self.float_(), self.float_())
        lo, hi = RANGE[c]
        if cplx and r >= 5:
            return complex(self.n(lo // 2 - 1, hi // 2 + 1) * 2 + 0.5, self.n(-3, 3))
        return self.n(lo, hi) if r < 4 else self.pick((lo, hi, lo - 1, hi + 1, 0))

    def nested(self, shape, gen):
        if not shape:
            return gen()
        seq = [self.nested(shape[1:], gen) for _ in range(shape[0])]
        return tuple(seq) if self.n(0, 7) == 0 else seq

    def shape(self, max_dims=3):
        return [self.n(0 if self.n(0, 3) == 0 else 1, 4) for _ in range(self.n(1, max_dims))]

    def value(self, depth=0, t=None, cplx=False):
        t = t or self.pick(TYPES)
        r = self.n(0, 11)
        if r <= 1 or depth > 3:
            return self.leaf(t, cplx)
        if r <= 4:
            return self.nested(self.shape(), lambda: self.leaf(t, cplx))
        if r == 5:  # ragged: every item drawn on its own
            seq = [self.value(depth + 1, t, cplx) for _ in range(self.n(0, 4))]
            return tuple(seq) if self.f.ConsumeBool() else seq
        if r == 6:
            return self.buffer()
        if r == 7 and self.pool:  # read through its sequence protocol: every position visited
            x = self.pick(self.pool)[0]
            return x if small(x) else None
        if r == 8:
            return Hostile([self.value(depth + 1, t, cplx) for _ in range(self.n(0, 3))],
                           self.action(), self.n(0, 3))
        if r == 9:
            deep = self.leaf(t, cplx)
            for _ in range(self.pick((1, 3, 50, 2000, 5000))):
                deep = [deep]
            return deep
        if r == 10 and self.pool:
            x = self.pick(self.pool)[0]
            if self.f.ConsumeBool():
                return call(memoryview, x)
            view = call(self.index, x)
            return view if small(view) else None
        return self.nested(self.shape(), self.scalar)

    def buffer(self):
        r = self.n(0, 5)
        raw = self.f.ConsumeBytes(self.n(0, 48))
        if r == 0:
            return raw if self.f.ConsumeBool() else bytearray(raw)
        code = self.pick("bBhHiIlLqQfd")
        size = struct.calcsize(code)
        arr = array.array(code, raw[:len(raw) // size * size])
        if r == 1:
            return arr
        mv = memoryview(arr)
        if r == 2:
            return mv[::self.pick((1, 2, -1))]
        if r == 3 and len(arr):  # a multi-dimensional C-ordered view of the same bytes
            rows = self.pick([d for d in range(1, len(arr) + 1) if len(arr) % d == 0])
            return mv.cast("B").cast(code, [rows, len(arr) // rows])
        if np is None:
            return mv
        dtype = np.dtype(self.pick(NP_DTYPES))
        count = len(raw) // dtype.itemsize
        a = np.frombuffer(raw[:count * dtype.itemsize], dtype=dtype).copy()
        shape = self.shape()
        if math.prod(shape) == count:
            a = a.reshape(shape, order=self.pick("CF"))
        elif count == 1 and self.f.ConsumeBool():
            a = a.reshape(())
        return a[::2] if self.n(0, 7) == 0 else a

    def action(self):
        """What a hostile sequence does each time it is touched."""
        r, target, dims = self.n(0, 3), self.pick(self.pool), self.shape()
        def act():
            if target is None or r == 3:
                return
            if r == 0:
                call(target[0].reshape, *dims)
            elif r == 1:
                call(target[0].reshape, *self.factor(target[0]))
            else:
                self.views.clear()
        return act

    def factor(self, a):
        size = call(lambda: a.size) or (0, 0)
        count = math.prod(size)
        if not count:
            return self.n(0, 3), 0
        first = self.pick([d for d in range(1, count + 1) if count % d == 0])
        return first, count // first

    def key(self, length):
        if self.n(0, 2):
            r = self.n(0, 4)
            if r == 0:
                return self.int_()
            return self.n(-length - 1, length) if length < 100 else self.n(-1, 5)
        def bound():
            r = self.n(0, 6)
            if r == 0:
                return None
            if r == 1:
                return self.int_()
            if r == 2:
                return Hostile([0] * self.n(0, 3), self.action(), 0)
            return self.n(-length - 1, length + 1)
        step = bound()
        return slice(bound(), bound(), step if self.n(0, 3) else None)

    def index(self, x):
        for _ in range(self.n(1, 3)):
            x = x[self.key(len(x))]
        return x

    # ---- oracles
    def check(self, x, full, fresh):
        """Text, length, iteration, indexing, export and pickling of x agree with its nested
        list form (the pickle values)."""
        size = call(lambda: x.size)
        if size is None or cells(size) > MAX_CELLS:
            return
        red = call(x.__reduce__)
        if red is None:
            return
        t, (kw, vals) = red
        assert t is type(x) and kw == ({"is_complex": True} if x._is_complex else {}), red
        text = str(vals).replace(" ", "")
        assert str(x) == text, (str(x), text)
        suffix = ", is_complex=True" if kw else ""
        assert repr(x) == "kalvo.%s(%s%s)" % (NAME[t], text, suffix), repr(x)
        assert len(x) == size[0] == len(vals), (len(x), size, vals)
        items = list(x)
        assert len(items) == len(vals)
        for j, (item, expect) in enumerate(zip(items, vals)):
            got = x[j]
            if len(size) > 1:
                assert str(item) == str(got) == str(expect).replace(" ", ""), (item, got, expect)
            else:
                assert repr(item) == repr(got) == repr(expect), (item, got, expect)
        if full or fresh:
            mv = memoryview(x)
            assert mv.readonly and mv.nbytes == math.prod(mv.shape) * mv.itemsize, mv
            if 0 not in size:  # an empty view materialises with the extents of its source
                row = not full and len(size) == 1
                assert mv.shape == ((1,) if row else ()) + tuple(size), (mv.shape, size)
            if mv.format[0] != "Z":
                assert reprs(flat(mv.tolist())) == reprs(flat(vals)), (mv.tolist(), vals)
            mv.release()
        copy = pickle.loads(pickle.dumps(x))
        wrap = len(size) == 1 and vals
        assert type(copy) is t and str(copy) == ("[%s]" % text if wrap else text), (copy, text)
        if full and "nan" not in text:
            assert copy == x and not copy != x
        if (full or fresh) and 0 not in size:
            clone = x.clone()
            assert str(clone) == ("[%s]" % text if wrap else text), (clone, text)

    def construct(self):
        t, cplx = self.pick(TYPES), self.n(0, 2) == 0
        r = self.n(0, 9)
        init = self.value(t=t, cplx=cplx)
        kw = {"is_complex": cplx} if cplx or self.n(0, 4) == 0 else {}
        if self.n(0, 9) == 0:
            kw["is_complex"] = self.pick((1, None, "yes", 0.0, True, False))
        args = ()
        if r <= 3:
            args = (init,)
        elif r == 4:
            kw["size"] = self.shape(4) if self.n(0, 3) else self.value()
        elif r == 5:
            kw.update(size=self.shape(4) if self.n(0, 2) else self.value(), initializer=init)
        elif r == 6:
            kw["vector"] = init
            if self.f.ConsumeBool():
                n = len(init) if isinstance(init, (list, tuple)) else 1
                m = self.pick([d for d in range(1, n + 1) if n % d == 0]) or 2
                kw["size"] = [m, n // m]
        elif r == 7:
            args = tuple(self.value(t=t, cplx=cplx) if self.n(0, 2) else None
                         for _ in range(self.n(0, 5)))
        elif r == 8:  # the pickling form: a leading dict supplies the keywords
            if self.f.ConsumeBool():
                kw["size"] = self.shape()
            args, kw = (kw, init), {}
        else:
            args = (init, self.shape(4) if self.f.ConsumeBool() else None)
        try:
            a = t(*args, **kw)
        except ALLOWED as e:
            a, err = None, e
        if r <= 3 or r == 6:
            self.check_construction(t, kw, init, a, None if a is not None else err, vector=r == 6)
        if a is not None:
            self.pool.append([a, True])
            self.check(a, True, True)

    def check_construction(self, t, kw, init, a, err, vector):
        """A rectangular list of plain scalars of at most two levels reads back as converted,
        or fails with the first failing element's exception."""
        cplx = kw.get("is_complex") is True
        if set(kw) - {"is_complex", "size", "vector" if vector else "size"}:
            return
        if type(kw.get("is_complex", False)) is not bool:
            return
        if t is kalvo.logical and cplx:
            return
        nested = isinstance(init, list) and init and all(isinstance(r, list) for r in init)
        rows = init if nested else None
        flat_input = vector or not rows
        if flat_input:
            if not isinstance(init, list) or any(isinstance(e, (list, tuple)) for e in init):
                return
            rows = [init]
        if len({len(r) for r in rows}) != 1:
            return
        if any(isinstance(e, (list, tuple)) for r in rows for e in r):
            return
        size = kw.get("size")
        if size is not None and (not vector or len(size) != 2):
            return
        try:
            expect = [[conv(t, cplx, e, True) for e in r] for r in rows]
        except Unpredictable:
            return
        failed = [e for e in flat(expect) if isinstance(e, type)]
        if failed:
            assert isinstance(err, ValueError if vector else failed[0]), (t, init, err)
            return
        assert a is not None, (t, kw, init, err)
        vals = a.__reduce__()[1][1]
        if size is not None:  # vector laid into 'size' column-major
            m, n = size
            seq = flat(expect)
            expect = [[seq[i + j * m] for j in range(n)] for i in range(m)]
        if flat_input and not init and not vector:
            expect = []  # an empty initializer is 0-by-0; an empty 'vector' 1-by-0
        assert reprs(flat(vals)) == reprs(flat(expect)), (vals, expect)
        assert str(vals).count("[") == str(expect).count("["), (vals, expect)

    def assign(self):
        entry = self.pick(self.pool)
        if entry is None:
            return
        x = entry[0]
        if self.f.ConsumeBool():
            x = call(self.index, x) if len(x) else x
            if not isinstance(x, TYPES):
                return
        size = call(lambda: x.size)
        if size is None or cells(size) > MAX_CELLS:
            return
        k = self.key(len(x))
        t, cplx = type(x), x._is_complex
        if self.n(0, 2):  # a value of the shape the target most likely has
            target = call(lambda: x[k])
            tsize = call(lambda: target.size) if isinstance(target, TYPES) else []
            if tsize is None:
                return
            value = self.nested(list(tsize), lambda: self.leaf(t, cplx))
        else:
            value = self.value(t=t, cplx=cplx)
        if self.n(0, 15) == 0:
            try:
                del x[k]
            except ALLOWED:
                return
            raise AssertionError("deletion succeeded")
        plain = all(type(e) in (bool, int, float, complex) for e in flat(value)) and not (
            isinstance(k, slice) and any(isinstance(b, Hostile) for b in (k.start, k.stop, k.step)))
        try:
            x[k] = value
        except ALLOWED as e:
            element = len(size) == 1 and isinstance(k, int) and -size[0] <= k < size[0]
            if plain and element and not isinstance(value, (list, tuple)):
                expect = call(conv, t, cplx, value, False)
                assert expect is None or isinstance(expect, type) and isinstance(e, expect), (
                    value, e)
            return
        if not plain:
            return
        try:
            expect = [conv(t, cplx, e, False) for e in flat(value)]
        except Unpredictable:
            return
        got = x[k]
        got = flat(got.__reduce__()[1][1]) if isinstance(got, TYPES) else [got]
        assert reprs(got) == reprs(expect), (t, cplx, k, value, got, expect)

    def methods(self):
        entry = self.pick(self.pool)
        if entry is None:
            return
        x, full = entry
        cheap = small(x)
        r = self.n(0, 10)
        if r == 0:
            dims = self.factor(x) if self.f.ConsumeBool() else self.shape(4)
            form = self.n(0, 3)
            y = call(x.reshape, *dims) if form == 0 else call(x.reshape, dims) if form == 1 else \
                call(x.reshape, self.value()) if form == 2 else call(x.reshape, *dims, order="F")
            assert y is None or y is x
        elif r <= 3 and cheap:
            m = self.n(0, 3)
            y = call((x.clone, x.real, x.imag, x.noncomplex)[m])
            if y is not None:
                self.pool.append([y, m == 0])
                self.check(y, m == 0, True)
        elif r == 4:
            for name in ("_real", "_imag", "_data", "_is_complex", "size", "_size", "itemsize"):
                call(getattr, x, name)
            call(x.buffer_info), call(x.get_bytewise_strides)
        elif r == 5:
            with contextlib.redirect_stderr(io.StringIO()):
                call(x.toarray)
            mv = call(x.tomemoryview)
            if mv is not None:
                self.views.append(mv)
        elif r == 6:
            mv = call(memoryview, x)
            if mv is not None:
                self.views.append(mv)
                if cheap:
                    call(lambda: mv.tolist()), call(mv.tobytes)
                if self.f.ConsumeBool():  # our own export imported again
                    y = call(self.pick(TYPES), mv, is_complex=self.f.ConsumeBool())
                    if y is not None:
                        self.pool.append([y, True])
        elif r == 7 and self.views:
            self.views.pop(self.n(0, len(self.views) - 1)).release()
        elif r == 8:
            y = self.pick(self.pool)[0] if self.n(0, 3) else self.value()
            if cheap:
                eq, ne = call(lambda: x == y), call(lambda: x != y)
                assert eq is None or ne is None or eq is (not ne), (x, y, eq, ne)
                if isinstance(y, TYPES) and type(y) is type(x) and eq is False:
                    sx, sy = call(str, x), call(str, y)
                    assert sx is None or sx != sy or "nan" in sx, (sx, sy)
                try:
                    x < y
                except NotImplementedError:
                    pass
                else:
                    raise AssertionError("ordering comparison succeeded")
        elif r == 10:  # the host capsule, and the copy module's route through __reduce__
            impl = call(TO_IMPL, x)
            assert impl is None or call(TO_IMPL, x) in (impl, None)
            exporter = self.value() if self.f.ConsumeBool() else call(memoryview, x)
            code = ctypes.c_int(-1)
            y = call(FROM_BUFFER, exporter, ctypes.byref(code))
            exporters = (bytes, bytearray, array.array, memoryview) + TYPES + (
                (np.ndarray,) if np is not None else ())
            assert HAS_BUFFER(exporter) == isinstance(exporter, exporters), exporter
            if y is not None:
                kind = TYPES.index(type(y)) + 3 + 10 * y._is_complex
                assert code.value == (13 if type(y) is kalvo.logical else kind), (code.value, y)
                if small(y):  # text of a million-element import takes seconds
                    again = type(y)(exporter, **({"is_complex": True} if y._is_complex else {}))
                    assert str(again) == str(y), (again, y)
                self.pool.append([y, True])
            elif not HAS_BUFFER(exporter):
                assert code.value == 32
            if cheap:
                call(copy.copy, x), call(copy.deepcopy, x)
        elif cheap:
            it = iter(x)
            items = list(it)
            assert next(it, self) is self
            call(lambda: self.scalar() in x)
            for item in items:
                if isinstance(item, TYPES):
                    self.pool.append([item, False])
                    break

    def run(self):
        for _ in range(self.n(1, 3)):
            self.construct()
        for _ in range(self.n(0, 12)):
            if not self.f.remaining_bytes():
                break
            op = self.n(0, 6)
            if op <= 1:
                self.construct()
            elif op == 2:
                self.assign()
            elif op == 3 and self.pool:
                entry = self.pick(self.pool)
                y = call(self.index, entry[0])
                if isinstance(y, TYPES):
                    self.pool.append([y, False])
                    self.check(y, False, True)
            elif op == 4 and self.pool:
                self.pool.pop(self.n(0, len(self.pool) - 1))
            else:
                self.methods()
        for entry in self.pool:
            self.check(entry[0], entry[1], False)
        for mv in self.views:  # reshapes may have run since: the memory must still be there
            if mv.nbytes <= 1 << 16:
                mv.tobytes()


def TestOneInput(data):
    try:
        Program(data).run()
    except ALLOWED:
        pass  # an operation outside call() refused: the program ends there


if __name__ == "__main__":
    sys.setrecursionlimit(3000)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
