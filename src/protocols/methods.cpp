// src/protocols/methods.cpp: array methods and properties (placeholder until they land).
#include "module/slots.hpp"

namespace {
PyObject* notImplemented(const char* message) {
    PyErr_SetString(PyExc_NotImplementedError, message);
    return nullptr;
}
}  // namespace

PyObject* KCPyArray_Reshape(PyObject*, PyObject*, PyObject*) {
    return notImplemented("reshape is not implemented yet.");
}

PyObject* KCPyArray_Clone(PyObject*, PyObject*) {
    return notImplemented("clone is not implemented yet.");
}

PyObject* KCPyArray_Real(PyObject*, PyObject*) {
    return notImplemented("real is not implemented yet.");
}

PyObject* KCPyArray_Imag(PyObject*, PyObject*) {
    return notImplemented("imag is not implemented yet.");
}

PyObject* KCPyArray_Noncomplex(PyObject*, PyObject*) {
    return notImplemented("noncomplex is not implemented yet.");
}

PyObject* KCPyArray_Reduce(PyObject*, PyObject*) {
    return notImplemented("pickling is not implemented yet.");
}

PyObject* KCPyArray_GetRealAsAttrib(PyObject*, void*) {
    return notImplemented("_real is not implemented yet.");
}

PyObject* KCPyArray_GetImagAsAttrib(PyObject*, void*) {
    return notImplemented("_imag is not implemented yet.");
}

PyObject* KCPyArray_GetNoncomplexAsAttrib(PyObject*, void*) {
    return notImplemented("_data is not implemented yet.");
}

PyObject* KCPyArray_GetIsComplexAsAttrib(PyObject*, void*) {
    return notImplemented("_is_complex is not implemented yet.");
}
