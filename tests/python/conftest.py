"""Shared fixtures and helpers: the eleven element kinds, what one Python value becomes as an
element of each (fuzz/fuzz_kalvo.py shares these rules), reading arrays back, and the leak mode.

A test taking ``kind`` runs once per element kind (``array_type`` is then its type), ``numeric_kind``
over the ten kinds that may be complex, ``variant`` over every (kind, is_complex) pair an array can
have, and ``numpy_variant`` over those NumPy has too.
"""
import array
import ctypes
import gc
import math
import os
import struct
import sys
from dataclasses import dataclass
from typing import Any, Tuple

import pytest


@dataclass(frozen=True)
class Kind:
    name: str             # display name: module attribute, type doc, tp_name "kalvo.<name>"
    fmt: str              # buffer format character; complex arrays use "Z" + fmt
    itemsize: int         # bytes per real element
    min: Any              # smallest representable value
    max: Any              # largest representable value
    samples: Tuple[Any, ...]  # a few exactly representable values
    complex_ok: bool      # whether arrays of this kind may hold complex elements

    qualname = property(lambda self: "kalvo." + self.name)
    is_integer = property(lambda self: self.fmt in "bBhHiIqQ")
    is_float = property(lambda self: self.fmt in "df")

    def python_type(self, is_complex=False):
        """The Python type of an element read from an array of this kind."""
        return complex if is_complex else {"d": float, "f": float, "?": bool}.get(self.fmt, int)


def _int_kind(fmt):
    """The integer kind of struct format character `fmt` (lower case: signed)."""
    bits, signed = 8 * struct.calcsize(fmt), fmt.islower()
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    return Kind(("int" if signed else "uint") + str(bits), fmt, bits // 8, lo, hi, (lo, 0, 1, hi), True)


FLOAT32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]

KINDS = (
    Kind("double", "d", 8, -sys.float_info.max, sys.float_info.max, (0.0, -1.5, 2.25, 1e300), True),
    Kind("single", "f", 4, -FLOAT32_MAX, FLOAT32_MAX, (0.0, -1.5, 2.25, 0.125), True),
    *(_int_kind(fmt) for fmt in "bBhHiIqQ"),  # int8, uint8, int16, ..., uint64
    Kind("logical", "?", 1, False, True, (False, True), False),
)
KIND_OF = {k.name: k for k in KINDS}
NUMERIC_KINDS = tuple(k for k in KINDS if k.complex_ok)
VARIANTS = tuple((k, False) for k in KINDS) + tuple((k, True) for k in NUMERIC_KINDS)
NUMPY_VARIANTS = tuple((k, c) for k, c in VARIANTS if not (c and k.is_integer))  # no complex integers

# Exactly representable in every complex kind; rows of a 2-by-3 array.
COMPLEX_2x3 = [[1 + 2j, 3 + 0j, 4j], [5 + 6j, 7 + 8j, 9 + 1j]]

# ---------------------------------------------------------------------------------------------
# What one Python value becomes as an element


class Unpredictable(Exception):
    """The rules below leave this conversion's result open."""


def _single(x):
    """x rounded to the nearest single-precision value; beyond the range, an infinity."""
    if math.isnan(x) or abs(x) <= FLOAT32_MAX:
        return struct.unpack("f", struct.pack("f", x))[0]
    return math.copysign(math.inf, x)


def element_of(kind, value, is_complex=False, lenient=False):
    """What `value` becomes as one element of `kind`: the value read back, or the (exception
    type, message) of its refusal. `lenient` is construction's rule that a logical element takes
    any number by its truth; assignment takes only integers. Raises Unpredictable for values the
    rules leave open (an int rounded to single precision once or twice)."""
    q = kind.qualname
    if value is None:
        return TypeError, "value must not be 'None'."
    if isinstance(value, str):
        return TypeError, "value is not numeric."
    if not isinstance(value, (int, float, complex)):
        return TypeError, "type does not match."
    is_int = isinstance(value, int)
    if is_int:
        top = 2 ** 64 if kind.fmt in "BHIQ" else 2 ** 63
        if not -2 ** 63 <= value < top:
            if kind.fmt == "f":  # single precision takes such ints as infinities
                inf = math.copysign(math.inf, value)
                return complex(inf) if is_complex else inf
            return OverflowError, "Python int too large to convert to C long long"
    if kind.fmt == "?" and (is_int or lenient):
        return bool(value)
    if isinstance(value, complex) and not is_complex:
        return TypeError, f"{q} does not accept complex values if 'is_complex' is not set to 'True'."
    if kind.is_float:
        if kind.fmt == "f" and is_int and abs(value) > 2 ** 53:
            raise Unpredictable(value)
        z = complex(value)
        if kind.fmt == "f":
            z = complex(_single(z.real), _single(z.imag))
        return z if is_complex else z.real
    if is_int:  # complex integer elements read back as pairs of doubles
        if kind.min <= value <= kind.max:
            return complex(value) if is_complex else int(value)
        return OverflowError, f"value ({value}) cannot be stored in a variable of type {kind.name}."
    if not is_complex:
        return TypeError, f"{q} does not accept floating-point values."
    parts = []
    for p in (complex(value).real, complex(value).imag):  # truncated toward zero, bounds exclusive
        if not float(kind.min - 1) < p < float(kind.max + 1):
            return OverflowError, f"value ({p:g}) cannot be stored in a variable of type {kind.name}."
        parts.append(float(math.trunc(p)))
    return complex(*parts)


def refused(outcome):
    """Whether an element_of() result is a refusal."""
    return isinstance(outcome, tuple)


def inputs_for(kind, is_complex=False):
    """Values worth converting into `kind`: its bounds and one beyond each, the 64-bit limits,
    fractions, special floats, complex values and non-numbers."""
    values = [kind.min, kind.max, 0, 1, True, False, -1, 2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 64,
              0.5, -1.5, 2.75, 1e300, -0.0, math.nan, math.inf, 1j, 3 - 4j, None, "x", object()]
    if kind.is_integer:
        values += [kind.min - 1, kind.max + 1, float(kind.min) - 0.9, float(kind.max) + 0.9,
                   float(kind.min - 1), float(kind.max + 1), complex(0, kind.max + 1)]
    return values


def same_value(x, y):
    """Equality that also holds for NaN against NaN and tells -0.0 from 0.0 and 1 from 1.0."""
    if type(x) is not type(y):
        return False
    if isinstance(x, complex):
        return same_value(x.real, y.real) and same_value(x.imag, y.imag)
    if isinstance(x, float):
        return (x != x and y != y) or (x == y and math.copysign(1, x) == math.copysign(1, y))
    return x == y


# ---------------------------------------------------------------------------------------------
# Parametrisation and helpers


def pytest_generate_tests(metafunc):
    for name, values in (("kind", KINDS), ("numeric_kind", NUMERIC_KINDS), ("variant", VARIANTS),
                         ("numpy_variant", NUMPY_VARIANTS)):
        if name in metafunc.fixturenames:
            ids = [v.name if isinstance(v, Kind) else v[0].name + ("-complex" if v[1] else "") for v in values]
            metafunc.parametrize(name, values, ids=ids)


@pytest.fixture
def km():
    """The extension module kalvomultidimarrayforpython (function scope: a function fixture on a
    session fixture leaves a finalizer behind on each run, which the leak mode would see)."""
    import kalvomultidimarrayforpython
    return kalvomultidimarrayforpython


@pytest.fixture
def array_type(km, kind):
    """The array type of the current ``kind``."""
    return getattr(km, kind.name)


def values_2x3(kind, is_complex=False):
    """Rows of a 2-by-3 array of `kind` made of its sample values (or COMPLEX_2x3)."""
    s = kind.samples
    return COMPLEX_2x3 if is_complex else [[s[(3 * r + c) % len(s)] for c in range(3)] for r in range(2)]


def tolist(a):
    """Nested lists of what an array or partial array shows, read one key at a time."""
    return [tolist(a[i]) for i in range(len(a))] if type(a).__module__ == "kalvo" else a


def flatten(nested):
    """The scalars of a nested list, in nesting order."""
    if not isinstance(nested, list):
        return [nested]
    return [x for item in nested for x in flatten(item)]


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


shrink = lambda seq, i: seq.items.pop()  # noqa: E731


class Bound:
    """A slice bound whose __index__ runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class PyBuffer(ctypes.Structure):
    """The interpreter's Py_buffer, for requests with explicit flags and hand-made exporters."""
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)), ("internal", ctypes.c_void_p)]


def capi(name, restype, *argtypes):
    """A C-API function of the running interpreter, with a prototype of its own (setting
    argtypes on ctypes.pythonapi's shared function objects would change them for every module)."""
    return ctypes.PYFUNCTYPE(restype, *argtypes)((name, ctypes.pythonapi))


# ---------------------------------------------------------------------------------------------
# Hypothesis: derandomised, so that every run checks the same examples; the profile "explore"
# (HYPOTHESIS_PROFILE=explore, KALVO_MODEL_EXAMPLES for more) draws new ones, and "mutate"
# (tools/mutate.py) stops at the first failure without shrinking it.

try:
    from hypothesis import HealthCheck, Phase, settings
except ImportError:  # the fuzzing harness runs without hypothesis
    settings = None
if settings is not None:
    _common = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    settings.register_profile("default", derandomize=True, **_common)
    settings.register_profile("explore", derandomize=False, **_common)
    settings.register_profile("mutate", derandomize=True, phases=[Phase.explicit, Phase.generate], **_common)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# ---------------------------------------------------------------------------------------------
# Leak hunting: ``pytest --leaks=N`` runs every selected test three times as warm-up and then N
# more times, and fails a test after which one of the _MEASURES below grew on every one of those
# N runs, by at least its least growth. Python objects are counted exactly. The C heap moves in
# chunks of 16 bytes, and interpreter buffers and the capacity that recycled states keep settle
# only after a few runs, by up to about a kilobyte; a C++ leak smaller than that is valgrind's to find.


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t)
                for n in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):
    _mallinfo2 = None


def _heap_in_use():
    """Bytes in use on the C heap (glibc's mallinfo2); 0 where that is not available, as under a
    sanitizer's allocator, which reports nothing."""
    return _mallinfo2().uordblks + _mallinfo2().hblkhd if _mallinfo2 else 0


_MEASURES = (("blocks", 1, sys.getallocatedblocks), ("heap bytes", 1024, _heap_in_use),
             ("references", 1, getattr(sys, "gettotalrefcount", lambda: 0)))
_WARMUP = 3


def pytest_addoption(parser):
    parser.addoption("--leaks", type=int, default=0, metavar="N",
                     help="rerun each test N times after a warm-up; fail it when memory or references grow every time")


def pytest_sessionstart(session):
    """The extension recycles array objects and their states through bounded free lists. In leak
    mode, fills them before anything is measured, so that a list still filling up is no leak."""
    if not session.config.getoption("leaks"):
        return
    import kalvo
    kept = [getattr(kalvo, kind.name)([[[1, 0], [0, 1]]] * 2) for kind in KINDS for _ in range(100)]
    kept += [part for a in kept for part in (a[0], a[0][1], a[0][1][0:1], a[0:1], iter(a[0][1]))]
    del kept
    gc.collect()
    for _, _, probe in _MEASURES:  # their first calls set up what they keep
        probe()


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    runs = item.config.getoption("leaks")
    if not runs or "capsys" in item.fixturenames:  # captured output needs pytest's own run
        return None
    from _pytest.outcomes import OutcomeException  # skip, xfail and fail: not Exceptions
    from _pytest.runner import runtestprotocol
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # One preallocated series per measure, so that keeping a sample allocates nothing.
    samples = [array.array("q", [0]) * (runs + 1) for _ in _MEASURES]
    grown, state = {}, item.session._setupstate
    try:
        for i in range(_WARMUP + runs):
            # Set up, run and tear down without pytest's reports, capture and logging, whose own
            # allocations would hide the test's.
            item._initrequest()
            state.setup(item)
            try:
                item.runtest()
            finally:
                state.teardown_exact(item.parent)
            if i >= _WARMUP - 1:
                gc.collect()
                for series, (_, _, probe) in zip(samples, _MEASURES):
                    series[i - _WARMUP + 1] = probe()
        for series, (what, least, _) in zip(samples, _MEASURES):
            deltas = [series[i + 1] - series[i] for i in range(runs)]
            if all(d >= least for d in deltas):
                grown[what] = deltas
    except (Exception, OutcomeException):  # the logged run below reports it
        grown = {}
    item._initrequest()  # otherwise the logged run reuses the last bare run's fixture values
    reports = runtestprotocol(item, log=False, nextitem=nextitem)
    call = next((r for r in reports if r.when == "call"), None)
    if grown and call is not None and call.passed:
        call.outcome, call.longrepr = "failed", f"leak: grew on each of {runs} runs: {grown}"
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
