// src/protocols/buffer_export.hpp: the buffer protocol and the methods that hand the elements out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/// bf_getbuffer (read-only export).
int KCPyArray_GetBuffer(PyObject* self, Py_buffer* view, int flags);
/// bf_releasebuffer.
void KCPyArray_ReleaseBuffer(PyObject* self, Py_buffer* view);
/// Method "buffer_info".
PyObject* KCPyArray_BufferInfo(PyObject* self, PyObject* unused);
/// Method "get_bytewise_strides".
PyObject* KCPyArray_GetBytewiseStrides(PyObject* self, PyObject* unused);
/// Method "toarray".
PyObject* KCPyArray_ToArrayArray(PyObject* self, PyObject* unused);
/// Method "tomemoryview".
PyObject* KCPyArray_ToMemoryView(PyObject* self, PyObject* unused);
/// Properties "size" and "_size".
PyObject* KCPyArray_GetArraySize(PyObject* self, void* closure);
/// Property "itemsize".
PyObject* KCPyArray_GetElementSize(PyObject* self, void* closure);
