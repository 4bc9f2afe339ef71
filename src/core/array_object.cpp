// src/core/array_object.cpp: life of array objects, and the small shared helpers.
#include "core/array_object.hpp"

#include "core/array_state.hpp"
#include "core/state_lifetime.hpp"

#include <array>
#include <memory>
#include <utility>

bool KCPyArray_Check(PyObject* object) noexcept {
    // One deallocator is shared by all eleven array types and by nothing else.
    return object != nullptr && Py_TYPE(object) != nullptr &&
           Py_TYPE(object)->tp_dealloc == KCPyArray_Delete;
}

namespace {

// Array objects are all the same size whatever their type, so a freed one can be given any of
// the eleven (static) types again, as the interpreter's float free list does. Bounded; touched
// only under the interpreter lock; emptied and closed when the module is torn down.
std::array<PyObject*, kFreeListCapacity> freeObjects;
size_t freeObjectCount = 0;
bool freeObjectsClosed = false;

}  // namespace

PyObject* allocKCPyArray(PyTypeObject* type) {
    if (freeObjectCount > 0 && type->tp_alloc == PyType_GenericAlloc &&
        type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(KCPyArray))) {
        PyObject* object = freeObjects[--freeObjectCount];
        getKCPyArrayFromPyObject(object)->state = nullptr;
        return PyObject_Init(object, type);
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (!object)
        PyErr_SetString(PyExc_RuntimeError, "unable to initialize C object.");
    return object;
}

PyObject* attachState(kalvo::py::PyRef object, std::unique_ptr<KCppPyArray> state) noexcept {
    if (!object || !state) {
        return nullptr;  // the failed step has set its error; dropping `object` frees it
    }
    getKCPyArrayFromPyObject(object.get())->state = state.release();
    return object.release();
}

void KCPyArray_Delete(PyObject* object) {
    destroyKCppPyArray(std::exchange(getKCPyArrayFromPyObject(object)->state, nullptr));
    if (!freeObjectsClosed && freeObjectCount < freeObjects.size() &&
        !PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_HEAPTYPE)) {
        freeObjects[freeObjectCount++] = object;
        return;
    }
    PyObject_Free(object);
}

void closeKCPyArrayFreeLists() noexcept {
    freeObjectsClosed = true;
    while (freeObjectCount > 0) {
        PyObject_Free(freeObjects[--freeObjectCount]);
    }
    closeKCppPyArrayFreeList();
}

void setError(PyObject* type, const char* message) { PyErr_SetString(type, message); }

KCPyArray* getKCPyArrayFromPyObject(PyObject* object) noexcept {
    return reinterpret_cast<KCPyArray*>(object);
}

void printAndClearErrorIfAny() {
    if (PyErr_Occurred())
        PyErr_Print();
}
