"""Stateful model test, the oracle for everything arrays do when used as intended: after every step,
every live array, partial array, iterator and memoryview is checked against a pure-Python model.
A `Store` is one storage (kind, complexity, shape, elements in column-major order), a `Handle` one
array object: its store, its integer items and the positions a trailing slice selects. Python's list
slicing is the oracle for slice arithmetic, conftest.element_of for values."""
import array
import functools
import itertools
import math
import operator
import os
import pickle
import struct

import numpy as np
import pytest
from hypothesis import event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import kalvo
from conftest import KINDS, Unpredictable, element_of, flatten, inputs_for, refused, tolist

ARRAY_TYPES = tuple(getattr(kalvo, k.name) for k in KINDS)
DIFFERENT_SHAPE = "unable to perform assignment because the left and right sides have a different shape."
SEQUENCE = "sequence passed when scalar was expected."
MAX_HANDLES, MAX_STALE = 10, 6
# A kind and whether the array is complex; extents of one to three dimensions; slices.
KIND_AND_COMPLEXITY = st.sampled_from(KINDS).flatmap(
    lambda k: st.tuples(st.just(k), st.booleans() if k.complex_ok else st.just(False)))
DIMS = st.integers(1, 3).flatmap(
    lambda ndim: st.lists(st.integers(0, 4 if ndim < 3 else 3), min_size=ndim, max_size=ndim))
BOUND = st.one_of(st.none(), st.integers(-6, 6))
SLICES = st.builds(slice, BOUND, BOUND, st.sampled_from([None, 1, 2, -1, -2, 3]))


class IntKey(int):
    """An int subclass whose text is not its value: keys are read by value."""
    __str__ = __repr__ = lambda self: "key"


@functools.lru_cache(maxsize=None)
def table(kind, cplx, lenient=False, walk=True):
    """(good, bad) pairs of (input, outcome) for the model to draw from. Left out: NaN (lists
    compare an object with itself as equal), results the rules leave open, complex 64-bit values
    beyond what a double holds exactly (they would not survive a pickle round trip) and, in
    nested values, strings (refused before any conversion)."""
    good, bad = [], []
    for v in inputs_for(kind, cplx):
        if (isinstance(v, float) and v != v) or (walk and isinstance(v, str)):
            continue
        try:
            out = element_of(kind, v, cplx, lenient)
        except Unpredictable:
            continue
        if refused(out):
            bad.append((v, out))
        elif not (cplx and kind.itemsize == 8 and kind.is_integer and abs(out) > 2 ** 62):
            good.append((v, out))
    return good, bad


def value_list(data, kind, cplx, n, lenient=False):
    """n values; sometimes one of them refused. Returns (inputs, stored, first failure)."""
    good, bad = table(kind, cplx, lenient)
    picks = [data.draw(st.sampled_from(good)) for _ in range(n)]
    if n and data.draw(st.integers(0, 4)) == 0:
        picks[data.draw(st.integers(0, n - 1))] = data.draw(st.sampled_from(bad))
    failure = next((out for _, out in picks if refused(out)), None)
    return [p[0] for p in picks], [p[1] for p in picks], failure


def index_error(i):
    return IndexError, f"index has an invalid value: {int(i)}"


# ---------------------------------------------------------------------------------------------
# Shapes and storage order


def row_major(shape):
    return list(itertools.product(*(range(e) for e in shape)))


def column_major(shape):
    """Index tuples in storage order (first index fastest)."""
    return [t[::-1] for t in row_major(shape[::-1])]


def trim(dims):
    """Trailing extents of 1 beyond the second dimension are dropped; one dimension n is 1-by-n."""
    dims = [1, dims[0]] if len(dims) == 1 else list(dims)
    while len(dims) > 2 and dims[-1] == 1:
        dims.pop()
    return dims


def nest(flat, dims):
    """Row-major flat values as nested lists of extents `dims` (no extents: the one value)."""
    if not dims:
        return flat[0]
    inner = math.prod(dims[1:])
    return [nest(flat[i * inner:(i + 1) * inner], dims[1:]) for i in range(dims[0])]


def nesting_dims(value):
    """Extents a nested list shows along its first items."""
    return [len(value)] + nesting_dims(value[0] if value else None) if isinstance(value, list) else []


def shape_of(dims):
    """The shape of an array made from data of extents `dims`: trim's, but 0-by-0 for no data in one dimension."""
    return [0, 0] if dims == [0] else trim(dims)


def from_nested(nested):
    """(shape, column-major values) of an array built from a nested list."""
    dims = nesting_dims(nested)
    return shape_of(dims), [functools.reduce(operator.getitem, t, nested) for t in column_major(dims)]


class Store:
    """One storage, shared by the handles made from it."""

    def __init__(self, kind, cplx, shape, flat):
        self.kind, self.cplx, self.shape, self.flat = kind, cplx, list(shape), list(flat)
        self.itemsize = kind.itemsize * (2 if cplx else 1)
        assert math.prod(self.shape) == len(self.flat)

    def offset(self, index):
        return sum(i * math.prod(self.shape[:d]) for d, i in enumerate(index))

    def block(self, prefix=()):
        """Nested lists of the elements under the leading indices `prefix`."""
        if len(prefix) == len(self.shape):
            return self.flat[self.offset(prefix)]
        return [self.block(prefix + (j,)) for j in range(self.shape[len(prefix)])]

    def write(self, pairs):
        for index, v in pairs:
            self.flat[self.offset(index)] = v


class Handle:
    """An array object: its store, its integer items, and the positions a trailing slice selects."""

    def __init__(self, obj, store, ints=(), sl=None):
        self.obj, self.store, self.ints, self.sl = obj, store, tuple(ints), sl

    full = property(lambda self: not self.ints and self.sl is None)
    k = property(lambda self: len(self.ints))
    leaf = property(lambda self: self.k == len(self.store.shape) - 1)  # the next key fixes an element

    def active(self):
        return tuple(self.sl) if self.sl is not None else tuple(range(self.store.shape[self.k]))

    def size(self):
        return (len(self.active()),) + tuple(self.store.shape[self.k + 1:])

    def nested(self):
        return [self.store.block(self.ints + (p,)) for p in self.active()]

    def valid(self):
        """Whether the items still lie inside the store's (possibly reshaped) shape."""
        shape = self.store.shape
        return self.k < len(shape) and all(0 <= i < e for i, e in zip(self.ints, shape)) and (
            self.sl is None or all(0 <= p < shape[self.k] for p in self.sl))

    def copy(self):
        """A stand-alone store of what the handle shows, as clone() makes it: extents of its nested
        list, or when empty, 0 by the storage's other extents."""
        nested = self.nested()
        shape, flat = from_nested(nested) if flatten(nested) else ([0] + self.store.shape[1:], [])
        return Store(self.store.kind, self.store.cplx, shape, flat)


def text(nested):
    return str(nested).replace(" ", "")


def unpack_view(mv, store):
    """Storage-order values of a memoryview, decoded with the store's format."""
    values = struct.iter_unpack("@" + store.kind.fmt * (2 if store.cplx else 1), mv.tobytes(order="F"))
    return [complex(*v) if store.cplx else v[0] for v in values]


def same(actual, expected):
    """Equal values of equal types (repr tells 1 from 1.0, True and (1+0j))."""
    assert repr(actual) == repr(expected)


def raises(fn, exc, message):
    with pytest.raises(exc) as info:
        fn()
    assert str(info.value) == message


def handle_rule(**strategies):
    """A rule taking `data` that runs only while some array object is live."""
    return lambda f: precondition(lambda self: self.handles)(rule(data=st.data(), **strategies)(f))


class ArrayMachine(RuleBasedStateMachine):

    def __init__(self):
        super().__init__()
        self.handles = []   # live, modelled
        self.stale = []     # made before a reshape of their store: only loosely checked
        self.views = []     # (memoryview, store it shows, shape it was made with)
        self.iters = []     # [iterator, handle, next position]
        self.stale_iters = []

    def pick(self, data, cond=lambda h: True):
        choices = [h for h in self.handles if cond(h)]
        return data.draw(st.sampled_from(choices)) if choices else None

    def expect_handle(self, obj, store, ints=(), sl=None):
        assert type(obj) is getattr(kalvo, store.kind.name)
        self.handles = (self.handles + [Handle(obj, store, ints, sl)])[-MAX_HANDLES:]

    # -- construction ---------------------------------------------------------------------------

    @initialize(data=st.data())
    def start(self, data):
        self.build(data, "nested")

    @rule(data=st.data(), form=st.sampled_from(["nested", "vector", "vector-size", "zeros"]))
    def build(self, data, form):
        kind, cplx = data.draw(KIND_AND_COMPLEXITY)
        dims, t = data.draw(DIMS), getattr(kalvo, kind.name)
        n = math.prod(dims)
        if form == "zeros":
            zero = kind.python_type(cplx)(0)
            return self.expect_handle(t(size=tuple(dims), is_complex=cplx), Store(kind, cplx, trim(dims), [zero] * n))
        inputs, stored, failure = value_list(data, kind, cplx, n, lenient=True)
        if form == "nested":
            make = lambda: t(nest(inputs, dims), is_complex=cplx)  # noqa: E731
            expected = from_nested(nest(stored, dims))
        else:
            sized = form == "vector-size"
            make = lambda: t(vector=inputs, is_complex=cplx, **({"size": dims} if sized else {}))  # noqa: E731
            expected = (trim(dims) if sized else [1, n]), stored
            if failure:  # the 'vector' keyword raises every conversion failure as ValueError
                failure = (ValueError, failure[1])
        if failure:
            return raises(make, *failure)
        self.expect_handle(make(), Store(kind, cplx, *expected))

    @rule(data=st.data(), order=st.sampled_from(["array", "C", "F"]))
    def build_buffer(self, data, order):
        kind, cplx = data.draw(KIND_AND_COMPLEXITY)
        cplx = cplx and order != "array" and kind.is_float  # no complex array.array, nor complex integers in numpy
        dims = [data.draw(st.integers(0, 5))] if order == "array" else data.draw(DIMS)
        good = table(kind, cplx)[0]
        stored = [data.draw(st.sampled_from(good))[1] for _ in range(math.prod(dims))]  # in storage order
        if order == "array":  # logical elements as bytes
            source = array.array("B" if kind.fmt == "?" else kind.fmt, stored)
        else:
            dtype = np.dtype(("c" + str(2 * kind.itemsize)) if cplx else kind.fmt)
            source = np.array(stored, dtype=dtype).reshape(dims, order="F")  # C order: numpy reorders the memory
            source = np.asfortranarray(source) if order == "F" else np.ascontiguousarray(source)
        obj = getattr(kalvo, kind.name)(source, is_complex=cplx)
        self.expect_handle(obj, Store(kind, cplx, shape_of(dims), stored))

    # -- reading --------------------------------------------------------------------------------

    def draw_index(self, data, n):
        i = data.draw(st.integers(-n - 1, n))
        return data.draw(st.sampled_from([i, IntKey(i)] + ([bool(i)] if i in (0, 1) else [])))

    @handle_rule()
    def take_item(self, data):
        h = self.pick(data)
        n = len(h.active())
        i = self.draw_index(data, n)
        if not -n <= i < n:
            return raises(lambda: h.obj[i], *index_error(i))
        got, p = h.obj[i], h.active()[i]
        if h.leaf:
            same(got, h.store.block(h.ints + (p,)))
        else:
            self.expect_handle(got, h.store, h.ints + (p,))

    @handle_rule()
    def take_slice(self, data):
        h, s = self.pick(data), data.draw(SLICES)
        self.expect_handle(h.obj[s], h.store, h.ints, h.active()[s])

    # -- assignment: a refusal leaves the storage as the model still has it ---------------------

    def assign(self, h, key, value, outcome):
        """h.obj[key] = value, which fails with `outcome` if that is an (exception type, message)
        pair, and otherwise writes the (index, value) pairs it lists."""
        if refused(outcome):
            return raises(lambda: h.obj.__setitem__(key, value), *outcome)
        h.obj[key] = value
        h.store.write(outcome)

    @rule(data=st.data())
    def assign_element(self, data):
        if (h := self.pick(data, lambda h: h.leaf)) is None:
            return
        n = len(h.active())
        i = self.draw_index(data, n)
        good, bad = table(h.store.kind, h.store.cplx, walk=False)
        value, out = data.draw(st.sampled_from(good + bad + [([1], (TypeError, SEQUENCE))]))
        if not -n <= i < n:
            out = index_error(i)
        self.assign(h, i, value, out if refused(out) else [(h.ints + (h.active()[i],), out)])

    @rule(data=st.data())
    def assign_row(self, data):
        if (h := self.pick(data, lambda h: not h.leaf)) is None:
            return
        n, target = len(h.active()), h.store.shape[h.k + 1:]
        i = self.draw_index(data, n)
        value, stored, failure = self.shaped_value(data, h.store, target, arrays=True)
        if not -n <= i < n:
            failure = index_error(i)
        self.assign(h, i, value, failure or [(h.ints + (h.active()[i],) + t, v)
                                             for t, v in zip(row_major(target), stored)])

    @rule(data=st.data())
    def assign_last_slice(self, data):
        if (h := self.pick(data, lambda h: h.leaf)) is None:
            return
        s = data.draw(SLICES)
        positions = h.active()[s]
        value, stored, failure = self.shaped_value(data, h.store, [len(positions)], arrays=False)
        self.assign(h, s, value, failure or [(h.ints + (p,), v) for p, v in zip(positions, stored)])

    @rule(data=st.data())
    def assign_block(self, data):
        if (h := self.pick(data, lambda h: not h.leaf)) is None:
            return
        store, s = h.store, data.draw(SLICES)
        positions, inner = h.active()[s], store.shape[h.k + 1:]
        targets = [h.ints + (p,) + t for p in positions for t in row_major(inner)]
        count = max(len(targets) + data.draw(st.sampled_from([0, 0, 0, -1, 1, -len(targets)])), 0)
        inputs, stored, failure = value_list(data, store.kind, store.cplx, count)
        value, row = inputs, math.prod(inner)
        if row and count and count % row == 0 and data.draw(st.booleans()):
            value = nest(inputs, [count // row, row])  # only the element count matters
        if source := self.array_value(data, store):
            value, stored, failure = source.obj, flatten(source.nested()), None
            count = len(stored)
        if not failure and count == 0 and positions:
            failure = (ValueError, "slice is nonempty but values are empty.")
        elif not failure and count and not positions:
            failure = (ValueError, "slice is empty, but number of elements assigned is greater than zero.")
        elif not failure and count != len(targets):
            # Positions and values are paired in order; a count mismatch keeps the pairs written.
            event("block count mismatch")
            store.write(zip(targets, stored))
            failure = (ValueError, "length of slice does not match number of elements.")
        self.assign(h, s, value, failure or list(zip(targets, stored)))

    def shaped_value(self, data, store, target, arrays):
        """A value for the extents `target` (the simplest draw), or of other extents: none, one element
        fewer or more, one more level; with `arrays`, now and then a live array read through its
        sequence protocol. Returns (value, stored values, failure)."""
        n = math.prod(target)
        dims = data.draw(st.sampled_from([target] * 4 + [[], [abs(n - 1)], [n + 1], target + [1], [1] + target]))
        inputs, stored, failure = value_list(data, store.kind, store.cplx, math.prod(dims))
        value = shown = nest(inputs, dims)
        if arrays and (source := self.array_value(data, store)):
            value, shown = source.obj, source.nested()
            stored, failure = flatten(shown), None
        if not failure and nesting_dims(shown) != target:
            failure = (ValueError, DIFFERENT_SHAPE)
        return value, stored, failure

    def array_value(self, data, store):
        """Now and then, a live array of the same kind and complexity to assign as a value."""
        if not data.draw(st.integers(0, 3)):
            return self.pick(data, lambda o: o.store.kind is store.kind and o.store.cplx == store.cplx)

    # -- methods --------------------------------------------------------------------------------

    @rule(data=st.data())
    def reshape(self, data):
        shared = lambda h: h.full and any(o.store is h.store and o is not h for o in self.handles)  # noqa: E731
        h = self.pick(data, shared if data.draw(st.integers(0, 3)) else (lambda h: h.full))
        h = h or self.pick(data, lambda h: h.full)
        if (partial := self.pick(data, lambda h: not h.full)) is not None:
            raises(lambda: partial.obj.reshape(*partial.size(), 1), RuntimeError,
                   "reshape() not supported for a partial array.")
        if h is None:
            return
        # Extents that take the elements (a divisor at a time); now and then, one too many.
        store, n, ndim = h.store, len(h.store.flat), data.draw(st.integers(2, 3))
        if n:
            dims, rest = [], n
            for _ in range(ndim - 1):
                dims.append(data.draw(st.sampled_from([d for d in range(1, rest + 1) if rest % d == 0])))
                rest //= dims[-1]
            dims.append(rest)
        else:
            dims = [data.draw(st.integers(0, 4)) for _ in range(ndim)]
            dims[data.draw(st.integers(0, ndim - 1))] = 0
        if data.draw(st.integers(0, 5)) == 0:
            dims[-1] += 1
        form = data.draw(st.sampled_from([lambda: h.obj.reshape(*dims), lambda: h.obj.reshape(tuple(dims)),
                                          lambda: h.obj.reshape(list(dims))]))
        if math.prod(dims) != n:
            return raises(form, kalvo.ShapeError, "number of elements specified by arguments to reshape() "
                                                  f"({math.prod(dims)}) does not match current number ({n}).")
        if any(view[1] is store for view in self.views):
            event("reshape while exported")  # live views keep the shape they were made with
        assert form() is h.obj
        if trim(dims) == store.shape:
            return
        store.shape = trim(dims)
        outdated = lambda o: o is not h and o.store is store  # noqa: E731
        self.stale = (self.stale + [o for o in self.handles if outdated(o)])[-MAX_STALE:]
        self.handles = [o for o in self.handles if not outdated(o)]
        self.stale_iters = (self.stale_iters + [e for e in self.iters if e[1].store is store])[-MAX_STALE:]
        self.iters = [e for e in self.iters if e[1].store is not store]

    @handle_rule(how=st.sampled_from(["clone", "pickle"]))
    def copy(self, data, how):
        """A stand-alone copy: clone() or a pickle round trip."""
        h = self.pick(data)
        if how == "clone":
            return self.expect_handle(h.obj.clone(), h.copy())
        back = pickle.loads(pickle.dumps(h.obj))
        # A full array comes back with its own extents; a partial one as its nested list would.
        kind, cplx, nested = h.store.kind, h.store.cplx, h.nested()
        store = Store(kind, cplx, h.store.shape, h.store.flat) if h.full else Store(kind, cplx, *from_nested(nested))
        assert back._is_complex is cplx and (back == h.obj) is (store.block() == nested)
        self.expect_handle(back, store)

    @handle_rule(what=st.sampled_from(["real", "imag", "noncomplex", "_real", "_imag", "_data"]))
    def parts(self, data, what):
        h = self.pick(data)
        store, wants_complex = h.store, what not in ("noncomplex", "_data")
        get = lambda: getattr(h.obj, what)() if not what.startswith("_") else getattr(h.obj, what)  # noqa: E731
        if wants_complex != store.cplx:
            return raises(get, ValueError, "real() and imag() can be called only on a complex array." if wants_complex
                          else "noncomplex() must not be called on a complex array.")
        result = get()
        assert result._is_complex is False
        # A row of the parts of what the handle shows, in storage order.
        expected, real_type = h.copy().flat, float if store.kind.is_float else int
        if wants_complex:
            expected = [real_type(getattr(v, what.strip("_"))) for v in expected]
        self.expect_handle(result, Store(store.kind, False, [1, len(expected)], expected), ints=(0,))

    @handle_rule()
    def compare(self, data):
        a, b = self.pick(data), self.pick(data)
        equal = a.store.kind is b.store.kind and a.nested() == b.nested()
        assert (a.obj == b.obj) is equal and (a.obj != b.obj) is (not equal)
        assert (a.obj == a.nested()) is False

    @handle_rule()
    def iterate(self, data):
        h = self.pick(data)
        items, expected = list(h.obj), h.nested()
        self.iters = (self.iters + [[iter(h.obj), h, 0]])[-MAX_STALE:]  # one more, advanced step by step
        same([tolist(x) for x in items], expected)
        assert all(isinstance(x, ARRAY_TYPES) for x in items) is (not h.leaf or not items)
        if h.leaf and expected:
            assert (data.draw(st.sampled_from(expected)) in h.obj) is True
        if h.leaf and not h.store.cplx:  # logical elements as bytes
            converted, fmt = h.obj.toarray(), h.store.kind.fmt
            assert converted.typecode == ("B" if fmt == "?" else fmt) and converted.tolist() == expected
        elif items:  # array.array takes neither partial arrays nor complex values
            raises(h.obj.toarray, RuntimeError, "toarray() failed." if h.leaf else
                   "toarray() can be called only on a one-dimensional sequence.")

    @precondition(lambda self: self.iters)
    @rule(data=st.data())
    def advance_iterator(self, data):
        it, h, pos = entry = data.draw(st.sampled_from(self.iters))
        expected = h.nested()
        if pos >= len(expected):
            return raises(lambda: next(it), StopIteration, "")
        same(tolist(next(it)), expected[pos])
        entry[2] += 1

    # -- exports --------------------------------------------------------------------------------

    @handle_rule(method=st.booleans())
    def export(self, data, method):
        h = self.pick(data)
        mv = h.obj.tomemoryview() if method else memoryview(h.obj)
        store = h.store if h.full else h.copy()  # a partial array exports a copy of what it shows now
        self.views.append((mv, store, list(store.shape)))  # checked with the other live views

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def release(self, data):
        self.views.pop(data.draw(st.integers(0, len(self.views) - 1)))[0].release()

    # -- lifetime -------------------------------------------------------------------------------

    @handle_rule()
    def drop(self, data):
        self.handles.remove(self.pick(data))

    @precondition(lambda self: self.stale or self.stale_iters)
    @rule()
    def use_stale(self):
        """Objects made before a reshape: a value consistent with the new storage or an IndexError,
        RuntimeError (StopIteration for an iterator); never a crash or a read outside the storage."""
        def loosely(fn, expected, valid=True):
            try:
                got = fn()
            except (IndexError, RuntimeError, StopIteration):
                return
            assert valid, "an object whose positions left the shape still read values"
            same(got, expected())

        for h in self.stale:
            valid = h.valid()
            event(f"stale view {'still fits' if valid else 'left the shape'}")
            loosely(lambda: tolist(h.obj), h.nested, valid)
            loosely(lambda: len(h.obj), lambda: len(h.active()), valid)
            loosely(lambda: str(h.obj), lambda: text(h.nested()), valid)
            loosely(lambda: tolist(h.obj.clone()), lambda: h.copy().block(), valid)
            loosely(lambda: unpack_view(memoryview(h.obj), h.store), lambda: h.copy().flat, valid)
        for it, _, _ in self.stale_iters:
            loosely(lambda: isinstance(next(it), ARRAY_TYPES + (bool, int, float, complex)), lambda: True)

    @invariant()
    def everything_matches_the_model(self):
        for h in self.handles:
            expected, store = h.nested(), h.store
            assert len(h.obj) == len(expected) and tuple(h.obj.size) == tuple(h.obj._size) == h.size()
            # Storage descriptions are those of the whole storage, partial arrays included.
            strides = tuple(store.itemsize * math.prod(store.shape[:i]) for i in range(len(store.shape)))
            assert h.obj.get_bytewise_strides() == strides and h.obj.itemsize == store.itemsize
            assert h.obj.buffer_info()[1] == len(store.flat)
            same(tolist(h.obj), expected)
            assert str(h.obj) == text(expected)
            suffix = ", is_complex=True" if store.cplx else ""
            assert repr(h.obj) == f"kalvo.{store.kind.name}({text(expected)}{suffix})"
        for mv, store, shape in self.views:
            fmt = ("Z" if store.cplx else "") + store.kind.fmt
            assert (mv.shape, mv.format, mv.readonly) == (tuple(shape), fmt, True)
            assert mv.itemsize == store.itemsize and mv.f_contiguous
            same(unpack_view(mv, store), store.flat)


# Derandomised (see conftest); KALVO_MODEL_EXAMPLES raises the example count.
ArrayMachine.TestCase.settings = settings(max_examples=int(os.environ.get("KALVO_MODEL_EXAMPLES", "200")),
                                          stateful_step_count=30)
TestArrayModel = ArrayMachine.TestCase
