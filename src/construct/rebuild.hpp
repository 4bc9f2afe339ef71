// src/construct/rebuild.hpp: the class method _rebuild that pickles refer to.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/// Class method "_rebuild"(dims, is_complex, data): an array of the class with extents `dims`
/// whose column-major storage is a copy of the bytes of buffer `data`.
PyObject* KCPyArray_Rebuild(PyObject* cls, PyObject* args);
