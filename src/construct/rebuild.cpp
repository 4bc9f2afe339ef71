// src/construct/rebuild.cpp: the class method _rebuild, which makes an array from its stored bytes
//
// <array type>._rebuild(dims, is_complex, data), for example kalvo.double._rebuild, is what the
// exact pickle forms call on load (protocols/pickling.cpp writes them). Being a class method, it
// leaves the module's attributes as they are and pickles as getattr(type, "_rebuild"). `data`
// is any object that offers a contiguous buffer (bytes, bytearray, memoryview,
// pickle.PickleBuffer) holding the elements in column-major storage order and native byte
// order, bit for bit; `dims` holds the extents. Nothing is converted, so every value comes back
// exactly, whatever it is.
//
// Pickles come from anywhere, so every argument is checked before a byte is read. The data
// view is held (BufferView) while the bytes are copied into a runtime buffer; the new array
// then owns its storage and keeps no reference to `data`.

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/limits.hpp"
#include "base/objects.hpp"
#include "base/py_args.hpp"
#include "base/pyref.hpp"
#include "construct/parser_support.hpp"
#include "construct/rebuild.hpp"
#include "core/array_object.hpp"
#include "core/array_state.hpp"
#include "core/index_items.hpp"
#include "dataarray/kalvo_data.hpp"

using kalvo::py::BufferView;
using kalvo::py::PyRef;

namespace {

/// The kind of array type `type`, or nothing when it is not one of the eleven.
std::optional<SupportedArrayEnum> kindOfType(PyObject* type) {
    for (int k = 0; k < kNumberOfKinds; ++k) {
        if (type == reinterpret_cast<PyObject*>(TypeObjectPointers[k])) {
            return static_cast<SupportedArrayEnum>(k);
        }
    }
    return std::nullopt;
}

/// The extents in `dims` (a tuple of nonnegative ints, at least one); false with an error set.
bool readDims(PyObject* dims, std::vector<size_t>& out) {
    if (!PyTuple_Check(dims) || PyTuple_GET_SIZE(dims) < 1) {
        PyErr_SetString(PyExc_TypeError,
                        "dimensions must be a nonempty tuple of nonnegative integers.");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dims); ++i) {
        PyObject* item = PyTuple_GET_ITEM(dims, i);
        if (!PyLong_Check(item)) {
            PyErr_SetString(PyExc_TypeError,
                            "dimensions must be a nonempty tuple of nonnegative integers.");
            return false;
        }
        const Py_ssize_t extent = PyLong_AsSsize_t(item);  // an int runs no Python code
        if (extent < 0) {
            PyErr_SetString(PyExc_ValueError,
                            "dimensions must be a nonempty tuple of nonnegative integers.");
            return false;
        }
        out.push_back(static_cast<size_t>(extent));
    }
    return true;
}

/// Whether the element count, the byte count (set in `bytes`) and the byte strides of `dims`
/// (first index fastest) fit a Py_ssize_t.
bool dimsFit(const std::vector<size_t>& dims, size_t elementSize, size_t& bytes) {
    const std::optional<size_t> count = kalvo::py::productOf(dims);
    return count && kalvo::py::stridesFit(dims, elementSize) &&
           !__builtin_mul_overflow(*count, elementSize, &bytes) &&
           bytes <= static_cast<size_t>(PY_SSIZE_T_MAX);
}

/// A column-major data array of element representation E over a copy of `bytes`.
template<class E>
kalvo::data::Array arrayFromBytes(const std::vector<size_t>& dims, const void* bytes,
                                  size_t length) {
    kalvo::data::ArrayFactory factory;
    auto buffer = factory.createBuffer<E>(length / sizeof(E));
    if (length > 0) {
        std::memcpy(static_cast<void*>(buffer.get()), bytes, length);
    }
    return kalvo::data::Array(factory.createArrayFromBuffer<E>(
        dims, std::move(buffer), kalvo::data::MemoryLayout::COLUMN_MAJOR));
}

}  // namespace

PyObject* KCPyArray_Rebuild(PyObject* cls, PyObject* args) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* typeArg = cls;
        PyObject* dimsArg = nullptr;
        PyObject* isComplexArg = nullptr;
        PyObject* data = nullptr;
        if (!PyArg_ParseTuple(args, "OOO:_rebuild", &dimsArg, &isComplexArg, &data)) {
            return nullptr;
        }
        const std::optional<SupportedArrayEnum> kind = kindOfType(typeArg);
        if (!kind) {
            PyErr_SetString(PyExc_TypeError, "_rebuild() must be called on a kalvo array type.");
            return nullptr;
        }
        bool ok = true;
        const bool isComplex = retrieveBoolKwarg(isComplexArg, "is_complex", ok);
        if (!ok) {
            return nullptr;
        }
        if (isComplex && *kind == KIND_LOGICAL) {
            PyErr_SetString(PyExc_TypeError, "logical arrays must not be complex.");
            return nullptr;
        }
        std::vector<size_t> dims;
        if (!readDims(dimsArg, dims)) {
            return nullptr;
        }
        // The shapes every constructor makes: a single extent n is a 1-by-n row and extents of 1
        // beyond the second are dropped, so a hand-written call cannot make a one-dimensional
        // array or one with trailing unit extents. Neither changes the element count.
        if (dims.size() == 1) {
            dims.insert(dims.begin(), 1);
        }
        while (dims.size() > 2 && dims.back() == 1) {
            dims.pop_back();
        }
        // Checked before a byte is read or anything is allocated.
        if (!kalvo::py::dimensionCountAllowed(dims.size())) {
            return nullptr;
        }
        BufferView view;
        if (!view.acquire(data, PyBUF_ANY_CONTIGUOUS)) {
            return nullptr;
        }
        PyRef object = PyRef::steal(allocKCPyArray(reinterpret_cast<PyTypeObject*>(typeArg)));
        if (!object) {
            return nullptr;
        }
        std::optional<kalvo::data::Array> array;
        kalvo::py::visitElementKind(*kind, isComplex, [&](auto tag) {
            using E = typename decltype(tag)::type;
            size_t bytes = 0;
            if (!dimsFit(dims, sizeof(E), bytes) || static_cast<size_t>(view.view().len) != bytes) {
                PyErr_SetString(PyExc_ValueError,
                                "data do not match the dimensions and element type.");
                return;
            }
            array = arrayFromBytes<E>(dims, view.view().buf, bytes);
        });
        if (!array) {
            return nullptr;
        }
        return attachState(std::move(object), std::make_unique<KCppPyArray>(
                                                  std::move(*array), *kind, isComplex, true));
    });
}
