// src/base/objects.hpp: the Python array and iterator objects and the module's shared objects.
//
// The type objects themselves are defined at the top, in module/type_objects.cpp, which names
// every slot; every other file reaches them only through TypeObjectPointers and KCPyIter_Type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/element_kinds.hpp"

class KCppPyArray;  // core/array_state.hpp
class KCppPyIter;   // protocols/iteration.cpp

/// The Python array object: owns its state exclusively (null only while being built).
struct KCPyArray {
    PyObject_HEAD
    KCppPyArray* state;
};

/// The Python iterator object: owns its iterator state.
struct KCPyIter {
    PyObject_HEAD
    KCppPyIter* state;
};

/// The array types in element-kind order (indexed by SupportedArrayEnum).
extern PyTypeObject* TypeObjectPointers[kNumberOfKinds];

/// The iterator type "kalvo.KCPyIter" (not instantiable from Python).
extern PyTypeObject KCPyIter_Type;

/// The exception classes kalvoexceptions.ShapeError and kalvoexceptions.SizeError
/// (borrowed; the module holds them for the life of the process).
namespace KCPyError {
extern PyObject* shapeErr;
extern PyObject* sizeErr;
}  // namespace KCPyError

/// The cached class array.array (a strong reference; null when it could not be cached).
struct ArrayArray {
    static PyObject* s_arrayClass;
};
