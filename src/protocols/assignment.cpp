// src/protocols/assignment.cpp: element and slice assignment (placeholder until assignment lands).
#include "module/element_kinds.hpp"
#include "module/slots.hpp"

template <class T>
int KCPyArray_SetViaIndex(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "assignment is not implemented yet.");
    return -1;
}

#define KALVO_INSTANTIATE(T) template int KCPyArray_SetViaIndex<T>(PyObject*, PyObject*, PyObject*);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE)
#undef KALVO_INSTANTIATE
