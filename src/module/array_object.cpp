// src/module/array_object.cpp: life of array and iterator objects, and the small shared helpers.
#include "module/guard.hpp"
#include "module/kcpyarray.hpp"
#include "module/pyref.hpp"
#include "module/slots.hpp"

#include <utility>

bool KCPyArray_Check(PyObject* object) noexcept {
    // One deallocator is shared by all eleven array types and by nothing else.
    return object != nullptr && Py_TYPE(object) != nullptr &&
           Py_TYPE(object)->tp_dealloc == KCPyArray_Delete;
}

PyObject* allocKCPyArray(PyTypeObject* type) {
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) PyErr_SetString(PyExc_RuntimeError, "unable to initialize C object.");
    return object;
}

void KCPyArray_Delete(PyObject* object) {
    destroyKCppPyArray(std::exchange(getKCPyArrayFromPyObject(object)->state, nullptr));
    PyObject_Free(object);
}

PyObject* KCPyArray_GetIter(PyObject* array) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const KCPyArray* source = getKCPyArrayFromPyObject(array);
        if (!source || !source->state) {
            PyErr_SetString(PyExc_RuntimeError, "object not initialized.");
            return nullptr;
        }
        // Released through KCPyIter_Delete (state still null) if the state cannot be built.
        auto iterator = kalvo::py::PyRef::steal(KCPyIter_Type.tp_alloc(&KCPyIter_Type, 0));
        if (!iterator) {
            PyErr_SetString(PyExc_RuntimeError, "unable to initialize C object.");
            return nullptr;
        }
        KCppPyIter* state = makeKCppPyIter(*source->state);
        if (!state) return nullptr;
        reinterpret_cast<KCPyIter*>(iterator.get())->state = state;
        return iterator.release();
    });
}

PyObject* KCPyIter_GetIter(PyObject* iterator) {
    Py_INCREF(iterator);
    return iterator;
}

void setError(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
}

KCPyArray* getKCPyArrayFromPyObject(PyObject* object) noexcept {
    return reinterpret_cast<KCPyArray*>(object);
}

void printAndClearErrorIfAny() {
    if (PyErr_Occurred()) PyErr_Print();
}
