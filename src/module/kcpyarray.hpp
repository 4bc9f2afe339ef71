// src/module/kcpyarray.hpp: the Python array and iterator objects and the module's shared objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

#include "module/element_kinds.hpp"

class KCppPyArray;  // core/kcpp_py_array.hpp
class KCppPyIter;   // protocols/iteration.cpp

/// The module's entry point, called by the interpreter on import.
PyMODINIT_FUNC PyInit_kalvomultidimarrayforpython();

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
extern std::array<PyTypeObject*, kNumberOfKinds> TypeObjectPointers;

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

/// True exactly when `object` is an instance of one of the eleven array types (false for null).
bool KCPyArray_Check(PyObject* object) noexcept;

/// A new, zero-filled object of array type `type` (state null); null with RuntimeError
/// "unable to initialize C object." on failure.
PyObject* allocKCPyArray(PyTypeObject* type);

/// tp_dealloc of every array type: destroys the state, then frees the object (or keeps it on a
/// bounded free list for allocKCPyArray).
void KCPyArray_Delete(PyObject* object);

/// Frees the free lists of array objects and states and closes them (module teardown).
void closeKCPyArrayFreeLists() noexcept;

/// Destroys an array state (null allowed).
void destroyKCppPyArray(KCppPyArray* state) noexcept;

/// tp_iter of every array type: a new iterator over the array's active dimension.
PyObject* KCPyArray_GetIter(PyObject* array);

/// tp_iter of the iterator type: the iterator itself (new reference).
PyObject* KCPyIter_GetIter(PyObject* iterator);

/// Sets a Python exception of class `type` with `message`.
void setError(PyObject* type, const char* message);

/// `object` viewed as an array object, without any check.
KCPyArray* getKCPyArrayFromPyObject(PyObject* object) noexcept;

/// Prints and clears the pending Python exception, if any.
void printAndClearErrorIfAny();
