// src/protocols/pickling.hpp: pickling and copying.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/// Method "__reduce__".
PyObject* KCPyArray_Reduce(PyObject* self, PyObject* unused);
/// Method "__reduce_ex__" (one argument, the protocol).
PyObject* KCPyArray_ReduceEx(PyObject* self, PyObject* protocol);
/// Method "__copy__".
PyObject* KCPyArray_Copy(PyObject* self, PyObject* unused);
/// Method "__deepcopy__" (one argument, the memo dictionary).
PyObject* KCPyArray_DeepCopy(PyObject* self, PyObject* memo);
