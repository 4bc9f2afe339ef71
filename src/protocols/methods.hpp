// src/protocols/methods.hpp: reshape, clone, the real/imaginary views and the read-only properties.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/// Method "reshape" (positional and keyword arguments).
PyObject* KCPyArray_Reshape(PyObject* self, PyObject* args, PyObject* kwargs);
/// Method "clone".
PyObject* KCPyArray_Clone(PyObject* self, PyObject* unused);
/// Method "real".
PyObject* KCPyArray_Real(PyObject* self, PyObject* unused);
/// Method "imag".
PyObject* KCPyArray_Imag(PyObject* self, PyObject* unused);
/// Method "noncomplex".
PyObject* KCPyArray_Noncomplex(PyObject* self, PyObject* unused);
/// Property "_real".
PyObject* KCPyArray_GetRealAsAttrib(PyObject* self, void* closure);
/// Property "_imag".
PyObject* KCPyArray_GetImagAsAttrib(PyObject* self, void* closure);
/// Property "_data".
PyObject* KCPyArray_GetNoncomplexAsAttrib(PyObject* self, void* closure);
/// Property "_is_complex".
PyObject* KCPyArray_GetIsComplexAsAttrib(PyObject* self, void* closure);
