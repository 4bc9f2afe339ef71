// src/protocols/reading.cpp: a[key], the sequence item slot and len() of the array types
//
// Ownership rules
// - Every slot returns a new reference (or a length), or null (-1) with a Python exception set;
//   each slot body runs inside kalvo::py::guarded, so no C++ exception reaches the interpreter.
// - A partial array is a new object of the slot's type whose KCppPyArray shares the source's
//   KDArrayWrapper and carries one more (or one composed) index item. The state is built in a
//   std::unique_ptr and handed to the object only once the object exists, so a failure at any
//   step frees what was made. A read never changes its source.
// - Elements are read straight from the runtime's storage at the wrapper's cached element address;
//   the address is used at once, before anything that could run Python code.
//   `reshape` through any array sharing the wrapper changes the shape under existing partial
//   arrays, so every read first checks the stored index items against the current shape.

#include "protocols/reading.hpp"

#include <memory>
#include <variant>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "core/array_object.hpp"
#include "core/array_state.hpp"
#include "core/index_items.hpp"
#include "core/state_lifetime.hpp"
#include "core/storage.hpp"

using kalvo::py::guarded;
using kalvo::py::PyRef;

namespace {

// Sets IndexError "index has an invalid value: <key>". The key is written from the Python object
// when there is one (its value may not fit in Py_ssize_t), else from the number.
void setInvalidIndexError(Py_ssize_t key, PyObject* keyObject) {
    if (keyObject == nullptr) {
        PyErr_Format(PyExc_IndexError, "index has an invalid value: %zd", key);
        return;
    }
    // PyNumber_ToBase formats the integer value itself, never a subclass's __str__ or __repr__.
    PyRef decimal = PyRef::steal(PyNumber_ToBase(keyObject, 10));
    if (decimal) {
        PyErr_Format(PyExc_IndexError, "index has an invalid value: %U", decimal.get());
    }
}

// Wraps `view` in a new object of the slot's type, which owns the state from then on.
template<class T>
PyObject* wrapState(std::unique_ptr<KCppPyArray> view) {
    return attachState(PyRef::steal(allocKCPyArray(TypeObjectPointers[ElementKind<T>::kind])),
                       std::move(view));
}

// Puts `item` on a copy of the source state. When the source ends with a slice, `item` has
// already been composed through it and takes the slice's place.
template<class Item>
void applyItem(KCppPyArray& view, Item& item, bool replacesTrailingSlice) {
    if (replacesTrailingSlice) {
        view.getIndicesRef().pop_back();
    }
    view.appendIndexItem(item);
}

// The partial array a[i]. The source keeps the last one it returned; when nothing else refers to
// it any more (the usual a[i][j]), it is re-aimed at the new position instead of being replaced,
// which costs neither an object nor a state. Otherwise a new one is made and kept in its place.
template<class T>
PyObject* partialArrayAt(KCppPyArray& state, IntegerIndexItem& item, bool composing) {
    PyObject* last = state.lastItemRef();
    if (!composing && last != nullptr && Py_REFCNT(last) == 1 &&
        Py_TYPE(last) == TypeObjectPointers[ElementKind<T>::kind]) {
        KCppPyArray* lastState = reinterpret_cast<KCPyArray*>(last)->state;
        if (lastState != nullptr) {
            lastState->reaimAsItemOf(state, item);
            Py_INCREF(last);
            return last;
        }
    }
    std::unique_ptr<KCppPyArray> view = takeKCppPyArray(state);
    applyItem(*view, item, composing);
    PyObject* object = wrapState<T>(std::move(view));
    if (object != nullptr) {
        // Replacing the kept item frees at most an array object, which runs no Python code.
        Py_INCREF(object);
        Py_XSETREF(state.lastItemRef(), object);
    }
    return object;
}

// The integer read. `keyObject` is the subscript's key when its value did not fit in Py_ssize_t;
// it only changes the error text.
template<class T>
PyObject* readInteger(PyObject* self, Py_ssize_t key, PyObject* keyObject) {
    KCppPyArray* state = requireState(self);
    if (state == nullptr) {
        return nullptr;
    }
    // A partial array whose every dimension is fixed (possible only after a reshape removed
    // dimensions) reports that first; other stale positions are refused before use.
    const long fixedSoFar = state->getNumberOfIntegerIndicesSoFar();
    const long numDims = state->getNumberOfDimensions();
    if (fixedSoFar >= numDims) {
        PyErr_SetString(PyExc_RuntimeError, "too many indices.");
        return nullptr;
    }
    if (!checkIndicesStillValid(state)) {
        return nullptr;
    }
    const long len = state->getLengthOfActiveDimension();
    IntegerIndexItem item(key);
    if (!item.normalize(len)) {
        PyErr_Clear();
        setInvalidIndexError(key, keyObject);
        return nullptr;
    }
    const bool composing = state->sliceInFinalPreexistingPosition();
    if (composing && !state->getReplacementIndexForSliceAndInt(item, len)) {
        return nullptr;
    }

    if (fixedSoFar < numDims - 1) {
        return partialArrayAt<T>(*state, item, composing);
    }

    // This key fixes the last dimension: the element's address is computed in place from the
    // cached element address and the byte strides, which the checks above validated against the
    // current shape; nothing runs Python code before the value is made from it.
    const KDArrayWrapper& wrapper = *state->getKDAWrapper();
    const std::vector<long>& shape = wrapper.shape();
    const std::vector<long>& strides = wrapper.bytewiseStridesVector();
    const std::vector<IndexItem>& items = state->getIndicesRef();
    if (item.m_index < 0 || item.m_index >= shape[fixedSoFar] || wrapper.data() == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kalvo::py::kIndexOutsideShape);
        return nullptr;
    }
    const char* address = wrapper.data() + item.m_index * strides[fixedSoFar];
    for (long d = 0; d < fixedSoFar; ++d) {
        address += std::get<IntegerIndexItem>(items[d]).m_index * strides[d];
    }
    // A real element becomes T's Python number, a complex one a complex of two T parts.
    return kalvo::py::visitRepresentation<T>(state->isComplex(), [address](auto tag) {
        return kalvo::py::elementBytesToPyObject<typename decltype(tag)::type>(address);
    });
}

template<class T>
PyObject* readSlice(PyObject* self, PyObject* key) {
    KCppPyArray* state = requireState(self);
    if (state == nullptr || !checkIndicesStillValid(state)) {
        return nullptr;
    }
    const long len = state->getLengthOfActiveDimension();
    SliceIndexItem item;
    if (!getSliceData(key, len, item)) {
        return nullptr;
    }
    // Unpacking the slice may have run a bound's __index__, which can reshape this very array.
    // The item was normalised against `len`, so it is only usable if that length still holds.
    if (!checkIndicesStillValid(state)) {
        return nullptr;
    }
    if (state->getLengthOfActiveDimension() != len) {
        PyErr_SetString(PyExc_RuntimeError, "the array was reshaped while the slice was read.");
        return nullptr;
    }
    const bool composing = state->sliceInFinalPreexistingPosition();
    if (composing && !state->getReplacementIndexForSliceAndSlice(item, len)) {
        return nullptr;
    }
    std::unique_ptr<KCppPyArray> view = takeKCppPyArray(*state);
    applyItem(*view, item, composing);
    return wrapState<T>(std::move(view));
}

}  // namespace

bool checkIndicesStillValid(const KCppPyArray* state) {
    if (state == nullptr || state->getKDAWrapper() == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kalvo::py::kNotInitialized);
        return false;
    }
    if (!state->indicesStillValid()) {
        PyErr_SetString(PyExc_RuntimeError, kalvo::py::kIndexOutsideShape);
        return false;
    }
    return true;
}

template<class T>
PyObject* KCPyArray_GetViaIndex(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (requireState(self) == nullptr) {
            return nullptr;
        }
        if (PyType_HasFeature(Py_TYPE(key), Py_TPFLAGS_LONG_SUBCLASS)) {
            const Py_ssize_t index = PyLong_AsSsize_t(key);
            if (index == -1 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    return nullptr;
                }
                // A key beyond 64 bits is out of range for every dimension. Reading it as the
                // nearest representable index makes it fail the same checks, in the same order,
                // as any other out-of-range key; the message still shows the key as given.
                PyErr_Clear();
                const Py_ssize_t nearest = _PyLong_Sign(key) < 0 ? PY_SSIZE_T_MIN : PY_SSIZE_T_MAX;
                return readInteger<T>(self, nearest, key);
            }
            return readInteger<T>(self, index, nullptr);
        }
        if (Py_TYPE(key) == &PySlice_Type) {
            return readSlice<T>(self, key);
        }
        PyErr_SetString(PyExc_RuntimeError, "index is not an integer or slice.");
        return nullptr;
    });
}

template<class T>
PyObject* KCPyArray_GetItem(PyObject* self, Py_ssize_t index) {
    return guarded<PyObject*>(nullptr,
                              [&]() -> PyObject* { return readInteger<T>(self, index, nullptr); });
}

Py_ssize_t KCPyArray_NumElemsInFirstDim(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        const KCppPyArray* state = requireState(self);
        if (state == nullptr || !checkIndicesStillValid(state)) {
            return -1;
        }
        return static_cast<Py_ssize_t>(state->getLengthOfActiveDimension());
    });
}

#define KALVO_INSTANTIATE_READING(T)                                   \
    template PyObject* KCPyArray_GetViaIndex<T>(PyObject*, PyObject*); \
    template PyObject* KCPyArray_GetItem<T>(PyObject*, Py_ssize_t);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE_READING)
#undef KALVO_INSTANTIATE_READING
