// src/protocols/methods.cpp: reshape, clone, real/imag/noncomplex and their properties

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/limits.hpp"
#include "base/objects.hpp"
#include "base/py_args.hpp"
#include "base/pyref.hpp"
#include "core/array_object.hpp"
#include "core/array_state.hpp"
#include "core/index_items.hpp"
#include "core/storage.hpp"
#include "dataarray/kalvo_data.hpp"
#include "protocols/methods.hpp"

using kalvo::py::PyRef;

namespace {

constexpr const char* kReshapeArgumentMessage =
    "reshape() must be passed a nonempty sequence of nonnegative integers.";

/// A new state, with a wrapper and storage of its own, over what `state` shows as it is now.
/// A full array with elements is copied once, straight from the runtime's storage. Partial
/// arrays and arrays without elements are materialised from a scratch copy of the state: the
/// result reflects the current element values rather than a view cached before later
/// assignments, the source does not keep a second copy of its elements, and an empty result
/// has the source's extents with the first set to 0, as every materialised empty view has.
std::unique_ptr<KCppPyArray> materializeShown(const KCppPyArray& state) {
    if (state.indicesAreEmpty()) {
        const KDArrayWrapper* wrapper = state.getKDAWrapper();
        if (!wrapper) {
            PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
            return nullptr;
        }
        if (wrapper->getNumberOfElements() > 0) {
            auto copy =
                std::make_unique<KCppPyArray>(wrapper->array(), state.getSupportedArrayEnum(),
                                              state.isComplex(), wrapper->getOrder() == 'F');
            copy->getKDAWrapper()->makeStoragePrivate();
            return copy;
        }
    }
    KCppPyArray scratch(state);
    return scratch.cloneAsKCppPyArrayUniquePtr(kalvo::data::MemoryLayout::COLUMN_MAJOR, true);
}

/// The vector form of a 1-by-N extraction: a partial array of length N (one pending integer
/// index 0), so that len() is N and item i is element i.
std::unique_ptr<KCppPyArray> vectorForm(kalvo::data::Array&& rowVector, SupportedArrayEnum kind) {
    auto state = std::make_unique<KCppPyArray>(std::move(rowVector), kind, false, true);
    IntegerIndexItem first(0);
    state->appendIndexItem(first);
    return state;
}

enum class Extraction { Real, Imag, Noncomplex };

/// Shared body of real(), imag() and noncomplex() and their properties. A partial array is
/// materialised first, so the result lists the parts of the elements it shows, in the storage
/// order of that materialisation (first index fastest).
PyObject* extract(PyObject* self, Extraction what) {
    KCppPyArray* state = requireState(self);
    if (!state)
        return nullptr;
    PyRef object = PyRef::steal(allocKCPyArray(Py_TYPE(self)));
    if (!object)
        return nullptr;
    const bool wantsComplex = what != Extraction::Noncomplex;
    std::unique_ptr<KCppPyArray> shown;
    const KCppPyArray* from = state;
    // With the wrong complexity the state's own routine reports it; nothing needs materialising.
    if (!state->indicesAreEmpty() && state->isComplex() == wantsComplex) {
        shown = materializeShown(*state);
        if (!shown)
            return nullptr;
        from = shown.get();
    }
    std::optional<kalvo::data::Array> parts = what == Extraction::Noncomplex
                                                  ? from->noncomplex()
                                                  : from->realOrImag(what == Extraction::Real);
    if (!parts)
        return nullptr;
    return attachState(std::move(object),
                       vectorForm(std::move(*parts), state->getSupportedArrayEnum()));
}

/// The ShapeError of a reshape whose element count `product` (text) differs from `current`.
void raiseCountMismatch(const std::string& product, long current) {
    const std::string message = "number of elements specified by arguments to reshape() (" +
                                product + ") does not match current number (" +
                                std::to_string(current) + ").";
    PyErr_SetString(KCPyError::shapeErr, message.c_str());
}

/// Decimal text of the exact product of `dims`, computed with Python integers.
std::string exactProductText(const std::vector<long>& dims) {
    PyRef product = PyRef::steal(PyLong_FromLong(1));
    for (long extent : dims) {
        PyRef factor = PyRef::steal(PyLong_FromLong(extent));
        if (!product || !factor)
            throw kalvo::py::ErrorAlreadySet{};
        product = PyRef::steal(PyNumber_Multiply(product.get(), factor.get()));
    }
    PyRef text = product ? PyRef::steal(PyObject_Str(product.get())) : PyRef();
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8)
        throw kalvo::py::ErrorAlreadySet{};
    return utf8;
}

}  // namespace

/// reshape(*dims): re-reads the same elements, in the same storage order, with new dimensions,
/// without copying them. The wrapper is shared, so partial arrays and iterators made earlier see
/// the new shape at once (their readers re-check their stored indices against it). Buffer exports
/// made earlier keep their own shape and strides and go on reading the same storage.
PyObject* KCPyArray_Reshape(PyObject* self, PyObject* args, PyObject* kwargs) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        if (!state)
            return nullptr;
        if (!state->indicesAreEmpty()) {
            PyErr_SetString(PyExc_RuntimeError, "reshape() not supported for a partial array.");
            return nullptr;
        }
        if (!args || args == Py_None) {
            PyErr_SetString(PyExc_ValueError, kReshapeArgumentMessage);
            return nullptr;
        }
        // One argument is the sequence of dimensions; several are the dimensions themselves.
        const Py_ssize_t count = PySequence_Size(args);
        std::vector<long> dims;
        if (count == 1) {
            PyRef single = PyRef::steal(PySequence_GetItem(args, 0));
            if (!single) {
                PyErr_SetString(PyExc_ValueError, kReshapeArgumentMessage);
                return nullptr;
            }
            dims = getDimsFromReshapeArg(single.get());
        } else if (count <= 0) {
            PyErr_SetString(PyExc_ValueError, kReshapeArgumentMessage);
            return nullptr;
        } else {
            dims = getDimsFromReshapeArg(args);
        }
        if (dims.empty())
            return nullptr;

        KDArrayWrapper* wrapper = state->getKDAWrapper();
        if (!wrapper) {
            PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
            return nullptr;
        }
        const long current = wrapper->getNumberOfElements();
        const std::optional<long> product = kalvo::py::productOf(dims);
        if (!product || *product != current) {
            raiseCountMismatch(product ? std::to_string(*product) : exactProductText(dims),
                               current);
            return nullptr;
        }
        if (kwargs && PyDict_Check(kwargs) && PyDict_GET_SIZE(kwargs) > 0) {
            PyErr_SetString(PyExc_ValueError, "reshape() does not accept keyword arguments.");
            return nullptr;
        }
        // Only an empty array can get here with absurd extents (a zero extent keeps the product
        // at 0); its strides would still overflow.
        if (!kalvo::py::stridesFit(dims, static_cast<size_t>(wrapper->getElementSizeInBytes()))) {
            PyErr_SetString(PyExc_ValueError, "reshape() dimensions are too large.");
            return nullptr;
        }
        if (!kalvo::py::dimensionCountAllowed(dims.size()))
            return nullptr;
        kalvo::data::ArrayFactory factory;
        wrapper->reshape(dims, factory, 'F', kalvo::data::MemoryLayout::COLUMN_MAJOR);
        Py_INCREF(self);
        return self;
    });
}

/// clone(): a new array of the same type with storage of its own, holding exactly the elements
/// the source shows, as they are now.
PyObject* KCPyArray_Clone(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        if (!state)
            return nullptr;
        PyRef object = PyRef::steal(allocKCPyArray(Py_TYPE(self)));
        if (!object)
            return nullptr;
        return attachState(std::move(object), materializeShown(*state));
    });
}

/// real() (real true) and imag() (real false) of a complex array.
PyObject* KCPyArray_realOrImag(KCPyArray* self, bool real) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        return extract(reinterpret_cast<PyObject*>(self),
                       real ? Extraction::Real : Extraction::Imag);
    });
}

PyObject* KCPyArray_Real(PyObject* self, PyObject* /*unused*/) {
    return KCPyArray_realOrImag(reinterpret_cast<KCPyArray*>(self), true);
}

PyObject* KCPyArray_Imag(PyObject* self, PyObject* /*unused*/) {
    return KCPyArray_realOrImag(reinterpret_cast<KCPyArray*>(self), false);
}

PyObject* KCPyArray_Noncomplex(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(
        nullptr, [&]() -> PyObject* { return extract(self, Extraction::Noncomplex); });
}

PyObject* KCPyArray_GetRealAsAttrib(PyObject* self, void* /*closure*/) {
    return KCPyArray_Real(self, nullptr);
}

PyObject* KCPyArray_GetImagAsAttrib(PyObject* self, void* /*closure*/) {
    return KCPyArray_Imag(self, nullptr);
}

PyObject* KCPyArray_GetNoncomplexAsAttrib(PyObject* self, void* /*closure*/) {
    return KCPyArray_Noncomplex(self, nullptr);
}

PyObject* KCPyArray_GetIsComplexAsAttrib(PyObject* self, void* /*closure*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        if (!state)
            return nullptr;
        return PyBool_FromLong(state->isComplex() ? 1 : 0);
    });
}
