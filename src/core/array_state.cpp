// src/core/array_state.cpp: KCppPyArray, index-list composition, element addresses and element values
//
// A state shares its KDArrayWrapper with every state derived from it by indexing; indexing only
// copies the short index list. Element values are read from the runtime's storage at
// data() + sum(index * byte stride) and converted at once. Building a nested list allocates
// lists, which can run a garbage collection and so any Python code (finalizers, other threads):
// the builder pins the storage with copies of shape and strides first and reads only those.
// Routines that fail set the Python error and return false, null or nothing. Exceptions of the
// data-array interface (and std::bad_alloc) propagate to the slot guard.

#include "core/array_state.hpp"

#include <algorithm>
#include <iostream>
#include <limits>
#include <optional>
#include <string>

#include "base/kind_dispatch.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"

using kalvo::data::Array;
using kalvo::data::ArrayFactory;
using kalvo::data::TypedArray;
using kalvo::py::kIndexOutsideShape;
using kalvo::py::PyRef;
using kalvo::py::TypedElementT;
using Output = KDArrayWrapperVisitors::NonComplexVisitor::OutputEnum;

namespace {

const char* const kNoTrailingSlice =
    "unable to retrieve index values from slice in final position.";

void setRuntimeError(const char* message) { PyErr_SetString(PyExc_RuntimeError, message); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Per-type element conversion. Both visitors are chosen once per call from the state's kind and
// complexity; the list builder then walks the pinned storage with plain pointer arithmetic.

/// A non-null stand-in for the address of an array without elements; never read.
const char* baseOrSentinel(const char* base) {
    static const char sentinel = 0;
    return base != nullptr ? base : &sentinel;
}

/// Converts the element at one index tuple.
struct PyObjScalarFromIndicesVisitor {
    const KCppPyArray& state;
    const std::vector<long>& indices;

    template<class T>
    PyObject* operator()(TypeTag<T>) const {
        const char* address = state.getAddressOfElementFromNormalizedIntIndices(indices);
        if (address == nullptr)
            return nullptr;
        return kalvo::py::elementBytesToPyObject<T>(address);
    }
};

/// New nested list of the elements of type E that `selection` shows: one level per entry of
/// its counts down to the first empty one (below which every entry is an empty list), built level
/// by level with an odometer, so the C stack does not grow with the number of levels. Only the
/// selection is read, whose storage the caller has pinned: whatever a collection started by a
/// list allocation does to the array, every address stays inside storage the pin keeps alive.
/// An entry (element value or inner list) that cannot be made gives RuntimeError "unable to set
/// list item.".
template<class E>
PyObject* nestedListOf(const Selection& selection) {
    std::vector<long> counts = selection.counts;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] == 0) {
            counts.resize(i + 1);
            break;
        }
    }
    const size_t levels = counts.size();
    if (levels == 0)
        return PyList_New(0);
    PyRef top = PyRef::steal(PyList_New(counts[0]));
    if (!top || counts[0] == 0)
        return top.release();
    std::vector<long> index(levels, 0);
    std::vector<PyObject*> lists(levels, nullptr);  // borrowed: each is held by its parent
    lists[0] = top.get();
    auto failEntry = []() -> PyObject* {
        setRuntimeError("unable to set list item.");
        return nullptr;
    };
    auto openLists = [&](size_t from) -> bool {
        for (size_t level = from; level < levels; ++level) {
            PyObject* list = PyList_New(counts[level]);
            if (!list)
                return false;
            PyList_SET_ITEM(lists[level - 1], index[level - 1], list);
            lists[level] = list;
        }
        return true;
    };
    if (!openLists(1))
        return failEntry();
    const size_t last = levels - 1;
    for (;;) {
        unsigned long row = selection.first;
        for (size_t j = 0; j < last; ++j)
            row += static_cast<unsigned long>(index[j]) * selection.strides[j];
        for (long i = 0; i < counts[last]; ++i, row += selection.strides[last]) {
            PyObject* item =
                kalvo::py::elementBytesToPyObject<E>(selection.base + static_cast<long>(row));
            if (!item)
                return failEntry();
            PyList_SET_ITEM(lists[last], i, item);
        }
        size_t j = last;
        while (j > 0) {
            --j;
            if (++index[j] < counts[j])
                break;
            index[j] = 0;
            if (j == 0)
                return top.release();
        }
        if (last == 0)
            return top.release();
        if (!openLists(j + 1))
            return failEntry();
    }
}

/// nestedListOf for the element type of a state's kind and complexity.
struct NestedListVisitor {
    const Selection& selection;

    template<class E>
    PyObject* operator()(TypeTag<E>) const {
        return nestedListOf<E>(selection);
    }
};

// ---------------------------------------------------------------------------------------------
// Construction

KCppPyArray::KCppPyArray(Array&& array, SupportedArrayEnum kind, bool isComplex, bool columnMajor)
    : m_kdaWrapper(std::make_shared<KDArrayWrapper>(std::move(array), columnMajor ? 'F' : 'C')),
      m_supportedArrayEnum(kind),
      m_isComplex(isComplex) {}

KCppPyArray::KCppPyArray(const Array& array, SupportedArrayEnum kind, bool isComplex,
                         bool columnMajor)
    : m_kdaWrapper(std::make_shared<KDArrayWrapper>(array, columnMajor ? 'F' : 'C')),
      m_supportedArrayEnum(kind),
      m_isComplex(isComplex) {}

KCppPyArray::KCppPyArray(KDArrayWrapper&& wrapper, SupportedArrayEnum kind, bool isComplex)
    : m_kdaWrapper(std::make_shared<KDArrayWrapper>(wrapper)),
      m_supportedArrayEnum(kind),
      m_isComplex(isComplex) {}

KCppPyArray::KCppPyArray(const KCppPyArray& other)
    : m_kdaWrapper(other.m_kdaWrapper),
      m_supportedArrayEnum(other.m_supportedArrayEnum),
      m_isComplex(other.m_isComplex),
      m_indices(other.m_indices),
      m_numberOfIntegerIndicesSoFar(other.m_numberOfIntegerIndicesSoFar) {}

KCppPyArray::KCppPyArray(const KCppPyArray& other, const std::vector<long>& intIndices)
    : m_kdaWrapper(other.m_kdaWrapper),
      m_supportedArrayEnum(other.m_supportedArrayEnum),
      m_isComplex(other.m_isComplex) {
    m_indices.reserve(intIndices.size());
    for (long index : intIndices) {
        IntegerIndexItem item(index);
        appendIndexItem(item);
    }
}

// The last item is an array object whose state holds no Python reference back: releasing it
// frees at most that object and its state, and runs no Python code.
KCppPyArray::~KCppPyArray() { Py_XDECREF(m_lastItem); }

void KCppPyArray::reuseAs(const KCppPyArray& other) {
    m_kdaWrapper = other.m_kdaWrapper;
    m_supportedArrayEnum = other.m_supportedArrayEnum;
    m_isComplex = other.m_isComplex;
    m_indices.assign(other.m_indices.begin(), other.m_indices.end());
    m_numberOfIntegerIndicesSoFar = other.m_numberOfIntegerIndicesSoFar;
}

void KCppPyArray::reuseAs(const KCppPyArray& other, const std::vector<long>& intIndices) {
    m_kdaWrapper = other.m_kdaWrapper;
    m_supportedArrayEnum = other.m_supportedArrayEnum;
    m_isComplex = other.m_isComplex;
    m_indices.clear();
    m_numberOfIntegerIndicesSoFar = 0;
    for (long index : intIndices) {
        IntegerIndexItem item(index);
        appendIndexItem(item);
    }
}

void KCppPyArray::reaimAsItemOf(const KCppPyArray& source, const IntegerIndexItem& item) {
    if (m_kdaWrapper != source.m_kdaWrapper)
        m_kdaWrapper = source.m_kdaWrapper;
    m_supportedArrayEnum = source.m_supportedArrayEnum;
    m_isComplex = source.m_isComplex;
    m_indices.assign(source.m_indices.begin(), source.m_indices.end());
    m_numberOfIntegerIndicesSoFar = source.m_numberOfIntegerIndicesSoFar;
    m_indices.emplace_back(item);
    ++m_numberOfIntegerIndicesSoFar;
    if (m_indexedArrayAsKDA)
        m_indexedArrayAsKDA.reset();
    if (m_indexRestrictedKCppPyArray)
        m_indexRestrictedKCppPyArray.reset();
    m_materialisedAt = {0, 0};
}

void KCppPyArray::releaseForReuse() noexcept {
    Py_CLEAR(m_lastItem);
    m_kdaWrapper.reset();
    m_indices.clear();
    m_numberOfIntegerIndicesSoFar = 0;
    m_indexedArrayAsKDA.reset();
    m_indexRestrictedKCppPyArray.reset();
    m_materialisedAt = {0, 0};
}

long KCppPyArray::expectedElementSize() const noexcept {
    const int kind = static_cast<int>(m_supportedArrayEnum);
    if (kind < 0 || kind >= kNumberOfKinds)
        return 0;
    const kalvo::kinds::Row& row = kalvo::kinds::kRows[kind];
    return row.size * (m_isComplex && row.mayBeComplex() ? 2 : 1);
}

// ---------------------------------------------------------------------------------------------
// Index list

long KCppPyArray::getLengthOfActiveDimension() const {
    if (sliceInFinalPreexistingPosition())
        return std::get<SliceIndexItem>(m_indices.back()).m_slice_len.value_or(0);
    const auto& shape = m_kdaWrapper->shape();
    const long k = m_numberOfIntegerIndicesSoFar;
    return k >= 0 && static_cast<size_t>(k) < shape.size() ? shape[k] : 0;
}

bool KCppPyArray::sliceInFinalPreexistingPosition() const {
    return !m_indices.empty() && std::holds_alternative<SliceIndexItem>(m_indices.back());
}

bool KCppPyArray::appendIndexItem(IntegerIndexItem& item) {
    m_indices.emplace_back(item);
    ++m_numberOfIntegerIndicesSoFar;
    return true;
}

bool KCppPyArray::appendIndexItem(SliceIndexItem& item) {
    m_indices.emplace_back(item);
    return true;
}

bool KCppPyArray::convertSliceAndIntegerToInteger(IntegerIndexItem& item) const {
    if (!sliceInFinalPreexistingPosition())
        return true;
    const long len = std::get<SliceIndexItem>(m_indices.back()).m_slice_len.value_or(-1);
    if (len < 0)
        return false;
    return getReplacementIndexForSliceAndInt(item, len);
}

bool KCppPyArray::convertSliceAndSliceToSlice(SliceIndexItem& item) const {
    if (!sliceInFinalPreexistingPosition())
        return true;
    const long len = std::get<SliceIndexItem>(m_indices.back()).m_slice_len.value_or(-1);
    if (len < 0)
        return false;
    return getReplacementIndexForSliceAndSlice(item, len);
}

bool KCppPyArray::getReplacementIndexForSliceAndInt(IntegerIndexItem& item, long len) const {
    if (!sliceInFinalPreexistingPosition()) {
        setRuntimeError(kNoTrailingSlice);
        return false;
    }
    const SliceIndexItem& slice = std::get<SliceIndexItem>(m_indices.back());
    if (!slice.m_isNormalized) {
        bool ok = true;
        slice.getIntegerIndexValues(len, ok);  // reports the unnormalised slice
        return false;
    }
    // Entry m_index of the slice's positions, computed rather than listed: reading every
    // element of a long slice stays linear.
    if (const std::optional<long> position = slice.positionAt(item.m_index)) {
        item.m_index = *position;
        item.m_isNormalized = false;
        return true;
    }
    setRuntimeError("unable to index into slice.");
    return false;
}

bool KCppPyArray::getReplacementIndexForSliceAndSlice(SliceIndexItem& item, long len) const {
    if (!sliceInFinalPreexistingPosition()) {
        setRuntimeError(kNoTrailingSlice);
        return false;
    }
    const SliceIndexItem& trailing = std::get<SliceIndexItem>(m_indices.back());
    if (!item.normalize(trailing.m_slice_len.value_or(-1))) {
        if (!PyErr_Occurred())
            setRuntimeError("unable to normalize index.");
        return false;
    }
    if (!trailing.m_isNormalized) {
        bool ok = true;
        trailing.getIntegerIndexValues(len, ok);  // reports the unnormalised slice
        return false;
    }
    // The trailing slice's positions V are computed where needed, never listed.
    const long count = std::max(0L, trailing.m_slice_len.value_or(0));
    if (count == 0 || !trailing.positionAt(0)) {
        item = trailing;
        return true;
    }
    const long innerStart = item.m_start.value_or(0);
    const std::optional<long> first = trailing.positionAt(innerStart);
    if (!first) {
        item.makeEmpty();
        return true;
    }
    const long n = std::max(0L, std::min(item.m_slice_len.value_or(0), count));
    const long start = *first;
    const long innerStep = item.m_step.value_or(1);
    const long outerStep = trailing.m_step.value_or(1);
    long step = 0;
    if (__builtin_mul_overflow(innerStep, outerStep, &step)) {
        // Only a slice of at most one position can have steps this large: its direction is all
        // that is left to keep.
        step = (innerStep > 0) == (outerStep > 0) ? 1 : -1;
    }
    // A whole step past the last position can lie beyond the long range when the extent is near
    // its top; the walk over the positions stops at the range's end as it would at the bound.
    long stop = 0;
    if (__builtin_mul_overflow(n, step, &stop) || __builtin_add_overflow(start, stop, &stop))
        stop = step > 0 ? std::numeric_limits<long>::max() : std::numeric_limits<long>::min();
    item = SliceIndexItem(start, stop, step, n);
    item.m_isNormalized = true;
    return true;
}

std::vector<long> KCppPyArray::getIntegerIndicesSoFar(bool& ok) const {
    ok = true;
    const size_t k = std::min(static_cast<size_t>(std::max(m_numberOfIntegerIndicesSoFar, 0L)),
                              m_indices.size());
    std::vector<long> result;
    result.reserve(k);
    for (size_t i = 0; i < k; ++i) {
        const auto* integer = std::get_if<IntegerIndexItem>(&m_indices[i]);
        if (integer == nullptr) {
            setRuntimeError("slice index unexpectedly found.");
            ok = false;
            return {};
        }
        result.push_back(integer->m_index);
    }
    return result;
}

std::vector<long> KCppPyArray::getIntIndicesOfElementFromStoredIntIndicesAndNewIntIndex(
    long newIndex, bool& ok) const {
    ok = true;
    if (newIndex < 0) {
        setRuntimeError("index not normalized.");
        ok = false;
        return {};
    }
    const size_t n = static_cast<size_t>(getNumberOfDimensions());
    std::vector<long> result(n, 0);
    for (size_t i = 0; i < m_indices.size(); ++i) {
        const auto* integer = std::get_if<IntegerIndexItem>(&m_indices[i]);
        if (integer == nullptr) {
            setRuntimeError("slice index unexpectedly found.");
            ok = false;
            return {};
        }
        if (i < n)
            result[i] = integer->m_index;
    }
    if (n > 0)
        result[n - 1] = newIndex;
    return result;
}

std::vector<long> KCppPyArray::getIndicesOfStartElement(long numDims) const {
    return getStartElement(m_kdaWrapper->shape(), m_indices, numDims);
}

bool KCppPyArray::incrementIndices(std::vector<long>& indices) const {
    return ::incrementIndices(indices, m_kdaWrapper->shape(), m_indices);
}

bool KCppPyArray::containsElementWithIndices(const std::vector<long>& indices, long numDims) const {
    const long nd = getNumberOfDimensions();
    if (numDims > nd) {
        std::cout << "numDims (" << numDims << ") >= numShapeDims (" << nd << ")" << std::endl;
        return false;
    }
    if (numDims < 1)
        return true;
    const auto& shape = m_kdaWrapper->shape();
    for (long d = 0; d < numDims; ++d) {
        const long extent = shape[d];
        long start = 0, stop = extent, step = 1;
        if (static_cast<size_t>(d) < m_indices.size()) {
            start = getStart(m_indices[d]);
            stop = getStop(m_indices[d]);
            step = getStep(m_indices[d]);
        }
        long idx = static_cast<size_t>(d) < indices.size() ? indices[d] : 0;
        if (idx < 0)
            idx += extent;
        if (start < 0)
            start += extent;
        if (step >= 0) {
            if (idx < start)
                return false;
            if (idx >= (stop < 0 ? stop + extent : stop))
                return false;
        } else {
            if (idx > start)
                return false;
            if (stop < 0)  // a reversed slice running down to position 0
                return true;
            if (idx <= stop)
                return false;
        }
    }
    return true;
}

bool KCppPyArray::indicesStillValid() const {
    const auto& shape = m_kdaWrapper->shape();
    const size_t nd = shape.size();
    if (m_indices.size() > nd)
        return false;
    if (m_numberOfIntegerIndicesSoFar > 0 &&
        static_cast<size_t>(m_numberOfIntegerIndicesSoFar) >= nd)
        return false;
    for (size_t d = 0; d < m_indices.size(); ++d) {
        const long extent = shape[d];
        if (const auto* integer = std::get_if<IntegerIndexItem>(&m_indices[d])) {
            if (integer->m_index < 0 || integer->m_index >= extent)
                return false;
            continue;
        }
        const auto& slice = std::get<SliceIndexItem>(m_indices[d]);
        if (!slice.m_isNormalized || !slice.m_start || !slice.m_step || !slice.m_slice_len)
            return false;
        const long len = *slice.m_slice_len;
        if (len <= 0)
            continue;
        const long first = *slice.m_start;
        const long last = first + (len - 1) * *slice.m_step;
        if (first < 0 || first >= extent || last < 0 || last >= extent)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Element access

char* KCppPyArray::getAddressOfElementFromNormalizedIntIndices(
    const std::vector<long>& indices) const {
    // An array without elements has no storage address; no index tuple reaches an element then.
    const char* buf = baseOrSentinel(m_kdaWrapper->data());
    const auto& shape = m_kdaWrapper->shape();
    const auto& strides = m_kdaWrapper->bytewiseStridesVector();
    if (indices.size() > shape.size()) {
        setRuntimeError(kIndexOutsideShape);
        return nullptr;
    }
    long byteOffset = 0;
    for (size_t i = 0; i < indices.size(); ++i) {
        // Stored indices were checked when they were made, but a reshape of the shared wrapper
        // may since have shrunk the dimension; never address outside the storage.
        if (indices[i] < 0 || indices[i] >= shape[i]) {
            setRuntimeError(kIndexOutsideShape);
            return nullptr;
        }
        byteOffset += indices[i] * strides[i];
    }
    return const_cast<char*>(buf) + byteOffset;
}

PyObject* KCppPyArray::getNumericPyObjectFromNormalizedIntIndicesWithoutTemplate(
    const std::vector<long>& indices) const {
    if (expectedElementSize() != m_kdaWrapper->getElementSizeInBytes()) {
        setRuntimeError("element kind does not match the wrapped array.");
        return nullptr;
    }
    return kalvo::py::visitElementKind(m_supportedArrayEnum, m_isComplex,
                                       PyObjScalarFromIndicesVisitor{*this, indices});
}

PyObject* KCppPyArray::getPyListFromNormalizedIntIndicesWithoutTemplate(std::vector<long>& indices,
                                                                        long dim) const {
    if (expectedElementSize() != m_kdaWrapper->getElementSizeInBytes()) {
        setRuntimeError("element kind does not match the wrapped array.");
        return nullptr;
    }
    const StoragePin pin = m_kdaWrapper->pin();
    const size_t ndim = pin.shape.size();
    if (dim >= static_cast<long>(ndim))
        return PyList_New(0);
    if (indices.size() > ndim) {
        setRuntimeError(kIndexOutsideShape);
        return nullptr;
    }
    Selection selection;
    selection.base = baseOrSentinel(pin.base);
    for (size_t i = 0; i < indices.size(); ++i) {
        if (indices[i] < 0 || indices[i] >= pin.shape[i]) {
            setRuntimeError(kIndexOutsideShape);
            return nullptr;
        }
        selection.first +=
            static_cast<unsigned long>(indices[i]) * static_cast<unsigned long>(pin.strides[i]);
    }
    if (dim < 0)
        return PyList_New(0);
    for (size_t d = static_cast<size_t>(dim); d < ndim; ++d) {
        selection.counts.push_back(pin.shape[d]);
        selection.strides.push_back(static_cast<unsigned long>(pin.strides[d]));
    }
    return kalvo::py::visitElementKind(m_supportedArrayEnum, m_isComplex,
                                       NestedListVisitor{selection});
}

PyObject* KCppPyArray::getNestedListForm() const {
    if (!indicesStillValid()) {
        setRuntimeError(kIndexOutsideShape);
        return nullptr;
    }
    if (expectedElementSize() != m_kdaWrapper->getElementSizeInBytes()) {
        setRuntimeError("element kind does not match the wrapped array.");
        return nullptr;
    }
    const StoragePin pin = m_kdaWrapper->pin();
    const Selection selection = selectionOf(*this, pin);
    return kalvo::py::visitElementKind(m_supportedArrayEnum, m_isComplex,
                                       NestedListVisitor{selection});
}

Selection selectionOf(const KCppPyArray& state, const StoragePin& pin) {
    Selection selection;
    selection.base = pin.base;
    unsigned long offset = 0;
    const std::vector<IndexItem>& items = state.getIndicesRef();
    const size_t ndim = pin.shape.size();
    size_t d = 0;
    for (; d < items.size(); ++d) {
        if (const auto* integer = std::get_if<IntegerIndexItem>(&items[d])) {
            offset += static_cast<unsigned long>(integer->m_index) *
                      static_cast<unsigned long>(pin.strides[d]);
            continue;
        }
        const auto& slice = std::get<SliceIndexItem>(items[d]);
        const long count = *slice.m_slice_len > 0 ? *slice.m_slice_len : 0;
        if (count > 0)
            offset += static_cast<unsigned long>(*slice.m_start) *
                      static_cast<unsigned long>(pin.strides[d]);
        selection.counts.push_back(count);
        selection.strides.push_back(static_cast<unsigned long>(*slice.m_step) *
                                    static_cast<unsigned long>(pin.strides[d]));
        ++d;
        break;
    }
    for (; d < ndim; ++d) {
        selection.counts.push_back(pin.shape[d]);
        selection.strides.push_back(static_cast<unsigned long>(pin.strides[d]));
    }
    selection.first = offset;
    return selection;
}

// ---------------------------------------------------------------------------------------------
// Derived arrays and Python objects

std::optional<Array> KCppPyArray::realOrImag(bool real) const {
    if (!m_isComplex) {
        PyErr_SetString(PyExc_ValueError,
                        "real() and imag() can be called only on a complex array.");
        return std::nullopt;
    }
    ArrayFactory factory;
    return m_kdaWrapper->extractContents(factory, real ? Output::Real : Output::Imag);
}

std::optional<Array> KCppPyArray::noncomplex() const {
    if (m_isComplex) {
        PyErr_SetString(PyExc_ValueError, "noncomplex() must not be called on a complex array.");
        return std::nullopt;
    }
    ArrayFactory factory;
    return m_kdaWrapper->extractContents(factory, Output::Noncomplex);
}

PyObject* KCppPyArray::allocKCPyArrayFromKCppPyArray() const {
    const int kind = static_cast<int>(m_supportedArrayEnum);
    PyTypeObject* type = kind >= 0 && kind < kNumberOfKinds ? TypeObjectPointers[kind] : nullptr;
    PyObject* object = type != nullptr ? type->tp_alloc(type, 0) : nullptr;
    if (object == nullptr)
        setRuntimeError("unable to initialize C object.");
    return object;
}
