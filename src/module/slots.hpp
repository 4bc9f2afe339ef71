// src/module/slots.hpp: slot functions of the array and iterator types defined outside src/module.
// Per-type slots are templates over the real element type, explicitly instantiated for the
// eleven types (KALVO_FOR_EACH_ELEMENT_TYPE) in the file that defines them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

class KCppPyArray;
class KCppPyIter;

// construct/constructor.cpp
/// tp_new: builds an array from "|OOOO" (initializer, size, vector, is_complex).
template <class T>
PyObject* KCPyArray_New(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// protocols/reading.cpp
/// mp_subscript: reads an element or a partial array.
template <class T>
PyObject* KCPyArray_GetViaIndex(PyObject* self, PyObject* key);
/// sq_item: reads position `index` of the active dimension.
template <class T>
PyObject* KCPyArray_GetItem(PyObject* self, Py_ssize_t index);
/// sq_length and mp_length: length of the active dimension.
Py_ssize_t KCPyArray_NumElemsInFirstDim(PyObject* self);

// protocols/text.cpp
/// tp_str.
template <class T>
PyObject* KCPyArray_GetStr(PyObject* self);
/// tp_repr.
template <class T>
PyObject* KCPyArray_GetRepr(PyObject* self);

// protocols/assignment.cpp
/// mp_ass_subscript: assigns an element, sub-array or slice (`value` null means deletion).
template <class T>
int KCPyArray_SetViaIndex(PyObject* self, PyObject* key, PyObject* value);

// protocols/comparison.cpp
/// tp_richcompare: == and != only.
template <class T>
PyObject* KCPyArray_RichCompare(PyObject* self, PyObject* other, int op);

// protocols/iteration.cpp
/// A new iterator state over `array`'s active dimension; null with a Python error on failure.
KCppPyIter* makeKCppPyIter(const KCppPyArray& array);
/// Destroys an iterator state (null allowed).
void destroyKCppPyIter(KCppPyIter* state) noexcept;
/// tp_iternext of the iterator type.
PyObject* KCPyIter_GetIterNext(PyObject* iterator);
/// tp_dealloc of the iterator type: destroys the state, then frees the object.
void KCPyIter_Delete(PyObject* iterator);
/// sq_contains: `value in a`, the search over iter(a) that the interpreter would make.
int KCPyArray_Contains(PyObject* self, PyObject* value);

// protocols/buffer_export.cpp
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

// protocols/methods.cpp
/// Method "reshape" (positional and keyword arguments).
PyObject* KCPyArray_Reshape(PyObject* self, PyObject* args, PyObject* kwargs);
/// Method "clone".
PyObject* KCPyArray_Clone(PyObject* self, PyObject* unused);
/// Method "real".
PyObject* KCPyArray_Real(PyObject* self, PyObject* unused);
/// Method "imag".
PyObject* KCPyArray_Imag(PyObject* self, PyObject* unused);
/// Method "noncomplex".
PyObject* KCPyArray_Noncomplex(PyObject* self, PyObject* unused);

// protocols/pickling.cpp
/// Method "__reduce__".
PyObject* KCPyArray_Reduce(PyObject* self, PyObject* unused);
/// Method "__reduce_ex__" (one argument, the protocol).
PyObject* KCPyArray_ReduceEx(PyObject* self, PyObject* protocol);
/// Method "__copy__".
PyObject* KCPyArray_Copy(PyObject* self, PyObject* unused);
/// Method "__deepcopy__" (one argument, the memo dictionary).
PyObject* KCPyArray_DeepCopy(PyObject* self, PyObject* memo);

// construct/rebuild.cpp
/// Class method "_rebuild"(dims, is_complex, data): an array of the class with extents `dims`
/// whose column-major storage is a copy of the bytes of buffer `data`.
PyObject* KCPyArray_Rebuild(PyObject* cls, PyObject* args);

/// Property "_real".
PyObject* KCPyArray_GetRealAsAttrib(PyObject* self, void* closure);
/// Property "_imag".
PyObject* KCPyArray_GetImagAsAttrib(PyObject* self, void* closure);
/// Property "_data".
PyObject* KCPyArray_GetNoncomplexAsAttrib(PyObject* self, void* closure);
/// Property "_is_complex".
PyObject* KCPyArray_GetIsComplexAsAttrib(PyObject* self, void* closure);
