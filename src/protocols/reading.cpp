// src/protocols/reading.cpp: a[key], the sequence item slot, len(), element values and the nested-list form
//
// Ownership rules
// - Every slot returns a new reference, or null with a Python exception set; each slot body runs
//   inside kalvo::py::guarded, so no C++ exception reaches the interpreter.
// - A partial array is a new object of the slot's type whose KCppPyArray shares the source's
//   KDArrayWrapper and carries one more (or one composed) index item. Its state is built in a
//   std::unique_ptr and handed to the object only once the object exists, so a failure at any
//   step frees what was made; the source is never changed by a read.
// - Python objects made on the way (list levels, the key's decimal text) are held in PyRef.
// - Elements are read from the wrapper's private buffer; a read never asks the runtime for values.
//   Before reading through stored index items we check them against the wrapper's current shape:
//   `reshape` on any array sharing the wrapper changes that shape under existing partial arrays.

#include "protocols/reading.hpp"

#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "core/index_items.hpp"
#include "core/kcpp_py_array.hpp"
#include "core/kda_wrapper.hpp"
#include "module/element_kinds.hpp"
#include "module/guard.hpp"
#include "module/kcpyarray.hpp"
#include "module/pyref.hpp"
#include "module/slots.hpp"

using kalvo::py::guarded;
using kalvo::py::PyRef;

namespace {

const char* const kNotInitialized = "object not initialized.";

KCppPyArray* stateOf(PyObject* self) {
    return self == nullptr ? nullptr : reinterpret_cast<KCPyArray*>(self)->state;
}

const char* asBytes(const void* p) { return static_cast<const char*>(p); }

// Sets IndexError "index has an invalid value: <key>". The key is written from the Python object
// when there is one (it may not fit in Py_ssize_t), else from the number.
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

// Wraps `view` in a new object of the slot's type. The object owns the state from here on.
template<class T>
PyObject* wrapState(std::unique_ptr<KCppPyArray> view) {
    PyObject* object = allocKCPyArray(TypeObjectPointers[ElementKind<T>::kind]);
    if (object == nullptr) {
        return nullptr;  // allocKCPyArray has set "unable to initialize C object."
    }
    reinterpret_cast<KCPyArray*>(object)->state = view.release();
    return object;
}

// Puts `item` on a copy of the source state: when the source ends with a slice, `item` has
// already been composed through it and takes the slice's place.
template<class Item>
void applyItem(KCppPyArray& view, Item& item, bool replacesTrailingSlice) {
    if (replacesTrailingSlice) {
        view.getIndicesRef().pop_back();
    }
    view.appendIndexItem(item);
}

// The integer read. `keyObject` is the original key when the slot was reached by subscript with a
// key that needed more than Py_ssize_t; it only changes the error text.
template<class T>
PyObject* readInteger(PyObject* self, Py_ssize_t key, PyObject* keyObject) {
    KCppPyArray* state = stateOf(self);
    if (state == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
        return nullptr;
    }
    if (!checkIndicesFitShape(*state)) {
        return nullptr;
    }
    const long fixedSoFar = state->getNumberOfIntegerIndicesSoFar();
    const long numDims = state->getNumberOfDimensions();
    if (fixedSoFar >= numDims) {
        PyErr_SetString(PyExc_RuntimeError, "too many indices.");
        return nullptr;
    }
    const long len = state->getLengthOfActiveDimension();
    IntegerIndexItem item;
    item.m_index = key;
    item.m_isNormalized = false;
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
        auto view = std::make_unique<KCppPyArray>(*state);
        applyItem(*view, item, composing);
        return wrapState<T>(std::move(view));
    }

    // This key fixes the last dimension: read the element through a transient state instead of
    // a partial array object nobody would see.
    KCppPyArray view(*state);
    applyItem(view, item, composing);
    bool ok = true;
    const auto indices = view.getIntIndicesOfElementFromStoredIntIndicesAndNewIntIndex(item.m_index, ok);
    if (!ok) {
        return nullptr;
    }
    const char* address = asBytes(view.getAddressOfElementFromNormalizedIntIndices(indices));
    if (address == nullptr) {
        return nullptr;
    }
    return elementValue<T>(address, view.isComplex());
}

template<class T>
PyObject* readSlice(PyObject* self, PyObject* key) {
    KCppPyArray* state = stateOf(self);
    if (!checkIndicesFitShape(*state)) {
        return nullptr;
    }
    const long len = state->getLengthOfActiveDimension();
    SliceIndexItem item;
    if (!getSliceData(key, len, item)) {
        return nullptr;
    }
    // Unpacking the slice may have run a bound's __index__, which can reshape this very array.
    // The item was normalised against `len`, so it is only usable if that length still holds.
    if (!checkIndicesFitShape(*state)) {
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
    auto view = std::make_unique<KCppPyArray>(*state);
    applyItem(*view, item, composing);
    return wrapState<T>(std::move(view));
}

// Builds the nested lists over the wrapper's buffer: one list level per dimension from the
// active one on, addresses computed from the byte strides so the nesting follows the index
// order whatever the storage order.
template<class T>
class NestedListBuilder {
public:
    NestedListBuilder(const KDArrayWrapper& wrapper, bool isComplex)
        : m_wrapper(wrapper), m_buf(asBytes(wrapper.buf())), m_numDims(wrapper.getNumberOfDimensions()),
          m_isComplex(isComplex) {}

    /// The entry for dimension `dim` onwards at byte `offset`: the element once every dimension is fixed.
    PyRef entry(long dim, Py_ssize_t offset) const {
        if (dim < m_numDims) {
            return level(dim, offset);
        }
        if (m_buf == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
            return PyRef();
        }
        PyRef value = PyRef::steal(elementValue<T>(m_buf + offset, m_isComplex));
        if (!value) {
            PyErr_SetString(PyExc_RuntimeError, "unable to set list item.");
        }
        return value;
    }

    /// A list over every position of dimension `dim`, each entry built by `entry(dim + 1, ...)`.
    PyRef level(long dim, Py_ssize_t offset) const {
        const Py_ssize_t extent = m_wrapper.shape()[dim];
        const Py_ssize_t stride = m_wrapper.bytewiseStrides()[dim];
        std::vector<Py_ssize_t> offsets(static_cast<size_t>(extent));
        for (Py_ssize_t j = 0; j < extent; ++j) {
            offsets[static_cast<size_t>(j)] = offset + j * stride;
        }
        return listOf(dim + 1, offsets);
    }

    /// A list with one entry per byte offset, each built by `entry(nextDim, offset)`.
    PyRef listOf(long nextDim, const std::vector<Py_ssize_t>& offsets) const {
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(offsets.size())));
        if (!list) {
            PyErr_SetString(PyExc_RuntimeError, "unable to set list item.");
            return list;
        }
        for (size_t j = 0; j < offsets.size(); ++j) {
            PyRef item = entry(nextDim, offsets[j]);
            if (!item) {
                return PyRef();
            }
            // PyList_SetItem steals the item, even when it fails.
            if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), item.release()) != 0) {
                PyErr_SetString(PyExc_RuntimeError, "unable to set list item.");
                return PyRef();
            }
        }
        return list;
    }

private:
    const KDArrayWrapper& m_wrapper;
    const char* m_buf;
    long m_numDims;
    bool m_isComplex;
};

using NestedListFn = PyObject* (*)(const KCppPyArray&);

// One row per element kind, in SupportedArrayEnum order.
constexpr PyObject* (*kElementValue[])(const char*, bool) = {
    elementValue<double>,  elementValue<float>,    elementValue<int8_t>,  elementValue<uint8_t>,
    elementValue<int16_t>, elementValue<uint16_t>, elementValue<int32_t>, elementValue<uint32_t>,
    elementValue<int64_t>, elementValue<uint64_t>, elementValue<bool>,
};
constexpr NestedListFn kNestedListForm[] = {
    nestedListForm<double>,  nestedListForm<float>,    nestedListForm<int8_t>,  nestedListForm<uint8_t>,
    nestedListForm<int16_t>, nestedListForm<uint16_t>, nestedListForm<int32_t>, nestedListForm<uint32_t>,
    nestedListForm<int64_t>, nestedListForm<uint64_t>, nestedListForm<bool>,
};

bool kindIsValid(int kind) {
    return kind >= 0 && kind < static_cast<int>(sizeof(kNestedListForm) / sizeof(kNestedListForm[0]));
}

}  // namespace

template<class T>
PyObject* elementValue(const char* address, bool isComplex) {
    if constexpr (std::is_same_v<T, bool>) {
        // Any non-zero byte is true; reading the byte as `bool` would be undefined for values above 1.
        unsigned char byte = 0;
        std::memcpy(&byte, address, 1);
        return PyBool_FromLong(byte != 0);
    } else {
        T parts[2] = {};
        if (isComplex) {
            std::memcpy(parts, address, sizeof parts);
            return PyComplex_FromDoubles(static_cast<double>(parts[0]), static_cast<double>(parts[1]));
        }
        std::memcpy(parts, address, sizeof(T));
        if constexpr (std::is_floating_point_v<T>) {
            return PyFloat_FromDouble(static_cast<double>(parts[0]));
        } else if constexpr (std::is_signed_v<T>) {
            return PyLong_FromLongLong(static_cast<long long>(parts[0]));
        } else {
            return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(parts[0]));
        }
    }
}

PyObject* elementValueAt(const KCppPyArray& state, const char* address) {
    const int kind = static_cast<int>(state.getSupportedArrayEnum());
    if (!kindIsValid(kind)) {
        PyErr_SetString(PyExc_RuntimeError, "invalid element kind.");
        return nullptr;
    }
    return kElementValue[kind](address, state.isComplex());
}

bool checkIndicesFitShape(const KCppPyArray& state) {
    const KDArrayWrapper* wrapper = state.getKDAWrapper();
    if (wrapper == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
        return false;
    }
    const auto& shape = wrapper->shape();
    const auto& items = state.getIndicesRef();
    const long fixed = state.getNumberOfIntegerIndicesSoFar();
    bool fits = fixed >= 0 && fixed < static_cast<long>(shape.size()) && items.size() <= shape.size();
    for (size_t d = 0; fits && d < items.size(); ++d) {
        const long extent = shape[d];
        if (const auto* integer = std::get_if<IntegerIndexItem>(&items[d])) {
            fits = integer->m_index >= 0 && integer->m_index < extent;
        } else {
            const auto& slice = std::get<SliceIndexItem>(items[d]);
            const long count = slice.m_slice_len.value_or(0);
            if (count > 0) {
                const long first = slice.m_start.value_or(0);
                const long last = first + (count - 1) * slice.m_step.value_or(1);
                fits = first >= 0 && first < extent && last >= 0 && last < extent;
            }
        }
    }
    if (!fits) {
        PyErr_SetString(PyExc_RuntimeError, "the partial array's indices are outside the array's current shape.");
    }
    return fits;
}

template<class T>
PyObject* nestedListForm(const KCppPyArray& state) {
    if (!checkIndicesFitShape(state)) {
        return nullptr;
    }
    const KDArrayWrapper& wrapper = *state.getKDAWrapper();
    const NestedListBuilder<T> builder(wrapper, state.isComplex());

    bool ok = true;
    const auto prefix = state.getIntegerIndicesSoFar(ok);
    if (!ok) {
        return nullptr;
    }
    Py_ssize_t offset = 0;
    for (size_t d = 0; d < prefix.size(); ++d) {
        offset += prefix[d] * wrapper.bytewiseStrides()[d];
    }
    const long active = static_cast<long>(prefix.size());

    if (!state.sliceInFinalPreexistingPosition()) {
        if (active >= wrapper.getNumberOfDimensions()) {
            return PyList_New(0);
        }
        return builder.level(active, offset).release();
    }
    const auto& slice = std::get<SliceIndexItem>(state.getIndicesRef().back());
    const auto positions = slice.getIntegerIndexValues(state.getLengthOfActiveDimension(), ok);
    if (!ok) {
        return nullptr;
    }
    const Py_ssize_t stride = wrapper.bytewiseStrides()[active];
    std::vector<Py_ssize_t> offsets;
    offsets.reserve(positions.size());
    for (const auto position : positions) {
        offsets.push_back(offset + position * stride);
    }
    return builder.listOf(active + 1, offsets).release();
}

PyObject* nestedListForm(const KCppPyArray& state) {
    const int kind = static_cast<int>(state.getSupportedArrayEnum());
    if (!kindIsValid(kind)) {
        PyErr_SetString(PyExc_RuntimeError, "invalid element kind.");
        return nullptr;
    }
    return kNestedListForm[kind](state);
}

template<class T>
PyObject* KCPyArray_GetViaIndex(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (stateOf(self) == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
            return nullptr;
        }
        if (PyType_HasFeature(Py_TYPE(key), Py_TPFLAGS_LONG_SUBCLASS)) {
            const Py_ssize_t index = PyLong_AsSsize_t(key);
            if (index == -1 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    return nullptr;
                }
                // A key beyond 64 bits is out of range for every dimension. Reading it as the
                // nearest representable index fails the same checks, in the same order, as any
                // other out-of-range key, and the message still shows the key as given.
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
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return readInteger<T>(self, index, nullptr); });
}

Py_ssize_t KCPyArray_NumElemsInFirstDim(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        KCppPyArray* state = stateOf(self);
        if (state == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
            return -1;
        }
        if (!checkIndicesFitShape(*state)) {
            return -1;
        }
        return static_cast<Py_ssize_t>(state->getLengthOfActiveDimension());
    });
}

#define KALVO_INSTANTIATE_READING(T)                                         \
    template PyObject* elementValue<T>(const char*, bool);                   \
    template PyObject* nestedListForm<T>(const KCppPyArray&);                \
    template PyObject* KCPyArray_GetViaIndex<T>(PyObject*, PyObject*);       \
    template PyObject* KCPyArray_GetItem<T>(PyObject*, Py_ssize_t);

KALVO_INSTANTIATE_READING(double)
KALVO_INSTANTIATE_READING(float)
KALVO_INSTANTIATE_READING(int8_t)
KALVO_INSTANTIATE_READING(uint8_t)
KALVO_INSTANTIATE_READING(int16_t)
KALVO_INSTANTIATE_READING(uint16_t)
KALVO_INSTANTIATE_READING(int32_t)
KALVO_INSTANTIATE_READING(uint32_t)
KALVO_INSTANTIATE_READING(int64_t)
KALVO_INSTANTIATE_READING(uint64_t)
KALVO_INSTANTIATE_READING(bool)

#undef KALVO_INSTANTIATE_READING
