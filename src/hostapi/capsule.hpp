// src/hostapi/capsule.hpp: the five functions host code reaches through the "_capi" capsule.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace KCPyArrayAPI {
/// Slot 0: a new array object taking over the runtime array implementation `impl`.
PyObject* KCPyArray_KDAImplToKCPyArray(void* impl);
/// Slot 1: the (borrowed) runtime array implementation behind an array object.
void* KCPyArray_KCPyArrayToKDAImpl(PyObject* array);
/// Slot 2: a new array object built from a buffer exporter; `*type` receives its class code.
PyObject* KCPyArray_BufferObjectToKCPyArray(PyObject* exporter, int* type);
/// Slot 3: destroys an array object at once, whatever its reference count.
void KCPyArray_DestroyKCPyArray(PyObject* array);
/// Slot 4: whether `object` offers the buffer protocol (false for null).
bool KCPyArray_SatisfiesBufferProtocol(PyObject* object);
}  // namespace KCPyArrayAPI

/// The table the capsule points to: five function pointers, called by position.
struct KCPyArrayAPITable {
    PyObject* (*kdaImplToKCPyArray)(void*);
    void* (*kcPyArrayToKDAImpl)(PyObject*);
    PyObject* (*bufferObjectToKCPyArray)(PyObject*, int*);
    void (*destroyKCPyArray)(PyObject*);
    bool (*satisfiesBufferProtocol)(PyObject*);
};
static_assert(sizeof(KCPyArrayAPITable) == 5 * sizeof(void (*)()), "five pointers, no padding");

/// The static table published as "kalvomultidimarrayforpython._capi".
extern KCPyArrayAPITable KCPyArrayAPI_Table;
