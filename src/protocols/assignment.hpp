// src/protocols/assignment.hpp: assignment through a key.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The slots are templates over the real element type, explicitly instantiated for the eleven
// element types in assignment.cpp.

/// mp_ass_subscript: assigns an element, sub-array or slice (`value` null means deletion).
template<class T>
int KCPyArray_SetViaIndex(PyObject* self, PyObject* key, PyObject* value);
