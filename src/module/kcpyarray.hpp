// src/module/kcpyarray.hpp: the Python array and iterator objects and the module's shared objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "module/element_kinds.hpp"
#include "module/pyref.hpp"

class KCppPyArray;  // core/kcpp_py_array.hpp
class KCppPyIter;   // protocols/iteration.cpp

/// The module's entry point, called by the interpreter on import.
PyMODINIT_FUNC PyInit_kalvomultidimarrayforpython();

/// The Python array object: owns its state exclusively (null only while being built). A state
/// held by an object always has its wrapper; only a state released for reuse has none.
struct KCPyArray {
    PyObject_HEAD
    KCppPyArray* state;
};

namespace kalvo::py {
/// RuntimeError text for an object without a usable state.
inline constexpr const char kNotInitialized[] = "object not initialized.";
}  // namespace kalvo::py

/// The state of array object `object`; null, with RuntimeError "object not initialized." set,
/// when the object or its state is null.
inline KCppPyArray* requireState(PyObject* object) noexcept {
    KCppPyArray* state = object != nullptr ? reinterpret_cast<KCPyArray*>(object)->state : nullptr;
    if (state == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kalvo::py::kNotInitialized);
    }
    return state;
}

/// The Python iterator object: owns its iterator state.
struct KCPyIter {
    PyObject_HEAD
    KCppPyIter* state;
};

/// The eleven array types, one per element kind.
extern PyTypeObject KCPyArray_Type_double;
extern PyTypeObject KCPyArray_Type_float;
extern PyTypeObject KCPyArray_Type_int8_t;
extern PyTypeObject KCPyArray_Type_uint8_t;
extern PyTypeObject KCPyArray_Type_int16_t;
extern PyTypeObject KCPyArray_Type_uint16_t;
extern PyTypeObject KCPyArray_Type_int32_t;
extern PyTypeObject KCPyArray_Type_uint32_t;
extern PyTypeObject KCPyArray_Type_int64_t;
extern PyTypeObject KCPyArray_Type_uint64_t;
extern PyTypeObject KCPyArray_Type_bool;

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

/// True exactly when `object` is an instance of one of the eleven array types (false for null).
bool KCPyArray_Check(PyObject* object) noexcept;

/// Capacity of each of the free lists of array objects and of states. The sanitizer build keeps
/// none, so that AddressSanitizer sees a use of a freed object or state instead of a recycled one.
#ifdef KALVO_SANITIZE
inline constexpr size_t kFreeListCapacity = 0;
#else
inline constexpr size_t kFreeListCapacity = 64;
#endif

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
