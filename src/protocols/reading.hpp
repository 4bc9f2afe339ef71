// src/protocols/reading.hpp: checks shared by the code that reads through a partial array's index items
#pragma once

#include <Python.h>

class KCppPyArray;

/// True when `state` and its stored index items still fit the wrapper's current shape (a reshape
/// through any array sharing the wrapper may have shrunk it); otherwise sets RuntimeError and returns false.
bool checkIndicesStillValid(const KCppPyArray* state);

// The slots are templates over the real element type, explicitly instantiated for the eleven
// element types in reading.cpp.

/// mp_subscript: reads an element or a partial array.
template<class T>
PyObject* KCPyArray_GetViaIndex(PyObject* self, PyObject* key);
/// sq_item: reads position `index` of the active dimension.
template<class T>
PyObject* KCPyArray_GetItem(PyObject* self, Py_ssize_t index);
/// sq_length and mp_length: length of the active dimension.
Py_ssize_t KCPyArray_NumElemsInFirstDim(PyObject* self);
