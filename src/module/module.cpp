// src/module/module.cpp: start-up of kalvomultidimarrayforpython.
//
// Ownership rules of the module:
// - Everything made here lives until the process ends; nothing is torn down. The module holds
//   the only references to the exception classes and the capsule; KCPyError::shapeErr and
//   sizeErr are borrowed copies of them. ArrayArray::s_arrayClass is a strong reference, and
//   the array module object it came from is kept alive on purpose. The free lists of array
//   objects and states are emptied when the module object is freed.
// - An array object owns its KCppPyArray exclusively (KCPyArray_Delete destroys it); states
//   share their data-array wrapper among themselves. An iterator object owns its KCppPyIter
//   and holds no reference to the array it walks.
// - Every slot body runs inside kalvo::py::guarded, so no C++ exception reaches the interpreter.
#include <iostream>

#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "core/array_object.hpp"
#include "hostapi/capsule.hpp"
#include "module/type_objects.hpp"
#include "protocols/iteration.hpp"

using kalvo::py::PyRef;

namespace {

// Teardown: the free lists of array objects and states are emptied and closed.
void freeModule(void*) { closeKCPyArrayFreeLists(); }

PyMethodDef moduleMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

// State size -1: the module keeps its state in process-wide statics and cannot be
// re-initialised in a sub-interpreter.
PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT,
    "kalvomultidimarrayforpython", /* m_name */
    "kalvomultidimarrayforpython", /* m_doc */
    -1,                            /* m_size */
    moduleMethods,                 /* m_methods */
    nullptr,                       /* m_slots */
    nullptr,                       /* m_traverse */
    nullptr,                       /* m_clear */
    freeModule,                    /* m_free */
};

constexpr int kApiVersion = 1013;
constexpr const char* kCapsuleName = "kalvomultidimarrayforpython._capi";

// Caches array.array for the conversions in and out. Failures leave a RuntimeError pending
// and the cache null; start-up goes on regardless.
void cacheArrayArrayClass() {
    PyObject* arrayModule = PyImport_ImportModule("array");  // kept for the life of the process
    if (!arrayModule) {
        PyErr_SetString(PyExc_RuntimeError, "unable to import array module.");
        return;
    }
    PyRef arrayClass = PyRef::steal(PyObject_GetAttrString(arrayModule, "array"));
    if (!arrayClass) {
        PyErr_SetString(PyExc_RuntimeError, "unable to retrieve array.array class.");
        return;
    }
    if (!PyCallable_Check(arrayClass.get())) {
        PyErr_SetString(PyExc_RuntimeError, "array.array class is not callable.");
        return;
    }
    ArrayArray::s_arrayClass = arrayClass.release();
}

// Adds `value` (a new reference) to `module` as `name`; the module takes the reference.
bool addToModule(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObject(module, name, value) == 0)
        return true;
    Py_XDECREF(value);
    return false;
}

// Creates the exception class `qualifiedName` (base Exception) and files it as `name`.
// Returns the class as a borrowed reference kept alive by the module, or null.
PyObject* addExceptionClass(PyObject* module, const char* qualifiedName, const char* name) {
    PyObject* exceptionClass = PyErr_NewException(qualifiedName, nullptr, nullptr);
    if (!exceptionClass)
        return nullptr;
    return addToModule(module, name, exceptionClass) ? exceptionClass : nullptr;
}

}  // namespace

// Files the array types in TypeObjectPointers, readies the twelve types and files them in the
// module. Returns null only for a null module; a type that fails to ready is reported on
// std::cerr and its error stays pending, which makes the import fail once start-up returns.
PyObject* init_types(PyObject* module) {
    if (!module) {
        std::cerr << "Could not initialize module." << std::endl;
        return nullptr;
    }
    TypeObjectPointers = kArrayTypes;
    for (int kind = 0; kind < kNumberOfKinds; ++kind) {
        PyTypeObject* type = TypeObjectPointers[kind];
        if (PyType_Ready(type) < 0) {
            std::cerr << "Could not initialize type." << std::endl;
            break;
        }
        Py_INCREF(type);
        addToModule(module, kalvo::kinds::kRows[kind].name(), reinterpret_cast<PyObject*>(type));
    }
    if (PyType_Ready(&KCPyIter_Type) < 0) {
        std::cerr << "Could not initialize KCPyIter_Type." << std::endl;
    } else {
        Py_INCREF(&KCPyIter_Type);
        addToModule(module, "KCPyIter", reinterpret_cast<PyObject*>(&KCPyIter_Type));
    }
    return module;
}

namespace {

// The module with its types, exception classes and capsule; null when it cannot be made.
PyObject* createModule() {
    PyObject* module = PyModule_Create2(&moduleDefinition, kApiVersion);
    if (!init_types(module))
        return nullptr;

    KCPyError::shapeErr = addExceptionClass(module, "kalvoexceptions.ShapeError", "ShapeError");
    KCPyError::sizeErr = addExceptionClass(module, "kalvoexceptions.SizeError", "SizeError");

    PyObject* capsule = PyCapsule_New(&KCPyArrayAPI_Table, kCapsuleName, nullptr);
    if (!capsule) {
        Py_DECREF(module);
        return nullptr;
    }
    addToModule(module, "_capi", capsule);
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_kalvomultidimarrayforpython() {
    cacheArrayArrayClass();
    // An error from caching array.array is held while the module is made (the interpreter's own
    // calls there would take a pending error for a failure of theirs) and put back afterwards,
    // unless a newer error is pending by then. A pending error makes the interpreter refuse the
    // half-built module.
    kalvo::py::FetchedError cacheError;
    PyObject* module = createModule();
    cacheError.restoreUnlessPending();
    return module;
}
