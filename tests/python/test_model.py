"""Stateful model test: every live array, partial array, iterator and memoryview is checked
against a pure-Python model after every step.

The model keeps one `Store` per storage (kind, complexity, shape and the elements in
column-major storage order) and one `Handle` per Python array object: the store it shares plus
its pending index items (integer positions, then optionally the absolute positions a trailing
slice selects). A handle's values are always derived from its store, so a write through any
object shows in all. Python's own list slicing is the oracle for slice arithmetic.

KALVO_MODEL_EXAMPLES raises the example count for long runs.
"""
import array
import itertools
import math
import os
import pickle
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import kalvo
from conftest import KINDS

ARRAY_TYPES = tuple(getattr(kalvo, k.name) for k in KINDS)
TOO_LARGE = "Python int too large to convert to C long long"
DIFFERENT_SHAPE = "unable to perform assignment because the left and right sides have a different shape."
COUNT_MISMATCH = "length of slice does not match number of elements."
MAX_HANDLES = 10
MAX_STALE = 6
NUMPY_DTYPES = {"double": np.float64, "single": np.float32, "int8": np.int8, "uint8": np.uint8,
                "int16": np.int16, "uint16": np.uint16, "int32": np.int32, "uint32": np.uint32,
                "int64": np.int64, "uint64": np.uint64, "logical": np.bool_}
OPAQUE = object()

# ---------------------------------------------------------------------------------------------
# Values: (input, value read back) for accepted inputs, (input, exception, message) for refused
# ones. A message of None checks only the exception type.


def good_values(kind, cplx):
    if cplx:
        if kind.is_float:
            return [(1 + 2j, 1 + 2j), (-1.5, -1.5 + 0j), (0.125j, 0.125j), (3, 3 + 0j)]
        small = complex(3, 2) if kind.min == 0 else complex(3, -2)
        # Complex elements read back as pairs of doubles: extremes only where a double holds them.
        hi, lo = (kind.max, kind.min) if kind.itemsize < 8 else (2 ** 62, -(2 ** 62) if kind.min else 0)
        return [(small, small), (2.75, 2 + 0j), (hi, complex(hi)), (lo, complex(lo)), (0, 0j)]
    if kind.name == "logical":
        return [(True, True), (False, False), (0, False), (5, True)]
    if kind.is_float:
        extra = [(1e300, 1e300)] if kind.name == "double" else [(0.125, 0.125)]
        return [(0.0, 0.0), (-1.5, -1.5), (2.25, 2.25), (7, 7.0), (True, 1.0)] + extra
    return [(kind.min, kind.min), (0, 0), (1, 1), (kind.max, kind.max), (True, 1)]


def bad_values(kind, cplx, walk, lenient=False):
    """Refused inputs; `walk` leaves out strings, which a nested value refuses before converting.
    Construction is `lenient`: a logical element takes floats and complex values by their truth."""
    q = kind.qualname
    if cplx:
        bad = [(None, TypeError, None), (OPAQUE, TypeError, None)]
        if kind.is_integer:
            if kind.itemsize < 8:
                over = kind.max + 1
                msg = f"value ({over}) cannot be stored in a variable of type {kind.name}."
                fmsg = f"value ({float(over):g}) cannot be stored in a variable of type {kind.name}."
                bad += [(over, OverflowError, msg), (complex(over, 0), OverflowError, fmsg),
                        (float(over), OverflowError, fmsg)]
            elif kind.min == 0:
                bad += [(-1, OverflowError, "value (-1) cannot be stored in a variable of type uint64."),
                        (-1.0, OverflowError, "value (-1) cannot be stored in a variable of type uint64.")]
            else:
                bad += [(2 ** 63, OverflowError, TOO_LARGE)]
        elif kind.name == "double":
            bad += [(2 ** 63, OverflowError, TOO_LARGE)]
        return bad
    bad = [(None, TypeError, "value must not be 'None'."), (OPAQUE, TypeError, "type does not match."),
           (1j, TypeError, f"{q} does not accept complex values if 'is_complex' is not set to 'True'.")]
    if not walk:
        bad.append(("x", TypeError, "value is not numeric."))
    if lenient and kind.name == "logical":
        bad = [b for b in bad if not isinstance(b[0], complex)]
    elif not kind.is_float:
        bad.append((0.5, TypeError, f"{q} does not accept floating-point values."))
    if kind.is_integer and kind.itemsize < 8:
        for v in (kind.min - 1, kind.max + 1):
            bad.append((v, OverflowError, f"value ({v}) cannot be stored in a variable of type {kind.name}."))
    elif kind.name == "uint64":
        bad += [(2 ** 64, OverflowError, TOO_LARGE),
                (-1, OverflowError, "value (-1) cannot be stored in a variable of type uint64.")]
    elif kind.is_integer or kind.name in ("double", "logical"):
        bad.append((2 ** 64 if kind.name == "logical" else 2 ** 63, OverflowError, TOO_LARGE))
    return bad


def value_list(data, kind, cplx, n, lenient=False):
    """n values; sometimes one of them refused. Returns (inputs, stored, first failure)."""
    goods = good_values(kind, cplx)
    picks = [data.draw(st.sampled_from(goods)) for _ in range(n)]
    failure = None
    if n and data.draw(st.integers(0, 4)) == 0:
        i = data.draw(st.integers(0, n - 1))
        bad = data.draw(st.sampled_from(bad_values(kind, cplx, walk=True, lenient=lenient)))
        picks[i] = (bad[0], None)
        failure = bad[1:]
    return [s[0] for s in picks], [s[1] for s in picks], failure


# ---------------------------------------------------------------------------------------------
# Shapes and index arithmetic


def prod(dims):
    return math.prod(dims)


def column_major(shape):
    """Index tuples in storage order (first index fastest)."""
    return [t[::-1] for t in itertools.product(*(range(e) for e in reversed(shape)))]


def row_major(shape):
    return list(itertools.product(*(range(e) for e in shape)))


def trim(dims):
    """Trailing extents of 1 beyond the second dimension are dropped; one dimension n is 1-by-n."""
    dims = list(dims)
    if len(dims) == 1:
        dims = [1, dims[0]]
    while len(dims) > 2 and dims[-1] == 1:
        dims.pop()
    return dims


def nest(flat, dims):
    """Row-major flat values as nested lists of extents `dims`."""
    if len(dims) == 1:
        return list(flat)
    inner = prod(dims[1:])
    return [nest(flat[i * inner:(i + 1) * inner], dims[1:]) for i in range(dims[0])]


def nesting_dims(value):
    """Extents a nested list shows along its first items."""
    dims = []
    while isinstance(value, list):
        dims.append(len(value))
        if not value:
            break
        value = value[0]
    return dims


def nested_to_store(nested):
    """(shape, column-major values) an array built from this nested list has."""
    dims = nesting_dims(nested)
    if len(dims) == 1:
        return ([0, 0] if dims[0] == 0 else [1, dims[0]]), list(nested)
    def at(index):
        v = nested
        for i in index:
            v = v[i]
        return v
    flat = [at(t) for t in column_major(dims)] if prod(dims) else []
    return trim(dims), flat


class Store:
    """The storage several handles share."""

    def __init__(self, kind, cplx, shape, flat):
        self.kind, self.cplx, self.shape, self.flat = kind, cplx, list(shape), list(flat)
        self.exports = 0  # live memoryviews of the full array
        assert prod(self.shape) == len(self.flat)

    def offset(self, index):
        off, stride = 0, 1
        for i, extent in zip(index, self.shape):
            off += i * stride
            stride *= extent
        return off

    def block(self, prefix):
        if len(prefix) == len(self.shape):
            return self.flat[self.offset(prefix)]
        return [self.block(prefix + (j,)) for j in range(self.shape[len(prefix)])]


class Handle:
    """A Python array object: its store, integer items, and a trailing slice's positions."""

    def __init__(self, obj, store, ints=(), sl=None):
        self.obj, self.store, self.ints, self.sl = obj, store, tuple(ints), sl
        self.snapshot = None  # (shape, storage-order values) of the first export of a partial array

    @property
    def full(self):
        return not self.ints and self.sl is None

    @property
    def k(self):
        return len(self.ints)

    @property
    def leaf(self):
        """The next key fixes an element."""
        return self.k == len(self.store.shape) - 1

    def active(self):
        return tuple(self.sl) if self.sl is not None else tuple(range(self.store.shape[self.k]))

    def size(self):
        return (len(self.active()),) + tuple(self.store.shape[self.k + 1:])

    def nested(self):
        return [self.store.block(self.ints + (p,)) for p in self.active()]

    def valid(self):
        """Whether the items still lie inside the store's (possibly reshaped) shape."""
        shape = self.store.shape
        if self.k >= len(shape) or self.k + (self.sl is not None) > len(shape):
            return False
        if any(not 0 <= i < e for i, e in zip(self.ints, shape)):
            return False
        return self.sl is None or all(0 <= p < shape[self.k] for p in self.sl)

    def materialised(self):
        """(shape, storage-order values) of a stand-alone copy of what the handle shows."""
        if self.full and self.store.flat:
            return list(self.store.shape), list(self.store.flat)
        nested = self.nested()
        dims = list(self.size())
        flat_rm = list(flatten(nested))
        if not flat_rm:
            return [0] + list(self.store.shape[1:]), []
        if len(dims) == 1:
            dims = [1, dims[0]]
        lookup = dict(zip(row_major(dims), flat_rm))
        return dims, [lookup[t] for t in column_major(dims)]


def flatten(nested):
    for x in nested:
        if isinstance(x, list):
            yield from flatten(x)
        else:
            yield x


def read(obj):
    """Nested list of what an array object shows, read one key at a time."""
    out = []
    for i in range(len(obj)):
        x = obj[i]
        out.append(read(x) if isinstance(x, ARRAY_TYPES) else x)
    return out


def text(nested):
    return str(nested).replace(" ", "")


def unpack_view(mv, kind, cplx):
    """Storage-order values of a memoryview, decoded with the kind's format."""
    code = kind.fmt * (2 if cplx else 1)
    raw = mv.tobytes(order="F")
    values = list(struct.iter_unpack("@" + code, raw))
    return [complex(*v) if cplx else v[0] for v in values]


def same(actual, expected):
    """Equal values of equal types (repr tells 1 from 1.0, True and (1+0j))."""
    assert repr(actual) == repr(expected)


def raises(fn, exc, message):
    with pytest.raises(exc) as info:
        fn()
    if message is not None:
        assert str(info.value) == message
    return info.value


# ---------------------------------------------------------------------------------------------


class ArrayMachine(RuleBasedStateMachine):

    def __init__(self):
        super().__init__()
        self.handles = []   # live, modelled
        self.stale = []     # made before a reshape of their store: only loosely checked
        self.views = []     # (memoryview, handle, snapshot (shape, values) or ("live", shape))
        self.iters = []     # [iterator, handle, next position]
        self.stale_iters = []

    # -- bookkeeping --------------------------------------------------------------------------

    def add(self, handle):
        self.handles.append(handle)
        if len(self.handles) > MAX_HANDLES:
            del self.handles[0]
        return handle

    def pick(self, data, cond=lambda h: True):
        choices = [h for h in self.handles if cond(h)]
        return data.draw(st.sampled_from(choices)) if choices else None

    def expect_handle(self, obj, store, ints=(), sl=None):
        assert type(obj) is getattr(kalvo, store.kind.name)
        return self.add(Handle(obj, store, ints, sl))

    # -- construction ---------------------------------------------------------------------------

    @initialize(data=st.data())
    def start(self, data):
        self.build_nested(data)

    def draw_kind(self, data):
        kind = data.draw(st.sampled_from(KINDS))
        cplx = kind.complex_ok and data.draw(st.booleans())
        return kind, cplx

    def draw_dims(self, data, lo=0, hi=4):
        ndim = data.draw(st.integers(1, 3))
        top = hi if ndim < 3 else 3
        return [data.draw(st.integers(lo, top)) for _ in range(ndim)]

    @rule(data=st.data())
    def build_nested(self, data):
        kind, cplx = self.draw_kind(data)
        dims = self.draw_dims(data)
        inputs, stored, failure = value_list(data, kind, cplx, prod(dims), lenient=True)
        make = lambda: getattr(kalvo, kind.name)(nest(inputs, dims), is_complex=cplx)
        if failure:
            raises(make, *failure)
            return
        shape, flat = nested_to_store(nest(stored, dims))
        self.expect_handle(make(), Store(kind, cplx, shape, flat))

    @rule(data=st.data(), with_size=st.booleans())
    def build_vector(self, data, with_size):
        kind, cplx = self.draw_kind(data)
        dims = self.draw_dims(data)
        n = prod(dims)
        inputs, stored, failure = value_list(data, kind, cplx, n, lenient=True)
        kwargs = dict(vector=inputs, is_complex=cplx)
        if with_size:
            kwargs["size"] = dims
        make = lambda: getattr(kalvo, kind.name)(**kwargs)
        if failure:  # the 'vector' keyword raises every conversion failure as ValueError
            raises(make, ValueError, failure[1])
            return
        self.expect_handle(make(), Store(kind, cplx, trim(dims) if with_size else [1, n], stored))

    @rule(data=st.data())
    def build_zeros(self, data):
        kind, cplx = self.draw_kind(data)
        dims = self.draw_dims(data)
        zero = 0j if cplx else {"logical": False}.get(kind.name, 0.0 if kind.is_float else 0)
        obj = getattr(kalvo, kind.name)(size=tuple(dims), is_complex=cplx)
        self.expect_handle(obj, Store(kind, cplx, trim(dims), [zero] * prod(dims)))

    @rule(data=st.data(), order=st.sampled_from(["array", "C", "F"]))
    def build_buffer(self, data, order):
        kind, cplx = self.draw_kind(data)
        if order == "array":
            cplx = False  # array.array has no complex type codes
        elif cplx and not kind.is_float:
            cplx = False  # nor has numpy complex integers
        dims = [data.draw(st.integers(0, 5))] if order == "array" else self.draw_dims(data)
        stored = [data.draw(st.sampled_from(good_values(kind, cplx)))[1] for _ in range(prod(dims))]
        if order == "array":
            code = "B" if kind.name == "logical" else kind.fmt
            source = array.array(code, [int(v) if kind.name == "logical" else v for v in stored])
        else:
            dtype = {"double": np.complex128, "single": np.complex64}[kind.name] if cplx else NUMPY_DTYPES[kind.name]
            source = np.array(stored, dtype=dtype).reshape(dims, order=order)
            source = np.asfortranarray(source) if order == "F" else np.ascontiguousarray(source)
        obj = getattr(kalvo, kind.name)(source, is_complex=cplx)
        if len(dims) == 1:
            shape = [0, 0] if dims[0] == 0 else [1, dims[0]]
        else:
            shape = trim(dims)
        # `stored` was laid out in the source in the order it was given.
        idx = row_major(dims) if order != "F" else column_major(dims)
        lookup = dict(zip(idx, stored))
        flat = [lookup[t] for t in column_major(dims)] if stored else []
        self.expect_handle(obj, Store(kind, cplx, shape, flat))

    # -- reading --------------------------------------------------------------------------------

    @rule(data=st.data())
    def take_item(self, data):
        h = self.pick(data)
        if h is None:
            return
        n = len(h.active())
        i = data.draw(st.integers(-n - 1, n))
        if not -n <= i < n:
            raises(lambda: h.obj[i], IndexError, f"index has an invalid value: {i}")
            return
        got = h.obj[i]
        p = h.active()[i]
        if h.leaf:
            same(got, h.store.block(h.ints + (p,)))
        else:
            self.expect_handle(got, h.store, h.ints + (p,))

    def draw_slice(self, data):
        bound = st.one_of(st.none(), st.integers(-6, 6))
        return slice(data.draw(bound), data.draw(bound), data.draw(st.sampled_from([None, 1, 2, -1, -2, 3])))

    @rule(data=st.data())
    def take_slice(self, data):
        h = self.pick(data)
        if h is None:
            return
        s = self.draw_slice(data)
        self.expect_handle(h.obj[s], h.store, h.ints, h.active()[s])

    # -- assignment -----------------------------------------------------------------------------

    @rule(data=st.data())
    def assign_element(self, data):
        h = self.pick(data, lambda h: h.leaf)
        if h is None:
            return
        n = len(h.active())
        i = data.draw(st.integers(-n - 1, n))
        kind, cplx = h.store.kind, h.store.cplx
        case = data.draw(st.sampled_from(good_values(kind, cplx) + bad_values(kind, cplx, walk=False)))
        before = list(h.store.flat)
        if not -n <= i < n:
            raises(lambda: h.obj.__setitem__(i, case[0]), IndexError, f"index has an invalid value: {i}")
        elif len(case) == 3:
            raises(lambda: h.obj.__setitem__(i, case[0]), case[1], case[2])
        else:
            h.obj[i] = case[0]
            h.store.flat[h.store.offset(h.ints + (h.active()[i],))] = case[1]
            return
        assert h.store.flat == before

    @rule(data=st.data())
    def assign_row(self, data):
        h = self.pick(data, lambda h: not h.leaf)
        if h is None:
            return
        store = h.store
        target = store.shape[h.k + 1:]
        n = len(h.active())
        i = data.draw(st.integers(-n - 1, n))
        shape_ok = data.draw(st.integers(0, 3)) > 0
        if shape_ok:
            dims = list(target)
        else:
            dims = data.draw(st.sampled_from([[], [prod(target) + 1], list(target) + [1], [prod(target)]]))
            if dims == list(target):
                dims = [prod(target) + 2]
        inputs, stored, failure = value_list(data, store.kind, store.cplx, prod(dims))
        value = shown = inputs[0] if not dims else nest(inputs, dims)
        source = self.array_value(data, store)
        if source:  # another array (possibly this one) read through its sequence protocol
            value, shown = source.obj, source.nested()
            stored, failure = list(flatten(shown)), None
        call = lambda: h.obj.__setitem__(i, value)
        before = list(store.flat)
        if not -n <= i < n:
            raises(call, IndexError, f"index has an invalid value: {i}")
        elif failure:
            raises(call, *failure)
        elif not isinstance(shown, list) or nesting_dims(shown) != list(target):
            raises(call, ValueError, DIFFERENT_SHAPE)
        else:
            call()
            p = h.active()[i]
            for index, v in zip(row_major(target), stored):
                store.flat[store.offset(h.ints + (p,) + index)] = v
            return
        assert store.flat == before

    @rule(data=st.data())
    def assign_last_slice(self, data):
        h = self.pick(data, lambda h: h.leaf)
        if h is None:
            return
        store = h.store
        s = self.draw_slice(data)
        positions = h.active()[s]
        form = data.draw(st.sampled_from(["flat", "flat", "short", "long", "scalar", "nested"]))
        m = {"short": max(len(positions) - 1, 0) if positions else 1, "long": len(positions) + 1}.get(
            form, len(positions))
        inputs, stored, failure = value_list(data, store.kind, store.cplx, 1 if form == "scalar" else m)
        value = inputs[0] if form == "scalar" else [inputs] if form == "nested" else inputs
        before = list(store.flat)
        call = lambda: h.obj.__setitem__(s, value)
        if failure:
            raises(call, *failure)
        elif form in ("scalar", "nested") or m != len(positions):
            raises(call, ValueError, DIFFERENT_SHAPE)
        else:
            call()
            for p, v in zip(positions, stored):
                store.flat[store.offset(h.ints + (p,))] = v
            return
        assert store.flat == before

    @rule(data=st.data())
    def assign_block(self, data):
        h = self.pick(data, lambda h: not h.leaf)
        if h is None:
            return
        store = h.store
        s = self.draw_slice(data)
        positions = h.active()[s]
        inner = store.shape[h.k + 1:]
        targets = [h.ints + (p,) + t for p in positions for t in row_major(inner)]
        count = len(targets) + data.draw(st.sampled_from([0, 0, 0, -1, 1, -len(targets)]))
        count = max(count, 0)
        inputs, stored, failure = value_list(data, store.kind, store.cplx, count)
        value = inputs
        row = prod(inner)
        if row and count % row == 0 and count and data.draw(st.booleans()):
            value = nest(inputs, [count // row, row])  # only the element count matters
        source = self.array_value(data, store)
        if source:
            value, stored, failure = source.obj, list(flatten(source.nested())), None
            count = len(stored)
        call = lambda: h.obj.__setitem__(s, value)
        before = list(store.flat)
        if failure:
            raises(call, *failure)
        elif count == 0 and positions:
            raises(call, ValueError, "slice is nonempty but values are empty.")
        elif count and not positions:
            raises(call, ValueError, "slice is empty, but number of elements assigned is greater than zero.")
        else:
            # Positions and values are paired in order; a count mismatch keeps the pairs written.
            for index, v in zip(targets, stored):
                store.flat[store.offset(index)] = v
            if count != len(targets):
                event("block count mismatch")
                raises(call, ValueError, COUNT_MISMATCH)
            else:
                call()
            return
        assert store.flat == before

    def array_value(self, data, store):
        """Now and then, a live array of the same kind and complexity to assign as a value."""
        if data.draw(st.integers(0, 3)):
            return None
        return self.pick(data, lambda o: o.store.kind is store.kind and o.store.cplx == store.cplx)

    # -- methods --------------------------------------------------------------------------------

    @rule(data=st.data())
    def reshape(self, data):
        shared = lambda h: h.full and any(o.store is h.store and o is not h for o in self.handles)
        h = self.pick(data, shared if data.draw(st.integers(0, 3)) else (lambda h: h.full))
        if h is None:
            h = self.pick(data, lambda h: h.full)
        partial = self.pick(data, lambda h: not h.full)
        if partial is not None:
            raises(lambda: partial.obj.reshape(*partial.size(), 1), RuntimeError,
                   "reshape() not supported for a partial array.")
        if h is None:
            return
        store = h.store
        n = len(store.flat)
        ndim = data.draw(st.integers(2, 3))
        if n:
            dims = []
            rest = n
            for _ in range(ndim - 1):
                d = data.draw(st.sampled_from([d for d in range(1, rest + 1) if rest % d == 0]))
                dims.append(d)
                rest //= d
            dims.append(rest)
        else:
            dims = [data.draw(st.integers(0, 4)) for _ in range(ndim)]
            dims[data.draw(st.integers(0, ndim - 1))] = 0
        if data.draw(st.integers(0, 5)) == 0:
            dims[-1] += 1
        form = data.draw(st.sampled_from(["args", "tuple", "list"]))
        call = {"args": lambda: h.obj.reshape(*dims), "tuple": lambda: h.obj.reshape(tuple(dims)),
                "list": lambda: h.obj.reshape(list(dims))}[form]
        if prod(dims) != n:
            raises(call, kalvo.ShapeError, "number of elements specified by arguments to reshape() "
                                           f"({prod(dims)}) does not match current number ({n}).")
            return
        if store.exports:
            event("reshape while exported")  # live views keep the shape they were made with
        assert call() is h.obj
        new_shape = trim(dims)
        if new_shape == store.shape:
            return
        store.shape = new_shape
        for other in [o for o in self.handles if o.store is store and o is not h]:
            event("reshape left a view behind")
            self.handles.remove(other)
            self.stale = (self.stale + [other])[-MAX_STALE:]
        for entry in [e for e in self.iters if e[1].store is store]:
            self.iters.remove(entry)
            self.stale_iters = (self.stale_iters + [entry])[-MAX_STALE:]

    @rule(data=st.data())
    def clone(self, data):
        h = self.pick(data)
        if h is None:
            return
        shape, flat = h.materialised()
        self.expect_handle(h.obj.clone(), Store(h.store.kind, h.store.cplx, shape, flat))

    @rule(data=st.data(), what=st.sampled_from(["real", "imag", "noncomplex", "_real", "_data"]))
    def parts(self, data, what):
        h = self.pick(data)
        if h is None:
            return
        store = h.store
        wants_complex = what not in ("noncomplex", "_data")
        get = lambda: getattr(h.obj, what)() if not what.startswith("_") else getattr(h.obj, what)
        if wants_complex != store.cplx:
            msg = ("real() and imag() can be called only on a complex array." if wants_complex
                   else "noncomplex() must not be called on a complex array.")
            raises(get, ValueError, msg)
            return
        real_type = float if store.kind.is_float else int
        part = {"real": lambda v: real_type(v.real), "_real": lambda v: real_type(v.real),
                "imag": lambda v: real_type(v.imag)}.get(what, lambda v: v)
        result = get()
        assert type(result) is type(h.obj) and result._is_complex is False
        got = read(result)
        # Parts of a partial array list the elements it shows; the whole storage is also allowed.
        candidates = [[part(v) for v in h.materialised()[1]], [part(v) for v in store.flat]]
        assert repr(got) in [repr(c) for c in candidates]
        self.expect_handle(result, Store(store.kind, False, [1, len(got)], got), ints=(0,))

    @rule(data=st.data())
    def pickle_round_trip(self, data):
        h = self.pick(data)
        if h is None:
            return
        back = pickle.loads(pickle.dumps(h.obj))
        # A full array comes back with its own extents; a partial one as its nested list would.
        if h.full:
            shape, flat = list(h.store.shape), list(h.store.flat)
        else:
            shape, flat = nested_to_store(h.nested())
        new = self.expect_handle(back, Store(h.store.kind, h.store.cplx, shape, flat))
        assert back._is_complex is h.store.cplx
        assert (back == h.obj) is (new.nested() == h.nested())

    @rule(data=st.data())
    def compare(self, data):
        a, b = self.pick(data), self.pick(data)
        if a is None:
            return
        equal = a.store.kind is b.store.kind and a.nested() == b.nested()
        assert (a.obj == b.obj) is equal and (a.obj != b.obj) is (not equal)
        assert (a.obj == a.nested()) is False

    @rule(data=st.data())
    def iterate(self, data):
        h = self.pick(data)
        if h is None:
            return
        items = list(h.obj)
        expected = h.nested()
        same([read(x) if isinstance(x, ARRAY_TYPES) else x for x in items], expected)
        assert all(isinstance(x, ARRAY_TYPES) for x in items) is (not h.leaf or not items)
        if h.leaf and not h.store.cplx:
            values = [int(v) for v in expected] if h.store.kind.name == "logical" else expected
            converted = h.obj.toarray()
            assert converted.typecode == ("B" if h.store.kind.name == "logical" else h.store.kind.fmt)
            assert converted.tolist() == values
        elif items:  # array.array takes neither partial arrays nor complex values
            raises(h.obj.toarray, RuntimeError, "toarray() failed." if h.leaf else
                   "toarray() can be called only on a one-dimensional sequence.")

    @rule(data=st.data())
    def start_iterator(self, data):
        h = self.pick(data)
        if h is not None:
            self.iters = (self.iters + [[iter(h.obj), h, 0]])[-MAX_STALE:]

    @precondition(lambda self: self.iters)
    @rule(data=st.data())
    def advance_iterator(self, data):
        entry = data.draw(st.sampled_from(self.iters))
        it, h, pos = entry
        expected = h.nested()
        if pos >= len(expected):
            with pytest.raises(StopIteration):
                next(it)
            return
        x = next(it)
        same(read(x) if isinstance(x, ARRAY_TYPES) else x, expected[pos])
        entry[2] += 1

    # -- exports --------------------------------------------------------------------------------

    @rule(data=st.data(), method=st.booleans())
    def export(self, data, method):
        h = self.pick(data)
        if h is None:
            return
        mv = h.obj.tomemoryview() if method else memoryview(h.obj)
        if h.full:
            h.store.exports += 1
            self.views.append((mv, h, ("live", list(h.store.shape))))
        else:
            if h.snapshot is None:  # a partial array exports a copy made on its first export
                h.snapshot = h.materialised()
            self.views.append((mv, h, h.snapshot))
        self.check_view(*self.views[-1])

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def release(self, data):
        i = data.draw(st.integers(0, len(self.views) - 1))
        mv, h, expected = self.views.pop(i)
        mv.release()
        if expected[0] == "live":
            h.store.exports -= 1

    def check_view(self, mv, h, expected):
        store = h.store
        shape, flat = (expected[1], store.flat) if expected[0] == "live" else expected
        fmt = ("Z" if store.cplx else "") + store.kind.fmt
        assert (mv.shape, mv.format, mv.readonly) == (tuple(shape), fmt, True)
        assert mv.itemsize == store.kind.itemsize * (2 if store.cplx else 1)
        same(unpack_view(mv, store.kind, store.cplx), flat)

    # -- lifetime -------------------------------------------------------------------------------

    @rule(data=st.data())
    def drop(self, data):
        h = self.pick(data)
        if h is not None:
            self.handles.remove(h)

    @precondition(lambda self: self.stale or self.stale_iters)
    @rule()
    def use_stale(self):
        """Objects made before a reshape: a value consistent with the new storage, or an
        IndexError/RuntimeError, never a crash or a read outside the storage."""
        def loosely(fn, expected, valid):
            try:
                got = fn()
            except (IndexError, RuntimeError):
                return
            assert valid, "an object whose positions left the shape still read values"
            same(got, expected())

        for h in self.stale:
            valid = h.valid()
            event(f"stale view {'still fits' if valid else 'left the shape'}")
            loosely(lambda: read(h.obj), h.nested, valid)
            loosely(lambda: len(h.obj), lambda: len(h.active()), valid)
            loosely(lambda: str(h.obj), lambda: text(h.nested()), valid)
            loosely(lambda: h.obj == h.obj, lambda: True, valid)
            loosely(lambda: read(h.obj.clone()), lambda: nested_of(*h.materialised()), valid)
            try:
                mv = memoryview(h.obj)
            except (IndexError, RuntimeError):
                continue
            with mv:
                if h.snapshot is None:
                    assert valid
                    h.snapshot = h.materialised()
                same(unpack_view(mv, h.store.kind, h.store.cplx), h.snapshot[1])
        for it, h, pos in self.stale_iters:
            try:
                x = next(it)
            except (StopIteration, IndexError, RuntimeError):
                continue
            assert isinstance(x, ARRAY_TYPES + (bool, int, float, complex))

    # -- invariants -----------------------------------------------------------------------------

    @invariant()
    def everything_matches_the_model(self):
        for h in self.handles:
            expected = h.nested()
            store = h.store
            assert len(h.obj) == len(expected)
            assert tuple(h.obj.size) == h.size()
            same(read(h.obj), expected)
            assert str(h.obj) == text(expected)
            suffix = ", is_complex=True" if store.cplx else ""
            assert repr(h.obj) == f"kalvo.{store.kind.name}({text(expected)}{suffix})"
        for view in self.views:
            self.check_view(*view)


def nested_of(shape, flat):
    """Nested list (first index outermost) of storage-order values."""
    lookup = dict(zip(column_major(shape), flat))
    def block(prefix):
        if len(prefix) == len(shape):
            return lookup[prefix]
        return [block(prefix + (j,)) for j in range(shape[len(prefix)])]
    return block(())


ArrayMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("KALVO_MODEL_EXAMPLES", "60")),
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
TestArrayModel = ArrayMachine.TestCase
