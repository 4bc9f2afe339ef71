// src/protocols/comparison.cpp: == and != of arrays (placeholder until comparison lands).
#include "module/element_kinds.hpp"
#include "module/slots.hpp"

template <class T>
PyObject* KCPyArray_RichCompare(PyObject*, PyObject*, int) {
    PyErr_SetString(PyExc_NotImplementedError, "comparison is not implemented yet.");
    return nullptr;
}

#define KALVO_INSTANTIATE(T) template PyObject* KCPyArray_RichCompare<T>(PyObject*, PyObject*, int);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE)
#undef KALVO_INSTANTIATE
