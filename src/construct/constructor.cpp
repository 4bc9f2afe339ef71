// src/construct/constructor.cpp: array construction (placeholder until the constructor lands).
#include "module/element_kinds.hpp"
#include "module/slots.hpp"

template <class T>
PyObject* KCPyArray_New(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "array construction is not implemented yet.");
    return nullptr;
}

#define KALVO_INSTANTIATE(T) template PyObject* KCPyArray_New<T>(PyTypeObject*, PyObject*, PyObject*);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE)
#undef KALVO_INSTANTIATE
