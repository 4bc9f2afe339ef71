// src/hostapi/capsule.cpp: host interface functions (placeholder until the host interface lands).
#include "hostapi/capsule.hpp"

#include "module/kcpyarray.hpp"

namespace {
void notImplemented(const char* message) {
    PyErr_SetString(PyExc_NotImplementedError, message);
}
}  // namespace

PyObject* KCPyArrayAPI::KCPyArray_KDAImplToKCPyArray(void*) {
    notImplemented("wrapping a data array is not implemented yet.");
    return nullptr;
}

void* KCPyArrayAPI::KCPyArray_KCPyArrayToKDAImpl(PyObject*) {
    notImplemented("unwrapping an array object is not implemented yet.");
    return nullptr;
}

PyObject* KCPyArrayAPI::KCPyArray_BufferObjectToKCPyArray(PyObject*, int* type) {
    if (type) *type = 32;
    notImplemented("array construction from a buffer object is not implemented yet.");
    return nullptr;
}

void KCPyArrayAPI::KCPyArray_DestroyKCPyArray(PyObject* array) {
    if (array) KCPyArray_Delete(array);
}

bool KCPyArrayAPI::KCPyArray_SatisfiesBufferProtocol(PyObject* object) {
    return object != nullptr && PyObject_CheckBuffer(object);
}

KCPyArrayAPITable KCPyArrayAPI_Table = {
    KCPyArrayAPI::KCPyArray_KDAImplToKCPyArray,
    KCPyArrayAPI::KCPyArray_KCPyArrayToKDAImpl,
    KCPyArrayAPI::KCPyArray_BufferObjectToKCPyArray,
    KCPyArrayAPI::KCPyArray_DestroyKCPyArray,
    KCPyArrayAPI::KCPyArray_SatisfiesBufferProtocol,
};
