"""Helpers for the construction tests: reading arrays back as plain Python values."""
import gc
import sys

import kalvomultidimarrayforpython as km

ARRAY_TYPES = tuple(getattr(km, name) for name in (
    "double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64",
    "uint64", "logical"))


def tolist(a):
    """Nested lists of an array's elements, read one key at a time (a[i][j]...)."""
    if not isinstance(a, ARRAY_TYPES):
        return a
    return [tolist(a[i]) for i in range(len(a))]


def flatten(nested):
    """The scalars of a nested list, in nesting order."""
    if not isinstance(nested, list):
        return [nested]
    return [x for item in nested for x in flatten(item)]


def dims(a):
    """The array's dimensions as a tuple."""
    return tuple(a.size)


def same_value(x, y):
    """Equality that also holds for NaN against NaN and tells -0.0 from 0.0."""
    if isinstance(x, complex) or isinstance(y, complex):
        x, y = complex(x), complex(y)
        return same_value(x.real, y.real) and same_value(x.imag, y.imag)
    if isinstance(x, float) or isinstance(y, float):
        x, y = float(x), float(y)
        if x != x or y != y:
            return x != x and y != y
        return x == y and str(x)[0] == str(y)[0]
    return type(x) is type(y) and x == y


def leak_check(action, rounds=3000, slack=200):
    """Runs `action` `rounds` times (after a warm-up) and returns the growth of the
    interpreter's allocated block count, which stays near zero when nothing leaks."""
    for _ in range(50):
        action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        action()
    gc.collect()
    growth = sys.getallocatedblocks() - before
    assert growth < slack, f"{growth} blocks still allocated after {rounds} rounds"
    return growth
