// src/protocols/assignment.cpp: a[key] = value for the eleven array types
//
// Ownership rules
// - The slot borrows self, key and value. The only Python object it makes is the decimal text
//   of an out-of-range key, held in a PyRef.
// - A value is converted (one element) or walked into a temporary FinalConstructorParser before
//   anything is written, so a value that cannot be converted or has the wrong shape leaves the
//   array as it was. Only block slice assignment pairs positions with elements as it goes and may
//   stop part way with "length of slice does not match number of elements.".
// - Every element goes through KDArrayWrapper::writeElementsAtOffsets, which writes the runtime's
//   storage (copying it first only when another handle shares it), all positions of one
//   assignment in one pass. Every object sharing the wrapper (the source, partial arrays,
//   iterators, live buffer exports of the full array) sees the write at once.
// - Walking a value runs Python code (a sequence's __len__ and __getitem__, a slice bound's
//   __index__) that may reshape this very array. The wrapper's shape is recorded on entry and
//   compared again before the first write; positions are only ever computed against a shape that
//   still holds.

#include <complex>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "construct/constructor_parser.hpp"
#include "construct/scalar_conversion.hpp"
#include "core/array_state.hpp"
#include "core/index_items.hpp"
#include "core/storage.hpp"
#include "protocols/assignment.hpp"
#include "protocols/reading.hpp"

using kalvo::py::guarded;
using kalvo::py::PyRef;

namespace {

const char* const kNullData = "null data pointer.";
const char* const kDifferentShape =
    "unable to perform assignment because the left and right sides have a different shape.";
const char* const kSliceCountMismatch = "length of slice does not match number of elements.";
const char* const kCannotSet = "unable to set value.";

// IndexError "index has an invalid value: <key>", the key written from the Python int itself
// (it may not fit in 64 bits). PyNumber_ToBase formats the value, never a subclass's __str__.
void setInvalidIndexError(PyObject* key) {
    PyRef decimal = PyRef::steal(PyNumber_ToBase(key, 10));
    if (decimal) {
        PyErr_Format(PyExc_IndexError, "index has an invalid value: %U", decimal.get());
    }
}

// Assignment of values of element type E (the slot's T, or std::complex<T> for a complex
// array) through one array state. Lives for one slot call.
template<class E>
class Assignment {
public:
    explicit Assignment(KCppPyArray& state)
        : m_state(state), m_wrapper(*state.getKDAWrapper()), m_shapeOnEntry(m_wrapper.shape()) {}

    /// a[key] = value; 0, or -1 with a Python exception set.
    int run(PyObject* key, PyObject* value) {
        m_fixed = m_state.getNumberOfIntegerIndicesSoFar();
        if (m_fixed >= m_wrapper.getNumberOfDimensions()) {
            PyErr_SetString(PyExc_RuntimeError, "too many indices.");
            return -1;
        }
        // A partial array made before a reshape may hold positions the array no longer has.
        if (!checkIndicesStillValid(&m_state)) {
            return -1;
        }
        const long len = m_state.getLengthOfActiveDimension();
        if (PyType_HasFeature(Py_TYPE(key), Py_TPFLAGS_LONG_SUBCLASS)) {
            const Py_ssize_t index = PyLong_AsSsize_t(key);
            if (index == -1 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    return -1;
                }
                // Beyond 64 bits: out of range for every dimension.
                PyErr_Clear();
                setInvalidIndexError(key);
                return -1;
            }
            return assignAtInteger(index, key, len, value);
        }
        if (Py_TYPE(key) == &PySlice_Type) {
            return assignAtSlice(key, len, value);
        }
        PyErr_SetString(PyExc_RuntimeError, "index is not an integer or slice.");
        return -1;
    }

private:
    bool keyFixesLastDimension() const { return m_fixed == m_wrapper.getNumberOfDimensions() - 1; }

    int assignAtInteger(Py_ssize_t index, PyObject* key, long len, PyObject* value) {
        IntegerIndexItem item(index);
        if (!item.normalize(len)) {
            PyErr_Clear();
            setInvalidIndexError(key);
            return -1;
        }
        // A position within a trailing slice becomes the absolute position it selects.
        if (!m_state.convertSliceAndIntegerToInteger(item)) {
            return -1;
        }
        return keyFixesLastDimension() ? assignElement(item.m_index, value)
                                       : assignSubArray(item.m_index, value);
    }

    int assignAtSlice(PyObject* key, long len, PyObject* value) {
        SliceIndexItem item;
        if (!getSliceData(key, len, item)) {
            return -1;
        }
        return keyFixesLastDimension() ? assignLastDimensionSlice(item, value)
                                       : assignBlockSlice(item, value);
    }

    // One element at position n of the last dimension.
    int assignElement(long n, PyObject* value) {
        if (value == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, kNullData);
            return -1;
        }
        const ScalarConversionResult<E> converted = convertScalar<E>(value, false);
        if (converted.failed || !converted.value) {
            raiseConversionFailure(converted);
            return -1;
        }
        if (!shapeStillHolds()) {
            return -1;
        }
        bool ok = true;
        std::vector<long> indices = m_state.getIntegerIndicesSoFar(ok);
        if (!ok) {
            return -1;
        }
        indices.push_back(n);
        const E element = *converted.value;
        if (!queueElementAtIndices(indices)) {
            return failAfterQueued(&element, PyExc_RuntimeError, kCannotSet);
        }
        return writeQueued(&element);
    }

    // The block of dimensions k + 1 onwards below position n of dimension k: the value must have
    // exactly that block's shape.
    int assignSubArray(long n, PyObject* value) {
        FinalConstructorParser<E> parser;
        if (!walk(value, parser) || !shapeStillHolds()) {
            return -1;
        }
        const std::vector<long>& shape = m_wrapper.shape();
        const size_t nDim = shape.size();
        const size_t k = static_cast<size_t>(m_fixed);
        const std::vector<size_t>& dims = parser.initializerDims;
        bool fits = dims.size() == nDim - k - 1 && parser.elements.size() == elementCount(dims);
        for (size_t j = 0; fits && j < dims.size(); ++j) {
            fits = static_cast<long>(dims[j]) == shape[k + 1 + j];
        }
        if (!fits) {
            PyErr_SetString(PyExc_ValueError, kDifferentShape);
            return -1;
        }
        bool ok = true;
        const std::vector<long> fixedIndices = m_state.getIntegerIndicesSoFar(ok);
        if (!ok) {
            return -1;
        }
        // The odometer walks dimensions k + 1 onwards in full; integer items hold the rest.
        std::vector<long> indices(nDim, 0);
        std::vector<IndexItem> items;
        for (size_t d = 0; d < k; ++d) {
            indices[d] = fixedIndices[d];
            items.emplace_back(IntegerIndexItem(fixedIndices[d]));
        }
        indices[k] = n;
        items.emplace_back(IntegerIndexItem(n));
        m_offsets.reserve(parser.elements.size());
        for (size_t e = 0; e < parser.elements.size(); ++e) {
            if ((e > 0 && !incrementIndices(indices, shape, items)) ||
                !queueElementAtIndices(indices)) {
                return failAfterQueued(parser.elements, PyExc_RuntimeError, kCannotSet);
            }
        }
        return writeQueued(parser.elements);
    }

    // Positions of the last dimension: the value must be flat with one element per position.
    int assignLastDimensionSlice(SliceIndexItem& item, PyObject* value) {
        if (!m_state.convertSliceAndSliceToSlice(item)) {
            return -1;
        }
        bool ok = true;
        const std::vector<long> positions = item.getIntegerIndexValues(m_shapeOnEntry[m_fixed], ok);
        if (!ok) {
            PyErr_Clear();
            PyErr_SetString(PyExc_RuntimeError, "unable to normalize index.");
            return -1;
        }
        FinalConstructorParser<E> parser;
        if (!walk(value, parser) || !shapeStillHolds()) {
            return -1;
        }
        if (parser.initializerDims.size() != 1 || parser.elements.size() != positions.size()) {
            PyErr_SetString(PyExc_ValueError, kDifferentShape);
            return -1;
        }
        std::vector<long> indices = m_state.getIntegerIndicesSoFar(ok);
        if (!ok) {
            return -1;
        }
        indices.push_back(0);
        m_offsets.reserve(positions.size());
        for (size_t e = 0; e < positions.size(); ++e) {
            indices.back() = positions[e];
            if (!queueElementAtIndices(indices)) {
                return failAfterQueued(parser.elements, PyExc_RuntimeError, kCannotSet);
            }
        }
        return writeQueued(parser.elements);
    }

    // A block of sub-arrays along dimension k: positions of the block in odometer order (last
    // dimension fastest) take the value's elements in row-major order; only the counts must agree.
    int assignBlockSlice(SliceIndexItem& item, PyObject* value) {
        FinalConstructorParser<E> parser;
        if (!walk(value, parser)) {
            return -1;
        }
        const size_t count = parser.elements.size();
        const long sliceLen = item.m_slice_len.value_or(0);
        if (count == 0) {
            if (sliceLen == 0) {
                return 0;
            }
            PyErr_SetString(PyExc_ValueError, "slice is nonempty but values are empty.");
            return -1;
        }
        if (sliceLen == 0) {
            PyErr_SetString(
                PyExc_ValueError,
                "slice is empty, but number of elements assigned is greater than zero.");
            return -1;
        }
        if (!shapeStillHolds()) {
            return -1;
        }
        KCppPyArray target(m_state);
        if (m_state.sliceInFinalPreexistingPosition()) {
            if (!m_state.convertSliceAndSliceToSlice(item)) {
                return -1;
            }
            target.getIndicesRef().pop_back();
        }
        target.appendIndexItem(item);

        const std::vector<long>& shape = m_wrapper.shape();
        const long nDim = static_cast<long>(shape.size());
        std::vector<long> indices = target.getIndicesOfStartElement(nDim);
        bool positionsLeft = true;
        for (long d = m_fixed + 1; d < nDim; ++d) {
            positionsLeft = positionsLeft && shape[d] > 0;
        }
        m_offsets.reserve(count);
        for (size_t e = 0; e < count; ++e) {
            if (!positionsLeft) {
                return failAfterQueued(parser.elements, PyExc_ValueError, kSliceCountMismatch);
            }
            if (!queueElementAtIndices(indices)) {
                return failAfterQueued(parser.elements, PyExc_RuntimeError, kCannotSet);
            }
            positionsLeft = target.incrementIndices(indices);
        }
        if (positionsLeft) {
            return failAfterQueued(parser.elements, PyExc_ValueError, kSliceCountMismatch);
        }
        return writeQueued(parser.elements);
    }

    // Walks `value` (never lenient: a logical element takes only ints and bools).
    bool walk(PyObject* value, FinalConstructorParser<E>& parser) {
        if (value == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, kNullData);
            return false;
        }
        return parser.processNestedInitializer(value, false);
    }

    // The value's conversion or walk may have run Python code that reshaped the array; the key
    // was resolved against the shape seen on entry.
    bool shapeStillHolds() const {
        if (m_wrapper.shape() == m_shapeOnEntry) {
            return true;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "the array was reshaped while the assigned value was read.");
        return false;
    }

    static size_t elementCount(const std::vector<size_t>& dims) {
        size_t count = 1;
        for (size_t d : dims) {
            count *= d;
        }
        return count;
    }

    static void raiseConversionFailure(const ScalarConversionResult<E>& converted) {
        if (converted.failed && converted.exceptionType != nullptr) {
            converted.raise();
        } else {
            PyErr_SetString(PyExc_TypeError, "type does not match.");
        }
    }

    // Every routine writes through these two: the storage offset of each element `indices` is
    // queued in the order the value's elements come, then all are written in one pass into the
    // runtime's storage.
    bool queueElementAtIndices(const std::vector<long>& indices) {
        if (static_cast<long>(indices.size()) > m_wrapper.getNumberOfDimensions()) {
            return false;
        }
        const long offset = m_wrapper.getElementOffsetFromIndices(indices);
        if (offset < 0) {
            return false;
        }
        m_offsets.push_back(offset);
        return true;
    }

    // Writes the queued offsets with the leading elements of `elements`; 0, or -1 with an error.
    template<class Elements>
    int writeQueued(const Elements& elements) {
        const bool written =
            m_wrapper.writeElementsAtOffsets<E>(m_offsets.data(), m_offsets.size(), elements);
        m_offsets.clear();
        if (!written) {
            PyErr_SetString(PyExc_RuntimeError, kCannotSet);
            return -1;
        }
        return 0;
    }

    // A routine that stops part way keeps the writes before the stop, then reports `message`.
    template<class Elements>
    int failAfterQueued(const Elements& elements, PyObject* type, const char* message) {
        if (writeQueued(elements) == 0) {
            PyErr_SetString(type, message);
        }
        return -1;
    }

    KCppPyArray& m_state;
    KDArrayWrapper& m_wrapper;
    const std::vector<long> m_shapeOnEntry;
    long m_fixed = 0;             // integer indices so far: the active dimension
    std::vector<long> m_offsets;  // storage offsets queued for writing
};

// a[i] = value where i (an exact int) fixes the last dimension of a partial array holding only
// integer items and value is an exact float, int, bool or complex: the element's address is
// computed in place and written through the wrapper's writable address. Converting such a value
// runs no Python code, so the shape checked on entry still holds at the write. Returns false,
// having changed nothing and set no error, for every other case (and for any failure), which
// the general path then handles with its own checks and messages.
template<class E>
bool assignElementInPlace(KCppPyArray& state, PyObject* key, PyObject* value) {
    if (!PyLong_CheckExact(key) || value == nullptr ||
        !(PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
          PyComplex_CheckExact(value))) {
        return false;
    }
    KDArrayWrapper& wrapper = *state.getKDAWrapper();
    const long fixed = state.getNumberOfIntegerIndicesSoFar();
    const std::vector<IndexItem>& items = state.getIndicesRef();
    if (fixed != wrapper.getNumberOfDimensions() - 1 || static_cast<long>(items.size()) != fixed ||
        !state.indicesStillValid()) {
        return false;
    }
    const std::vector<long>& shape = wrapper.shape();
    Py_ssize_t index = PyLong_AsSsize_t(key);
    if (index == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (index < 0) {
        index += shape[fixed];
    }
    if (index < 0 || index >= shape[fixed]) {
        return false;
    }
    ScalarConversionResult<E> converted = convertScalar<E>(value, false);
    if (converted.failed || !converted.value) {
        PyErr_Clear();
        return false;
    }
    const std::vector<long>& strides = wrapper.bytewiseStridesVector();
    long byteOffset = index * strides[fixed];
    for (long d = 0; d < fixed; ++d) {
        byteOffset += std::get<IntegerIndexItem>(items[d]).m_index * strides[d];
    }
    // writableData copies the elements first when another handle shares them; the strides stay.
    char* base = reinterpret_cast<char*>(wrapper.writableData<E>());
    std::memcpy(base + byteOffset, &*converted.value, sizeof(E));
    return true;
}

}  // namespace

template<class T>
int KCPyArray_SetViaIndex(PyObject* self, PyObject* key, PyObject* value) {
    return guarded(-1, [&]() -> int {
        KCppPyArray* state = requireState(self);
        if (state == nullptr) {
            return -1;
        }
        return kalvo::py::visitRepresentation<T>(state->isComplex(), [&](auto tag) -> int {
            using E = typename decltype(tag)::type;
            if (assignElementInPlace<E>(*state, key, value)) {
                return 0;
            }
            return Assignment<E>(*state).run(key, value);
        });
    });
}

#define KALVO_INSTANTIATE_SET_VIA_INDEX(T) \
    template int KCPyArray_SetViaIndex<T>(PyObject*, PyObject*, PyObject*);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE_SET_VIA_INDEX)
#undef KALVO_INSTANTIATE_SET_VIA_INDEX
