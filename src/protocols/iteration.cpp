// src/protocols/iteration.cpp: iterator state and stepping (placeholder until iteration lands).
#include "module/kcpyarray.hpp"
#include "module/slots.hpp"

class KCppPyIter {};

KCppPyIter* makeKCppPyIter(const KCppPyArray&) {
    PyErr_SetString(PyExc_NotImplementedError, "iteration is not implemented yet.");
    return nullptr;
}

void destroyKCppPyIter(KCppPyIter* state) noexcept {
    delete state;
}

PyObject* KCPyIter_GetIterNext(PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "iteration is not implemented yet.");
    return nullptr;
}

void KCPyIter_Delete(PyObject* iterator) {
    destroyKCppPyIter(reinterpret_cast<KCPyIter*>(iterator)->state);
    PyObject_Free(iterator);
}
