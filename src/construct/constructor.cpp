// src/construct/constructor.cpp: tp_new of the eleven array types
//
// Construction from Python values, ownership in one place:
// - The new object is held by an owning reference until its state is in place, so every
//   failure path releases it through the type's deallocator (which accepts a null state).
// - The parser (one per call) owns the element buffer until array creation hands it to the
//   runtime; the finished data array moves into the object's KCppPyArray.
// - Arguments are borrowed from the caller; the parser takes its own references to the values
//   it reads (constructor_parser.cpp).
// - Every C++ exception (runtime client, allocation) becomes a Python exception through
//   kalvo::py::guarded; a successful call never leaves a Python error pending.

#include <complex>
#include <memory>
#include <optional>

#include "base/guard.hpp"
#include "base/objects.hpp"
#include "base/py_args.hpp"
#include "base/pyref.hpp"
#include "construct/constructor.hpp"
#include "construct/constructor_parser.hpp"
#include "construct/parser_support.hpp"
#include "core/array_object.hpp"
#include "core/array_state.hpp"
#include "core/index_items.hpp"

using kalvo::py::PyRef;

namespace {

/// Runs the parser for element representation E and creates the data array.
template<class E>
std::optional<kalvo::data::Array> buildArray(PyObject* args, PyObject* kwargs) {
    FinalConstructorParser<E> parser;
    bool ok = false;
    auto buffer = parser.processConstructorArgsAndKwargs(args, kwargs, ok);
    if (!ok) {
        return std::nullopt;
    }
    return createArrayFromParser(parser, std::move(buffer));
}

template<class T>
PyObject* newArray(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // A leading dictionary without keywords supplies the keywords (the pickled form is
    // (keywords, nested list)).
    PyRef positional = PyRef::borrow(args);
    PyRef keywords = PyRef::borrow(kwargs);
    if (args != nullptr && kwargs == nullptr && PyTuple_Check(args) &&
        PyTuple_GET_SIZE(args) >= 1 && PyDict_Check(PyTuple_GET_ITEM(args, 0))) {
        keywords = PyRef::borrow(PyTuple_GET_ITEM(args, 0));
        positional = PyRef::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
        if (!positional) {
            return nullptr;
        }
    }
    if (!positional) {
        positional = PyRef::steal(PyTuple_New(0));
        if (!positional) {
            return nullptr;
        }
    }

    PyRef self = PyRef::steal(allocKCPyArray(type));
    if (!self) {
        return nullptr;
    }

    PyObject* initializer = nullptr;
    PyObject* size = nullptr;
    PyObject* vector = nullptr;
    PyObject* isComplexArg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(positional.get(), keywords.get(), "|OOOO",
                                     kalvo::py::construct::constructorKeywords, &initializer, &size,
                                     &vector, &isComplexArg)) {
        return nullptr;
    }
    bool isComplex = false;
    if (isComplexArg != nullptr) {
        bool ok = true;
        isComplex = retrieveBoolKwarg(isComplexArg, "is_complex", ok);
        if (!ok) {
            return nullptr;
        }
    }

    if (std::is_same_v<T, bool> && isComplex) {
        PyErr_SetString(PyExc_TypeError, "logical arrays must not be complex.");
        return nullptr;
    }
    std::optional<kalvo::data::Array> array =
        kalvo::py::visitRepresentation<T>(isComplex, [&](auto tag) {
            return buildArray<typename decltype(tag)::type>(positional.get(), keywords.get());
        });
    if (!array || PyErr_Occurred()) {
        return nullptr;
    }
    return attachState(
        std::move(self),
        std::make_unique<KCppPyArray>(std::move(*array), ElementKind<T>::kind, isComplex, true));
}

}  // namespace

template<class T>
PyObject* KCPyArray_New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* result = newArray<T>(type, args, kwargs);
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "unable to initialize C object.");
        }
        return result;
    });
}

#define KALVO_INSTANTIATE_NEW(T) \
    template PyObject* KCPyArray_New<T>(PyTypeObject*, PyObject*, PyObject*);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE_NEW)
#undef KALVO_INSTANTIATE_NEW
