// src/protocols/comparison.hpp: equality of two array states, and the slots that compare
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

class KCppPyArray;

/// Whether two array states are equal: same element kind, the same number of positions along
/// every walked dimension and pairwise equal element values by Python's ==. The complex flags are
/// not compared (1+0j equals 1.0). Nothing when an element comparison raised (the exception is
/// left pending).
std::optional<bool> arrayStatesAreEqual(const KCppPyArray& a, const KCppPyArray& b);

// The slots are templates over the real element type, explicitly instantiated for the eleven
// element types in comparison.cpp.

/// tp_richcompare: == and != only.
template<class T>
PyObject* KCPyArray_RichCompare(PyObject* self, PyObject* other, int op);

/// sq_contains: `value in a`, the search over iter(a) that the interpreter would make.
int KCPyArray_Contains(PyObject* self, PyObject* value);
