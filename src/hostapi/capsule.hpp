// src/hostapi/capsule.hpp: the five functions host code reaches through the "_capi" capsule.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "hostapi/kalvo/host.hpp"

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

/// The table the capsule points to: five function pointers, called by position. It is the
/// very struct hosts read through kalvo/host.hpp, so the two cannot drift apart.
using KCPyArrayAPITable = kalvo::host::CapsuleTable;

/// The static table published as "kalvomultidimarrayforpython._capi".
extern KCPyArrayAPITable KCPyArrayAPI_Table;

/// Failure results of fillPyBuffer (success gives a kind code, 3 to 13).
enum FillPyBufferResult : int {
    FILL_NOT_AN_EXPORTER = -1,     ///< null exporter or no buffer protocol; no exception set
    FILL_NULL_ARGUMENT = -2,       ///< null view or isComplex; RuntimeError "null data pointer."
    FILL_GETBUFFER_FAILED = -3,    ///< PyObject_GetBuffer failed; the exporter's exception
    FILL_NULL_FORMAT = -4,         ///< RuntimeError "format field is null."
    FILL_EMPTY_FORMAT = -5,        ///< RuntimeError "format field is empty."
    FILL_UNSUPPORTED_FORMAT = -6,  ///< RuntimeError "format character not supported: <c>"
};

/// Takes a contiguous view of `exporter` with its format into `*view` and returns the kind
/// code of its format character (3 to 13; `*isComplex` set for a "Z" format), in which case
/// the caller must release the view; or a FillPyBufferResult, with no view held.
int fillPyBuffer(PyObject* exporter, Py_buffer* view, bool* isComplex);
