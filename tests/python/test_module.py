"""Module start-up and the type registry: attributes, names, what the types refuse."""
import os
import subprocess
import sys
import textwrap

import pytest

import kalvo
from conftest import KINDS

TYPE_NAMES = [k.name for k in KINDS]

PROPERTIES = ["size", "_size", "itemsize", "_real", "_imag", "_data", "_is_complex"]


def test_module_attributes_exceptions_and_package_reexports(km):
    public = {name for name in dir(km) if not name.startswith("__")}
    assert public == set(TYPE_NAMES) | {"KCPyIter", "ShapeError", "SizeError", "_capi"}
    assert km.__doc__ == km.__name__ == "kalvomultidimarrayforpython"
    # The capsule's slots are exercised from C++ (tests/cpp/host).
    assert repr(km._capi).startswith('<capsule object "kalvomultidimarrayforpython._capi" at ')
    for name in ("ShapeError", "SizeError"):
        exc = getattr(km, name)
        assert exc.__bases__ == (Exception,) and exc.__name__ == name and exc.__module__ == "kalvoexceptions"
    assert km.ShapeError is not km.SizeError
    for name in TYPE_NAMES + ["ShapeError", "SizeError"]:
        assert getattr(kalvo, name) is getattr(km, name)


def test_type_objects_and_instances(km, kind, array_type):
    assert array_type.__name__ == array_type.__doc__ == kind.name and repr(array_type) == f"<class '{kind.qualname}'>"
    assert sum(getattr(km, k.name) is array_type for k in KINDS) == 1
    for final in (array_type, km.KCPyIter):
        with pytest.raises(TypeError):
            type("Sub", (final,), {})
    with pytest.raises(TypeError, match="cannot create 'kalvo.KCPyIter' instances"):
        km.KCPyIter()
    a = array_type([1, 0])
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    for operation in (lambda: a + a, lambda: a * 2, lambda: -a):
        with pytest.raises(TypeError):
            operation()
    with pytest.raises(AttributeError):
        a.extra = 1
    for name in PROPERTIES:
        with pytest.raises(AttributeError):
            setattr(a, name, (1, 2))
        with pytest.raises(AttributeError):
            delattr(a, name)


@pytest.mark.parametrize("setup, expected", [
    ("pass", "imported"),  # the control: the same script imports when array.array is there
    ("sys.modules['array'] = None", "failed"),
    ("sys.modules['array'] = types.ModuleType('array')", "failed"),  # no attribute array
    ("m = types.ModuleType('array'); m.array = 5; sys.modules['array'] = m", "failed"),  # not callable
])
def test_import_fails_without_array_array(km, setup, expected):
    # The start-up error stays pending, so the interpreter refuses the half-built module
    # (it replaces the pending error by its own SystemError).
    script = textwrap.dedent(f"""
        import sys, types
        sys.path.insert(0, {os.path.dirname(km.__file__)!r})
        {setup}
        try:
            import kalvomultidimarrayforpython
        except SystemError as e:
            print(e)
        else:
            print("imported")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    if expected == "failed":
        expected = "initialization of kalvomultidimarrayforpython raised unreported exception"
    assert (result.stdout.strip(), result.stderr) == (expected, "")
