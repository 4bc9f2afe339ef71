// src/base/objects.hpp: the Python array and iterator objects and the module's shared objects.
//
// The array type objects are defined at the top, in module/type_objects.cpp, which names every
// slot; start-up files them in TypeObjectPointers, through which every other file reaches them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>

#include "base/element_kinds.hpp"

class KCppPyArray;  // core/array_state.hpp
class KCppPyIter;   // protocols/iteration.cpp

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

/// Capacity of each of the free lists of array objects and of states. The sanitizer build keeps
/// none, so that AddressSanitizer sees a use of a freed object or state instead of a recycled one.
#ifdef KALVO_SANITIZE
inline constexpr size_t kFreeListCapacity = 0;
#else
inline constexpr size_t kFreeListCapacity = 64;
#endif

/// The array types in element-kind order (indexed by SupportedArrayEnum); filled in by start-up
/// before any array can be made, null before.
extern std::array<PyTypeObject*, kNumberOfKinds> TypeObjectPointers;

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
