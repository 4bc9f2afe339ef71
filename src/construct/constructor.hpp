// src/construct/constructor.hpp: tp_new of the array types.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The slots are templates over the real element type, explicitly instantiated for the eleven
// element types in constructor.cpp.

/// tp_new: builds an array from "|OOOO" (initializer, size, vector, is_complex).
template<class T>
PyObject* KCPyArray_New(PyTypeObject* type, PyObject* args, PyObject* kwargs);
