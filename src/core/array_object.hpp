// src/core/array_object.hpp: life of array objects (allocation, free list, deallocation) and
// the small shared helpers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/objects.hpp"

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

/// Sets a Python exception of class `type` with `message`.
void setError(PyObject* type, const char* message);

/// `object` viewed as an array object, without any check.
KCPyArray* getKCPyArrayFromPyObject(PyObject* object) noexcept;

/// Prints and clears the pending Python exception, if any.
void printAndClearErrorIfAny();
