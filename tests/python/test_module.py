"""Module start-up and the type registry: attributes, names, doc strings, type flags, capsule."""
import ctypes
import os
import struct
import subprocess
import sys
import textwrap

import pytest

from conftest import KINDS

TYPE_NAMES = [k.name for k in KINDS]

METHOD_DOCS = {
    "reshape": "reshape changes the dimensions of an N-dimensional array while preserving the values",
    "buffer_info": "buffer_info returns a two-element tuple containing the address of the buffer "
                   "and the number of elements",
    "get_bytewise_strides": "get_bytewise_strides returns a tuple containing the bytewise strides",
    "clone": "clone returns an independent copy of the input object",
    "real": "real returns the real part of the input object as a 1-by-N array",
    "imag": "imag returns the imaginary part of the input object as a 1-by-N array",
    "noncomplex": "noncomplex returns the the input object (which must be noncomplex) as a 1-by-N array",
    "toarray": "toarray returns an array.array initialized from the input object",
    "tomemoryview": "tomemoryview returns a memoryview initialized from the input object",
    "__reduce__": "__reduce__ pickles the input object",
}

PROPERTY_DOCS = {
    "size": "dimensions",
    "_size": "dimensions",
    "itemsize": "size of an element in bytes",
    "_real": "real part of elements; equivalent to real()",
    "_imag": "imaginary part of elements; equivalent to imag()",
    "_data": "elements in storage order; equivalent to noncomplex()",
    "_is_complex": "whether array is complex",
}

TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14


def test_module_attributes_and_doc(km):
    public = {name for name in dir(km) if not name.startswith("__")}
    assert public == set(TYPE_NAMES) | {"KCPyIter", "ShapeError", "SizeError", "_capi"}
    assert km.__doc__ == "kalvomultidimarrayforpython"
    assert km.__name__ == "kalvomultidimarrayforpython"


def test_type_names_and_doc(km, kind, array_type):
    assert isinstance(array_type, type)
    assert array_type.__name__ == kind.name
    assert array_type.__qualname__ == kind.name
    assert array_type.__module__ == "kalvo"
    assert array_type.__doc__ == kind.name
    assert repr(array_type) == f"<class '{kind.qualname}'>"


def test_array_types_are_distinct(km):
    assert len({id(getattr(km, name)) for name in TYPE_NAMES}) == len(TYPE_NAMES)


def test_type_layout_and_flags(array_type):
    # Object head plus one state pointer; no variable part, no __dict__, no weak references.
    assert array_type.__basicsize__ == object.__basicsize__ + struct.calcsize("P")
    assert array_type.__itemsize__ == 0
    assert array_type.__dictoffset__ == 0
    assert array_type.__weakrefoffset__ == 0
    assert not array_type.__flags__ & (TPFLAGS_BASETYPE | TPFLAGS_HAVE_GC)
    assert array_type.__bases__ == (object,)


def test_types_cannot_be_subclassed(array_type):
    with pytest.raises(TypeError):
        type("Sub", (array_type,), {})


def test_type_protocols(array_type):
    # Unhashable, no arithmetic, construction only through tp_new.
    assert array_type.__hash__ is None
    for name in ("__add__", "__sub__", "__mul__", "__neg__", "__bool__", "__int__"):
        assert not hasattr(array_type, name), name
    assert array_type.__init__ is object.__init__
    for name in ("__len__", "__getitem__", "__setitem__", "__delitem__", "__iter__", "__eq__",
                 "__ne__", "__str__", "__repr__", "__new__"):
        assert name in array_type.__dict__, name


def test_method_table(array_type):
    methods = [name for name, value in array_type.__dict__.items()
               if type(value).__name__ == "method_descriptor"]
    assert methods == list(METHOD_DOCS)
    for name, doc in METHOD_DOCS.items():
        assert getattr(array_type, name).__doc__ == doc


def test_property_table(array_type):
    properties = [name for name, value in array_type.__dict__.items()
                  if type(value).__name__ == "getset_descriptor"]
    assert properties == list(PROPERTY_DOCS)
    for name, doc in PROPERTY_DOCS.items():
        assert array_type.__dict__[name].__doc__ == doc


def test_iterator_type(km):
    it = km.KCPyIter
    assert it.__name__ == "KCPyIter"
    assert it.__module__ == "kalvo"
    assert it.__doc__ == "Internal iterator object"
    assert it.__basicsize__ == object.__basicsize__ + struct.calcsize("P")
    assert not it.__flags__ & (TPFLAGS_BASETYPE | TPFLAGS_HAVE_GC)
    with pytest.raises(TypeError, match="cannot create 'kalvo.KCPyIter' instances"):
        it()
    with pytest.raises(TypeError):
        type("Sub", (it,), {})


@pytest.mark.parametrize("name", ["ShapeError", "SizeError"])
def test_exception_classes(km, name):
    exc = getattr(km, name)
    assert exc.__bases__ == (Exception,)
    assert exc.__name__ == name
    assert exc.__module__ == "kalvoexceptions"
    with pytest.raises(exc, match="boom"):
        raise exc("boom")
    assert km.ShapeError is not km.SizeError


def test_kalvo_package_reexports(km):
    import kalvo
    for name in TYPE_NAMES + ["ShapeError", "SizeError"]:
        assert getattr(kalvo, name) is getattr(km, name)


CAPSULE_NAME = b"kalvomultidimarrayforpython._capi"


def test_capsule(km):
    api = ctypes.pythonapi
    api.PyCapsule_Import.restype = ctypes.c_void_p
    api.PyCapsule_Import.argtypes = [ctypes.c_char_p, ctypes.c_int]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]

    assert type(km._capi).__name__ == "PyCapsule"
    assert api.PyCapsule_GetName(km._capi) == CAPSULE_NAME
    table = api.PyCapsule_Import(CAPSULE_NAME, 0)
    assert table and table == api.PyCapsule_GetPointer(km._capi, CAPSULE_NAME)
    slots = (ctypes.c_void_p * 5).from_address(table)
    assert all(slots), "every one of the five slots is set"
    assert len(set(slots)) == 5


ARRAY_MODULE_FAILURES = {
    "array cannot be imported": "sys.modules['array'] = None",
    "array has no attribute array": "sys.modules['array'] = types.ModuleType('array')",
    "array.array is not callable":
        "m = types.ModuleType('array'); m.array = 5; sys.modules['array'] = m",
}


@pytest.mark.parametrize("setup", list(ARRAY_MODULE_FAILURES.values()),
                         ids=list(ARRAY_MODULE_FAILURES))
def test_import_fails_without_array_array(km, setup):
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
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.strip() == (
        "initialization of kalvomultidimarrayforpython raised unreported exception"), result.stderr


def test_import_succeeds_in_a_fresh_interpreter(km):
    script = (f"import sys; sys.path.insert(0, {os.path.dirname(km.__file__)!r}); "
              "import kalvomultidimarrayforpython as m; print(m.double.__name__)")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert (result.stdout.strip(), result.stderr) == ("double", "")


# Behaviour on instances; these run once array construction is available.

def test_instances_are_unhashable(array_type, build):
    a = build(array_type, [1, 0])
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)


def test_instances_have_no_arithmetic(array_type, build):
    a = build(array_type, [1, 0])
    with pytest.raises(TypeError):
        a + a
    with pytest.raises(TypeError):
        a * 2
    with pytest.raises(TypeError):
        -a


@pytest.mark.parametrize("name", list(PROPERTY_DOCS))
def test_properties_are_read_only(km, build, name):
    a = build(km.double, [1.0, 2.0])
    with pytest.raises(AttributeError):
        setattr(a, name, (1, 2))
    with pytest.raises(AttributeError):
        delattr(a, name)


def test_instances_have_no_dict(km, build):
    a = build(km.double, [1.0])
    with pytest.raises(AttributeError):
        a.extra = 1
    assert type(a).__name__ == "double" and type(a).__module__ == "kalvo"
