// src/protocols/reading.hpp: element values and the nested-list form, shared by reading, text and pickling
#pragma once

#include <Python.h>

class KCppPyArray;

/// New reference to the element stored at `address`, read as element type T (a complex element is a (real, imaginary) pair of T).
template<class T> PyObject* elementValue(const char* address, bool isComplex);

/// New reference to the element at `address` of `state`'s wrapper, converted for the state's element kind and complexity.
PyObject* elementValueAt(const KCppPyArray& state, const char* address);

/// New nested list (first index outermost) of the elements `state` selects, read as element type T; null with an exception set.
template<class T> PyObject* nestedListForm(const KCppPyArray& state);

/// The nested-list form for the state's own element kind; null with an exception set.
PyObject* nestedListForm(const KCppPyArray& state);

/// True when the stored index items still lie inside the wrapper's current shape; otherwise sets RuntimeError and returns false.
bool checkIndicesFitShape(const KCppPyArray& state);
