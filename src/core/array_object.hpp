// src/core/array_object.hpp: life of array objects (allocation, free list, deallocation) and
// the small shared helpers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "base/objects.hpp"
#include "base/pyref.hpp"

/// True exactly when `object` is an instance of one of the eleven array types (false for null).
bool KCPyArray_Check(PyObject* object) noexcept;

/// A new, zero-filled object of array type `type` (state null); null with RuntimeError
/// "unable to initialize C object." on failure.
PyObject* allocKCPyArray(PyTypeObject* type);

/// Hands `state` to `object`, a new array object from allocKCPyArray whose state is still null,
/// and returns the object (a new reference that owns the state from then on). Either may be null
/// after a failed step that has set its error: the result is then null and what was made is
/// released.
PyObject* attachState(kalvo::py::PyRef object, std::unique_ptr<KCppPyArray> state) noexcept;

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
