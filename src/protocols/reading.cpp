// src/protocols/reading.cpp: element and sub-array reading (placeholder until reading lands).
#include "module/element_kinds.hpp"
#include "module/slots.hpp"

template <class T>
PyObject* KCPyArray_GetViaIndex(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "indexing is not implemented yet.");
    return nullptr;
}

template <class T>
PyObject* KCPyArray_GetItem(PyObject*, Py_ssize_t) {
    PyErr_SetString(PyExc_NotImplementedError, "indexing is not implemented yet.");
    return nullptr;
}

Py_ssize_t KCPyArray_NumElemsInFirstDim(PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "len() is not implemented yet.");
    return -1;
}

#define KALVO_INSTANTIATE(T)                                                \
    template PyObject* KCPyArray_GetViaIndex<T>(PyObject*, PyObject*);      \
    template PyObject* KCPyArray_GetItem<T>(PyObject*, Py_ssize_t);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE)
#undef KALVO_INSTANTIATE
