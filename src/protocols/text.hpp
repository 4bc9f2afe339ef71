// src/protocols/text.hpp: str() and repr() of arrays.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The slots are templates over the real element type, explicitly instantiated for the eleven
// element types in text.cpp.

/// tp_str.
template<class T>
PyObject* KCPyArray_GetStr(PyObject* self);
/// tp_repr.
template<class T>
PyObject* KCPyArray_GetRepr(PyObject* self);
