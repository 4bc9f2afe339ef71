// src/protocols/buffer_export.cpp: buffer export and conversions out (placeholder until they land).
#include "module/slots.hpp"

namespace {
PyObject* notImplemented(const char* message) {
    PyErr_SetString(PyExc_NotImplementedError, message);
    return nullptr;
}
}  // namespace

int KCPyArray_GetBuffer(PyObject*, Py_buffer* view, int) {
    if (view) view->obj = nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "buffer export is not implemented yet.");
    return -1;
}

void KCPyArray_ReleaseBuffer(PyObject*, Py_buffer*) {}

PyObject* KCPyArray_BufferInfo(PyObject*, PyObject*) {
    return notImplemented("buffer_info is not implemented yet.");
}

PyObject* KCPyArray_GetBytewiseStrides(PyObject*, PyObject*) {
    return notImplemented("get_bytewise_strides is not implemented yet.");
}

PyObject* KCPyArray_ToArrayArray(PyObject*, PyObject*) {
    return notImplemented("toarray is not implemented yet.");
}

PyObject* KCPyArray_ToMemoryView(PyObject*, PyObject*) {
    return notImplemented("tomemoryview is not implemented yet.");
}

PyObject* KCPyArray_GetArraySize(PyObject*, void*) {
    return notImplemented("size is not implemented yet.");
}

PyObject* KCPyArray_GetElementSize(PyObject*, void*) {
    return notImplemented("itemsize is not implemented yet.");
}
