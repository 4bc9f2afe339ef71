// src/hostapi/capsule.cpp: the host interface: data-array handles in and out of array objects.
//
// Ownership rules:
// - Slot 0 owns the implementation pointer it is given from its first line on: it adopts it
//   into a kalvo::data::Array before anything can fail, so every exit releases it (null is
//   the only argument it does not consume). On success the new object's state holds it.
// - Slot 1 lends: the pointer belongs to the object's wrapper, or for a partial array to the
//   materialised view cached in its state. The caller makes its own handle to keep it
//   (kalvo::host::shareArray).
// - Slot 2 holds one buffer view of the exporter from fillPyBuffer until tp_new has run, and
//   releases it, the argument tuple and the keyword dictionary on every path.
// - Slot 3 destroys the object outright; the caller must hold the only reference.
// Every function runs its body inside kalvo::py::guarded: no C++ exception reaches the host,
// which sees a null (or nothing) with a Python exception set instead.
#include "hostapi/capsule.hpp"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/limits.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "core/array_object.hpp"
#include "core/array_state.hpp"
#include "dataarray/kalvo_data.hpp"

using kalvo::py::guarded;
using kalvo::py::PyRef;

namespace {

/// The `*type` of slot 2 until a buffer's format is known.
constexpr int kNoType = kalvo::host::noArrayType;

/// Bytes of one element of `kind`, twice as many when complex.
size_t elementSizeOf(const TypeAndComplexity& kind) {
    const size_t real = kalvo::kinds::kRows[kind.kind].size;
    return kind.isComplex ? 2 * real : real;
}

/// Slots 1 and 3 are called from C++ with any PyObject*; a non-array would be taken apart as
/// one, so they refuse it instead.
bool refuseNonArray(PyObject* object) {
    if (object != nullptr && !KCPyArray_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "object is not a kalvo array.");
        return true;
    }
    return false;
}

}  // namespace

int fillPyBuffer(PyObject* exporter, Py_buffer* view, bool* isComplex) {
    if (exporter == nullptr || !PyObject_CheckBuffer(exporter)) {
        return FILL_NOT_AN_EXPORTER;
    }
    if (view == nullptr || isComplex == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
        return FILL_NULL_ARGUMENT;
    }
    *isComplex = false;
    // Writability is not requested: the array copies the elements.
    if (PyObject_GetBuffer(exporter, view, PyBUF_ANY_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        return FILL_GETBUFFER_FAILED;
    }
    // From here on a refusal must release the view, or the exporter stays locked (a
    // bytearray could no longer be resized).
    kalvo::py::BufferView held(view);
    const char* format = view->format;
    if (format == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "format field is null.");
        return FILL_NULL_FORMAT;
    }
    if (format[0] == '\0') {
        PyErr_SetString(PyExc_RuntimeError, "format field is empty.");
        return FILL_EMPTY_FORMAT;
    }
    // One character decides: the first, or the one after 'Z' ("Z" alone is complex double).
    // Byte-order and size prefixes are not recognised, so "<d" is refused below.
    char c = format[0];
    if (c == 'Z') {
        *isComplex = true;
        c = format[1] != '\0' ? format[1] : 'd';
    }
    // Native long sizes differ between platforms: map them to the fixed-size characters.
    if (c == 'L') {
        c = view->itemsize == 4 ? 'I' : 'Q';
    } else if (c == 'l') {
        c = view->itemsize == 4 ? 'i' : 'q';
    }
    const std::optional<int> code = getArrayTypeEnumFromChar(c);
    if (!code) {
        return FILL_UNSUPPORTED_FORMAT;
    }
    held.handBack();
    return *code;
}

PyObject* KCPyArrayAPI::KCPyArray_KDAImplToKCPyArray(void* impl) {
    return guarded<PyObject*>(nullptr, [impl]() -> PyObject* {
        if (impl == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
            return nullptr;
        }
        kalvo::data::Array handle(impl);  // owns impl from here on, whatever happens next
        const TypeAndComplexity kind = getTypeAndComplexityFromArrayType(handle.getType());
        if (!kind.supported) {
            PyErr_SetString(PyExc_RuntimeError, "invalid type.");
            return nullptr;
        }
        // A host array the constructor and reshape() would refuse: its elements could not be
        // addressed, since a byte stride would overflow.
        const std::vector<size_t> dims = handle.getDimensions();
        if (!kalvo::py::stridesFit(dims, elementSizeOf(kind))) {
            PyErr_SetString(PyExc_ValueError, "dimensions of the data array are too large.");
            return nullptr;
        }
        if (!kalvo::py::dimensionCountAllowed(dims.size())) {
            return nullptr;
        }
        PyRef object = PyRef::steal(allocKCPyArray(TypeObjectPointers[kind.kind]));
        if (!object) {
            return nullptr;
        }
        // A throwing state constructor leaves the state null; dropping `object` then frees it.
        return attachState(
            std::move(object),
            std::make_unique<KCppPyArray>(std::move(handle), kind.kind, kind.isComplex, true));
    });
}

void* KCPyArrayAPI::KCPyArray_KCPyArrayToKDAImpl(PyObject* array) {
    return guarded<void*>(nullptr, [array]() -> void* {
        if (refuseNonArray(array)) {
            return nullptr;
        }
        KCppPyArray* state = requireState(array);
        if (state == nullptr) {
            return nullptr;
        }
        KDArrayWrapper* wrapper = state->getKDAWrapper();
        if (wrapper == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
            return nullptr;
        }
        void* impl = nullptr;
        if (state->indicesAreEmpty()) {
            // The wrapper's own implementation, which lives as long as the array object.
            impl = wrapper->implForHost();
        } else {
            // The view is cached in the state, so the pointer stays the same on every call.
            const std::optional<kalvo::data::Array> view =
                state->getIndexedArrayAsKDA(kalvo::data::MemoryLayout::COLUMN_MAJOR, true);
            if (!view) {
                return nullptr;
            }
            impl = view->getImpl();
        }
        if (impl == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
        }
        return impl;
    });
}

PyObject* KCPyArrayAPI::KCPyArray_BufferObjectToKCPyArray(PyObject* exporter, int* type) {
    return guarded<PyObject*>(nullptr, [exporter, type]() -> PyObject* {
        int unused = kNoType;
        int& typeCode = type != nullptr ? *type : unused;
        typeCode = kNoType;
        Py_buffer view;
        bool isComplex = false;
        const int code = fillPyBuffer(exporter, &view, &isComplex);
        if (code < 0) {
            return nullptr;
        }
        // Declared first, so released last: after tp_new has imported the exporter itself.
        kalvo::py::BufferView held(&view);
        // A logical buffer reports 13 (23 when complex): the code, not the ArrayType 0.
        typeCode = code + (isComplex ? 10 : 0);
        PyTypeObject* arrayType = TypeObjectPointers[code - 3];

        PyRef args = PyRef::steal(Py_BuildValue("(O)", exporter));
        if (!args) {
            return nullptr;
        }
        PyRef kwargs;
        if (isComplex) {
            kwargs = PyRef::steal(PyDict_New());
            if (!kwargs || PyDict_SetItemString(kwargs.get(), "is_complex", Py_True) != 0) {
                return nullptr;
            }
        }
        return arrayType->tp_new(arrayType, args.get(), kwargs.get());
    });
}

void KCPyArrayAPI::KCPyArray_DestroyKCPyArray(PyObject* array) {
    kalvo::py::guardedVoid([array] {
        if (array == nullptr || refuseNonArray(array)) {
            return;
        }
        KCPyArray_Delete(array);
    });
}

bool KCPyArrayAPI::KCPyArray_SatisfiesBufferProtocol(PyObject* object) {
    return object != nullptr && PyObject_CheckBuffer(object) != 0;
}

KCPyArrayAPITable KCPyArrayAPI_Table = {
    /* slot 0 */ KCPyArrayAPI::KCPyArray_KDAImplToKCPyArray,
    /* slot 1 */ KCPyArrayAPI::KCPyArray_KCPyArrayToKDAImpl,
    /* slot 2 */ KCPyArrayAPI::KCPyArray_BufferObjectToKCPyArray,
    /* slot 3 */ KCPyArrayAPI::KCPyArray_DestroyKCPyArray,
    /* slot 4 */ KCPyArrayAPI::KCPyArray_SatisfiesBufferProtocol,
};
