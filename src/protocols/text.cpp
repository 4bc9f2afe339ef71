// src/protocols/text.cpp: str() and repr() of arrays (placeholder until text rendering lands).
#include "module/element_kinds.hpp"
#include "module/slots.hpp"

template <class T>
PyObject* KCPyArray_GetStr(PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "str() is not implemented yet.");
    return nullptr;
}

template <class T>
PyObject* KCPyArray_GetRepr(PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "repr() is not implemented yet.");
    return nullptr;
}

#define KALVO_INSTANTIATE(T)                            \
    template PyObject* KCPyArray_GetStr<T>(PyObject*);  \
    template PyObject* KCPyArray_GetRepr<T>(PyObject*);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE)
#undef KALVO_INSTANTIATE
